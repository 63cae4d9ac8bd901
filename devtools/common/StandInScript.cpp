#include "devtools/common/StandInScript.h"

#include "devtools/common/Environment.h"
#include "devtools/common/Text.h"
#include "platform/UniqueResource.h"

#include <cwchar>

namespace HalyardDev {

void AppendRecord(const wchar_t* record, const std::wstring& line)
{
    const std::wstring folder = EnvironmentVariable(kStandInFolderVariable);
    if (folder.empty()) {
        return;
    }
    const std::wstring path = folder + L"\\" + record;
    const std::string bytes = Narrow(line) + "\n";
    // Two stand-ins may append at the same instant; the loser retries briefly.
    for (int attempt = 0; attempt < 50; ++attempt) {
        Orvanta::Deskweave::UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            DWORD written = 0;
            WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            return;
        }
        Sleep(10);
    }
}

int ReadScriptInt(const wchar_t* key, int fallback)
{
    const std::wstring folder = EnvironmentVariable(kStandInFolderVariable);
    if (folder.empty()) {
        return fallback;
    }
    wchar_t value[64] = {};
    GetPrivateProfileStringW(L"engine", key, L"", value, _countof(value), (folder + L"\\" + kEngineScript).c_str());
    return value[0] == L'\0' ? fallback : static_cast<int>(wcstoul(value, nullptr, 0));
}

std::wstring ReadScriptText(const wchar_t* key)
{
    const std::wstring folder = EnvironmentVariable(kStandInFolderVariable);
    wchar_t value[MAX_PATH] = {};
    if (!folder.empty()) {
        GetPrivateProfileStringW(L"engine", key, L"", value, _countof(value), (folder + L"\\" + kEngineScript).c_str());
    }
    return value;
}

} // namespace HalyardDev
