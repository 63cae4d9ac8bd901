// The package's custom action: stops every running agent before the package removes or replaces its
// files, and writes what happened into the package log. It never fails the package: files that an
// agent still holds are Windows Installer's to replace at the next restart.
#include "admin/package/PackageLog.h"
#include "admin/stop/AgentStop.h"

#include <windows.h>
#include <msi.h>

using namespace Orvanta::Deskweave;

extern "C" __declspec(dllexport) UINT __stdcall StopAgents(MSIHANDLE install)
{
    StopAllAgents(30, PackageLog(install));
    return ERROR_SUCCESS;
}
