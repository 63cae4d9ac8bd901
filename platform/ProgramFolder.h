#pragma once

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// The folder of the running executable, without a trailing backslash. Returns 0, or the Win32 error
// of the failed lookup; `folder` is unchanged on error.
DWORD GetProgramFolder(std::wstring& folder);

} // namespace Orvanta::Deskweave
