#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace Orvanta::Deskweave {

// What stopping every agent came to; the values are the stop tool's exit codes.
enum class StopResult : int {
    Stopped = 0,        // every agent has exited, or none was running
    TimedOut = 1,       // agents still run when the time is up (the event is reset all the same)
    CannotSignal = 3,   // the terminate event could not be created, opened or signalled (why is reported)
    EventStillHeld = 4, // every agent has exited, but another process held the event signalled before the
                        // stop (it was reset), or sets it again
};

// Stops the agents of every logon session: signals the machine-wide terminate event, waits until no
// agent process is left (checking once when timeoutSeconds is 0), then resets and closes the event
// again, whether or not every agent has exited, since a manual-reset event left signalled would stop
// every agent that starts afterwards. An event that another process held signalled before the stop,
// or sets again after it, is said so (EventStillHeld). Each line of
// what happens goes to `report`, errors flagged, for the stop tool's console and the package log.
// Why the terminate event could not be opened, and what it means for the agents: error 5 (its
// permissions were changed), 6 (another kind of object holds its name), or 0 for a creation that failed
// where no event of the name existed. For the stop tool and the checker.
std::wstring TerminateEventRefusal(DWORD error);

StopResult StopAllAgents(DWORD timeoutSeconds, const std::function<void(const std::wstring& line, bool error)>& report);

} // namespace Orvanta::Deskweave
