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
    // The log file that the last Initialize opened or, when it opened none, the folder it tried.
    static std::wstring StartedLogLocation();
    // The log folder of this process's user: "Orvanta" in GetTempPathW's folder (relative, when that
    // fails). Administrators' tools read the agent's logs where the agent puts them.
    static std::wstring GetLogFilesPath();

    // Every log file is named "<base name>_<local creation time><extension>".
    static constexpr wchar_t kBaseName[] = L"Halyard";
    static constexpr wchar_t kExtension[] = L".log";
    // "<log folder>\Halyard_*.log": every log file of a folder, whichever run wrote it.
    static std::wstring SearchPattern(const std::wstring& logFolder)
    {
        return logFolder + L"\\" + kBaseName + L"_*" + kExtension;
    }

    TraceManager(const TraceManager&) = delete;
    TraceManager& operator=(const TraceManager&) = delete;

private:
    TraceManager();
    ~TraceManager();

    bool Start();
    void RotateLogFileIfNeeded();
    // The size on disk of the file the stream writes; false after reporting why it cannot be read.
    bool ReadLogFileSize(long long& size);
    void DeleteOlderLogFilesIfNeeded();
    void WriteLine(const wchar_t* message);
    std::wstring NewLogFilePath() const;

    UniqueStream logStream_;
    std::wstring logFilePath_;
    unsigned long long maxLogFileSizeMb_ = 5;
    unsigned long long numberOfLogFilesKept_ = 5;
    std::wstring logFolder_;
    std::wstring baseName_;
    std::wstring extension_;
    CRITICAL_SECTION lock_;
    // The last log line's time, in seconds and as text; guarded by the lock.
    unsigned long long lineTimeSecond_ = 0;
    std::wstring lineTimeText_;

    static std::atomic<TraceManager*> instance_;
    static std::atomic<long> referenceCount_;
    static std::atomic<bool> ownerReferenceHeld_;
    static long lineCounter_;
    static std::wstring startedLogLocation_;
};

// Local time for file names: "%04d-%02d-%02d_%02d-%02d-%02d".
std::wstring FormatLogFileTime();
// Local time for log lines: "%02d/%02d %02d:%02d:%02d".
std::wstring FormatLogLineTime();
// A Win32 code or errno in decimal, as "%ld" writes it.
std::wstring NumberToString(long code);

} // namespace Orvanta::Deskweave
