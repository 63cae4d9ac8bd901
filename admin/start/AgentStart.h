#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace Orvanta::Deskweave {

// Where agents are started: in every session with a logged-on user, as that user (this needs the
// system account, which may ask for any session's user token), or in this process's session only.
enum class StartScope { EverySession, ThisSession };

// What starting the agents came to; the values are HalyardStop /start's exit codes.
enum class StartResult : int {
    Started = 0,    // every session of the scope runs an agent, or was given one
    SomeFailed = 1, // some session was not given one (listed), or there is no logon start to run
};

// The logon start's command line, as the machine's Run value "Halyard" gives it (references to the
// environment expanded); empty with the Win32 error in `error` when there is none.
std::wstring LogonStartCommand(DWORD& error);

// Runs the logon start in each session of the scope that runs no agent yet, as logon would: as the
// session's user, on its interactive desktop, with that user's environment; the started program then
// relaunches itself as the agent, and the agent's own guard keeps it to one a session. Sessions are
// started one after another without waiting for their agents; once timeoutMs have passed in all, the
// sessions left are reported and not started. Each line of what happens goes to `report`, errors
// flagged.
StartResult StartAgents(StartScope scope, DWORD timeoutMs,
                        const std::function<void(const std::wstring& line, bool error)>& report);

} // namespace Orvanta::Deskweave
