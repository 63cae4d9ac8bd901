#include "tests/support/StandInFolder.h"

#include "tests/support/TestSupport.h"

namespace HalyardTest {

StandInFolder::StandInFolder() : oldValue_(EnvironmentVariable(kStandInFolderVariable))
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

std::vector<std::string> StandInFolder::EngineCalls() const
{
    std::vector<std::string> calls;
    for (const std::string& line : ReadLines(path_ + L"\\" + kEngineCallsRecord)) {
        calls.push_back(line.substr(line.find(' ') + 1));
    }
    return calls;
}

} // namespace HalyardTest
