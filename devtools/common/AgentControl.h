#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

// What the platform and an administrator do to a running agent, from another process.
namespace HalyardDev {

// The agent's hidden window, or null.
HWND FindAgentWindow();
// Waits until an agent window exists (present) or none does; false when the time is up.
bool WaitForAgentWindow(bool present, DWORD timeoutMs);
// Signals the machine-wide terminate event and hands over the handle (null when it could not be
// signalled). Held until the agents are gone, the signal also reaches an agent that opens the event
// only now; closed soon after, since a manual-reset event left signalled would stop every agent that
// starts later.
Orvanta::Deskweave::UniqueHandle SignalTerminate();

} // namespace HalyardDev
