#include "tests/support/AgentRun.h"

#include "tests/support/LogReader.h"

#include <sstream>

namespace HalyardTest {
namespace {

std::wstring EnvironmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& overrides)
{
    std::wstring block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        bool replaced = false;
        for (const auto& item : overrides) {
            if (_wcsnicmp(text.c_str(), (item.first + L"=").c_str(), item.first.size() + 1) == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            block += text;
            block += L'\0';
        }
    }
    FreeEnvironmentStringsW(current);
    for (const auto& item : overrides) {
        block += item.first + L"=" + item.second;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

} // namespace

AgentRun::AgentRun()
{
    CreateDirectoryW((folder_ / L"temp").c_str(), nullptr);
    CreateDirectoryW((folder_ / L"standin").c_str(), nullptr);
}

AgentRun::~AgentRun()
{
    if (started_ && !capture_.WaitForAllExited(0)) {
        SignalTerminate();
        capture_.WaitForAllExited(20000);
    }
    capture_.Stop();
}

void AgentRun::ScriptEngine(const std::string& settings)
{
    WriteFileBytes(folder_ / L"standin\\engine.ini", "[engine]\r\n" + settings);
}

DWORD AgentRun::Start(const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + BinaryFolder() + L"\\Halyard.exe\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    const std::wstring temp = folder_ / L"temp";
    const std::wstring environment =
        EnvironmentWith({{L"TMP", temp}, {L"TEMP", temp}, {L"HALYARD_STANDIN_DIR", folder_ / L"standin"}});
    started_ = true;
    return capture_.Start(commandLine, environment);
}

DWORD AgentRun::WaitForExit(DWORD timeoutMs)
{
    return capture_.WaitForExit(timeoutMs);
}

bool AgentRun::WaitForAllExited(DWORD timeoutMs)
{
    return capture_.WaitForAllExited(timeoutMs);
}

bool AgentRun::WaitForDebugText(const std::wstring& text, DWORD timeoutMs)
{
    return capture_.WaitForText(text, timeoutMs);
}

std::wstring AgentRun::LogFolder() const
{
    return folder_ / L"temp\\Orvanta";
}

std::vector<std::string> AgentRun::LogMessages() const
{
    return HalyardTest::LogMessages(LogFolder());
}

std::vector<std::string> AgentRun::RecordLines(const wchar_t* name) const
{
    std::vector<std::string> lines;
    std::istringstream stream(ReadFileBytes(folder_ / (std::wstring(L"standin\\") + name)));
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> AgentRun::EngineCalls() const
{
    std::vector<std::string> calls;
    for (const std::string& line : RecordLines(L"engine-calls.log")) {
        calls.push_back(line.substr(line.find(' ') + 1));
    }
    return calls;
}

std::vector<std::string> AgentRun::Children() const
{
    return RecordLines(L"children.log");
}

bool AgentRun::WaitForAgentWindow(DWORD timeoutMs)
{
    return RunDevCtl(L"wait-window " + std::to_wstring(timeoutMs)) == 0;
}

DWORD AgentRun::RunDevCtl(const std::wstring& arguments)
{
    return RunAndWait(L"\"" + BinaryFolder() + L"\\HalyardDevCtl.exe\" " + arguments);
}

void AgentRun::SignalTerminate()
{
    RunDevCtl(L"terminate");
}

PolicyKey::PolicyKey() : TestRegistryKey(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Veltane\\Orvanta\\Groupmere")
{
    SetString(L"On-demandSyncDiskVolume", L"O:");
}

} // namespace HalyardTest
