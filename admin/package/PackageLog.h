#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <functional>
#include <string>

namespace Orvanta::Deskweave {

// A message of the package, its text taken as it is: into the package log (INSTALLMESSAGE_INFO), or
// shown as an error at basic user interface or above and logged (INSTALLMESSAGE_ERROR). What
// MsiProcessMessage returns.
int ProcessMessage(MSIHANDLE install, INSTALLMESSAGE type, const std::wstring& text);

// Writes each line into the package log (msiexec /l*v), as the actions' report: the administrator's
// record of what they did, in the log of the installation that did it.
std::function<void(const std::wstring& line, bool error)> PackageLog(MSIHANDLE install);

} // namespace Orvanta::Deskweave
