#include "devtools/common/StandInFolder.h"

#include "devtools/common/Environment.h"
#include "devtools/common/Files.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/Text.h"
#include "platform/UniqueResource.h"

#include <cwchar>

namespace HalyardDev {
namespace {

std::wstring CurrentFolder()
{
    return EnvironmentVariable(kStandInFolderVariable);
}

} // namespace

void AppendRecord(const wchar_t* record, const std::wstring& line)
{
    const std::wstring folder = CurrentFolder();
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
    const std::wstring folder = CurrentFolder();
    if (folder.empty()) {
        return fallback;
    }
    wchar_t value[64] = {};
    GetPrivateProfileStringW(L"engine", key, L"", value, _countof(value), (folder + L"\\" + kEngineScript).c_str());
    return value[0] == L'\0' ? fallback : static_cast<int>(wcstoul(value, nullptr, 0));
}

StandInFolder::StandInFolder() : oldValue_(CurrentFolder())
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"halyard-standin-" + UniqueSuffix();
    CreateDirectoryW(path_.c_str(), nullptr);
    SetEnvironmentVariableW(kStandInFolderVariable, path_.c_str());
}

StandInFolder::~StandInFolder()
{
    SetEnvironmentVariableW(kStandInFolderVariable, oldValue_.empty() ? nullptr : oldValue_.c_str());
    DeleteTree(path_);
}

void StandInFolder::ScriptEngine(const std::string& settings) const
{
    WriteFileBytes(path_ + L"\\" + kEngineScript, "[engine]\r\n" + settings);
}

std::vector<std::string> StandInFolder::WaitForRecords(const wchar_t* record, size_t count, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<std::string> lines = ReadLines(path_ + L"\\" + record);
    while (lines.size() < count && GetTickCount64() < deadline) {
        Sleep(10);
        lines = ReadLines(path_ + L"\\" + record);
    }
    return lines;
}

} // namespace HalyardDev

namespace HalyardDev {

std::vector<std::string> StandInFolder::EngineCalls() const
{
    std::vector<std::string> calls;
    for (const std::string& line : ReadLines(path_ + L"\\" + kEngineCallsRecord)) {
        calls.push_back(line.substr(line.find(' ') + 1));
    }
    return calls;
}

} // namespace HalyardDev
