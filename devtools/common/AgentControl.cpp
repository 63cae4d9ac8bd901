#include "devtools/common/AgentControl.h"

#include "platform/ObjectNames.h"
#include "platform/UniqueResource.h"
#include "window/WindowMessages.h"

namespace HalyardDev {

HWND FindAgentWindow()
{
    return FindWindowW(Orvanta::Deskweave::kWindowClassName, nullptr);
}

bool WaitForAgentWindow(bool present, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while ((FindAgentWindow() != nullptr) != present) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

Orvanta::Deskweave::UniqueHandle SignalTerminate()
{
    Orvanta::Deskweave::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, Orvanta::Deskweave::kTerminateEventName));
    if (event && !SetEvent(event.get())) {
        event.reset();
    }
    return event;
}

} // namespace HalyardDev
