#pragma once

#include "admin/check/Check.h"

namespace Orvanta::Deskweave {

// The agents as they run: the terminate event (terminate), the sessions with and without an agent
// (sessions), and, inside a user's session, whether an agent can start there (session.instance), its
// engine connection (session.engine, from the Event Log when run in session 0) and the folders the
// permission revert works on (session.folders). Runs after the policy checks, whose results it reads.
void CheckSessions(const CheckContext& context, Checks& checks);

} // namespace Orvanta::Deskweave
