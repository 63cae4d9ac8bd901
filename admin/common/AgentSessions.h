#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// A Remote Desktop session with a logged-on user, whose desktop may run an agent.
struct UserSession {
    DWORD id = 0;
    std::wstring user;  // DOMAIN\name
    bool active = true; // false: disconnected, the user's programs still run
};

// The session of a process that this caller may not ask (see HalyardProcesses).
constexpr DWORD kUnknownSession = 0xFFFFFFFF;

// A process of any session whose image is named Halyard.exe.
struct AgentProcess {
    DWORD processId = 0;
    DWORD sessionId = 0;
    std::wstring image;             // its full path; empty when this caller may not read it
    bool agent = true;              // a copy of the agent that logon or the package starts, or one whose path cannot be
                                    // read and so may be
    unsigned long long started = 0; // its creation time (FILETIME ticks); 0 when this caller may not read it
    std::wstring sid;               // the user of its token; empty when this caller may not read it
    DWORD readError = 0;            // why its path, start or user cannot be read
};

// The sessions of this machine that have a logged-on user, active or disconnected, as listed.
// Where the platform lists no session at all (its service unreachable, or an emulation that does not
// list them), the active console session stands for them all.
std::vector<UserSession> InteractiveUserSessions();

// The installed Halyard.exe: the program the machine's Run value runs (when it is a Halyard.exe), else
// the one in the folder the package remembers, else the one beside this program; empty when none of
// them exists.
std::wstring InstalledAgent();
// Every copy of the agent that runs as one: the one beside this program, the one in the folder the
// package remembers, and the one the Run value starts at logon, when it is a Halyard.exe; those that
// exist, each once.
std::vector<std::wstring> KnownAgents();

// Every process whose image is named Halyard.exe (without regard to case, as Windows compares file
// names), with its session as the system lists it: no process is opened for that, so a caller that may
// not open other users' processes still places them right. Each is an agent when its image is one of
// KnownAgents, or when its path cannot be read (marked by an empty image); a program of that name
// elsewhere, a user's own, is not. Where the system's list holds no process at all, which it never does
// where it works, it is not believed either. Enables the debug privilege where this process holds it, which an
// administrator needs to read the paths of other users' processes. Never waits on them. Where the
// system's list cannot be had (its session service stopped), `error` says why, and the processes come
// from a snapshot, with kUnknownSession for those whose session this caller may not ask.
std::vector<AgentProcess> HalyardProcesses(DWORD& error);

// A process as the system's list gives it.
struct ListedProcess {
    DWORD processId = 0;
    DWORD sessionId = 0;
    std::wstring name;
};
// The system's list of processes (WTSEnumerateProcessesW): 0, or the Win32 error.
using ProcessListing = std::function<DWORD(std::vector<ListedProcess>& processes)>;
DWORD ListProcessesOfEverySession(std::vector<ListedProcess>& processes);
// HalyardProcesses from a listing of the caller's, for the tests.
std::vector<AgentProcess> HalyardProcessesFrom(const ProcessListing& listing, DWORD& error);
// The agents among them.
std::vector<AgentProcess> RunningAgents();

// The session's agent, or null when none runs there.
const AgentProcess* AgentOfSession(const std::vector<AgentProcess>& agents, DWORD sessionId);

} // namespace Orvanta::Deskweave
