// The package's custom action: stops every running agent before the package removes or replaces its
// files, and writes what happened into the package log. It never fails the package: files that an
// agent still holds are Windows Installer's to replace at the next restart.
#include "admin/stop/AgentStop.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

using namespace Orvanta::Deskweave;

extern "C" __declspec(dllexport) UINT __stdcall StopAgents(MSIHANDLE install)
{
    StopAllAgents(30, [install](const std::wstring& line, bool) {
        PMSIHANDLE record = MsiCreateRecord(1);
        MsiRecordSetStringW(record, 0, line.c_str());
        MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    });
    return ERROR_SUCCESS;
}
