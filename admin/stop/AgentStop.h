#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace Orvanta::Deskweave {

// What stopping every agent came to; the values are the stop tool's exit codes.
enum class StopResult : int {
    Stopped = 0,        // every agent has exited, or none was running
    TimedOut = 1,       // agents still run when the time is up
    CannotSignal = 3,   // the terminate event could not be created, opened or signalled (why is reported)
    EventStillHeld = 4, // every agent has exited, but another process holds the event signalled
};

// Stops the agents of every logon session: signals the machine-wide terminate event, waits until no
// agent process is left (checking once when timeoutSeconds is 0), then closes the event again, since
// a manual-reset event left signalled would stop every agent that starts afterwards. Each line of
// what happens goes to `report`, errors flagged, for the stop tool's console and the package log.
// Why the terminate event could not be opened, and what it means for the agents: error 5 (its
// permissions were changed), 6 (another kind of object holds its name), or 0 for a creation refused
// to a caller who is not an administrator. For the stop tool and the checker.
std::wstring TerminateEventRefusal(DWORD error);

StopResult StopAllAgents(DWORD timeoutSeconds, const std::function<void(const std::wstring& line, bool error)>& report);

} // namespace Orvanta::Deskweave
