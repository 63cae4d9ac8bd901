#pragma once

#include <windows.h>
#include <msi.h>

#include <functional>
#include <string>

namespace Orvanta::Deskweave {

// Writes each line into the package log (msiexec /l*v), as the actions' report: the administrator's
// record of what they did, in the log of the installation that did it.
std::function<void(const std::wstring& line, bool error)> PackageLog(MSIHANDLE install);

} // namespace Orvanta::Deskweave
