#include "admin/common/AgentSessions.h"

#include "platform/ObjectNames.h"
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

std::vector<AgentProcess> RunningAgents()
{
    std::vector<AgentProcess> agents;
    UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, kAgentProgram) == 0) {
            DWORD session = 0;
            ProcessIdToSessionId(entry.th32ProcessID, &session);
            agents.push_back({entry.th32ProcessID, session});
        }
    }
    return agents;
}

const AgentProcess* AgentOfSession(const std::vector<AgentProcess>& agents, DWORD sessionId)
{
    const auto agent = std::find_if(agents.begin(), agents.end(),
                                    [sessionId](const AgentProcess& a) { return a.sessionId == sessionId; });
    return agent != agents.end() ? &*agent : nullptr;
}

} // namespace Orvanta::Deskweave
