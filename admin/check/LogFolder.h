#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// A user's log folder as the checker reads it, maybe as the system account: only a drive-letter folder
// on a fixed local volume, decided from its path before anything is opened (a network path would have
// the machine authenticate to a host of the user's choice, and may hang); opened once, component by
// component relative to the one before, none of them followed if it is a link or junction; listed and
// its files opened through that handle, so that no name is looked up twice.
class LogFolder
{
public:
    // A log file as the folder lists it.
    struct File {
        std::wstring name;
        ULONGLONG id = 0;
        ULONGLONG created = 0; // FILETIME ticks
        ULONGLONG written = 0;
        ULONGLONG size = 0;
    };

    // Why a folder that a user's value names is not read, or empty when it may be: a path that is not
    // a drive letter's (UNC, "\\.\", "\\?\", relative), one that holds a variable that did not expand, one
    // too long for a folder, a drive that is not a fixed local volume or that the system resolves to
    // something else (a network drive, a drive linked to a folder or a device).
    static std::wstring Refusal(const std::wstring& path);

    // 0, or the Win32 error; a component that is a link or junction gives ERROR_CANT_ACCESS_FILE and
    // LinkAt() names it. The path must have passed Refusal.
    DWORD Open(const std::wstring& path);
    const std::wstring& LinkAt() const { return linkAt_; }
    const std::wstring& Path() const { return path_; }

    // The Halyard_YYYY-MM-DD_hh-mm-ss.log files among the first `most` entries; `capHit` when there were
    // more. Empty, with the Win32 error in `error`, when the folder cannot be listed.
    std::vector<File> LogFiles(size_t most, bool& capHit, DWORD& error) const;

    // A listed file opened for reading, relative to the folder, not followed, and only if it is still
    // that file, a plain one with one name (a user's hard link to a file of someone else's is not read);
    // with whether a program holds it open for writing, as the agent holds its current log. 0, or the
    // Win32 error.
    DWORD OpenFile(const File& file, UniqueHandle& opened, bool& heldForWriting) const;

private:
    UniqueHandle folder_;
    std::wstring path_;
    std::wstring linkAt_;
};

// "Halyard_YYYY-MM-DD_hh-mm-ss.log", with digits where digits belong: the only names taken.
bool IsLogName(const std::wstring& name);

} // namespace Orvanta::Deskweave
