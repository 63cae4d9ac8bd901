// The real Halyard.exe under Wine, end to end: its exit code, its log file, what reaches the debugger,
// and what the engine and companion stand-ins recorded. These tests share the session's instance
// mutex, the machine policy key and the terminate event, so they run alone.
#include "tests/support/AgentRun.h"
#include "tests/support/LogCapture.h"
#include "devtools/common/AgentControl.h"
#include "devtools/common/Files.h"
#include "devtools/common/Text.h"
#include "platform/ObjectNames.h"
#include "platform/UniqueResource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace HalyardTest;
using Orvanta::Deskweave::UniqueHandle;

namespace {

const std::string kTimerTag = "Orvanta::Deskweave::SyncWindowHandler::OnTimer";
// What follows the last log line on every way the agent ends: the internal event, then the handler
// (the engine released, then its own event), then the window, which is gone by then.
const Messages kTeardownAfterTheLog = {"Orvanta::Deskweave::Event::Close:: Enter\n",
                                       "libOVSyncEngine stand-in: OvUninitialize() = 00000000\n",
                                       "Orvanta::Deskweave::Event::Close:: Enter\n",
                                       "Orvanta::Deskweave::Window::~Window: executing...\n",
                                       "Orvanta::Deskweave::Window::Destroy: executing...\n"};

class Agent : public testing::Test
{
protected:
    // Nothing of an earlier run may still hold the session's instance mutex.
    void SetUp() override { ASSERT_TRUE(EnsureNoAgent()); }

    void Terminate(AgentRun& run)
    {
        EXPECT_EQ(0u, run.Terminate());
        EXPECT_TRUE(run.WaitForAllExited(0));
    }
};

TEST_F(Agent, LogonStartRelaunchesWithRunLoadingNothingButTheSystemsBaseAndLeavesTheLogToTheChild)
{
    PolicyKey policy;
    AgentRun run;
    ASSERT_EQ(0u, run.Start(L""));
    EXPECT_EQ(0u, run.WaitForExit()) << "the logon start returns at once";
    ASSERT_TRUE(WaitForAgentWindow(true, 20000)) << "the child is the agent";

    EXPECT_EQ((Messages{"This instance is called usually by WinLogon. Start a child process to unblock the logon.\n",
                        "Orvanta::Deskweave::Process::Process:: cmd line = Halyard.exe\n",
                        "Orvanta::Deskweave::Process::Create:: enter...\n",
                        "Orvanta::Deskweave::Process::Create:: Command line = '\"Halyard.exe\" /run'\n",
                        "wWinMain::CreateProcess result = 00000000\n"}),
              run.DebugMessages(true));
    // The logon waits for this process: the window and registry libraries load only in the agent.
    for (const LoadedModule& module : run.Debugger().Modules()) {
        if (module.processId == run.Debugger().ProcessId()) {
            std::wstring name = module.path.substr(module.path.rfind(L'\\') + 1);
            std::transform(name.begin(), name.end(), name.begin(), towlower);
            EXPECT_TRUE(name != L"user32.dll" && name != L"advapi32.dll") << Narrow(module.path);
        }
    }

    run.Terminate();
    EXPECT_TRUE(run.WaitForAllExited(0));
    EXPECT_EQ(1u, LogFiles(run.LogFolder()).size());
    const Messages log = run.LogMessages();
    EXPECT_EQ(-1, FindMessage(log, "called usually by WinLogon")) << "the parent never starts the log";
    EXPECT_EQ("Terminating Halyard process.", log.back());
    EXPECT_GE(FindMessage(run.DebugMessages(), "wWinMain:SetProcessShutdownParameters (with level 0x100): succeeded"), 0);
}

TEST_F(Agent, SecondAgentInTheSessionExitsBeforeStartingALogAndTheFirstRunsOn)
{
    PolicyKey policy;
    AgentRun first;
    first.StartRunning();

    AgentRun second;
    ASSERT_EQ(0u, second.Start(L"anything at all"));
    EXPECT_EQ(0u, second.WaitForExit());
    EXPECT_EQ((Messages{"Another instance of Halyard process is already running.\n"}), second.DebugMessages());
    EXPECT_TRUE(LogFiles(second.LogFolder()).empty());

    EXPECT_TRUE(WaitForAgentWindow(true, 0)) << "the first agent still runs";
    Terminate(first);
}

TEST_F(Agent, PolicyGateLetsTheAgentRunOnlyWithADriveValueOfAtMostSixtyBytes)
{
    struct Row {
        const char* name;
        std::function<void(ScopedRegistryKey&)> setUp;
        const char* refusal; // nullptr: the gate passes
    };
    const wchar_t* drive = L"On-demandSyncDiskVolume";
    const Row rows[] = {
        {"key missing", [](ScopedRegistryKey& key) { key.Delete(); }, "On-demand Sync is not configured.  Exit."},
        {"value missing", [](ScopedRegistryKey&) {}, "On-demand Sync drive is not configured.  Exit."},
        {"62 bytes", [=](ScopedRegistryKey& key) { key.SetString(drive, std::wstring(30, L'O')); },
         "On-demand Sync drive is not configured.  Exit."},
        {"61 bytes", [=](ScopedRegistryKey& key) { key.SetBytes(drive, REG_BINARY, std::string(61, 'O')); },
         "On-demand Sync drive is not configured.  Exit."},
        {"60 bytes", [=](ScopedRegistryKey& key) { key.SetString(drive, std::wstring(29, L'O')); }, nullptr},
        {"empty string", [=](ScopedRegistryKey& key) { key.SetString(drive, L""); }, nullptr},
        {"number", [=](ScopedRegistryKey& key) { key.SetDword(drive, 1); }, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedRegistryKey policy(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Veltane\\Orvanta\\Groupmere");
        row.setUp(policy);
        AgentRun run;
        ASSERT_EQ(0u, run.Start());
        if (row.refusal != nullptr) {
            EXPECT_EQ(0u, run.WaitForExit());
            EXPECT_EQ(row.refusal, run.LogMessages().back()) << "a refused run still leaves its reason in the log";
            EXPECT_TRUE(run.Children().empty());
        } else {
            ASSERT_TRUE(WaitForAgentWindow(true, 20000));
            Terminate(run);
        }
    }
}

TEST_F(Agent, EngineRefusingIsRetriedEveryTwoSecondsThenRegisteredOnceAndReleasedAtExit)
{
    PolicyKey policy;
    AgentRun run;
    run.StandIns().ScriptEngine("InitializeFailures=2\r\nInitializeFailureStatus=0x80070015\r\n");
    run.StartRunning();
    ASSERT_TRUE(run.WaitForDebugText(Widen(kTimerTag) + L"::OvRegisterJobStatusListener returned result = 00000000\n"));

    // When the debugger received them: the window's creation, then each attempt.
    std::vector<ULONGLONG> ticks;
    for (const DebugString& s : run.Debugger().Strings()) {
        if (s.text.find(L"WM_CREATE received") != std::wstring::npos ||
            s.text.find(L"stand-in: OvInitializeIPC2(3,true)") != std::wstring::npos) {
            ticks.push_back(s.tick);
        }
    }
    ASSERT_EQ(4u, ticks.size());
    for (size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_GE(ticks[i] - ticks[i - 1], 1800u) << "attempt " << i << ": the first comes with the first tick";
    }
    EXPECT_LE((ticks.back() - ticks.front()) / 3, 2500u) << "one attempt per 2 s tick";

    Sleep(4500); // two more ticks' worth: the timer is stopped, nothing more is tried
    Terminate(run);
    EXPECT_EQ((Messages{"OvInitializeIPC2(3,true) 80070015", "OvInitializeIPC2(3,true) 80070015",
                        "OvInitializeIPC2(3,true) 00000000", "OvUninitialize() 00000000"}),
              run.EngineCalls());
    EXPECT_EQ((Messages{"\"OrvantaSyncMonitor.exe\" /checkOnDemandMigration"}), run.Children());
    const Messages log = run.LogMessages();
    EXPECT_EQ(2, CountMessages(log, kTimerTag + "::OvInitialize2 failed with result = 80070015"));
    EXPECT_EQ(-1, FindMessage(log, "OvInitialized already succeeded."));
}

TEST_F(Agent, ForeignTimerIsOnlyTracedAndAnEngineThatNeverAcceptsIsNeverReleased)
{
    PolicyKey policy;
    AgentRun run;
    run.StandIns().ScriptEngine("InitializeFailures=1000\r\n");
    run.StartRunning();
    ASSERT_EQ(0u, DevCtl(L"timer 7"));
    ASSERT_TRUE(run.WaitForDebugText(L"stand-in: OvInitializeIPC2(3,true) = 80070015"));
    Terminate(run);

    const Messages log = run.LogMessages();
    const int foreign = FindMessage(log, "uMsg: 275 wParam: 7 lParam: 0");
    ASSERT_GE(foreign, 0);
    ASSERT_LT(foreign + 3, static_cast<int>(log.size()));
    EXPECT_EQ("Orvanta::Deskweave::Window::WindowProc: WM_TIMER received", log[foreign + 1]);
    EXPECT_EQ(kTimerTag + "::enter...", log[foreign + 2]);
    EXPECT_EQ(std::string::npos, log[foreign + 3].find("OvInitialize")) << "a foreign timer attempts nothing";
    for (const std::string& call : run.EngineCalls()) {
        EXPECT_EQ(0u, call.find("OvInitializeIPC2")) << "never accepted, so never released: " << call;
    }
}

// However the message loop ends, the whole teardown runs in order, the handler outlives its window
// and the agent exits with 0.
TEST_F(Agent, EveryWayTheLoopEndsLeadsThroughTheWholeTeardownWithTheWindowGoneBeforeTheHandler)
{
    struct Row {
        const char* name;
        std::function<void()> end;
    };
    UniqueHandle terminate;
    const Row rows[] = {
        {"terminate event",
         [&terminate] {
             // Opened, not created: the agent made the event, as it does when it is the first.
             terminate.reset(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE,
                                        Orvanta::Deskweave::kTerminateEventName));
             SetEvent(terminate.get());
         }},
        {"WM_CLOSE from another program", [] { EXPECT_EQ(0u, DevCtl(L"close")); }},
        {"WM_QUIT from another program", [] { EXPECT_EQ(0u, DevCtl(L"quit")); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PolicyKey policy;
        AgentRun run;
        run.StartRunning();
        ASSERT_TRUE(run.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
        row.end();
        EXPECT_EQ(0u, run.WaitForExit());
        if (terminate) {
            // Manual reset: the signal that ended this agent is still there for the agents of every session.
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(terminate.get(), 0));
            terminate.reset();
        }

        const Messages log = run.LogMessages();
        ExpectInOrder(log, {"WM_DESTROY received", "SyncWindowHandler::OnDestroy:: Deleting shutdown block reason.",
                            "WM_NCDESTROY received", "Terminating Halyard process."});
        ExpectInOrder(log, {"Event signalled.  WaitForMultipleObject returned", "Terminating Halyard process."});
        EXPECT_EQ("Terminating Halyard process.", log.back());
        const Messages debugger = run.DebugMessages();
        const int last = FindMessage(debugger, "Terminating Halyard process.\n");
        ASSERT_GE(last, 0);
        EXPECT_EQ(kTeardownAfterTheLog, Messages(debugger.begin() + last + 1, debugger.end()));
    }
}

TEST_F(Agent, AnAlreadySignalledTerminateEventEndsTheAgentRightAfterStart)
{
    PolicyKey policy;
    UniqueHandle terminate(CreateEventW(nullptr, TRUE, TRUE, Orvanta::Deskweave::kTerminateEventName));
    ASSERT_TRUE(terminate);
    AgentRun run;
    ASSERT_EQ(0u, run.Start());
    EXPECT_EQ(0u, run.WaitForExit());
    terminate.reset();

    // The watcher may wake before or after the loop starts; the window goes only through the loop.
    const Messages log = run.LogMessages();
    ExpectInOrder(log, {"Event signalled.  WaitForMultipleObject returned", "WM_DESTROY received",
                        "Terminating Halyard process."});
    ExpectInOrder(log, {"Window::MessageLoop: executing...", "WM_DESTROY received"});
}

TEST_F(Agent, LogoffRevertsPermissionsOnlyWhenThePolicyAsksAndThenPreparesTheEngine)
{
    ScopedRegistryKey folders(HKEY_CURRENT_USER, L"SOFTWARE\\Veltane\\Orvanta\\Sync");
    TempFolder temp;
    CreateDirectoryW((temp / L"Sync").c_str(), nullptr);
    folders.SetString(L"SyncRootLocation", temp / L"Sync");

    for (const bool adjust : {false, true}) {
        SCOPED_TRACE(adjust ? "policy on" : "policy off");
        PolicyKey policy;
        policy.SetDword(L"AdjustPermissionsOnLogoff", adjust ? 1 : 0);
        AgentRun run;
        run.StandIns().ScriptEngine("InitializeFailures=1000\r\n");
        run.StartRunning();
        ASSERT_EQ(0u, DevCtl(L"logoff"));
        Terminate(run);

        const Messages debugger = run.DebugMessages();
        const std::vector<int> at =
            FindInOrder(debugger, {"OnQueryEndSession:: All uploads complete.", "OnEndSession::enter...",
                                   "stand-in: OvPrepareForLogoff() = 00000000"});
        ASSERT_TRUE(at[0] >= 0 && at[1] >= 0 && at[2] >= 0);
        const int reverted =
            FindMessage(debugger, "InheritPermissionsFromSrcFolder: destination folder: " + Narrow(temp / L"Sync"));
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

// A client uninstalled or under repair leaves the agent alone in its folder; and a program or library
// of the client's names planted in the current folder or on PATH must never be taken in their place.
TEST_F(Agent, AnAgentWithoutItsEngineAndCompanionsStartsRunsAndLogsOffTracingWhatIsMissing)
{
    PolicyKey policy;
    TempFolder installed;
    TempFolder planted;
    const std::wstring agent = installed / L"Halyard.exe";
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"Halyard.exe").c_str(), agent.c_str(), FALSE));
    for (const wchar_t* name : {L"OrvantaSyncMonitor.exe", L"libOVSyncEngine.dll"}) {
        ASSERT_TRUE(CopyFileW(BesideThisProgram(name).c_str(), (planted / name).c_str(), FALSE));
    }
    AgentRun run(agent);
    wchar_t path[32767] = {};
    GetEnvironmentVariableW(L"PATH", path, _countof(path));
    ASSERT_EQ(0u, run.Start(L"", {{{L"PATH", planted.Path() + L";" + path}}, planted.Path(), {}}));
    EXPECT_EQ(0u, run.WaitForExit()) << "the logon start needs nothing of the engine";
    ASSERT_TRUE(WaitForAgentWindow(true, 20000)) << "and starts the agent beside itself";
    ASSERT_TRUE(run.WaitForDebugText(Widen(kTimerTag) + L"::OvInitialize2 failed with result = 8007007E\n"));
    ASSERT_EQ(0u, DevCtl(L"logoff"));
    Terminate(run);

    const Messages log = run.LogMessages();
    EXPECT_GE(FindMessage(log, "SyncWindowHandler::OnCreate::CreateProcess result = 00000002"), 0);
    EXPECT_GE(FindMessage(log, "SyncWindowHandler::OnEndSession::OvPrepareForLogoff result = 8007007E"), 0);
    EXPECT_TRUE(run.Children().empty()) << "the planted monitor was started";
    EXPECT_TRUE(run.EngineCalls().empty()) << "the planted engine was loaded";
}

} // namespace
