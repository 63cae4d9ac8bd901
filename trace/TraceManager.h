#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>

namespace Orvanta::Deskweave {

// Owns the rotating log files of the process. One instance per process, reached only through the
// static operations; its life is counted by an atomic reference count so that stopping never pulls
// the file away from a writer. Its own failures go to the debugger output only, never to the log.
class TraceManager
{
public:
    // Call once, while the process has a single thread. True when a new log file is open.
    static bool Initialize();
    // Gives back the owner's reference; the last writer closes the file. A second call changes nothing.
    static void Uninitialize();
    // Appends one formatted message to the log file if tracing is started; otherwise does nothing.
    static void Write(const wchar_t* message);
    static void Release();

    // Lines written to log files since the process began (diagnostics and tests).
    static long LinesWritten();

    TraceManager(const TraceManager&) = delete;
    TraceManager& operator=(const TraceManager&) = delete;

private:
    TraceManager();
    ~TraceManager();

    bool Start();
    std::wstring GetLogFilesPath();
    void RotateLogFileIfNeeded();
    // The current log file's size on disk; false after reporting why it cannot be read.
    bool ReadLogFileSize(long long& size);
    void DeleteOlderLogFilesIfNeeded();
    // False only when the log folder has not changed since a pruning that left nothing to try again,
    // so that a search would find just what that pruning left.
    bool LogFolderMayHaveChanged();
    // The log folder's last-write time, which every file added, removed or renamed in it moves on.
    bool ReadLogFolderTime(FILETIME& time) const;
    void WriteLine(const wchar_t* message);
    std::wstring NewLogFilePath() const;
    std::wstring SearchPattern() const;

    UniqueStream logStream_;
    std::wstring logFilePath_;
    // False while logFilePath_ names a file that failed to open in a rotation and the stream still
    // writes the previous one.
    bool streamIsAtLogFilePath_ = false;
    unsigned long long maxLogFileSizeMb_ = 5;
    unsigned long long numberOfLogFilesKept_ = 5;
    std::wstring logFolder_;
    // The last pruning listed the folder and deleted all it meant to, and the folder's time after it.
    bool logFolderPruned_ = false;
    FILETIME prunedFolderTime_ = {};
    std::wstring baseName_ = L"Halyard";
    std::wstring extension_ = L".log";
    CRITICAL_SECTION lock_;
    // The last log line's time, in seconds and as text; guarded by the lock.
    unsigned long long lineTimeSecond_ = 0;
    std::wstring lineTimeText_;

    static std::atomic<TraceManager*> instance_;
    static std::atomic<long> referenceCount_;
    static std::atomic<bool> ownerReferenceHeld_;
    static long lineCounter_;
};

// Local time for file names: "%04d-%02d-%02d_%02d-%02d-%02d".
std::wstring FormatLogFileTime();
// Local time for log lines: "%02d/%02d %02d:%02d:%02d".
std::wstring FormatLogLineTime();
// A Win32 code or errno in decimal, as "%ld" writes it.
std::wstring NumberToString(long code);

} // namespace Orvanta::Deskweave
