#pragma once

#include "trace/TraceManager.h"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <string>

namespace HalyardBench {

// What the agent's log writer must do at its start and before every hundredth line, the cheapest way:
// read the file's size and whether it is still there, and list the log folder's log files. A folder's time cannot tell
// whether files were added, on file systems whose clock is coarse, so every check lists. (Under Wine a process that has
// listed a folder pays several times more for each OutputDebugStringW afterwards: the floors list as the agent must,
// and pay it alike.)
inline void CheckLikeTheWriter(FILE* file, const std::wstring& logFolder)
{
    FILE_STANDARD_INFO state = {};
    if (file != nullptr) {
        GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), FileStandardInfo, &state,
                                     sizeof(state));
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

// What the agent's log writer must do for every line, the cheapest way: the whole line in one write at
// the file's end (`end`), of which the writer must know whether it went whole.
inline bool WriteLikeTheWriter(FILE* file, unsigned long long& end, const char* line, size_t length)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(end);
    at.OffsetHigh = static_cast<DWORD>(end >> 32);
    DWORD written = 0;
    const bool whole = WriteFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), line,
                                 static_cast<DWORD>(length), &written, &at) &&
                       written == length;
    end += written;
    return whole;
}

} // namespace HalyardBench
