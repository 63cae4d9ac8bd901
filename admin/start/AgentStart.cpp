#include "admin/start/AgentStart.h"

#include "admin/common/AgentSessions.h"
#include "admin/common/RunEntry.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

namespace Orvanta::Deskweave {
namespace {

struct EnvironmentBlockTraits {
    static void* Invalid() noexcept { return nullptr; }
    static void Close(void* block) noexcept { DestroyEnvironmentBlock(block); }
};
using UniqueEnvironmentBlock = UniqueResource<void*, EnvironmentBlockTraits>;

using Report = std::function<void(const std::wstring& line, bool error)>;

// The step that failed and its error, or none; and, on success, how the program was started.
struct Started {
    const wchar_t* failedStep = nullptr;
    DWORD error = 0;
    DWORD processId = 0;
    std::wstring how;
};

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
        return {step, GetLastError(), 0, {}};
    }
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    started.processId = process.dwProcessId;
    return started;
}

// The session's Explorer, which runs the Run key at logon with the session user's own token; null
// when none runs there or it cannot be opened.
UniqueHandle OpenExplorer(DWORD session, DWORD& processId)
{
    WTS_PROCESS_INFOW* listed = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &count)) {
        return UniqueHandle();
    }
    UniqueHandle explorer;
    for (DWORD i = 0; i < count && !explorer; ++i) {
        if (listed[i].SessionId == session && listed[i].pProcessName != nullptr &&
            _wcsicmp(listed[i].pProcessName, L"explorer.exe") == 0) {
            explorer.reset(OpenProcess(PROCESS_CREATE_PROCESS | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                       listed[i].ProcessId));
            processId = listed[i].ProcessId;
        }
    }
    WTSFreeMemory(listed);
    if (!explorer) {
        SetLastError(ERROR_NOT_FOUND);
    }
    return explorer;
}

// The caller's own session, as the session's Explorer: an elevated caller's token would make the
// agent a high-integrity process (the client's and Explorer's messages to it dropped, the user's drive
// mappings not its own), and another user's the wrong user. The environment is Explorer's user's.
Started StartAsExplorer(const Caller& caller, std::vector<wchar_t>& commandLine)
{
    DWORD explorerId = 0;
    UniqueHandle explorer = OpenExplorer(caller.session, explorerId);
    if (!explorer) {
        return {L"finding the session's Explorer", GetLastError(), 0, {}};
    }
    HANDLE opened = nullptr;
    void* block = nullptr;
    if (OpenProcessToken(explorer.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &opened)) {
        const UniqueHandle token(opened);
        CreateEnvironmentBlock(&block, token.get(), FALSE);
    }
    const UniqueEnvironmentBlock environment(block);
    if (!environment && !caller.IsSessionUser()) {
        return {L"reading Explorer's environment", GetLastError(), 0, {}};
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<BYTE> list(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    HANDLE parent = explorer.get();
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent, sizeof(parent),
                                   nullptr, nullptr)) {
        return {L"UpdateProcThreadAttribute", GetLastError(), 0, {}};
    }
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.lpDesktop = desktop;
    startup.lpAttributeList = attributes;
    Started started = CreateOutsideAnyJob(L"CreateProcess", [&](DWORD flags, PROCESS_INFORMATION& process) {
        return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                              flags | EXTENDED_STARTUPINFO_PRESENT | (environment ? CREATE_UNICODE_ENVIRONMENT : 0),
                              environment.get(), nullptr, &startup.StartupInfo, &process);
    });
    DeleteProcThreadAttributeList(attributes);
    started.how = L", as a child of the session's Explorer (process " + std::to_wstring(explorerId) +
                  L"), with its token" + started.how;
    return started;
}

Started Start(StartScope scope, const Caller& caller, DWORD sessionId, const std::wstring& commandLine)
{
    // CreateProcess may write into its command line.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    if (scope == StartScope::ThisSession) {
        if (caller.elevated || !caller.IsSessionUser()) {
            return StartAsExplorer(caller, buffer);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        return CreateOutsideAnyJob(L"CreateProcess", [&](DWORD flags, PROCESS_INFORMATION& process) {
            return CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                                  &process);
        });
    }
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(sessionId, &token)) {
        return {L"WTSQueryUserToken", GetLastError(), 0, {}};
    }
    const UniqueHandle user(token);
    void* block = nullptr;
    if (!CreateEnvironmentBlock(&block, user.get(), FALSE)) {
        return {L"CreateEnvironmentBlock", GetLastError(), 0, {}};
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
                                    flags | CREATE_UNICODE_ENVIRONMENT, environment.get(), nullptr, &startup, &process);
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
        report(L"HalyardStart: this is session 0 (services, remoting, scheduled tasks), which has no user's desktop: no "
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
        const Started started = Start(scope, caller, session.id, entry.command);
        if (started.failedStep != nullptr) {
            report(L"HalyardStart: " + Describe(session) + L": not started: " + started.failedStep +
                       L" failed with error " + std::to_wstring(started.error) +
                       (scope == StartScope::ThisSession && (caller.elevated || !caller.IsSessionUser())
                            ? L"; an agent is never started with this prompt's token (elevated, or another "
                              L"user's): run HalyardStop /start from the user's own prompt, not elevated, or as "
                              L"the system account"
                            : L""),
                   true);
            ++failed;
        } else {
            report(L"HalyardStart: " + Describe(session) + L": started, process " + std::to_wstring(started.processId) +
                       started.how,
                   false);
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
