// HalyardStop end to end under Wine, against real running agents.
#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"
#include "devtools/common/AgentControl.h"

using namespace HalyardTest;

namespace {

DWORD Stop(const std::wstring& arguments = L"")
{
    return RunAndWait(L"\"" + BesideThisProgram(L"HalyardStop.exe") + L"\" " + arguments);
}

// The stop tool under a logon agent, in a child whose standard error receives Wine's eventlog channel.
int StopAnAgentForTheEntry()
{
    PolicyKey policy;
    AgentRun run;
    run.StartRunning();
    return static_cast<int>(Stop());
}
const ChildRoutine stopForTheEntry("stop-for-the-entry", StopAnAgentForTheEntry);

class StopTool : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(EnsureNoAgent()); }
    PolicyKey policy_;
};

TEST_F(StopTool, StopsTheRunningAgentAndLeavesNoEventBehindForTheNextOne)
{
    AgentRun first;
    first.StartRunning();
    EXPECT_EQ(0u, Stop());
    EXPECT_EQ(0u, first.WaitForExit());
    EXPECT_EQ("Terminating Halyard process.", first.LogMessages().back());
    EXPECT_FALSE(Orvanta::Deskweave::UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\HalyardTerminate")));
    AgentRun next;
    next.StartRunning();
    EXPECT_EQ(STILL_ACTIVE, next.WaitForExit(500)) << "the next agent is not stopped by a lingering event";
    next.Terminate();

    // One Event Log entry for what the tool did, the lines it printed.
    const ChildResult stopped = RunChildRecordingWine("stop-for-the-entry", "+pid,+eventlog");
    ASSERT_EQ(0u, stopped.exitCode) << stopped.output;
    const Messages entries = Described(ReportedEvents(stopped.output));
    EXPECT_EQ((Messages{"4 900 0|HalyardStop: signalled Global\\HalyardTerminate\r\nHalyardStop: waiting up to 30 s for 1 "
                        "agent(s) to exit\r\nHalyardStop: every agent has exited\r\n"}),
              Messages(entries.end() - std::min<size_t>(entries.size(), 1), entries.end()));
}

TEST_F(StopTool, ExitCodesTellAHeldEventAnAgentThatDoesNotExitAndBadArguments)
{
    {
        Orvanta::Deskweave::UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, L"Global\\HalyardTerminate"));
        EXPECT_EQ(4u, Stop(L"/timeout:5"));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.get(), 0));
        // What the tool warns of: while the event is held signalled, an agent ends right after its start.
        AgentRun run;
        ASSERT_EQ(0u, run.Start());
        EXPECT_EQ(0u, run.WaitForExit());
        // The watcher may wake before or after the loop starts; the window goes only through the loop.
        const Messages log = run.LogMessages();
        ExpectInOrder(log, {"Event signalled.  WaitForMultipleObject returned", "WM_DESTROY received",
                            "Terminating Halyard process."});
        ExpectInOrder(log, {"Window::MessageLoop: executing...", "WM_DESTROY received"});
    }
    // An agent that does not react to the terminate event: a program of the agent's name that only
    // waits. Image names are matched without regard to case, as Windows compares file names.
    TempFolder folder;
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"HalyardDevCtl.exe").c_str(), (folder / L"hALYARD.EXE").c_str(), FALSE));
    ChildProcess lingering;
    ASSERT_EQ(0u, lingering.Start(L"\"" + (folder / L"hALYARD.EXE") + L"\" wait-window 30000"));
    EXPECT_EQ(1u, Stop(L"/timeout:1"));
    lingering.Terminate();
    EXPECT_EQ(2u, Stop(L"/timeout:soon"));
    EXPECT_EQ(2u, Stop(L"/wait"));
}

} // namespace
