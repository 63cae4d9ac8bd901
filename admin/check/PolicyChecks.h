#pragma once

#include "admin/check/Check.h"

namespace Orvanta::Deskweave {

// The machine policy as the agent reads it, through the agent's own readers: whether it lets the agent
// run (policy.drive), and whether the permission revert is read as the administrator meant it
// (policy.permissions).
void CheckPolicy(Checks& checks);

} // namespace Orvanta::Deskweave
