#include "admin/start/AgentStart.h"

#include "admin/common/AgentSessions.h"
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

// The step that failed and its error, or none.
struct Failure {
    const wchar_t* step = nullptr;
    DWORD error = 0;
};

Failure Start(StartScope scope, DWORD sessionId, const std::wstring& commandLine, DWORD& processId)
{
    // CreateProcess may write into its command line.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (scope == StartScope::ThisSession) {
        if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            return {L"CreateProcess", GetLastError()};
        }
    } else {
        HANDLE token = nullptr;
        if (!WTSQueryUserToken(sessionId, &token)) {
            return {L"WTSQueryUserToken", GetLastError()};
        }
        const UniqueHandle user(token);
        void* block = nullptr;
        if (!CreateEnvironmentBlock(&block, user.get(), FALSE)) {
            return {L"CreateEnvironmentBlock", GetLastError()};
        }
        const UniqueEnvironmentBlock environment(block);
        // The session's interactive desktop, where logon starts the user's programs; without it the
        // program would get a desktop of its own that hears of no logoff.
        wchar_t desktop[] = L"winsta0\\default";
        startup.lpDesktop = desktop;
        if (!CreateProcessAsUserW(user.get(), nullptr, buffer.data(), nullptr, nullptr, FALSE,
                                  CREATE_UNICODE_ENVIRONMENT, environment.get(), nullptr, &startup, &process)) {
            return {L"CreateProcessAsUser", GetLastError()};
        }
    }
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    processId = process.dwProcessId;
    return {};
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

} // namespace

std::wstring LogonStartCommand(DWORD& error)
{
    DWORD bytes = 0;
    error = RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
    if (error != ERROR_SUCCESS) {
        return {};
    }
    std::wstring command(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(command.size() * sizeof(wchar_t));
    error = RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, command.data(), &bytes);
    command.resize(error == ERROR_SUCCESS ? wcsnlen(command.c_str(), command.size()) : 0);
    if (error == ERROR_SUCCESS && command.empty()) {
        error = ERROR_FILE_NOT_FOUND;
    }
    return command;
}

StartResult StartAgents(StartScope scope, DWORD timeoutMs,
                        const std::function<void(const std::wstring& line, bool error)>& report)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<UserSession> sessions;
    if (scope == StartScope::EverySession) {
        EnablePrivilegesToStartAsUsers();
        sessions = InteractiveUserSessions();
    } else {
        DWORD own = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &own);
        wchar_t user[256] = {};
        DWORD length = _countof(user);
        GetUserNameW(user, &length);
        sessions.push_back({own, user, true});
        report(L"HalyardStart: not the system account: the agent is started in this session (" + std::to_wstring(own) +
                   L") only",
               false);
    }
    DWORD error = 0;
    const std::wstring command = LogonStartCommand(error);
    if (command.empty()) {
        report(L"HalyardStart: no logon start to run: the Run value " + std::wstring(kRunValue) +
                   L" cannot be read (error " + std::to_wstring(error) + L")",
               true);
        return StartResult::SomeFailed;
    }
    report(L"HalyardStart: starting " + command + L" in " + std::to_wstring(sessions.size()) +
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
        DWORD processId = 0;
        const Failure failure = Start(scope, session.id, command, processId);
        if (failure.step != nullptr) {
            report(L"HalyardStart: " + Describe(session) + L": not started: " + failure.step + L" failed with error " +
                       std::to_wstring(failure.error),
                   true);
            ++failed;
        } else {
            report(L"HalyardStart: " + Describe(session) + L": started, process " + std::to_wstring(processId), false);
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
