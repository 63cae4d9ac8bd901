#pragma once

#include "admin/common/Caller.h"

#include <windows.h>

#include <functional>
#include <string>

namespace Orvanta::Deskweave {

// Where agents are started: in every session with a logged-on user, as that user (this needs the
// system account, which may ask for any session's user token), or in the caller's session only.
enum class StartScope { EverySession, ThisSession };

// What starting the agents came to; the values are HalyardStop /start's exit codes.
enum class StartResult : int {
    Started = 0,    // every session of the scope runs an agent, or was given one
    SomeFailed = 1, // some session was not given one (listed), or nothing was started, and why
};

// Runs the machine's logon start (RunEntry) in each session of the scope that runs no agent yet, as
// logon would: as the session's user, on its interactive desktop, with that user's environment, never
// elevated; the started program then relaunches itself as the agent, and the agent's own guard keeps it
// to one a session. In the caller's session, an elevated caller or another user than the session's
// starts it as the session's Explorer (the program that runs the Run key at logon), as its parent;
// session 0, which has no user's desktop, gets none. Nothing is started when the entry is switched off
// in the Startup settings. A caller inside a job starts the agents outside it where the job allows
// that. Sessions are started one after another without waiting for their agents; once timeoutMs have
// passed in all, the sessions left are reported and not started. Each line of what happens goes to
// `report`, errors flagged.
StartResult StartAgents(StartScope scope, DWORD timeoutMs,
                        const std::function<void(const std::wstring& line, bool error)>& report,
                        const Caller& caller = Caller::OfThisProcess());

} // namespace Orvanta::Deskweave
