#pragma once

#include "trace/TraceManager.h"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <string>

namespace HalyardBench {

// What the agent's log writer must do at its start and before every hundredth line, the cheapest way:
// read the file's size and list the log folder's log files. A folder's time cannot tell whether files
// were added, on file systems whose clock is coarse, so every check lists. (Under Wine a process that
// has listed a folder pays several times more for each OutputDebugStringW afterwards: the floors
// list as the agent must, and pay it alike.)
inline void CheckLikeTheWriter(FILE* file, const std::wstring& logFolder)
{
    LARGE_INTEGER size = {};
    if (file != nullptr) {
        GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), &size);
    }
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileExW(Orvanta::Deskweave::TraceManager::SearchPattern(logFolder).c_str(),
                                           FindExInfoStandard, &found, FindExSearchNameMatch, nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        while (FindNextFileW(search, &found)) {
        }
        FindClose(search);
    }
}

} // namespace HalyardBench
