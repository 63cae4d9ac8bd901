#pragma once

namespace Orvanta::Deskweave {

// From here on, libraries that this process loads by name come from the system folder only, never
// from the program's own folder or the current one: what the administrators' tools delay-load
// (userenv, wtsapi32, version, which are not among Windows' known DLLs) cannot be planted beside them
// by a user, to run as the administrator or the system account who runs the tool. First thing in the
// program, before any delay-loaded call. Windows 7 has it from update KB2533623 on; without it, nothing
// changes.
void LoadLibrariesFromSystemFolderOnly();

// From here on, libraries that this process loads by name never come from the current folder (nor from
// PATH): the program's own folder, the system folder and the folders added for it are searched. For the
// agent, which a user may start in any folder. Without KB2533623 on Windows 7, the current folder is
// taken out of the search all the same (SetDllDirectoryW with an empty text).
void LoadLibrariesWithoutTheCurrentFolder();

} // namespace Orvanta::Deskweave
