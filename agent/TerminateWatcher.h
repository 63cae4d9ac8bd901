#pragma once

#include "agent/ExitDeadline.h"
#include "platform/Event.h"
#include "window/Window.h"

namespace Orvanta::Deskweave {

// The body of the agent's second thread: waits until the internal event is set (teardown) or any
// process signals the machine-wide terminate event, then closes the window; at the terminate event it
// arms the deadline first, since the window thread may be inside an engine call that never returns.
// The window and the internal event belong to wWinMain, which waits for this to return before it
// destroys them.
void WatchForTermination(const Event& internalEvent, Window& window, ExitDeadline& deadline);

} // namespace Orvanta::Deskweave
