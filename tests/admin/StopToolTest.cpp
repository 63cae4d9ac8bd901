// HalyardStop end to end under Wine, against real running agents.
#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"
#include "devtools/common/AgentControl.h"
#include "admin/common/AgentSessions.h"
#include "admin/common/FileIdentity.h"
#include "admin/common/SessionShell.h"
#include "admin/start/AgentStart.h"

#include <sddl.h>

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

// The every-session start inside a job of this process's own, as an installer's or a deployment
// tool's: where the job allows it, the agent is started outside it, so that ending the job does not end
// the agent; where it does not, inside it, and the report says so. HALYARD_JOB_BREAKAWAY: 1 or 0.
int StartInAJob()
{
    const bool breakaway = EnvironmentVariable(L"HALYARD_JOB_BREAKAWAY") == L"1";
    const UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)) ||
        !AssignProcessToJobObject(job.get(), GetCurrentProcess())) {
        return 2;
    }
    std::wstring started;
    StartAgents(StartScope::EverySession, 30000, [&started](const std::wstring& line, bool) {
        started = line.find(L": started; the agent runs, process ") != std::wstring::npos ? line : started;
    });
    const std::wstring how = breakaway ? L", outside the job this program runs in"
                                       : L", inside the job this program runs in, which allows no breakaway: it "
                                         L"ends with that job";
    if (started.size() < how.size() || started.compare(started.size() - how.size(), how.size(), how) != 0 ||
        !WaitForAgentWindow(true, 20000)) {
        printf("%s\n", Narrow(started).c_str());
        return 3;
    }
    const std::vector<AgentProcess> agents = RunningAgents();
    const UniqueHandle agent(agents.empty() ? nullptr
                                            : OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, agents[0].processId));
    BOOL inJob = FALSE;
    return agent && IsProcessInJob(agent.get(), job.get(), &inJob) && inJob == !breakaway ? 0 : 4;
}
const ChildRoutine startInAJob("start-in-a-job", StartInAJob);

class StopTool : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(EnsureNoAgent()); }
    PolicyKey policy_;
};

// Label: wine
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
    EXPECT_EQ((Messages{
                  "4 900 0|HalyardStop: signalled Global\\HalyardTerminate\r\nHalyardStop: waiting up to 30 s for 1 "
                  "agent(s) to exit\r\nHalyardStop: every agent has exited\r\n"}),
              Messages(entries.end() - std::min<size_t>(entries.size(), 1), entries.end()));
}

TEST_F(StopTool, ExitCodesTellAHeldEventAnAgentThatDoesNotExitAndBadArguments)
{
    {
        // Held open by another program, the event is reset when the stop is done, so that agents run again.
        Orvanta::Deskweave::UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, L"Global\\HalyardTerminate"));
        EXPECT_EQ(0u, Stop(L"/timeout:5"));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(held.get(), 0));
        // Held signalled by it before the stop: reset too, and said so.
        SetEvent(held.get());
        const TempFolder output;
        EXPECT_EQ(4u, Stop(L"/timeout:5", output / L"held.txt"));
        EXPECT_NE(std::string::npos, ReadFileBytes(output / L"held.txt")
                                         .find("HalyardStop: every agent has exited, but another process held "
                                               "Global\\HalyardTerminate signalled before this stop; it was reset, "
                                               "until that process sets it again;"));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(held.get(), 0));
        {
            AgentRun runs;
            runs.StartRunning();
            EXPECT_EQ(STILL_ACTIVE, runs.WaitForExit(500)) << "an agent started after the stop runs";
        }
        // What the tool warns of: while the event is held signalled, an agent ends right after its start.
        SetEvent(held.get());
        AgentRun run;
        ASSERT_EQ(0u, run.Start());
        EXPECT_EQ(0u, run.WaitForExit());
        // The watcher may wake before or after the loop starts; the window goes only through the loop.
        const Messages log = run.LogMessages();
        ExpectInOrder(log, {"Event signalled.  WaitForMultipleObject returned", "WM_DESTROY received",
                            "Terminating Halyard process."});
        ExpectInOrder(log, {"Window::MessageLoop: executing...", "WM_DESTROY received"});
    }
    // Programs of the agent's name: the installed one (the Run value's), which does not react here, is
    // waited for until the time is up; a user's own elsewhere is named and not waited for. Image names
    // are matched without regard to case, as Windows compares file names.
    const TempFolder installed;
    const TempFolder users;
    const TempFolder output;
    ASSERT_TRUE(
        CopyFileW(BesideThisProgram(L"HalyardDevCtl.exe").c_str(), (installed / L"hALYARD.EXE").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"HalyardDevCtl.exe").c_str(), (users / kAgentProgram).c_str(), FALSE));
    const LogonStart logonStart(L"\"" + (installed / L"hALYARD.EXE") + L"\"");
    ChildProcess lingering;
    ChildProcess usersOwn;
    ASSERT_EQ(0u, lingering.Start(L"\"" + (installed / L"hALYARD.EXE") + L"\" wait-window 30000"));
    ASSERT_EQ(0u, usersOwn.Start(L"\"" + (users / kAgentProgram) + L"\" wait-window 30000"));
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    EXPECT_EQ(1u, Stop(L"/timeout:1", output / L"stop.txt"));
    const std::string printed = ReadFileBytes(output / L"stop.txt");
    EXPECT_NE(std::string::npos,
              printed.find("HalyardStop: process " + std::to_string(usersOwn.Id()) + " in session " +
                           std::to_string(session) + " is " + Narrow(users / kAgentProgram) +
                           ", not the installed agent (" + Narrow(installed / L"hALYARD.EXE") + "): not waited for"))
        << printed;
    EXPECT_NE(std::string::npos, printed.find("  process " + std::to_string(lingering.Id()) + " in session " +
                                              std::to_string(session) + "\r\n"))
        << printed;
    EXPECT_NE(std::string::npos,
              printed.find(
                  "  Global\\HalyardTerminate was reset when the wait ended: agents that start now run beside them"))
        << printed;
    lingering.Terminate();
    EXPECT_EQ(0u, Stop(L"/timeout:1"));
    usersOwn.Terminate();
    // Another kind of object of the event's name keeps every agent from opening it.
    {
        const UniqueHandle mutex(CreateMutexW(nullptr, FALSE, kTerminateEventName));
        EXPECT_EQ(3u, Stop(L"", output / L"mutex.txt"));
        EXPECT_NE(std::string::npos, ReadFileBytes(output / L"mutex.txt")
                                         .find("HalyardStop: cannot signal Global\\HalyardTerminate: error 6: another "
                                               "kind of object (a mutex, a semaphore) holds its name: every agent that "
                                               "starts now cannot open it either and ends at once"));
    }
    EXPECT_EQ(2u, Stop(L"/timeout:soon"));
    EXPECT_EQ(2u, Stop(L"/start /start", output / L"twice.txt"));
    EXPECT_EQ(0u, ReadFileBytes(output / L"twice.txt")
                      .find("HalyardStop: /start takes no other argument, and no second /start\r\nusage:"));
    EXPECT_EQ(2u, Stop(L"/wait", output / L"usage.txt"));
    EXPECT_EQ(0u, ReadFileBytes(output / L"usage.txt")
                      .find("HalyardStop: the argument /wait is not one of these\r\nusage:"));
    EXPECT_EQ(0u, Stop(L"/?"));
}

// What the package does at the end of an install and at a rollback: the logon start run as the user of
// every session with none. Wine lists no session (its console session stands for them) and hands out
// this process's token for it.
TEST_F(StopTool, StartRunsTheLogonStartInEverySessionWithoutAnAgentAndTheStopToolInItsOwnOnly)
{
    const std::wstring command = L"\"" + BesideThisProgram(kAgentProgram) + L"\"";
    Messages lines;
    const auto report = [&lines](const std::wstring& line, bool error) {
        lines.push_back((error ? "! " : "") + Narrow(line));
    };
    {
        const LogonStart logonStart(command);
        EXPECT_EQ(StartResult::Started, StartAgents(StartScope::EverySession, 30000, report));
        ASSERT_TRUE(WaitForAgentWindow(true, 20000));
        ASSERT_EQ(3u, lines.size());
        EXPECT_EQ("HalyardStart: starting " + Narrow(command) + " in 1 session(s) with a logged-on user", lines[0]);
        EXPECT_TRUE(
            std::regex_match(lines[1], std::regex(R"(HalyardStart: session \d+ \(.+\): started; the agent runs, )"
                                                  R"(process \d+)")))
            << lines[1];
        EXPECT_EQ("HalyardStart: an agent runs, or was started, in every session with a logged-on user", lines[2]);
        lines.clear();
        EXPECT_EQ(StartResult::Started, StartAgents(StartScope::EverySession, 30000, report));
        EXPECT_TRUE(std::regex_match(lines.at(1), std::regex(R"(HalyardStart: session \d+ \(.+\): an agent already )"
                                                             R"(runs \(process \d+\))")))
            << lines.at(1);
        EXPECT_EQ(0u, Stop());

        // Not the system account: its own session only, and it says so. Elevated, as every process of
        // Wine's is, it starts the agent as a child of the session's Explorer (whose identity the test of
        // the start's confirmation pins).
        const TempFolder temp;
        EXPECT_EQ(0u, Stop(L"/start", temp / L"printed.txt"));
        EXPECT_TRUE(WaitForAgentWindow(true, 20000));
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        const Messages printed = ReadLines(temp / L"printed.txt");
        EXPECT_EQ("HalyardStart: not the system account: the agent is started in this session (" +
                      std::to_string(session) + ") only",
                  printed.at(0));
        EXPECT_EQ(0u, printed.at(2).find("HalyardStart: session ")) << printed.at(2);
        EXPECT_NE(std::string::npos, printed.at(2).find(", as a child of the session's Explorer (process "));
        EXPECT_EQ(0u, Stop());

        // Switched off in the Startup settings, nothing is started; with the machine's Run key off by
        // policy, or the value only in the 32-bit view, logon may still start it, and so does this.
        {
            ScopedRegistryKey approval(HKEY_LOCAL_MACHINE, kStartupApprovedRunKey);
            approval.SetBytes(kRunValue, REG_BINARY, std::string("\x03\0\0\0\0\0\0\0\0\0\0\0", 12));
            lines.clear();
            EXPECT_EQ(StartResult::SomeFailed, StartAgents(StartScope::EverySession, 30000, report));
            EXPECT_EQ((Messages{
                          "! HalyardStart: the logon start Halyard is switched off in Task Manager's Startup tab (or "
                          "Settings > Apps > Startup; HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                          "Explorer\\StartupApproved\\Run): logon starts no agent, and none is started here; "
                          "switch it on there, then run this again"}),
                      lines);
            approval.SetBytes(kRunValue, REG_BINARY, std::string("\x02\0\0\0\0\0\0\0\0\0\0\0", 12));
            ScopedRegistryKey policy(HKEY_LOCAL_MACHINE, kExplorerPolicyKey);
            policy.SetDword(kDisableMachineRunValue, 1);
            lines.clear();
            EXPECT_EQ(StartResult::Started, StartAgents(StartScope::EverySession, 30000, report));
            EXPECT_EQ(
                "HalyardStart: the policy DisableLocalMachineRun keeps Windows from running the Run key at logon (a "
                "logon script may start the agent in its place); the agents are started all the same",
                lines.at(0));
            EXPECT_TRUE(WaitForAgentWindow(true, 20000));
            EXPECT_EQ(0u, Stop());
        }
        // Session 0 has no user's desktop to start an agent on.
        Caller sessionZero = Caller::OfThisProcess();
        sessionZero.session = 0;
        lines.clear();
        EXPECT_EQ(StartResult::SomeFailed, StartAgents(StartScope::ThisSession, 30000, report, sessionZero));
        EXPECT_EQ((Messages{
                      "! HalyardStart: this is session 0 (services, remoting, scheduled tasks), which has no user's "
                      "desktop: no agent is started here; run HalyardStop /start as the system account, which "
                      "starts one in every session with a logged-on user"}),
                  lines);
    }
    {
        ScopedRegistryKey wow(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run");
        wow.SetString(kRunValue, command);
        lines.clear();
        EXPECT_EQ(StartResult::Started, StartAgents(StartScope::EverySession, 30000, report));
        EXPECT_EQ("HalyardStart: the Run value Halyard is only in the 32-bit view (Wow6432Node), which logon runs too: "
                  "that command is started",
                  lines.at(0));
        EXPECT_TRUE(WaitForAgentWindow(true, 20000));
        EXPECT_EQ(0u, Stop());
    }
    lines.clear();
    EXPECT_EQ(StartResult::SomeFailed, StartAgents(StartScope::EverySession, 30000, report));
    EXPECT_EQ("! HalyardStart: no logon start to run: the Run value Halyard cannot be read (error 2)", lines.back());
    EXPECT_EQ(1u, Stop(L"/start"));
    EXPECT_EQ(2u, Stop(L"/start /timeout:5"));
}

TEST_F(StopTool, TheStartLeavesTheJobOfItsCallerWhereTheJobAllowsItAndSaysWhereItCannot)
{
    const LogonStart logonStart(L"\"" + BesideThisProgram(kAgentProgram) + L"\"");
    for (const wchar_t* breakaway : {L"1", L"0"}) {
        SCOPED_TRACE(Narrow(breakaway));
        ChildOptions options;
        options.environment = {{L"HALYARD_JOB_BREAKAWAY", breakaway}};
        const ChildResult started = RunChild("start-in-a-job", options);
        EXPECT_EQ(0u, started.exitCode) << started.output;
        EXPECT_EQ(0u, Stop());
    }
}

// The full path of a process's image, or empty.
std::wstring ImagePathOf(DWORD processId)
{
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    return process && QueryFullProcessImageNameW(process.get(), 0, path, &length) ? std::wstring(path, length) : L"";
}

// A start is called one only once the session's agent itself runs: the program that logon starts
// relaunches itself and returns, and the agent it starts may end at once. The elevated start takes the
// session's shell by its identity (a program a user names explorer.exe is not it), and every start gives
// the agent its own folder as the current one. /start exits 1 when a session is left without an agent,
// with the agent's exit code and the reason this tool can tell.
TEST_F(StopTool, AStartIsConfirmedByTheSessionsAgentItselfAndAnAgentThatEndsAtOnceSaysWhy)
{
    const LogonStart logonStart(L"\"" + BesideThisProgram(kAgentProgram) + L"\"");
    const StandInFolder standIns;
    // Started with the user's environment, as logon starts it: the stand-ins' folder must be in it.
    const UserEnvironmentValue recorded(kStandInFolderVariable, standIns.Path());
    const TempFolder users;
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"HalyardDevCtl.exe").c_str(), (users / L"explorer.exe").c_str(), FALSE));
    ChildProcess fake;
    ASSERT_EQ(0u, fake.Start(L"\"" + (users / L"explorer.exe") + L"\" wait-gone 30000"));
    EXPECT_FALSE(IsSessionShell(fake.Handle(), fake.Id(), Caller::OfThisProcess())) << "a program of that name only";
    UniqueHandle held;
    const struct {
        const char* name;
        std::function<void()> setUp;
        DWORD exitCode;
        std::string line;
    } rows[] = {
        {"the policy value missing", [] { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPolicyKey, kDiskVolumeValue); }, 1,
         R"(! HalyardStart: session \d+ \(.+\): started, but the agent ended at once \(process \d+, exit code 0\): the )"
         R"(machine policy value On-demandSyncDiskVolume is not set \(HKLM\\Software\\Policies\\Veltane\\Orvanta\\)"
         R"(Groupmere; the agent writes "On-demand Sync drive is not configured\.  Exit\."\))"},
        {"the terminate event held signalled",
         [&held] { held.reset(CreateEventW(nullptr, TRUE, TRUE, kTerminateEventName)); }, 1,
         R"(! HalyardStart: session \d+ \(.+\): started, but the agent ended at once \(process \d+, exit code 0\): )"
         R"(Global\\HalyardTerminate is signalled, held so by a program: every agent that starts ends at once \(HalyardStop )"
         R"(resets it\))"},
        {"running", [] {}, 0,
         R"(HalyardStart: session \d+ \(.+\): started; the agent runs, process (\d+), as a child of the session's Explorer )"
         R"(\(process (\d+)\), with its token, in Explorer's job if it has one)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const PolicyKey policy;
        row.setUp();
        const TempFolder output;
        EXPECT_EQ(row.exitCode, Stop(L"/start", output / L"printed.txt"));
        held.reset();
        std::smatch match;
        const Messages printed = ReadLines(output / L"printed.txt");
        ASSERT_GE(printed.size(), 3u);
        const std::string line = (row.exitCode != 0 ? "! " : "") + printed[2];
        ASSERT_TRUE(std::regex_match(line, match, std::regex(row.line))) << printed[2];
        if (row.exitCode != 0) {
            EXPECT_EQ("HalyardStart: 1 session(s) left without an agent", printed.back());
            continue;
        }
        ASSERT_TRUE(WaitForAgentWindow(true, 20000));
        const std::vector<AgentProcess> agents = RunningAgents();
        ASSERT_EQ(1u, agents.size());
        EXPECT_EQ(std::to_string(agents[0].processId), match[1].str())
            << "the agent itself, not the copy that relaunched it";
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        wchar_t windows[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        const std::wstring shell = ImagePathOf(std::stoul(match[2].str()));
        const UniqueHandle shellProcess(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, std::stoul(match[2].str())));
        EXPECT_TRUE(IsSessionShell(shellProcess.get(), std::stoul(match[2].str()), Caller::OfThisProcess()));
        EXPECT_TRUE(SameFile(shell, std::wstring(windows) + L"\\explorer.exe") ||
                    SameFile(shell, std::wstring(system) + L"\\explorer.exe"))
            << Narrow(shell);
        // Every agent started here, the ones that ended at once too, had its own folder as the current one.
        const Messages folders = standIns.WaitForRecords(kChildrenFoldersRecord, 1);
        EXPECT_FALSE(folders.empty());
        for (const std::string& folder : folders) {
            EXPECT_TRUE(SameFile(Widen(folder), BesideThisProgram(L""))) << folder;
        }
        EXPECT_EQ(0u, Stop());
    }
}

// A terminate event whose permissions a user changed is named as such: every agent and the stop tool
// are refused it (error 5).
// Label: windows
TEST_F(StopTool, ATerminateEventWhosePermissionsWereChangedIsNamedAsSuch)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine does not enforce a named object's DACL";
    }
    PSECURITY_DESCRIPTOR denied = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;0x2;;;WD)(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                     &denied, nullptr));
    const UniqueLocalMemory owner(denied);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), denied, FALSE};
    const UniqueHandle event(CreateEventW(&attributes, TRUE, FALSE, kTerminateEventName));
    const TempFolder output;
    EXPECT_EQ(3u, Stop(L"", output / L"denied.txt"));
    EXPECT_NE(std::string::npos, ReadFileBytes(output / L"denied.txt")
                                     .find("error 5: its permissions were changed, which any user may do"));
}

// From a prompt that is not elevated, as the session's user, the agent is started with that prompt's own
// token, not as Explorer's child: it is the token logon gives it.
// Label: windows
TEST_F(StopTool, FromAPromptThatIsNotElevatedTheAgentIsStartedWithThePromptsOwnToken)
{
    HANDLE own = nullptr;
    HANDLE limited = nullptr;
    DWORD size = 0;
    TOKEN_LINKED_TOKEN linked = {};
    if (UnderWine() || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) ||
        !GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &size)) {
        GTEST_SKIP() << "needs an administrator whose token User Account Control splits (Wine has none)";
    }
    const UniqueHandle ownToken(own);
    const UniqueHandle linkedToken(linked.LinkedToken);
    ASSERT_TRUE(
        DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &limited));
    const UniqueHandle limitedToken(limited);
    const LogonStart logonStart(L"\"" + BesideThisProgram(kAgentProgram) + L"\"");
    const TempFolder output;
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    const UniqueFileHandle printed(CreateFileW((output / L"printed.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               &inherited, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = printed.get();
    std::wstring command = L"\"" + BesideThisProgram(L"HalyardStop.exe") + L"\" /start";
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessWithTokenW(limited, 0, nullptr, command.data(), 0, nullptr, nullptr, &startup, &process));
    const UniqueHandle stop(process.hProcess);
    CloseHandle(process.hThread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop.get(), 60000));
    const Messages lines = ReadLines(output / L"printed.txt");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(
        std::regex_match(lines[2],
                         std::regex(R"(HalyardStart: session \d+ \(.+\): started; the agent runs, process \d+)")))
        << lines[2];
    EXPECT_EQ(0u, Stop());
}

// As the system account, every session with a logged-on user is given an agent, as its user.
// Label: windows
TEST_F(StopTool, AsTheSystemAccountEverySessionWithAUserIsGivenAnAgent)
{
    const std::vector<UserSession> sessions = InteractiveUserSessions();
    if (UnderWine() || sessions.size() < 2 || !Caller::OfThisProcess().systemAccount) {
        GTEST_SKIP() << "needs a second interactive session and the system account (Wine has one session)";
    }
    const LogonStart logonStart(L"\"" + BesideThisProgram(kAgentProgram) + L"\"");
    EXPECT_EQ(StartResult::Started, StartAgents(StartScope::EverySession, 30000, [](const std::wstring&, bool) {}));
    EXPECT_EQ(sessions.size(), RunningAgents().size());
    EXPECT_EQ(0u, Stop());
}

// Task Manager's switch keeps logon from starting the agent, as the checker and the start tool read it.
// A logon cannot be made inside a test: the machine must give one (HALYARD_LOGON_COMMAND logs a test
// user on in a session of its own, and returns once the logon is done).
// Label: windows
TEST_F(StopTool, AnAgentSwitchedOffInTaskManagerIsNotStartedAtLogon)
{
    const std::wstring logon = EnvironmentVariable(L"HALYARD_LOGON_COMMAND");
    if (UnderWine() || logon.empty()) {
        GTEST_SKIP()
            << "needs a logon of a test user (HALYARD_LOGON_COMMAND), which only a prepared Windows machine gives";
    }
    const LogonStart logonStart(L"\"" + BesideThisProgram(kAgentProgram) + L"\"");
    for (const char bit : {'\x03', '\x02'}) {
        ScopedRegistryKey approval(HKEY_LOCAL_MACHINE, kStartupApprovedRunKey);
        approval.SetBytes(kRunValue, REG_BINARY, std::string(1, bit) + std::string(11, '\0'));
        const size_t before = RunningAgents().size();
        ASSERT_EQ(0u, RunAndWait(logon, 120000));
        Sleep(10000);
        EXPECT_EQ(bit == '\x02', RunningAgents().size() > before) << "first byte " << static_cast<int>(bit);
    }
}

} // namespace
