#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// The engine connection as an agent's newest log tells it. A log is its user's file, which that user
// may shape, or replace by a link to a file the user may not read: read here, maybe as the system
// account, no link or junction on its path is followed, only a plain file with a single name is taken,
// at most its last 6 MiB are read, and nothing of it but a status and a time is quoted. A user can so
// forge the answer for no session but their own.
struct AgentLog {
    enum class State {
        NoLog,        // no log file in the folder
        Unreadable,   // the folder or the newest log cannot be read, or is a link (`error` says)
        NoAttempt,    // the newest log shows no connection attempt yet
        Connected,    // at `time`
        NotConnected, // the last attempt, at `time`, returned `status`
    };
    State state = State::NoLog;
    std::wstring file;  // the newest log's name, Halyard_YYYY-MM-DD_hh-mm-ss.log
    std::wstring time;  // YYYY-MM-DD hh:mm:ss, the year taken from the file's name
    unsigned status = 0;
    DWORD error = 0;

    // The newest Halyard_*.log in a log folder.
    static AgentLog Read(const std::wstring& folder);
};

// The folders where a logged-on user's agent writes its log, as another account finds them: the user's
// own TMP and TEMP (HKEY_USERS), then the profile's default temporary folder (the profile list), each
// also with the session's number below it, as terminal servers give each session a folder of its own.
std::vector<std::wstring> LogFoldersOfUser(const std::wstring& user, DWORD session);

} // namespace Orvanta::Deskweave
