#pragma once

#include "admin/check/Check.h"

namespace Orvanta::Deskweave {

// What the package installed beside the checker: the agent and its version (install.files), the logon
// start (install.run), the Event Log source (install.eventsource), the folder that upgrades stay in
// (install.folder), and that no account but the administrators' may change what is installed
// (install.permissions).
void CheckInstallation(const CheckContext& context, Checks& checks);

} // namespace Orvanta::Deskweave
