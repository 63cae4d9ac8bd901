// HalyardStop end to end under Wine, against real running agents.
#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"
#include "devtools/common/AgentControl.h"
#include "admin/start/AgentStart.h"

#include <regex>

using namespace HalyardTest;

namespace {

DWORD Stop(const std::wstring& arguments = L"", const std::wstring& output = {})
{
    return RunAndWait(L"\"" + BesideThisProgram(L"HalyardStop.exe") + L"\" " + arguments, 60000, {{}, {}, output});
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

// What the package does at the end of an install and at a rollback: the logon start run as the user of
// every session with none. Wine lists no session (its console session stands for them) and hands out
// this process's token for it.
TEST_F(StopTool, StartRunsTheLogonStartInEverySessionWithoutAnAgentAndTheStopToolInItsOwnOnly)
{
    const std::wstring command = L"\"" + BesideThisProgram(kAgentProgram) + L"\"";
    Messages lines;
    const auto report = [&lines](const std::wstring& line, bool error) { lines.push_back((error ? "! " : "") + Narrow(line)); };
    {
        const LogonStart logonStart(command);
        EXPECT_EQ(StartResult::Started, StartAgents(StartScope::EverySession, 30000, report));
        ASSERT_TRUE(WaitForAgentWindow(true, 20000));
        ASSERT_EQ(3u, lines.size());
        EXPECT_EQ("HalyardStart: starting " + Narrow(command) + " in 1 session(s) with a logged-on user", lines[0]);
        EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(HalyardStart: session \d+ \(.+\): started, process \d+)")))
            << lines[1];
        EXPECT_EQ("HalyardStart: an agent runs, or was started, in every session with a logged-on user", lines[2]);
        lines.clear();
        EXPECT_EQ(StartResult::Started, StartAgents(StartScope::EverySession, 30000, report));
        EXPECT_TRUE(std::regex_match(lines.at(1), std::regex(R"(HalyardStart: session \d+ \(.+\): an agent already )"
                                                             R"(runs \(process \d+\))")))
            << lines.at(1);
        EXPECT_EQ(0u, Stop());

        // Not the system account: its own session only, and it says so.
        const TempFolder temp;
        EXPECT_EQ(0u, Stop(L"/start", temp / L"printed.txt"));
        EXPECT_TRUE(WaitForAgentWindow(true, 20000));
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        EXPECT_EQ(0u, ReadFileBytes(temp / L"printed.txt")
                          .find("HalyardStart: not the system account: the agent is started in this session (" +
                                std::to_string(session) + ") only\r\n"));
        EXPECT_EQ(0u, Stop());
    }
    lines.clear();
    EXPECT_EQ(StartResult::SomeFailed, StartAgents(StartScope::EverySession, 30000, report));
    EXPECT_EQ("! HalyardStart: no logon start to run: the Run value Halyard cannot be read (error 2)", lines.back());
    EXPECT_EQ(1u, Stop(L"/start"));
    EXPECT_EQ(2u, Stop(L"/start /timeout:5"));
}

} // namespace
