#pragma once

#include "admin/check/Check.h"

namespace Orvanta::Deskweave {

// The agents as they run: the terminate event (terminate), the sessions with and without an agent
// (sessions), whether an agent can start in this session (session.instance), the engine connection of
// this session's agent from its user's log, or from elsewhere of every session's agent, from its user's
// log or else the Event Log (session.engine), and, run by a session's own user, the folders the
// permission revert works on (session.folders). Runs after the policy checks, whose results it reads.
void CheckSessions(const CheckContext& context, Checks& checks);

} // namespace Orvanta::Deskweave
