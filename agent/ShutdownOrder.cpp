#include "agent/ShutdownOrder.h"

#include "trace/Trace.h"

#include <windows.h>

namespace Orvanta::Deskweave {

void SetShutdownOrder()
{
    if (SetProcessShutdownParameters(0x100, 0)) {
        Trace(L"%S:SetProcessShutdownParameters (with level 0x100): succeeded", "wWinMain");
    } else {
        Trace(L"%S:SetProcessShutdownParameters (with level 0x100): failed with lastError: %ld", "wWinMain",
              GetLastError());
    }
}

void RegisterForRestart()
{
    RegisterApplicationRestart(L"/run", RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
}

} // namespace Orvanta::Deskweave
