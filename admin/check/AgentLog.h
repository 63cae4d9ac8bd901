#pragma once

#include "admin/check/LogFolder.h"

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// The engine connection of the agent that runs in a session now, as its own log files tell it. Its files
// are those of its log folder that were created (on Windows; changed, under Wine) at or after its process
// started: the one it holds open for writing is its current log, and those written no later than that
// one was created are the ones it rotated away from, at 5 MiB. A file named later, one a user wrote, one
// copied from elsewhere is none of these. The last connection attempt is looked for from the end of the
// current log, a few KiB first and more only when needed, and in the beginning of the agent's first file
// (where a connection that held since is), within a bound of bytes. A log is its user's file, which that
// user may shape: nothing of it but a status and a time is quoted, and a user can so forge the answer for
// no session but their own.
struct AgentLog {
    enum class State {
        NotTheAgents, // no file of the folder is the running agent's
        Unreadable,   // the folder or one of the agent's files cannot be read (`error`)
        NoAttempt,    // the agent's log shows no connection attempt, in what was read
        Connected,    // at `time`
        NotConnected, // the last attempt, at `time`, returned `status`
    };
    struct Limits {
        size_t entries = 4096;              // of the folder listed
        unsigned long long bytes = 6 << 20; // of the agent's files read
    };
    State state = State::NotTheAgents;
    std::wstring file; // the file the answer comes from, Halyard_YYYY-MM-DD_hh-mm-ss.log
    std::wstring time; // YYYY-MM-DD hh:mm:ss, the year taken from the file's name
    unsigned status = 0;
    DWORD error = 0;
    unsigned long long bytesRead = 0;
    bool entriesCapHit = false; // more entries in the folder than were listed
    bool bytesCapHit = false;   // the agent's files hold more than was read, and no attempt in what was

    // agentStarted: the agent's process creation time (FILETIME ticks), or 0 when it cannot be read:
    // every log file then counts as the agent's, and the one it holds open as its current one.
    static AgentLog Read(const LogFolder& folder, unsigned long long agentStarted, const Limits& limits);
};

} // namespace Orvanta::Deskweave
