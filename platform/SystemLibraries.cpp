#include "platform/SystemLibraries.h"

#include <windows.h>

namespace Orvanta::Deskweave {

namespace {

// SetDefaultDllDirectories where the system has it; false where it has not.
bool SetDefaultDirectories(DWORD directories)
{
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    const auto set = reinterpret_cast<SetDirectories>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    return set != nullptr && set(directories) != FALSE;
}

} // namespace

void LoadLibrariesFromSystemFolderOnly()
{
    SetDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void LoadLibrariesWithoutTheCurrentFolder()
{
    if (!SetDefaultDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        SetDllDirectoryW(L"");
    }
}

} // namespace Orvanta::Deskweave
