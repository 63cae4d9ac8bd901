#pragma once

#include "platform/Registry.h"

namespace Orvanta::Deskweave {

// The machine policy that lets the agent run: the key HKLM\Software\Policies\Veltane\Orvanta\Groupmere
// must open for reading, and its value "On-demandSyncDiskVolume" must fit the 60-byte buffer, whatever
// its type and contents. Opens the key in `policy`, which the agent keeps open until its teardown.
// Null when the agent may run; otherwise the line the agent writes to its log before it exits.
const wchar_t* CheckPolicyGate(Registry& policy);

} // namespace Orvanta::Deskweave
