#include "admin/common/AgentSessions.h"

#include "admin/common/RunEntry.h"
#include "platform/ObjectNames.h"
#include "platform/ProgramFolder.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include <algorithm>

namespace Orvanta::Deskweave {
namespace {

struct WtsMemoryTraits {
    static void* Invalid() noexcept { return nullptr; }
    static void Close(void* memory) noexcept { WTSFreeMemory(memory); }
};
using UniqueWtsMemory = UniqueResource<void*, WtsMemoryTraits>;

// The full path of a process's image, read with the least right there is; empty when refused.
std::wstring ImagePath(DWORD processId)
{
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    std::wstring path(32768, L'\0');
    DWORD length = static_cast<DWORD>(path.size());
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) {
        return {};
    }
    path.resize(length);
    return path;
}

// An administrator may read other users' processes only with this privilege enabled; the system
// account needs none. Where it is not held, nothing changes.
void EnableDebugPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        return;
    }
    const UniqueHandle owner(token);
    TOKEN_PRIVILEGES enabled = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &enabled.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &enabled, 0, nullptr, nullptr);
    }
}

std::wstring SessionText(DWORD sessionId, WTS_INFO_CLASS part)
{
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, part, &text, &bytes)) {
        return {};
    }
    const UniqueWtsMemory owner(text);
    return text;
}

// "DOMAIN\name" of the session's user; empty when nobody is logged on there.
std::wstring SessionUser(DWORD sessionId)
{
    const std::wstring name = SessionText(sessionId, WTSUserName);
    const std::wstring domain = name.empty() ? std::wstring() : SessionText(sessionId, WTSDomainName);
    return domain.empty() ? name : domain + L"\\" + name;
}

} // namespace

std::vector<UserSession> InteractiveUserSessions()
{
    std::vector<UserSession> sessions;
    WTS_SESSION_INFOW* listed = nullptr;
    DWORD count = 0;
    if (WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &count)) {
        const UniqueWtsMemory owner(listed);
        for (DWORD i = 0; i < count; ++i) {
            if (listed[i].State != WTSActive && listed[i].State != WTSDisconnected) {
                continue;
            }
            std::wstring user = SessionUser(listed[i].SessionId);
            if (!user.empty()) {
                sessions.push_back({listed[i].SessionId, std::move(user), listed[i].State == WTSActive});
            }
        }
    } else {
        count = 0;
    }
    // Session 0 is always listed where listing works at all.
    const DWORD console = WTSGetActiveConsoleSessionId();
    if (count == 0 && console != 0xFFFFFFFF) {
        std::wstring user = SessionUser(console);
        if (!user.empty()) {
            sessions.push_back({console, std::move(user), true});
        }
    }
    return sessions;
}

std::wstring InstalledAgent()
{
    // A Run value that runs another program (a damaged one, or a path not quoted) names no agent.
    const RunEntry entry = RunEntry::Read();
    const size_t name = entry.program.find_last_of(L'\\');
    if (!entry.program.empty() && _wcsicmp(entry.program.c_str() + (name == std::wstring::npos ? 0 : name + 1),
                                           kAgentProgram) == 0) {
        return entry.program;
    }
    std::vector<std::wstring> candidates;
    wchar_t remembered[MAX_PATH] = {};
    DWORD bytes = sizeof(remembered);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kInstallFolderKey, kInstallFolderValue, RRF_RT_REG_SZ, nullptr, remembered,
                     &bytes) == ERROR_SUCCESS) {
        std::wstring folder = remembered;
        candidates.push_back(folder + (!folder.empty() && folder.back() == L'\\' ? L"" : L"\\") + kAgentProgram);
    }
    std::wstring own;
    if (GetProgramFolder(own) == 0) {
        candidates.push_back(own + L"\\" + kAgentProgram);
    }
    for (const std::wstring& candidate : candidates) {
        const DWORD attributes = GetFileAttributesW(candidate.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return candidate;
        }
    }
    return {};
}

std::vector<AgentProcess> HalyardProcesses(DWORD& error)
{
    EnableDebugPrivilege();
    std::vector<AgentProcess> processes;
    WTS_PROCESS_INFOW* listed = nullptr;
    DWORD count = 0;
    error = WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &count) ? 0 : GetLastError();
    const UniqueWtsMemory owner(listed);
    for (DWORD i = 0; error == 0 && i < count; ++i) {
        if (listed[i].pProcessName != nullptr && _wcsicmp(listed[i].pProcessName, kAgentProgram) == 0) {
            processes.push_back({listed[i].ProcessId, listed[i].SessionId, {}, true});
        }
    }
    // Without the session service the processes are still listed, but a session can be asked of
    // this caller's own processes only: the others' stay unknown, never session 0.
    if (error != 0) {
        UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
             more = Process32NextW(snapshot.get(), &entry)) {
            DWORD session = kUnknownSession;
            if (_wcsicmp(entry.szExeFile, kAgentProgram) == 0) {
                processes.push_back({entry.th32ProcessID,
                                     ProcessIdToSessionId(entry.th32ProcessID, &session) ? session : kUnknownSession,
                                     {},
                                     true});
            }
        }
    }
    const std::wstring installed = InstalledAgent();
    for (AgentProcess& process : processes) {
        process.image = ImagePath(process.processId);
        process.agent = process.image.empty() || installed.empty() || SameProgram(process.image, installed);
    }
    return processes;
}

std::vector<AgentProcess> RunningAgents()
{
    DWORD error = 0;
    std::vector<AgentProcess> agents = HalyardProcesses(error);
    agents.erase(std::remove_if(agents.begin(), agents.end(), [](const AgentProcess& p) { return !p.agent; }),
                 agents.end());
    return agents;
}

const AgentProcess* AgentOfSession(const std::vector<AgentProcess>& agents, DWORD sessionId)
{
    const auto agent = std::find_if(agents.begin(), agents.end(),
                                    [sessionId](const AgentProcess& a) { return a.sessionId == sessionId; });
    return agent != agents.end() ? &*agent : nullptr;
}

} // namespace Orvanta::Deskweave
