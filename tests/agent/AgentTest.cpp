// The real Halyard.exe under Wine, end to end: its exit code, its log file, what reaches the debugger,
// and what the engine and companion stand-ins recorded. These tests share the session's instance
// mutex, the machine policy key and the terminate event, so they run alone.
#include "tests/support/AgentRun.h"
#include "tests/support/LogReader.h"

#include <gtest/gtest.h>

#include <functional>

using namespace HalyardTest;

namespace {

using Messages = std::vector<std::string>;

const std::wstring kTimerTag = L"Orvanta::Deskweave::SyncWindowHandler::OnTimer";

// Indices of each needle in order, each searched after the previous one; -1 where one is missing.
std::vector<int> InOrder(const Messages& messages, const std::vector<std::string>& needles)
{
    std::vector<int> found;
    int from = 0;
    for (const std::string& needle : needles) {
        const int at = FindMessage(messages, needle, from);
        found.push_back(at);
        from = at < 0 ? 0 : at + 1;
    }
    return found;
}

void ExpectInOrder(const Messages& messages, const std::vector<std::string>& needles)
{
    const std::vector<int> found = InOrder(messages, needles);
    for (size_t i = 0; i < needles.size(); ++i) {
        EXPECT_GE(found[i], 0) << "missing, or out of order: " << needles[i];
    }
}

Messages DebugMessages(HalyardDev::DebugCapture& capture, DWORD processId = 0)
{
    Messages messages;
    for (const HalyardDev::DebugString& s : capture.Strings()) {
        if (processId == 0 || s.processId == processId) {
            messages.push_back(Narrow(s.text));
        }
    }
    return messages;
}

class Agent : public testing::Test
{
protected:
    void SetUp() override
    {
        // Nothing of an earlier run may still hold the session's instance mutex.
        if (AgentRun::RunDevCtl(L"wait-gone 0") != 0) {
            AgentRun::SignalTerminate();
            ASSERT_EQ(0u, AgentRun::RunDevCtl(L"wait-gone 20000"));
        }
    }

    // Starts an agent that gets through the gate and waits until its window exists.
    void StartRunning(AgentRun& run)
    {
        ASSERT_EQ(0u, run.Start());
        ASSERT_TRUE(AgentRun::WaitForAgentWindow());
        ASSERT_TRUE(run.WaitForDebugText(L"Orvanta::Deskweave::Event::Create:: Event = Global\\HalyardTerminate"));
    }

    void Terminate(AgentRun& run)
    {
        AgentRun::SignalTerminate();
        EXPECT_EQ(0u, run.WaitForExit());
        EXPECT_TRUE(run.WaitForAllExited());
    }
};

TEST_F(Agent, LogonStartRelaunchesWithRunAndLeavesTheLogToTheChild)
{
    PolicyKey policy;
    AgentRun run;
    ASSERT_EQ(0u, run.Start(L""));
    EXPECT_EQ(0u, run.WaitForExit()) << "the logon start returns at once";
    ASSERT_TRUE(AgentRun::WaitForAgentWindow()) << "the child is the agent";

    const Messages parent = DebugMessages(run.Debugger(), run.Debugger().ProcessId());
    EXPECT_EQ((Messages{"This instance is called usually by WinLogon. Start a child process to unblock the logon.\n",
                        "Orvanta::Deskweave::Process::Process:: cmd line = Halyard.exe\n",
                        "Orvanta::Deskweave::Process::Create:: enter...\n",
                        "Orvanta::Deskweave::Process::Create:: Command line = '\"Halyard.exe\" /run'\n",
                        "wWinMain::CreateProcess result = 00000000\n"}),
              parent);

    AgentRun::SignalTerminate();
    EXPECT_TRUE(run.WaitForAllExited());
    EXPECT_EQ(1u, LogFiles(run.LogFolder()).size());
    const Messages log = run.LogMessages();
    EXPECT_EQ(-1, FindMessage(log, "called usually by WinLogon")) << "the parent never starts the log";
    EXPECT_EQ("Terminating Halyard process.", log.back());
}

TEST_F(Agent, SecondAgentInTheSessionExitsBeforeStartingALogAndTheFirstRunsOn)
{
    PolicyKey policy;
    AgentRun first;
    StartRunning(first);

    AgentRun second;
    ASSERT_EQ(0u, second.Start(L"anything at all"));
    EXPECT_EQ(0u, second.WaitForExit());
    EXPECT_EQ((Messages{"Another instance of Halyard process is already running.\n"}),
              DebugMessages(second.Debugger()));
    EXPECT_TRUE(LogFiles(second.LogFolder()).empty());

    EXPECT_EQ(0u, AgentRun::RunDevCtl(L"wait-window 0")) << "the first agent still runs";
    Terminate(first);
}

TEST_F(Agent, PolicyGateLetsTheAgentRunOnlyWithAReadableDriveValue)
{
    struct Row {
        const char* name;
        std::function<void(TestRegistryKey&)> setUp;
        const char* refusal; // nullptr: the gate passes
    };
    const Row rows[] = {
        {"key missing", nullptr, "On-demand Sync is not configured.  Exit."},
        {"value missing", [](TestRegistryKey&) {}, "On-demand Sync drive is not configured.  Exit."},
        {"value longer than 60 bytes",
         [](TestRegistryKey& key) { key.SetString(L"On-demandSyncDiskVolume", std::wstring(30, L'O')); },
         "On-demand Sync drive is not configured.  Exit."},
        {"value of exactly 60 bytes",
         [](TestRegistryKey& key) { key.SetString(L"On-demandSyncDiskVolume", std::wstring(29, L'O')); }, nullptr},
        {"empty string", [](TestRegistryKey& key) { key.SetString(L"On-demandSyncDiskVolume", L""); }, nullptr},
        {"number", [](TestRegistryKey& key) { key.SetDword(L"On-demandSyncDiskVolume", 1); }, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestRegistryKey policy(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Veltane\\Orvanta\\Groupmere");
        if (row.setUp) {
            row.setUp(policy);
        } else {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, policy.SubKey().c_str());
        }
        AgentRun run;
        ASSERT_EQ(0u, run.Start());
        if (row.refusal != nullptr) {
            EXPECT_EQ(0u, run.WaitForExit());
            EXPECT_EQ(row.refusal, run.LogMessages().back()) << "a refused run still leaves its reason in the log";
            EXPECT_TRUE(run.Children().empty());
            EXPECT_TRUE(run.EngineCalls().empty());
        } else {
            ASSERT_TRUE(AgentRun::WaitForAgentWindow());
            Terminate(run);
            EXPECT_EQ("Terminating Halyard process.", run.LogMessages().back());
        }
    }
}

TEST_F(Agent, EngineRefusingTwiceIsRetriedEveryTwoSecondsThenRegisteredOnceAndReleasedAtExit)
{
    PolicyKey policy;
    AgentRun run;
    run.ScriptEngine("InitializeFailures=2\r\nInitializeFailureStatus=0x80070015\r\n");
    StartRunning(run);
    ASSERT_TRUE(run.WaitForDebugText(kTimerTag + L"::OvRegisterJobStatusListener returned result = 00000000\n"));

    std::vector<ULONGLONG> attempts;
    for (const HalyardDev::DebugString& s : run.Debugger().Strings()) {
        if (s.text.find(L"stand-in: OvInitializeIPC2(3,true)") != std::wstring::npos) {
            attempts.push_back(s.tick);
        }
    }
    ASSERT_EQ(3u, attempts.size());
    for (size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_GT(attempts[i] - attempts[i - 1], 1500u) << "one attempt per 2 s tick";
        EXPECT_LT(attempts[i] - attempts[i - 1], 4000u) << "one attempt per 2 s tick";
    }

    Sleep(4500); // two more ticks' worth: the timer is stopped, nothing more is tried
    Terminate(run);

    EXPECT_EQ((Messages{"OvInitializeIPC2(3,true) 80070015", "OvInitializeIPC2(3,true) 80070015",
                        "OvInitializeIPC2(3,true) 00000000", "OvUninitialize() 00000000"}),
              run.EngineCalls());
    EXPECT_EQ((Messages{"\"OrvantaSyncMonitor.exe\" /checkOnDemandMigration"}), run.Children());
    const Messages log = run.LogMessages();
    ExpectInOrder(log, {"OnTimer::OvInitialize2 failed with result = 80070015",
                        "OnTimer::OvInitialize2 failed with result = 80070015",
                        "OnTimer::OvRegisterJobStatusListener returned result = 00000000"});
    EXPECT_EQ(-1, FindMessage(log, "OvInitialized already succeeded."));
}

TEST_F(Agent, ForeignTimerIsOnlyTracedAndAnEngineThatNeverAcceptsIsNeverReleased)
{
    PolicyKey policy;
    AgentRun run;
    run.ScriptEngine("InitializeFailures=1000\r\n");
    StartRunning(run);

    ASSERT_EQ(0u, AgentRun::RunDevCtl(L"timer 7"));
    ASSERT_TRUE(run.WaitForDebugText(L"stand-in: OvInitializeIPC2(3,true) = 80070015"));
    Terminate(run);

    const Messages log = run.LogMessages();
    const int foreign = FindMessage(log, "uMsg: 275 wParam: 7 lParam: 0");
    ASSERT_GE(foreign, 0);
    ASSERT_LT(foreign + 3, static_cast<int>(log.size()));
    EXPECT_EQ("Orvanta::Deskweave::Window::WindowProc: WM_TIMER received", log[foreign + 1]);
    EXPECT_EQ("Orvanta::Deskweave::SyncWindowHandler::OnTimer::enter...", log[foreign + 2]);
    EXPECT_EQ(std::string::npos, log[foreign + 3].find("OvInitialize")) << "a foreign timer attempts nothing";

    for (const std::string& call : run.EngineCalls()) {
        EXPECT_EQ(0u, call.find("OvInitializeIPC2")) << "never accepted, so never released: " << call;
    }
}

TEST_F(Agent, TerminateEventEndsTheAgentThroughTheWholeTeardownInOrder)
{
    PolicyKey policy;
    AgentRun run;
    StartRunning(run);
    ASSERT_TRUE(run.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
    Terminate(run);

    const Messages log = run.LogMessages();
    // Causal order only: the watcher's own later lines may interleave with the window thread's.
    ExpectInOrder(log, {"Event signalled.  WaitForMultipleObject returned", "Window::Destroy: executing...",
                        "uMsg: 16 ", "WM_DESTROY received",
                        "SyncWindowHandler::OnDestroy:: Deleting shutdown block reason.", "WM_NCDESTROY received",
                        "Window::MessageLoop:Terminating message loop...", "Orvanta::Deskweave::Event::Set:: Enter",
                        "Terminating Halyard process."});
    EXPECT_EQ("Terminating Halyard process.", log.back());

    // After tracing stops, the rest of the teardown reaches the debugger only, in its fixed order.
    const Messages debugger = DebugMessages(run.Debugger());
    const int last = FindMessage(debugger, "Terminating Halyard process.\n");
    ASSERT_GE(last, 0);
    const Messages after(debugger.begin() + last + 1, debugger.end());
    // The internal event, then the handler (engine released, then its own event), then the window.
    EXPECT_EQ((Messages{"Orvanta::Deskweave::Event::Close:: Enter\n",
                        "libOVSyncEngine stand-in: OvUninitialize() = 00000000\n",
                        "Orvanta::Deskweave::Event::Close:: Enter\n",
                        "Orvanta::Deskweave::Window::~Window: executing...\n",
                        "Orvanta::Deskweave::Window::Destroy: executing...\n"}),
              after);
}

TEST_F(Agent, AnAlreadySignalledTerminateEventEndsTheAgentRightAfterStart)
{
    PolicyKey policy;
    HANDLE terminate = CreateEventW(nullptr, TRUE, TRUE, L"Global\\HalyardTerminate");
    ASSERT_NE(nullptr, terminate);
    AgentRun run;
    ASSERT_EQ(0u, run.Start());
    EXPECT_EQ(0u, run.WaitForExit());
    CloseHandle(terminate);

    const Messages log = run.LogMessages();
    ExpectInOrder(log, {"Window::MessageLoop: executing...", "Event signalled.  WaitForMultipleObject returned",
                        "WM_DESTROY received", "Terminating Halyard process."});
}

TEST_F(Agent, CloseFromAnotherProcessEndsTheAgentAndTheWatcherFindsNoWindow)
{
    PolicyKey policy;
    AgentRun run;
    StartRunning(run);
    ASSERT_EQ(0u, AgentRun::RunDevCtl(L"close"));
    EXPECT_EQ(0u, run.WaitForExit());

    const Messages log = run.LogMessages();
    const std::vector<int> at = InOrder(log, {"uMsg: 16 ", "WM_DESTROY received", "Orvanta::Deskweave::Event::Set:: Enter",
                                              "Event signalled.  WaitForMultipleObject returned",
                                              "Orvanta::Deskweave::Window::Destroy: executing..."});
    for (int index : at) {
        ASSERT_GE(index, 0);
    }
    EXPECT_EQ(std::string::npos, log[at.back() + 1].find("PostMessage")) << "no window left to post to";
    EXPECT_EQ("Terminating Halyard process.", log.back());
}

TEST_F(Agent, LogoffRevertsPermissionsOnlyWhenThePolicyAsksAndThenPreparesTheEngine)
{
    TestRegistryKey folders(HKEY_CURRENT_USER, L"SOFTWARE\\Veltane\\Orvanta\\Sync");
    TempFolder temp;
    CreateDirectoryW((temp / L"Sync").c_str(), nullptr);
    folders.SetString(L"SyncRootLocation", temp / L"Sync");

    for (const bool adjust : {false, true}) {
        SCOPED_TRACE(adjust ? "policy on" : "policy off");
        PolicyKey policy;
        policy.SetDword(L"AdjustPermissionsOnLogoff", adjust ? 1 : 0);
        AgentRun run;
        run.ScriptEngine("InitializeFailures=1000\r\n");
        StartRunning(run);
        ASSERT_EQ(0u, AgentRun::RunDevCtl(L"logoff"));
        Terminate(run);

        const Messages debugger = DebugMessages(run.Debugger());
        const std::vector<int> at =
            InOrder(debugger, {"OnQueryEndSession:: All uploads complete.", "OnEndSession::enter...",
                               "stand-in: OvPrepareForLogoff() = 00000000"});
        ASSERT_TRUE(at[0] >= 0 && at[1] >= 0 && at[2] >= 0);
        const int reverted = FindMessage(debugger, "InheritPermissionsFromSrcFolder: destination folder: " +
                                                       Narrow(temp / L"Sync"), at[1]);
        if (adjust) {
            EXPECT_GT(reverted, at[1]);
            EXPECT_LT(reverted, at[2]) << "permissions before the engine's logoff";
        } else {
            EXPECT_EQ(-1, FindMessage(debugger, "FolderPermissionsManager")) << "nothing of the permission work";
        }
        // Called although the engine never accepted, and never released for that reason.
        EXPECT_EQ("OvPrepareForLogoff() 00000000", run.EngineCalls().back());
    }
}

} // namespace
