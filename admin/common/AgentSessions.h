#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// A Remote Desktop session with a logged-on user, whose desktop may run an agent.
struct UserSession {
    DWORD id = 0;
    std::wstring user;  // DOMAIN\name
    bool active = true; // false: disconnected, the user's programs still run
};

// A Halyard.exe process of any session.
struct AgentProcess {
    DWORD processId = 0;
    DWORD sessionId = 0;
};

// The sessions of this machine that have a logged-on user, active or disconnected, as listed.
// Where the platform lists no session at all (its service unreachable, or an emulation that does not
// list them), the active console session stands for them all.
std::vector<UserSession> InteractiveUserSessions();

// Every Halyard.exe process, matched by image name without regard to case as Windows compares file
// names. Never waits on them.
std::vector<AgentProcess> RunningAgents();

// The session's agent, or null when none runs there.
const AgentProcess* AgentOfSession(const std::vector<AgentProcess>& agents, DWORD sessionId);

} // namespace Orvanta::Deskweave
