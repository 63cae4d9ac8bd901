#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

namespace Orvanta::Deskweave {

// Entries in the Application log under the source "Halyard", for what an administrator must act on,
// on top of the trace; the messages and their ids are in agent/HalyardEvents.mc. A source that is not
// registered (the agent run outside the package) still reports, and Event Viewer then shows the
// strings without the description. A failure to report changes nothing, the last error included.
class EventLog
{
public:
    // type: EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE or EVENTLOG_ERROR_TYPE; strings fill %1,
    // %2, ...; the entry names the process's user.
    static void Report(WORD type, DWORD eventId, std::initializer_list<std::wstring> strings);
    // The same without allocating: for the report of a fault, on a heap that cannot be trusted.
    static void Report(WORD type, DWORD eventId, const wchar_t* const* strings, WORD count);
    // The Remote Desktop session of this process (ProcessIdToSessionId), which the agent's entries name
    // first: on a terminal server it tells the users' agents apart.
    static std::wstring ThisSession();
};

} // namespace Orvanta::Deskweave
