#include "tests/support/AgentRun.h"

#include "devtools/common/AgentControl.h"
#include "devtools/common/Files.h"
#include "devtools/common/LogReader.h"
#include "devtools/common/Text.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"

#include <gtest/gtest.h>

namespace HalyardTest {

AgentRun::AgentRun(std::wstring program)
    : program_(program.empty() ? BesideThisProgram(Orvanta::Deskweave::kAgentProgram) : std::move(program))
{
    CreateDirectoryW((folder_ / L"temp").c_str(), nullptr);
}

AgentRun::~AgentRun()
{
    if (started_ && !capture_.WaitForAllExited(0)) {
        Terminate();
    }
    capture_.Stop();
}

DWORD AgentRun::Start(const std::wstring& arguments, ChildOptions options)
{
    std::wstring commandLine = L"\"" + program_ + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    const std::wstring temp = folder_ / L"temp";
    options.environment.insert(options.environment.end(), {{L"TMP", temp}, {L"TEMP", temp}});
    started_ = true;
    return capture_.Start(commandLine, options);
}

void AgentRun::StartRunning()
{
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(WaitForAgentWindow(true, 20000));
    ASSERT_TRUE(WaitForDebugText(L"Orvanta::Deskweave::Event::Create:: Event = Global\\HalyardTerminate"));
}

DWORD AgentRun::WaitForExit(DWORD timeoutMs)
{
    return capture_.WaitForExit(timeoutMs);
}

DWORD AgentRun::Terminate(DWORD timeoutMs)
{
    const Orvanta::Deskweave::UniqueHandle terminate = SignalTerminate();
    capture_.WaitForAllExited(timeoutMs);
    return capture_.WaitForExit(0);
}

bool AgentRun::WaitForAllExited(DWORD timeoutMs)
{
    return capture_.WaitForAllExited(timeoutMs);
}

bool AgentRun::WaitForDebugText(const std::wstring& text, DWORD timeoutMs)
{
    return capture_.WaitForText(text, timeoutMs);
}

Messages AgentRun::DebugMessages(bool firstProcessOnly) const
{
    Messages messages;
    for (const DebugString& s : capture_.Strings()) {
        if (!firstProcessOnly || s.processId == capture_.ProcessId()) {
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

DWORD DevCtl(const std::wstring& arguments)
{
    return RunAndWait(L"\"" + BesideThisProgram(L"HalyardDevCtl.exe") + L"\" " + arguments);
}

} // namespace HalyardTest
