#pragma once

#include "admin/check/AgentEntries.h"
#include "admin/check/AgentLog.h"
#include "admin/check/Check.h"
#include "admin/common/AgentSessions.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// A folder where a user's agent may keep its log, and the value of the user's that names it.
struct LogFolderCandidate {
    std::wstring value; // "TMP of S-1-5-21-...", as the line that refuses it says
    std::wstring path;  // ...\Orvanta
};

// A session's running agent as the checker sees it: what the system lists, and what it could read of
// the agent's process.
struct SessionAgent {
    DWORD session = 0;
    std::wstring user; // DOMAIN\name, as the session's list names it
    std::wstring sid;  // the user of the agent's token; empty when it cannot be read from here
    DWORD processId = 0;
    unsigned long long started = 0;          // the agent's creation time (FILETIME ticks); 0 when it cannot be read
    std::vector<LogFolderCandidate> folders; // in the order its GetTempPathW takes them
    // The session user's token, to read the log as that user: the system account's alone to have.
    std::shared_ptr<UniqueHandle> token;
};

// How long the checker reads a session's log, and all of them, before it gives up and says so: a user
// who holds a log under an oplock, or a slow or hung disk, must not hold up the fleet's tool.
struct EngineBounds {
    DWORD sessionMs = 2000;
    DWORD checkMs = 20000;
    AgentLog::Limits limits;
    // Called on the reading thread before a session's read: where the tests hold one up.
    std::function<void(DWORD session)> beforeRead;
    // Where the bytes of the logs read are added up, for the benchmark; none when null.
    unsigned long long* bytesRead = nullptr;
};

// The Application log's agent entries, read once, when a session needs them; with the error of reading.
using AgentEntriesSource = std::function<std::vector<AgentEntry>(DWORD& error)>;

// The folders where a user's agent writes its log, as another account finds them: the user's own TMP
// and TEMP (HKEY_USERS, by the user's SID), then the profile's default temporary folder (the profile
// list), each also with the session's number below it, as terminal servers give each session a folder of
// its own. References to the environment are expanded as the user's (the token's), else %USERPROFILE% as
// the user's profile and the rest as the machine's.
std::vector<LogFolderCandidate> LogFoldersOfUser(const std::wstring& sid, DWORD session, HANDLE token);

// The sessions' agents of this machine: for each session with a user that runs an agent, its process's
// start and user, where its log may be, and, as the system account, the session user's token.
std::vector<SessionAgent> SessionAgentsOf(const std::vector<UserSession>& sessions,
                                          const std::vector<AgentProcess>& agents, const Caller& caller);

// session.engine from elsewhere (session 0, another account): every session's agent from its user's own
// log, read as that user where the caller may (the system account), else with the caller's rights, and
// said so; where no log of the running agent can be read, from its newest Application log entry, marked
// as such.
Check EngineOfSessions(const std::vector<SessionAgent>& agents, bool asUsers, const AgentEntriesSource& entries,
                       const EngineBounds& bounds = {});

// session.engine in the caller's own session, run by its user: the running agent's own log, from this
// process's temporary folder.
Check EngineOfThisSession(const SessionAgent& agent, const AgentEntriesSource& entries,
                          const EngineBounds& bounds = {});

} // namespace Orvanta::Deskweave
