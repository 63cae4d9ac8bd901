#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

// The development stand-ins take their script from, and record into, the folder named by the
// environment variable HALYARD_STANDIN_DIR. Children inherit the environment, so one variable set by
// a test reaches the agent, the engine it loads and the programs it starts.
namespace HalyardDev {

inline std::wstring StandInFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"HALYARD_STANDIN_DIR", buffer, MAX_PATH);
    return (length > 0 && length < MAX_PATH) ? std::wstring(buffer) : std::wstring();
}

// Appends one line; a short retry covers two processes appending at the same instant.
inline void AppendRecord(const std::wstring& fileName, const std::wstring& line)
{
    const std::wstring folder = StandInFolder();
    if (folder.empty()) {
        return;
    }
    const std::wstring path = folder + L"\\" + fileName;
    const int utf8Length = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(utf8Length > 0 ? utf8Length - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8.data(), utf8Length, nullptr, nullptr);
    utf8 += "\n";
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(10);
    }
}

inline int ReadScriptInt(const wchar_t* key, int fallback)
{
    const std::wstring folder = StandInFolder();
    if (folder.empty()) {
        return fallback;
    }
    const std::wstring path = folder + L"\\engine.ini";
    wchar_t value[64] = {};
    GetPrivateProfileStringW(L"engine", key, L"", value, 64, path.c_str());
    if (value[0] == L'\0') {
        return fallback;
    }
    return static_cast<int>(wcstoul(value, nullptr, 0));
}

} // namespace HalyardDev
