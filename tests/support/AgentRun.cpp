#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"

#include "devtools/common/AgentControl.h"

namespace HalyardTest {

AgentRun::AgentRun(std::wstring program)
    : program_(program.empty() ? BesideThisProgram(Orvanta::Deskweave::kAgentProgram) : std::move(program))
{
    CreateDirectoryW((folder_ / L"temp").c_str(), nullptr);
}

AgentRun::~AgentRun()
{
    if (started_ && !WaitForAllExited(0)) {
        Terminate();
    }
    Stop();
}

DWORD AgentRun::Start(const std::wstring& arguments, ChildOptions options)
{
    const std::wstring temp = folder_ / L"temp";
    options.environment.insert(options.environment.end(), {{L"TMP", temp}, {L"TEMP", temp}});
    started_ = true;
    return DebugCapture::Start(L"\"" + program_ + L"\"" + (arguments.empty() ? L"" : L" " + arguments), options);
}

void AgentRun::StartRunning()
{
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(WaitForAgentWindow(true, 20000));
    ASSERT_TRUE(WaitForDebugText(L"Orvanta::Deskweave::Event::Create:: Event = Global\\HalyardTerminate"));
}

DWORD AgentRun::Terminate(DWORD timeoutMs)
{
    const Orvanta::Deskweave::UniqueHandle terminate = SignalTerminate();
    WaitForAllExited(timeoutMs);
    return DebugCapture::WaitForExit(0);
}

Messages AgentRun::DebugMessages(bool firstProcessOnly) const
{
    Messages messages;
    for (const DebugString& s : Strings()) {
        if (!firstProcessOnly || s.processId == ProcessId()) {
            messages.push_back(Narrow(s.text));
        }
    }
    return messages;
}

Messages AgentRun::LogMessages() const
{
    return HalyardDev::LogMessages(LogFolder());
}

Messages AgentRun::Children() const
{
    return ReadLines(standIns_.Path() + L"\\" + kChildrenRecord);
}

PolicyKey::PolicyKey() : ScopedRegistryKey(HKEY_LOCAL_MACHINE, Orvanta::Deskweave::kPolicyKey)
{
    SetString(Orvanta::Deskweave::kDiskVolumeValue, L"O:");
}

LogonStart::LogonStart(const std::wstring& command)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, command.c_str(),
                    static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
}

LogonStart::~LogonStart()
{
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue);
}

bool EnsureNoAgent(DWORD timeoutMs)
{
    if (WaitForAgentWindow(false, 0)) {
        return true;
    }
    const Orvanta::Deskweave::UniqueHandle terminate = SignalTerminate();
    return WaitForAgentWindow(false, timeoutMs);
}

DWORD DevCtl(const std::wstring& arguments)
{
    return RunAndWait(L"\"" + BesideThisProgram(L"HalyardDevCtl.exe") + L"\" " + arguments);
}

} // namespace HalyardTest
