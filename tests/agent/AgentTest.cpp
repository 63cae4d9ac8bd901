// The real Halyard.exe under Wine, end to end: its exit code, its log file, what reaches the debugger,
// and what the engine and companion stand-ins recorded. These tests share the session's instance
// mutex, the machine policy key and the terminate event, so they run alone.
#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"
#include "devtools/common/AgentControl.h"
#include "agent/ShutdownOrder.h"

#include "HalyardProduct.h"

#include <restartmanager.h>

#include <regex>
#include <tuple>

using namespace HalyardTest;

namespace {

const std::string kTimer = "Orvanta::Deskweave::SyncWindowHandler::OnTimer";
const std::string kTerminating = "Terminating Halyard process.";

std::string ThisSession()
{
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) ? std::to_string(session) : "unknown";
}

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

TEST_F(Agent, LogonStartRelaunchesWithRunLoadingNothingButTheSystemsBaseAndTheAgentIsOneToASession)
{
    PolicyKey policy;
    AgentRun run;
    ASSERT_EQ(0u, run.Start(L""));
    EXPECT_EQ(0u, run.WaitForExit()) << "the logon start returns at once";
    ASSERT_TRUE(WaitForAgentWindow(true, 20000)) << "the child is the agent";
    const std::string create = "Orvanta::Deskweave::Process::Create:: ";
    EXPECT_EQ((Messages{"This instance is called usually by WinLogon. Start a child process to unblock the logon.\n",
                        "Orvanta::Deskweave::Process::Process:: cmd line = Halyard.exe\n", create + "enter...\n",
                        create + "Command line = '\"Halyard.exe\" /run'\n",
                        "wWinMain::CreateProcess result = 00000000\n"}),
              run.DebugMessages(true));
    // The logon waits for this process: the window and registry libraries load only in the agent.
    for (const LoadedModule& module : run.Modules()) {
        const std::string name = Narrow(module.path.substr(module.path.rfind(L'\\') + 1));
        EXPECT_TRUE(module.processId != run.ProcessId() ||
                    (_stricmp(name.c_str(), "user32.dll") != 0 && _stricmp(name.c_str(), "advapi32.dll") != 0))
            << name;
    }

    // A second agent in the session, with any argument text, leaves before starting a log.
    AgentRun second;
    ASSERT_EQ(0u, second.Start(L"anything at all"));
    EXPECT_EQ(0u, second.WaitForExit());
    EXPECT_EQ((Messages{"Another instance of Halyard process is already running.\n"}), second.DebugMessages());
    EXPECT_TRUE(LogFiles(second.LogFolder()).empty());
    EXPECT_TRUE(WaitForAgentWindow(true, 0)) << "the first agent still runs";

    Terminate(run);
    EXPECT_EQ(1u, LogFiles(run.LogFolder()).size());
    const Messages log = run.LogMessages();
    EXPECT_EQ(-1, FindMessage(log, "called usually by WinLogon")) << "the parent never starts the log";
    EXPECT_EQ(kTerminating, log.back());
    EXPECT_GE(FindMessage(run.DebugMessages(), "wWinMain:SetProcessShutdownParameters (with level 0x100): succeeded"),
              0);
}

TEST_F(Agent, PolicyGateLetsTheAgentRunOnlyWithADriveValueOfAtMostSixtyBytes)
{
    const wchar_t* drive = L"On-demandSyncDiskVolume";
    const std::string noKey = "On-demand Sync is not configured.  Exit.";
    const std::string noValue = "On-demand Sync drive is not configured.  Exit.";
    const struct {
        const char* name;
        std::function<void(ScopedRegistryKey&)> setUp;
        std::string refusal; // empty: the gate passes
    } rows[] = {
        {"key missing", [](ScopedRegistryKey& key) { key.Delete(); }, noKey},
        {"value missing", [](ScopedRegistryKey&) {}, noValue},
        {"62 bytes", [=](ScopedRegistryKey& key) { key.SetString(drive, std::wstring(30, L'O')); }, noValue},
        {"61 bytes", [=](ScopedRegistryKey& key) { key.SetBytes(drive, REG_BINARY, std::string(61, 'O')); }, noValue},
        {"60 bytes", [=](ScopedRegistryKey& key) { key.SetString(drive, std::wstring(29, L'O')); }, ""},
        {"empty string", [=](ScopedRegistryKey& key) { key.SetString(drive, L""); }, ""},
        {"number", [=](ScopedRegistryKey& key) { key.SetDword(drive, 1); }, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedRegistryKey policy(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Veltane\\Orvanta\\Groupmere");
        row.setUp(policy);
        AgentRun run;
        ASSERT_EQ(0u, run.Start());
        if (!row.refusal.empty()) {
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
    ASSERT_TRUE(run.WaitForDebugText(Widen(kTimer) + L"::OvRegisterJobStatusListener returned result = 00000000\n"));
    // When the debugger received them: the window's creation, then each attempt.
    std::vector<ULONGLONG> ticks;
    for (const DebugString& s : run.Strings()) {
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
    EXPECT_EQ(2, CountMessages(log, kTimer + "::OvInitialize2 failed with result = 80070015"));
    EXPECT_EQ(-1, FindMessage(log, "OvInitialized already succeeded."));
}

// However the message loop ends, the whole teardown runs in order, the handler outlives its window
// and the agent exits with 0.
TEST_F(Agent, EveryWayTheLoopEndsLeadsThroughTheWholeTeardownWithTheWindowGoneBeforeTheHandler)
{
    UniqueHandle terminate;
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"terminate event",
         [&terminate] {
             // Opened, not created: the agent made the event, as it does when it is the first.
             terminate.reset(
                 OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, Orvanta::Deskweave::kTerminateEventName));
             SetEvent(terminate.get());
         }},
        {"WM_CLOSE from another program", [] { EXPECT_EQ(0u, DevCtl(L"close")); }},
        {"WM_QUIT from another program", [] { EXPECT_EQ(0u, DevCtl(L"quit")); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        PolicyKey policy;
        AgentRun run;
        run.StartRunning();
        ASSERT_TRUE(run.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
        row.second();
        EXPECT_EQ(0u, run.WaitForExit());
        if (terminate) {
            // Manual reset: the signal that ended this agent is still there for the agents of every session.
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(terminate.get(), 0));
            terminate.reset();
        }
        const Messages log = run.LogMessages();
        ExpectInOrder(log, {"WM_DESTROY received", "SyncWindowHandler::OnDestroy:: Deleting shutdown block reason.",
                            "WM_NCDESTROY received", kTerminating});
        ExpectInOrder(log, {"Event signalled.  WaitForMultipleObject returned", kTerminating});
        EXPECT_EQ(kTerminating, log.back());
        // After the log: the internal event, the handler (engine released, its own event), the window.
        const Messages debugger = run.DebugMessages();
        const int last = FindMessage(debugger, kTerminating + "\n");
        ASSERT_GE(last, 0);
        EXPECT_EQ((Messages{"Orvanta::Deskweave::Event::Close:: Enter\n",
                            "libOVSyncEngine stand-in: OvUninitialize() = 00000000\n",
                            "Orvanta::Deskweave::Event::Close:: Enter\n",
                            "Orvanta::Deskweave::Window::~Window: executing...\n",
                            "Orvanta::Deskweave::Window::Destroy: executing...\n"}),
                  Messages(debugger.begin() + last + 1, debugger.end()));
    }
}

// With an engine that never accepts: a foreign timer only traces, the logoff reverts permissions only
// when the policy asks and then prepares the engine, which is never released.
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
        ASSERT_EQ(0u, DevCtl(L"timer 7"));
        ASSERT_EQ(0u, DevCtl(L"logoff"));
        Terminate(run);

        const Messages debugger = run.DebugMessages();
        const int foreign = FindMessage(debugger, "uMsg: 275 wParam: 7 lParam: 0");
        ASSERT_GE(foreign, 0);
        EXPECT_EQ((Messages{"Orvanta::Deskweave::Window::WindowProc: WM_TIMER received\n", kTimer + "::enter...\n"}),
                  Messages(debugger.begin() + foreign + 1, debugger.begin() + foreign + 3));
        EXPECT_EQ(std::string::npos, debugger.at(foreign + 3).find("OvInitialize"))
            << "a foreign timer attempts nothing";
        const std::vector<int> at =
            FindInOrder(debugger, {"OnQueryEndSession:: All uploads complete.", "OnEndSession::enter...",
                                   "stand-in: OvPrepareForLogoff() = 00000000"});
        ASSERT_TRUE(at[0] >= 0 && at[1] >= 0 && at[2] >= 0);
        const int reverted =
            FindMessage(debugger, "InheritPermissionsFromSrcFolder: destination folder: " + Narrow(temp / L"Sync"));
        EXPECT_EQ(adjust, reverted > at[1] && reverted < at[2]) << "permissions before the engine's logoff";
        EXPECT_EQ(adjust, FindMessage(debugger, "FolderPermissionsManager") >= 0)
            << "the permission work, or nothing of it";
        // Called although the engine never accepted, and never released for that reason.
        const Messages calls = run.EngineCalls();
        EXPECT_EQ("OvPrepareForLogoff() 00000000", calls.back());
        EXPECT_EQ(0, CountMessages(calls, "OvUninitialize"));
    }
}

// The platform's own record of the level the agent's start-up asks for: after the users' programs.
TEST(ShutdownOrder, TheAgentHearsOfTheSessionsEndLateAndSaysSo)
{
    LogCapture log;
    SetShutdownOrder();
    DWORD level = 0;
    DWORD flags = 0xdeadbeef;
    ASSERT_TRUE(GetProcessShutdownParameters(&level, &flags));
    EXPECT_EQ(0x100u, level);
    EXPECT_EQ(0u, flags);
    EXPECT_EQ((Messages{"wWinMain:SetProcessShutdownParameters (with level 0x100): succeeded"}), log.Messages());
}

// A real engine runs code of its own on the agent's threads: thread timers and timers of its own
// windows set on the window thread are served, and its threads may outlive OvUninitialize. A library of the engine's
// name without its entry points (a client half installed) may have started threads from its DllMain. Neither is ever
// unloaded under them. Timer messages that another program addresses to the window with a procedure
// are never called.
TEST_F(Agent, AnEnginesOwnTimersAndThreadsKeepRunningUnderTheAgentAndForeignTimerProceduresAreNeverCalled)
{
    const auto exitProcess =
        std::to_wstring(reinterpret_cast<ULONG_PTR>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ExitProcess")));
    TempFolder halfInstalled;
    ASSERT_TRUE(CopyFileW(BesideThisProgram(kAgentProgram).c_str(), (halfInstalled / kAgentProgram).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"HalyardHalfInstalledEngine.dll").c_str(),
                          (halfInstalled / kEngineLibrary).c_str(), FALSE));
    const std::tuple<std::wstring, const char*, std::vector<std::wstring>> rows[] = {
        {{},
         "ThreadTimer=1\r\nWindowTimer=1\r\nLingeringThread=1\r\n",
         {L"stand-in: ThreadTimer(on the initializing thread)", L"stand-in: WindowTimer(on the initializing thread)"}},
        {halfInstalled / kAgentProgram, "", {Widen(kTimer) + L"::OvInitialize2 failed with result = 8007007F\n"}},
    };
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const auto& [agent, script, awaited] = rows[round % 2];
        PolicyKey policy;
        AgentRun run(agent);
        run.StandIns().ScriptEngine(script);
        run.StartRunning();
        for (const std::wstring& text : awaited) {
            ASSERT_TRUE(run.WaitForDebugText(text)) << Narrow(text);
        }
        ASSERT_EQ(0u, DevCtl(L"timer 7 " + exitProcess));
        ASSERT_EQ(0u, DevCtl(L"systimer 7 " + exitProcess));
        ASSERT_TRUE(run.WaitForDebugText(
            L"Dropped a timer message with a timer procedure: uMsg: 280 wParam: 7 lParam: " + exitProcess));
        Terminate(run);
        EXPECT_EQ(kTerminating, run.LogMessages().back()) << "the agent ended on its own, not by a crash";
    }
}

// A client uninstalled, then installed again while its agent runs; a program or library of the
// client's names planted in the current folder or on PATH is never taken in their place. In a child
// whose standard error receives Wine's eventlog channel; it prints what the entries must name.
int RunAnAgentWithoutItsClient()
{
    PolicyKey policy;
    TempFolder installed;
    TempFolder planted;
    const std::wstring agent = installed / kAgentProgram;
    bool copied = CopyFileW(BesideThisProgram(kAgentProgram).c_str(), agent.c_str(), FALSE);
    for (const wchar_t* name : {kSyncMonitorProgram, kEngineLibrary}) {
        copied = CopyFileW(BesideThisProgram(name).c_str(), (planted / name).c_str(), FALSE) && copied;
    }
    AgentRun run(agent);
    const std::wstring missing = Widen(kTimer) + L"::OvInitialize2 failed with result = 8007007E\n";
    const auto failed = [](const char* what) { return printf("FAILED: %s\n", what), 1; };
    if (!copied ||
        run.Start(L"", {{{L"PATH", planted.Path() + L";" + EnvironmentVariable(L"PATH")}}, planted.Path(), {}}) != 0 ||
        run.WaitForExit() != 0) {
        return failed("the logon start returns at once, needing nothing of the engine");
    }
    if (!WaitForAgentWindow(true, 20000) || !run.WaitForDebugText(missing) || DevCtl(L"logoff") != 0 ||
        !run.WaitForDebugText(L"OnEndSession::OvPrepareForLogoff result = 8007007E\n") || !run.Children().empty() ||
        !run.EngineCalls().empty()) {
        return failed(
            "the agent beside it traces the missing engine at each tick and at logoff, taking nothing planted");
    }
    Sleep(2500);
    if (!CopyFileW(BesideThisProgram(kEngineLibrary).c_str(), (installed / kEngineLibrary).c_str(), FALSE) ||
        !run.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000") || run.Terminate() != 0) {
        return failed("the engine, once installed, is connected");
    }
    if (FindMessage(run.LogMessages(), "SyncWindowHandler::OnCreate::CreateProcess result = 00000002") < 0) {
        return failed("the missing monitor is traced");
    }
    printf("\nattempts %d\nfolder %s\nlog %s\n", CountMessages(run.DebugMessages(), Narrow(missing)) + 1,
           Narrow(installed.Path()).c_str(),
           Narrow(run.LogFolder() + L"\\" + LogFiles(run.LogFolder()).back()).c_str());
    return 0;
}
const ChildRoutine withoutItsClient("without-its-client", RunAnAgentWithoutItsClient);

// The Event Log of that run: one entry an occasion, none from the logon start.
// Label: wine
TEST_F(Agent, AnAgentWithoutItsClientTracesWhatIsMissingTakesNothingPlantedAndReportsEachOccasionOnce)
{
    const ChildResult result = RunChildRecordingWine("without-its-client", "+pid,+eventlog");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    const auto printed = [&result](const std::string& name) {
        std::smatch match;
        return std::regex_search(result.output, match, std::regex("\n" + name + " ([^\r\n]*)")) ? match[1].str() : "";
    };
    const std::string session = ThisSession();
    // Every entry of every process: the logon start's would show among them.
    EXPECT_EQ((Messages{"4 100 " + session + "|" HALYARD_VERSION_TEXT "|" + printed("log"),
                        "2 300 " + session + "|OrvantaSyncMonitor.exe|/checkOnDemandMigration|2|" + printed("folder"),
                        "2 200 " + session +
                            "|8007007E|libOVSyncEngine.dll, or a library it needs, was not found "
                            "beside Halyard.exe",
                        "4 201 " + session + "|" + printed("attempts"), "4 600 " + session}),
              Described(ReportedEvents(result.output)));
}

// A copy of the agent alone in a folder with the hostile engine as its engine.
class HostileInstall
{
public:
    HostileInstall()
    {
        EXPECT_TRUE(CopyFileW(BesideThisProgram(kAgentProgram).c_str(), Agent().c_str(), FALSE));
        EXPECT_TRUE(CopyFileW(BesideThisProgram(L"HalyardHostileEngine.dll").c_str(),
                              (folder_ / kEngineLibrary).c_str(), FALSE));
    }
    std::wstring Agent() const { return folder_ / kAgentProgram; }

private:
    TempFolder folder_;
};

const std::string kEndingWithoutTeardown = "Halyard is ending without its teardown: the window thread did not finish "
                                           "within 5000 ms of the request to end; ";

// An engine call that never returns holds the window thread, which alone runs the teardown: whichever
// call hangs, the agent ends within the bound of the request to end, and its last line names the call
// (into the debugger output only, once the teardown has closed the log).
TEST_F(Agent, AnEngineCallThatNeverReturnsStillLetsTheAgentEndAndItsLastLineNamesTheCall)
{
    const HostileInstall hostile;
    for (const std::string call : {"OvInitializeIPC2", "OvPrepareForLogoff", "OvUninitialize"}) {
        SCOPED_TRACE(call);
        PolicyKey policy;
        AgentRun run(hostile.Agent());
        run.StandIns().ScriptEngine("HangIn=" + call + "\r\n");
        run.StartRunning();
        ChildProcess logoff;
        ASSERT_EQ(1u, run.StandIns().WaitForRecords(kEngineCallsRecord, 1).size());
        if (call == "OvPrepareForLogoff") {
            // Sent: the logoff waits for the window thread, which never answers.
            ASSERT_EQ(0u, logoff.Start(L"\"" + BesideThisProgram(L"HalyardDevCtl.exe") + L"\" logoff"));
            ASSERT_EQ(2u, run.StandIns().WaitForRecords(kEngineCallsRecord, 2).size());
        }
        if (call != "OvUninitialize") {
            EXPECT_EQ(call + " hangs", run.EngineCalls().back());
        }
        const ULONGLONG signalled = GetTickCount64();
        const UniqueHandle terminate = SignalTerminate();
        EXPECT_EQ(0u, run.WaitForExit(10000)) << "the agent ends within 10 s of the terminate event, exit code 0";
        EXPECT_LT(GetTickCount64() - signalled, 10000u);
        const Messages made = run.EngineCalls();
        ASSERT_FALSE(made.empty());
        EXPECT_EQ(call + " hangs", made.back());
        const Messages debugger = run.DebugMessages();
        const int ending = FindMessage(debugger, kEndingWithoutTeardown + call + " had not returned for ");
        ASSERT_GE(ending, 0);
        EXPECT_EQ(static_cast<int>(debugger.size()) - 1, ending) << "nothing of the teardown after it";
        const Messages log = run.LogMessages();
        EXPECT_EQ(call != "OvUninitialize", log.back().find(kEndingWithoutTeardown) == 0) << log.back();
    }
}

// The hostile engine run as logon runs the agent, without a debugger (which would take the fault
// first), in a child whose standard error receives Wine's eventlog channel: a call that never returns,
// then a call that faults. Prints each run's exit code and the last line of its log.
int RunAgentsOfAHostileEngine()
{
    PolicyKey policy;
    const HostileInstall hostile;
    EndCrashedProgramsAtOnce();
    for (const char* key : {"HangIn", "FaultIn"}) {
        const StandInFolder standIns;
        standIns.ScriptEngine(std::string(key) + "=OvInitializeIPC2\r\n");
        const TempFolder temp;
        ChildProcess agent;
        if (agent.Start(L"\"" + hostile.Agent() + L"\" /run",
                        {{{L"TMP", temp.Path()}, {L"TEMP", temp.Path()}}, {}, {}}) != 0 ||
            standIns.WaitForRecords(kEngineCallsRecord, 1).empty()) {
            return printf("FAILED: the agent made no engine call (%s)\n", key), 1;
        }
        UniqueHandle terminate;
        if (strcmp(key, "HangIn") == 0) {
            terminate = SignalTerminate();
        }
        const DWORD exitCode = agent.WaitForExit(20000);
        const Messages log = HalyardDev::LogMessages(temp / L"Orvanta");
        printf("\n%s exit %lu\n%s line %s\n", key, exitCode, key, log.empty() ? "(none)" : log.back().c_str());
    }
    return 0;
}
const ChildRoutine hostileEngine("hostile-engine", RunAgentsOfAHostileEngine);

// Each leaves one entry in the Event Log, naming the call; the fault passes on to Windows, which ends
// the agent with the exception's code.
// Label: wine
TEST_F(Agent, AHostileEngineLeavesTheCallThatHungOrFaultedInTheLogAndTheEventLog)
{
    const ChildResult result = RunChildRecordingWine("hostile-engine", "+pid,+eventlog");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    const auto printed = [&result](const std::string& name) {
        std::smatch match;
        return std::regex_search(result.output, match, std::regex("\n" + name + " ([^\r\n]*)")) ? match[1].str() : "";
    };
    EXPECT_EQ("0", printed("HangIn exit"));
    EXPECT_EQ(0u, printed("HangIn line").find(kEndingWithoutTeardown + "OvInitializeIPC2 had not returned for "))
        << printed("HangIn line");
    // Under Wine the Unix exit status keeps the low byte of C0000005.
    EXPECT_TRUE(printed("FaultIn exit") == "3221225477" || printed("FaultIn exit") == "5") << printed("FaultIn exit");
    EXPECT_TRUE(
        std::regex_match(printed("FaultIn line"),
                         std::regex(
                             R"(Halyard is ending on an exception that nothing handled: C0000005 at 0x[0-9A-F]{16} in )"
                             R"(.*\\libOVSyncEngine\.dll, inside OvInitializeIPC2\. Windows Error Reporting takes it )"
                             R"(from here\.)")))
        << printed("FaultIn line");
    const std::string session = ThisSession();
    Messages entries;
    for (const std::string& entry : Described(ReportedEvents(result.output))) {
        if (entry.find(" 610 ") != std::string::npos || entry.find(" 611 ") != std::string::npos) {
            entries.push_back(std::regex_replace(entry, std::regex(R"(\d+ ms|0x[0-9A-F]{16}|\|[^|]*\\libOV)"), "#"));
        }
    }
    EXPECT_EQ((Messages{"2 610 " + session + "|5000|OvInitializeIPC2 had not returned for #",
                        "1 611 " + session + "|C0000005|##SyncEngine.dll|inside OvInitializeIPC2"}),
              entries);
}

// Any program of the session may post the connection timer's message as often as it likes: a flood
// makes no engine call before the timer's own time and is traced once, with its count.
TEST_F(Agent, ATimerFloodMakesNoEngineCallBeforeItsTimeAndIsTracedOnceWithItsCount)
{
    PolicyKey policy;
    AgentRun run;
    run.StandIns().ScriptEngine("InitializeFailures=1000\r\n");
    run.StartRunning();
    ASSERT_EQ(1u, run.StandIns().WaitForRecords(kEngineCallsRecord, 1).size());
    const ULONGLONG first = GetTickCount64();
    ASSERT_EQ(0u, DevCtl(L"flood-timer 1 1000"));
    ASSERT_LT(GetTickCount64() - first, 1000u) << "the flood came within a second";
    ASSERT_EQ(2u, run.StandIns().WaitForRecords(kEngineCallsRecord, 2).size());
    EXPECT_GE(GetTickCount64() - first, 1500u) << "the second attempt came with the timer, not with the flood";
    Sleep(500);
    EXPECT_EQ(2u, run.EngineCalls().size());
    Terminate(run);
    const Messages log = run.LogMessages();
    EXPECT_EQ(1, CountMessages(log, "WindowProc: Dropped "));
    EXPECT_EQ(
        0u,
        log.at(FindMessage(log, "WindowProc: Dropped "))
            .find("Orvanta::Deskweave::Window::WindowProc: Dropped 1000 WM_TIMER messages (the last for timer 1) that "
                  "came within 2000 ms of the one served before them, over "));
    EXPECT_EQ(2, CountMessages(log, kTimer + "::enter..."));
}

// The logoff work is done once a session end. A cancelled logoff (wParam FALSE) does it too, and the
// next session end, which begins with a new query, again; a WM_ENDSESSION that comes again, or after
// the one that said the session ends, only says so.
TEST_F(Agent, TheLogoffWorkIsDoneOnceASessionEndACancelledOneIncluded)
{
    ScopedRegistryKey folders(HKEY_CURRENT_USER, kSyncFoldersKey);
    TempFolder temp;
    CreateDirectoryW((temp / L"Sync").c_str(), nullptr);
    folders.SetString(kSyncRootValue, temp / L"Sync");
    PolicyKey policy;
    policy.SetDword(kAdjustPermissionsValue, 1);
    AgentRun run;
    run.StartRunning();
    const std::pair<const wchar_t*, int> steps[] = {
        {L"query", 0}, {L"endsession 0", 1}, {L"endsession 0", 1}, {L"endsession 1", 1},
        {L"query", 1}, {L"endsession 1", 2}, {L"query", 2},        {L"endsession 1", 2},
    };
    for (const auto& [command, prepared] : steps) {
        SCOPED_TRACE(Narrow(command));
        ASSERT_EQ(0u, DevCtl(command));
        EXPECT_EQ(prepared, CountMessages(run.EngineCalls(), "OvPrepareForLogoff"));
    }
    Terminate(run);
    const Messages log = run.LogMessages();
    EXPECT_EQ(2, CountMessages(log, "InheritPermissionsFromSrcFolder: destination folder: " + Narrow(temp / L"Sync")));
    EXPECT_EQ(3, CountMessages(log, "OnEndSession:: The session end was handled already: this WM_ENDSESSION (wParam "));
    EXPECT_EQ(1, CountMessages(log, "The session end was handled already: this WM_ENDSESSION (wParam 0) neither "
                                    "reverts the permissions nor prepares the engine again."));
}

// Whatever folder the agent is started in, no library is loaded from it: a library that the engine
// asks for by its bare name, planted there, is not.
TEST_F(Agent, NoLibraryIsLoadedFromTheFolderTheAgentWasStartedIn)
{
    PolicyKey policy;
    TempFolder started;
    const std::wstring marker = started / L"loaded.txt";
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"HalyardPlantedLibrary.dll").c_str(),
                          (started / L"HalyardPlantedDependency.dll").c_str(), FALSE));
    AgentRun run;
    run.StandIns().ScriptEngine("LoadLibrary=HalyardPlantedDependency.dll\r\n");
    ASSERT_EQ(0u, run.Start(L"/run", {{{L"HALYARD_PLANT_MARKER", marker}}, started.Path(), {}}));
    ASSERT_TRUE(run.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
    Terminate(run);
    EXPECT_FALSE(FileExists(marker)) << ReadFileBytes(marker);
}

// A client's installer that runs while the agent holds the engine closes the agent through Restart
// Manager, as a logoff would, and Windows starts it again ("/run") once the installer is done: an agent
// that had run for 60 s.
// Label: windows
TEST_F(Agent, RestartManagerStartsTheAgentAgainAfterAnInstallerClosedIt)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine's RegisterApplicationRestart and Restart Manager are stubs";
    }
    PolicyKey policy;
    AgentRun run;
    run.StartRunning();
    Sleep(61000);
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), RmStartSession(&session, 0, key));
    const std::wstring engine = BesideThisProgram(kEngineLibrary);
    LPCWSTR files[] = {engine.c_str()};
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), RmShutdown(session, RmForceShutdown, nullptr));
    EXPECT_NE(STILL_ACTIVE, run.WaitForExit(20000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), RmRestart(session, 0, nullptr));
    RmEndSession(session);
    EXPECT_TRUE(WaitForAgentWindow(true, 20000)) << "started again with /run";
}

} // namespace
