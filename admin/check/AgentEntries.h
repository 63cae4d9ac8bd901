#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>

namespace Orvanta::Deskweave {

// The agents' newest entries of their start and engine connection (100, 200, 201) in the Application
// log, a session's latest for each session. Any interactive user may write entries under the source
// Halyard, naming any session: they are the answer only where no user's own log can be read, and they
// prove nothing a user wants to hide.
struct AgentEntry {
    DWORD id = 0;
    std::wstring status; // 200: the status, 8 hex digits
    std::wstring time;   // YYYY-MM-DD hh:mm:ss, local time
};

// ReadEventLogW's call, newest first: a buffer to fill, its size, what was read and, on
// ERROR_INSUFFICIENT_BUFFER, what the next record needs.
using EventLogReading = std::function<BOOL(BYTE* buffer, DWORD size, DWORD& read, DWORD& needed)>;

// At most `limit` bytes of records, read with a buffer as large as the largest record asks for. On a
// failed read, what was found so far, with the error in `error` (ERROR_HANDLE_EOF at the log's end).
std::map<DWORD, AgentEntry> LatestAgentEntries(const EventLogReading& reading, DWORD limit, DWORD& error);

// The same of this machine's Application log; an empty answer with `error` when it cannot be opened.
std::map<DWORD, AgentEntry> LatestAgentEntriesOfThisMachine(DWORD& error);

} // namespace Orvanta::Deskweave
