#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// The agents' entries of their start and engine connection (100, 200, 201) in the Application log.
// Any interactive user may write entries under the source Halyard, naming any session and any user: they
// are the answer only where no user's own log can be read, and they prove nothing a user wants to hide.
struct AgentEntry {
    DWORD session = 0;
    DWORD id = 0;
    std::wstring sid;    // the user the record names (the agent's, as it reports); empty when it names none
    DWORD generated = 0; // seconds since 1970, UTC
    std::wstring status; // 200: the status, 8 hex digits
    std::wstring time;   // YYYY-MM-DD hh:mm:ss, local time
};

// ReadEventLogW's call, newest first: a buffer to fill, its size, what was read and, on
// ERROR_INSUFFICIENT_BUFFER, what the next record needs.
using EventLogReading = std::function<BOOL(BYTE* buffer, DWORD size, DWORD& read, DWORD& needed)>;

// The agents' entries, newest first, in at most `limit` bytes of records, read with a buffer as large as
// the largest record asks for. On a failed read, what was found so far, with the error in `error`
// (ERROR_HANDLE_EOF at the log's end).
std::vector<AgentEntry> AgentEntriesNewestFirst(const EventLogReading& reading, DWORD limit, DWORD& error);

// The same of this machine's Application log; an empty answer with `error` when it cannot be opened.
std::vector<AgentEntry> AgentEntriesOfThisMachine(DWORD& error);

// The newest entry of a session's running agent: of that session, of that user when the SID is known,
// and reported since the agent started when that is known (`since`, seconds since 1970, else 0), since a
// session's number is given to another after a logoff. Null when there is none.
const AgentEntry* LatestEntryOf(const std::vector<AgentEntry>& entries, DWORD session, const std::wstring& sid,
                                DWORD since);

} // namespace Orvanta::Deskweave
