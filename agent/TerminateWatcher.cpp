#include "agent/TerminateWatcher.h"

#include "platform/EventLog.h"
#include "platform/ObjectNames.h"
#include "trace/Trace.h"

#include "HalyardEvents.h"

namespace Orvanta::Deskweave {

void WatchForTermination(const Event& internalEvent, Window& window, ExitDeadline& deadline)
{
    // Manual reset, and never reset by an agent: one signal ends the agents of every logon session.
    Event terminateEvent;
    if (!terminateEvent.CreateEveryOneAllowed(kTerminateEventName, TRUE, FALSE)) {
        Trace(L"Shutdown event not created or opened. error = 0x%08X\n", GetLastError());
    }

    // Without a terminate event the wait fails at once, and the agent ends rather than run on
    // unstoppable.
    const HANDLE handles[] = {internalEvent.Handle(), terminateEvent.Handle()};
    const DWORD signalled = WaitForMultipleObjects(_countof(handles), handles, FALSE, INFINITE);
    Trace(L"Event signalled.  WaitForMultipleObject returned\n");
    if (signalled != WAIT_OBJECT_0) {
        deadline.Arm();
    }
    if (signalled == WAIT_OBJECT_0 + 1) {
        EventLog::Report(EVENTLOG_INFORMATION_TYPE, HALYARD_EVENT_STOPPED_BY_TERMINATE, {EventLog::ThisSession()});
    }

    window.Destroy();
    terminateEvent.Close();
}

} // namespace Orvanta::Deskweave
