#include "platform/SystemLibraries.h"

#include <windows.h>

namespace Orvanta::Deskweave {

void LoadLibrariesFromSystemFolderOnly()
{
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    const auto set = reinterpret_cast<SetDirectories>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set != nullptr) {
        set(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

} // namespace Orvanta::Deskweave
