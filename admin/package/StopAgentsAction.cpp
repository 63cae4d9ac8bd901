// The package's custom action: stops every running agent before the package removes or replaces its
// files, and writes what happened into the package log. It never fails the package: files that an
// agent still holds are Windows Installer's to replace at the next restart. Its result is ignored by the
// package's table as well, so that even a library that cannot load fails no uninstall or upgrade.
#include "admin/package/PackageLog.h"
#include "admin/stop/AgentStop.h"

#include <windows.h>
#include <msi.h>

using namespace Orvanta::Deskweave;

extern "C" __declspec(dllexport) UINT __stdcall StopAgents(MSIHANDLE install)
{
    // Nothing may escape into the installer: an uninstall, and every later upgrade, would fail.
    try {
        StopAllAgents(30, PackageLog(install));
    } catch (...) {
        ProcessMessage(install, INSTALLMESSAGE_INFO, L"HalyardStop: the stop failed unexpectedly; the package goes on");
    }
    return ERROR_SUCCESS;
}
