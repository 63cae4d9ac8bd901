#pragma once

#include "admin/common/Caller.h"
#include "platform/UniqueResource.h"

#include <windows.h>

namespace Orvanta::Deskweave {

// The creation time of a process (FILETIME ticks); 0 when it cannot be read. A process id is given
// again once its process has gone: an id and a creation time together tell a process.
unsigned long long ProcessCreationTime(HANDLE process);

// Whether a process is the shell of the caller's session as Windows knows it: of that session, its
// image the system's explorer.exe itself (in the Windows folder, or in the system folder, where Wine
// keeps it), not a program of that name, and running as the session's user.
bool IsSessionShell(HANDLE process, DWORD processId, const Caller& caller);

// The session's shell, which runs the Run key at logon, opened to be a new process's parent: the process
// of the shell window of this desktop when it is the shell; else, of the session's shells, one not
// elevated, or where there is none (User Account Control off, Wine) the first that started, since the
// shell starts with the logon. Null, with ERROR_NOT_FOUND as the last error, where the session runs no
// Explorer (a kiosk or custom shell, a remote application).
UniqueHandle OpenSessionShell(const Caller& caller, DWORD& processId);

} // namespace Orvanta::Deskweave
