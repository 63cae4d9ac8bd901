#pragma once

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// A file or folder as the file system knows it, whatever its path is spelled: the volume's serial number
// and the file's index on it (an 8.3 short name, another case, a trailing backslash, "\\?\" and a hard
// link all name the same one).
struct FileIdentity {
    DWORD volume = 0;
    ULONGLONG index = 0;

    bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }

    // Opened with no right beyond reading its attributes, as Windows lets folders be opened too (backup
    // semantics, which a caller without the backup privilege may ask for); a link is followed, as
    // CreateProcess and the loader follow it. False, with the Win32 error as the last error, when it
    // cannot be opened.
    static bool Of(const std::wstring& path, FileIdentity& identity);
};

// Whether two paths name the same file or folder: the same text (without regard to case), or the same
// identity.
bool SameFile(const std::wstring& a, const std::wstring& b);

} // namespace Orvanta::Deskweave
