#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// What the security descriptor of a file or folder lets other accounts do, read from the descriptor
// itself: the question is about every account, not one token (and Wine's GetEffectiveRightsFromAclW and
// authz functions are stubs). Deny entries are not credited, inherit-only entries grant nothing on the
// object itself, and a null or missing DACL lets everyone do everything.

// What the object is to the program that another account would change.
enum class Guarded {
    Folder, // the install folder: adding, removing or renaming what is in it, or the folder itself
    File,   // a program or library in it: writing it, replacing or removing it
    Parent, // the folder above the install folder: renaming the install folder away
};

// The owner's or the first allow entry's account, other than the system account, Administrators,
// TrustedInstaller and `trusted` (the administrator asking, or null), that may change the object so;
// empty when there is none. It reads "<account> (<SID>) may <what>", or for a null DACL "everyone may
// do anything (a null DACL)".
std::wstring FindWriter(PSECURITY_DESCRIPTOR descriptor, Guarded kind, PSID trusted);

// The entries of a folder's DACL that its subfolders inherit and that grant nothing on the folder
// itself (container-inherit and inherit-only), as icacls shows them ("NT AUTHORITY\Authenticated Users
// (OI)(CI)(IO)(M)"), joined by "; "; empty when there are none.
std::wstring InheritOnlyEntries(PSECURITY_DESCRIPTOR descriptor);

// The owner and DACL of a path, self-relative; empty with the Win32 error in `error`.
std::vector<BYTE> ReadSecurity(const std::wstring& path, DWORD& error);

// The user of this thread's token (its impersonation token, else the process's) when that token holds
// the Administrators group enabled: such an account may change anything anyway, and Windows makes it the
// owner of what it creates where policy says so. Null otherwise. The buffer holds the SID.
PSID TrustedCaller(std::vector<BYTE>& buffer);

} // namespace Orvanta::Deskweave
