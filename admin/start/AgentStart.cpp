#include "admin/start/AgentStart.h"

#include "admin/common/AgentSessions.h"
#include "admin/common/FileIdentity.h"
#include "admin/common/SessionShell.h"
#include "agent/PolicyGate.h"
#include "platform/ObjectNames.h"
#include "admin/common/RunEntry.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"

#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
#include <vector>

namespace Orvanta::Deskweave {
namespace {

struct EnvironmentBlockTraits {
    static void* Invalid() noexcept { return nullptr; }
    static void Close(void* block) noexcept { DestroyEnvironmentBlock(block); }
};
using UniqueEnvironmentBlock = UniqueResource<void*, EnvironmentBlockTraits>;

using Report = std::function<void(const std::wstring& line, bool error)>;

// How long the agents started are watched until each runs or ends.
constexpr ULONGLONG kConfirmMs = 10000;
constexpr DWORD kSettleMs = 500;

// The step that failed and its error, or none; and, on success, the program started and how.
struct Started {
    const wchar_t* failedStep = nullptr;
    DWORD error = 0;
    DWORD processId = 0;
    std::wstring how;
    UniqueHandle process;
};

Started Failed(const wchar_t* step, DWORD error)
{
    Started started;
    started.failedStep = step;
    started.error = error;
    return started;
}

// Runs `create` with the flags to leave this process's job, where it is in one (an installer's, a
// deployment tool's): a job ends its processes with it. A job that allows no breakaway refuses the
// flag with access denied; the program is then started inside it, and the report says so.
Started CreateOutsideAnyJob(const wchar_t* step, const std::function<BOOL(DWORD flags, PROCESS_INFORMATION&)>& create)
{
    PROCESS_INFORMATION process = {};
    Started started;
    BOOL inJob = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
    BOOL created = FALSE;
    if (inJob) {
        created = create(CREATE_BREAKAWAY_FROM_JOB, process);
        started.how = L", outside the job this program runs in";
        if (!created && GetLastError() == ERROR_ACCESS_DENIED) {
            started.how = L", inside the job this program runs in, which allows no breakaway: it ends with that job";
            created = create(0, process);
        }
    } else {
        created = create(0, process);
    }
    if (!created) {
        return Failed(step, GetLastError());
    }
    started.process.reset(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    started.processId = process.dwProcessId;
    return started;
}

// The caller's own session, as the session's Explorer: an elevated caller's token would make the
// agent a high-integrity process (the client's and Explorer's messages to it dropped, the user's drive
// mappings not its own), and another user's the wrong user. The environment is Explorer's user's.
Started StartAsExplorer(const Caller& caller, std::vector<wchar_t>& commandLine, const wchar_t* folder)
{
    DWORD explorerId = 0;
    UniqueHandle explorer = OpenSessionShell(caller, explorerId);
    if (!explorer) {
        return Failed(L"finding the session's Explorer", GetLastError());
    }
    HANDLE opened = nullptr;
    void* block = nullptr;
    if (OpenProcessToken(explorer.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &opened)) {
        const UniqueHandle token(opened);
        CreateEnvironmentBlock(&block, token.get(), FALSE);
    }
    const UniqueEnvironmentBlock environment(block);
    if (!environment && !caller.IsSessionUser()) {
        return Failed(L"reading Explorer's environment", GetLastError());
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<BYTE> list(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    HANDLE parent = explorer.get();
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent, sizeof(parent),
                                   nullptr, nullptr)) {
        return Failed(L"UpdateProcThreadAttribute", GetLastError());
    }
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.lpDesktop = desktop;
    startup.lpAttributeList = attributes;
    // A child of Explorer takes Explorer's job, not this program's, whatever job this one is in.
    PROCESS_INFORMATION process = {};
    const BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                        EXTENDED_STARTUPINFO_PRESENT | (environment ? CREATE_UNICODE_ENVIRONMENT : 0),
                                        environment.get(), folder, &startup.StartupInfo, &process);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    if (!created) {
        return Failed(L"CreateProcess", error);
    }
    Started started;
    started.process.reset(process.hProcess);
    CloseHandle(process.hThread);
    started.processId = process.dwProcessId;
    started.how = L", as a child of the session's Explorer (process " + std::to_wstring(explorerId) +
                  L"), with its token, in Explorer's job if it has one";
    return started;
}

// The agent's own folder is the current one of what is started: a user's folder never is, and no
// library is looked for there.
Started Start(StartScope scope, const Caller& caller, DWORD sessionId, const RunEntry& entry)
{
    // CreateProcess may write into its command line.
    std::vector<wchar_t> buffer(entry.command.begin(), entry.command.end());
    buffer.push_back(L'\0');
    const std::wstring folder = entry.program.substr(0, entry.program.find_last_of(L'\\'));
    const wchar_t* current = folder.empty() || folder == entry.program ? nullptr : folder.c_str();
    if (scope == StartScope::ThisSession) {
        if (caller.elevated || !caller.IsSessionUser()) {
            return StartAsExplorer(caller, buffer, current);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        return CreateOutsideAnyJob(L"CreateProcess", [&](DWORD flags, PROCESS_INFORMATION& process) {
            return CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, flags, nullptr, current, &startup,
                                  &process);
        });
    }
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(sessionId, &token)) {
        return Failed(L"WTSQueryUserToken", GetLastError());
    }
    const UniqueHandle user(token);
    void* block = nullptr;
    if (!CreateEnvironmentBlock(&block, user.get(), FALSE)) {
        return Failed(L"CreateEnvironmentBlock", GetLastError());
    }
    const UniqueEnvironmentBlock environment(block);
    // The session's interactive desktop, where logon starts the user's programs; without it the
    // program would get a desktop of its own that hears of no logoff.
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    return CreateOutsideAnyJob(L"CreateProcessAsUser", [&](DWORD flags, PROCESS_INFORMATION& process) {
        return CreateProcessAsUserW(user.get(), nullptr, buffer.data(), nullptr, nullptr, FALSE,
                                    flags | CREATE_UNICODE_ENVIRONMENT, environment.get(), current, &startup, &process);
    });
}

// Starting a program with another user's token needs these two privileges enabled, and the system
// account holds them without always enabling them in every process it runs. What cannot be enabled
// makes the start fail, and that failure is reported.
void EnablePrivilegesToStartAsUsers()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    const UniqueHandle owner(token);
    for (const wchar_t* privilege : {SE_ASSIGNPRIMARYTOKEN_NAME, SE_INCREASE_QUOTA_NAME, SE_TCB_NAME}) {
        TOKEN_PRIVILEGES enabled = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueW(nullptr, privilege, &enabled.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token, FALSE, &enabled, 0, nullptr, nullptr);
        }
    }
}

std::wstring Describe(const UserSession& session)
{
    return L"session " + std::to_wstring(session.id) + L" (" + session.user +
           (session.active ? L")" : L", disconnected)");
}

// Whether the entry itself lets logon start the agent; false, after saying why, when nothing is to be
// started.
bool Startable(const RunEntry& entry, const Report& report)
{
    if (entry.error != ERROR_SUCCESS) {
        report(L"HalyardStart: no logon start to run: the Run value " + std::wstring(kRunValue) +
                   L" cannot be read (error " + std::to_wstring(entry.error) + L")",
               true);
        return false;
    }
    if (entry.switchedOff) {
        report(L"HalyardStart: the logon start " + std::wstring(kRunValue) +
                   L" is switched off in Task Manager's Startup tab (or Settings > Apps > Startup; HKLM\\" +
                   entry.approvalKey +
                   L"): logon starts no agent, and none is started here; switch it on there, then run this again",
               true);
        return false;
    }
    if (entry.only32Bit) {
        report(L"HalyardStart: the Run value " + std::wstring(kRunValue) +
                   L" is only in the 32-bit view (Wow6432Node), which logon runs too: that command is started",
               false);
    }
    if (entry.disabledByPolicy) {
        report(L"HalyardStart: the policy DisableLocalMachineRun keeps Windows from running the Run key at logon "
               L"(a logon script may start the agent in its place); the agents are started all the same",
               false);
    }
    return true;
}

} // namespace

// Why an agent that was started ended at once, as far as this tool can tell from where it runs.
std::wstring WhyEndedAtOnce(DWORD session)
{
    Registry policy;
    if (const wchar_t* refusal = CheckPolicyGate(policy)) {
        std::wstring line = refusal;
        while (!line.empty() && (line.back() == L'\n' || line.back() == L' ' || line.back() == L'.')) {
            line.pop_back();
        }
        return L"the machine policy value " + std::wstring(kDiskVolumeValue) + L" is not set (HKLM\\" + kPolicyKey +
               L"; the agent writes \"" + line + L".\")";
    }
    const UniqueHandle terminate(OpenEventW(SYNCHRONIZE, FALSE, kTerminateEventName));
    if (terminate && WaitForSingleObject(terminate.get(), 0) == WAIT_OBJECT_0) {
        return std::wstring(kTerminateEventName) +
               L" is signalled, held so by a program: every agent that starts ends at once (HalyardStop resets it)";
    }
    if (AgentOfSession(RunningAgents(), session) != nullptr) {
        return L"another agent runs in the session";
    }
    return L"this tool cannot tell why: the agent's log and the Application log can";
}

// The started program's agent: its "/run" child, the copy it started for logon, or itself when the Run
// value starts the agent directly. Its state when the time was up.
struct Confirmed {
    enum class State { Running, Starting, EndedAtOnce } state = State::Starting;
    DWORD processId = 0;
    DWORD exitCode = 0;
};

// A Halyard.exe whose parent is the started program and that was started after it (a process id is given
// again once its process has gone), opened so that its exit code stays readable.
UniqueHandle OpenChildAgent(DWORD parentId, unsigned long long parentCreated, DWORD& childId)
{
    const UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != parentId || _wcsicmp(entry.szExeFile, kAgentProgram) != 0) {
            continue;
        }
        // WaitForInputIdle asks for the right to query the process's information.
        UniqueHandle child(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
        if (child && ProcessCreationTime(child.get()) >= parentCreated) {
            childId = entry.th32ProcessID;
            return child;
        }
    }
    return UniqueHandle();
}

// Watches a started program until its agent runs (waits for messages: it passed its gate and made its
// window), ends, or the time is up.
Confirmed Confirm(const Started& started, ULONGLONG deadline)
{
    Confirmed confirmed;
    const unsigned long long created = ProcessCreationTime(started.process.get());
    UniqueHandle child;
    DWORD childId = 0;
    for (;;) {
        if (!child) {
            child = OpenChildAgent(started.processId, created, childId);
        }
        const HANDLE agent = child ? child.get() : started.process.get();
        confirmed.processId = child ? childId : started.processId;
        const bool ended = WaitForSingleObject(agent, 0) == WAIT_OBJECT_0;
        // The started program ended: its agent, if it made one, is found once more before it is judged.
        if (ended && !child) {
            child = OpenChildAgent(started.processId, created, childId);
            if (child) {
                continue;
            }
        }
        if (ended) {
            confirmed.state = Confirmed::State::EndedAtOnce;
            GetExitCodeProcess(agent, &confirmed.exitCode);
            return confirmed;
        }
        // Waiting for messages, it has passed its gate; a terminate event held signalled ends it just
        // after (the watcher may see it before or after the loop starts), and a process that has just
        // ended may count as idle: it is watched a moment longer.
        if (WaitForInputIdle(agent, 0) == 0) {
            if (WaitForSingleObject(agent, kSettleMs) == WAIT_OBJECT_0) {
                continue;
            }
            confirmed.state = Confirmed::State::Running;
            return confirmed;
        }
        if (GetTickCount64() >= deadline) {
            return confirmed;
        }
        Sleep(20);
    }
}

StartResult StartAgents(StartScope scope, DWORD timeoutMs, const Report& report, const Caller& caller)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    const RunEntry entry = RunEntry::Read();
    if (!Startable(entry, report)) {
        return StartResult::SomeFailed;
    }
    std::vector<UserSession> sessions;
    if (scope == StartScope::EverySession) {
        EnablePrivilegesToStartAsUsers();
        sessions = InteractiveUserSessions();
    } else if (caller.session == 0) {
        report(
            L"HalyardStart: this is session 0 (services, remoting, scheduled tasks), which has no user's desktop: no "
            L"agent is started here; run HalyardStop /start as the system account, which starts one in every "
            L"session with a logged-on user",
            true);
        return StartResult::SomeFailed;
    } else {
        sessions.push_back({caller.session, caller.sessionUser.empty() ? caller.user : caller.sessionUser, true});
        report(L"HalyardStart: not the system account: the agent is started in this session (" +
                   std::to_wstring(caller.session) + L") only",
               false);
    }
    report(L"HalyardStart: starting " + entry.command + L" in " + std::to_wstring(sessions.size()) +
               L" session(s) with a logged-on user",
           false);

    const std::vector<AgentProcess> agents = RunningAgents();
    size_t failed = 0;
    std::vector<std::pair<const UserSession*, Started>> launched;
    for (const UserSession& session : sessions) {
        if (const AgentProcess* agent = AgentOfSession(agents, session.id)) {
            report(L"HalyardStart: " + Describe(session) + L": an agent already runs (process " +
                       std::to_wstring(agent->processId) + L")",
                   false);
            continue;
        }
        if (GetTickCount64() >= deadline) {
            report(L"HalyardStart: " + Describe(session) + L": not started: the " + std::to_wstring(timeoutMs / 1000) +
                       L" s of the start were up",
                   true);
            ++failed;
            continue;
        }
        Started started = Start(scope, caller, session.id, entry);
        if (started.failedStep != nullptr) {
            report(L"HalyardStart: " + Describe(session) + L": not started: " + started.failedStep +
                       L" failed with error " + std::to_wstring(started.error) +
                       (started.error == ERROR_NOT_FOUND && scope == StartScope::ThisSession
                            ? L": no Explorer runs in this session (a kiosk or custom shell, a remote application); "
                              L"run HalyardStop /start as the system account (psexec -s), which starts the agent "
                              L"with the session user's own token and needs none"
                        : scope == StartScope::ThisSession && (caller.elevated || !caller.IsSessionUser())
                            ? L"; an agent is never started with this prompt's token (elevated, or another "
                              L"user's): run HalyardStop /start from the user's own prompt, not elevated, or as "
                              L"the system account"
                            : L""),
                   true);
            ++failed;
            continue;
        }
        launched.emplace_back(&session, std::move(started));
    }
    // Started one after another, then seen running together: the logon start relaunches itself and
    // returns, and the agent it starts may end at once (the policy, the terminate event).
    const ULONGLONG confirmDeadline = std::min(deadline, GetTickCount64() + kConfirmMs);
    for (const auto& [session, started] : launched) {
        const Confirmed agent = Confirm(started, confirmDeadline);
        const std::wstring process = L"process " + std::to_wstring(agent.processId);
        switch (agent.state) {
        case Confirmed::State::Running:
            report(L"HalyardStart: " + Describe(*session) + L": started; the agent runs, " + process + started.how,
                   false);
            break;
        case Confirmed::State::Starting:
            report(L"HalyardStart: " + Describe(*session) + L": started, " + process + started.how +
                       L"; not waiting for messages yet after " + std::to_wstring(kConfirmMs / 1000) +
                       L" s (a slow logon): taken for starting",
                   false);
            break;
        default:
            report(L"HalyardStart: " + Describe(*session) + L": started, but the agent ended at once (" + process +
                       L", exit code " + std::to_wstring(agent.exitCode) + L"): " + WhyEndedAtOnce(session->id),
                   true);
            ++failed;
            break;
        }
    }
    if (failed > 0) {
        report(L"HalyardStart: " + std::to_wstring(failed) + L" session(s) left without an agent", true);
        return StartResult::SomeFailed;
    }
    report(L"HalyardStart: an agent runs, or was started, in every session with a logged-on user", false);
    return StartResult::Started;
}

} // namespace Orvanta::Deskweave
