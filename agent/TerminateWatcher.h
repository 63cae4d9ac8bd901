#pragma once

#include "platform/Event.h"
#include "window/Window.h"

namespace Orvanta::Deskweave {

// The body of the agent's second thread: waits until the internal event is set (teardown) or any
// process signals the machine-wide terminate event, then closes the window. Both objects belong to
// wWinMain, which joins the thread before it destroys them.
void WatchForTermination(const Event& internalEvent, Window& window);

} // namespace Orvanta::Deskweave
