#include "admin/common/AgentSessions.h"

#include "admin/common/FileIdentity.h"
#include "admin/common/RunEntry.h"
#include "platform/ObjectNames.h"
#include "platform/ProgramFolder.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"

#include <sddl.h>
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

// A process's image path, start and user, each read with the least right there is; what is refused
// stays empty, and why in readError.
void ReadProcess(AgentProcess& agent)
{
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, agent.processId));
    if (!process) {
        agent.readError = GetLastError();
        return;
    }
    std::wstring path(32768, L'\0');
    DWORD length = static_cast<DWORD>(path.size());
    if (QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) {
        path.resize(length);
        agent.image = path;
    } else {
        agent.readError = GetLastError();
    }
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        agent.started = (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &token)) {
        agent.readError = agent.readError != 0 ? agent.readError : GetLastError();
        return;
    }
    const UniqueHandle owner(token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    LPWSTR text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        const UniqueLocalMemory freed(text);
        agent.sid = text;
    }
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsAgentProgram(const std::wstring& program)
{
    const size_t name = program.find_last_of(L'\\');
    return !program.empty() &&
           _wcsicmp(program.c_str() + (name == std::wstring::npos ? 0 : name + 1), kAgentProgram) == 0;
}

// The Halyard.exe of the folder the package remembers, and the one beside this program.
std::wstring RememberedAgent()
{
    wchar_t remembered[MAX_PATH] = {};
    DWORD bytes = sizeof(remembered);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kInstallFolderKey, kInstallFolderValue, RRF_RT_REG_SZ, nullptr, remembered,
                     &bytes) != ERROR_SUCCESS) {
        return {};
    }
    const std::wstring folder = remembered;
    return folder + (!folder.empty() && folder.back() == L'\\' ? L"" : L"\\") + kAgentProgram;
}

std::wstring OwnAgent()
{
    std::wstring own;
    return GetProgramFolder(own) == 0 ? own + L"\\" + kAgentProgram : std::wstring();
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
    if (IsAgentProgram(entry.program)) {
        return entry.program;
    }
    for (const std::wstring& candidate : {RememberedAgent(), OwnAgent()}) {
        if (IsFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

std::vector<std::wstring> KnownAgents()
{
    std::vector<std::wstring> known;
    const RunEntry entry = RunEntry::Read();
    for (const std::wstring& candidate :
         {OwnAgent(), RememberedAgent(), IsAgentProgram(entry.program) ? entry.program : std::wstring()}) {
        if (IsFile(candidate) && std::none_of(known.begin(), known.end(),
                                              [&candidate](const std::wstring& k) { return SameFile(k, candidate); })) {
            known.push_back(candidate);
        }
    }
    return known;
}

DWORD ListProcessesOfEverySession(std::vector<ListedProcess>& processes)
{
    WTS_PROCESS_INFOW* listed = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &count)) {
        return GetLastError();
    }
    const UniqueWtsMemory owner(listed);
    for (DWORD i = 0; i < count; ++i) {
        processes.push_back({listed[i].ProcessId, listed[i].SessionId,
                             listed[i].pProcessName != nullptr ? listed[i].pProcessName : L""});
    }
    return 0;
}

std::vector<AgentProcess> HalyardProcesses(DWORD& error)
{
    return HalyardProcessesFrom(ListProcessesOfEverySession, error);
}

std::vector<AgentProcess> HalyardProcessesFrom(const ProcessListing& listing, DWORD& error)
{
    EnableDebugPrivilege();
    std::vector<AgentProcess> processes;
    std::vector<ListedProcess> listed;
    error = listing(listed);
    // A machine always runs processes, this one among them: an empty list is the service's failure.
    if (error == 0 && listed.empty()) {
        error = ERROR_NO_DATA;
    }
    for (const ListedProcess& process : listed) {
        if (error == 0 && _wcsicmp(process.name.c_str(), kAgentProgram) == 0) {
            AgentProcess agent;
            agent.processId = process.processId;
            agent.sessionId = process.sessionId;
            processes.push_back(agent);
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
                AgentProcess agent;
                agent.processId = entry.th32ProcessID;
                agent.sessionId = ProcessIdToSessionId(entry.th32ProcessID, &session) ? session : kUnknownSession;
                processes.push_back(agent);
            }
        }
    }
    const std::vector<std::wstring> known = KnownAgents();
    for (AgentProcess& process : processes) {
        ReadProcess(process);
        process.agent = process.image.empty() || known.empty() ||
                        std::any_of(known.begin(), known.end(),
                                    [&process](const std::wstring& k) { return SameFile(process.image, k); });
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
