// The package's custom action at the end of an install, upgrade or repair, and when a transaction
// that stopped the agents rolls back: starts the agent in every session with a logged-on user, as
// that user, so that users who stay logged on for days are not left without one until their next
// logoff (the one the agent exists for). Runs as the system account, which alone may start programs
// in other users' sessions. It never fails the package: a session that could not be given an agent is
// written into the package log, and gets one at its next logon.
#include "admin/package/PackageLog.h"
#include "admin/start/AgentStart.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

using namespace Orvanta::Deskweave;

extern "C" __declspec(dllexport) UINT __stdcall StartAgents(MSIHANDLE install)
{
    try {
        const auto log = PackageLog(install);
        if (MsiGetMode(install, MSIRUNMODE_ROLLBACK)) {
            log(L"HalyardStart: the installation is rolled back: the agents of the version that stays are started",
                false);
        }
        StartAgents(StartScope::EverySession, 30000, log);
    } catch (...) {
        ProcessMessage(install, INSTALLMESSAGE_INFO,
                       L"HalyardStart: the start failed unexpectedly; the package goes on");
    }
    return ERROR_SUCCESS;
}
