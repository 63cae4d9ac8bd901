#pragma once

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// Who runs the administrators' tools, and where: what they can see and do from there. An Intune or
// Configuration Manager script runs as the system account in session 0; PowerShell remoting as an
// administrator in session 0; psexec -s -i as the system account inside a user's session; an elevated
// prompt with an administrator's full token; runas as another user.
struct Caller {
    DWORD session = 0;        // this process's Remote Desktop session
    std::wstring user;        // DOMAIN\name of this process's token
    std::wstring sessionUser; // DOMAIN\name of the user logged on in that session; empty when none
    bool systemAccount = false;
    bool elevated = false; // an administrator's full token, not the system account

    // The session's own user runs this process: its TEMP, HKEY_CURRENT_USER and desktop are that user's.
    bool IsSessionUser() const;
    static Caller OfThisProcess();
};

} // namespace Orvanta::Deskweave
