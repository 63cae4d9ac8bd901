#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

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
    // Appends one formatted message to the log file if tracing is started; otherwise does nothing. A
    // line reaches the file whole or not at all; lines that cannot be written are counted, reported once
    // to the debugger output, and the first line that can be written again is preceded by one that says
    // how many were lost, between when and when, and why. With lockWaitMs, a writer that cannot take the
    // lock within that time (another writer stuck on a hung disk) gives up its line: for threads that
    // must end the process whatever the others do.
    static void Write(const wchar_t* message, DWORD lockWaitMs = INFINITE);
    static void Release();

    // Lines written to log files since the process began (diagnostics and tests).
    static long LinesWritten();
    // The log file that the last Initialize opened or, when it opened none, the folder it tried.
    static std::wstring StartedLogLocation();
    // The log folder of this process's user: "Orvanta" in GetTempPathW's folder (relative, when that
    // fails). Administrators' tools read the agent's logs where the agent puts them.
    static std::wstring GetLogFilesPath();

    // Writes `size` bytes at `offset` of the log file, as WriteFile does; tests put a failing disk here.
    using FileWriter = BOOL (*)(HANDLE file, const void* bytes, DWORD size, DWORD* written, OVERLAPPED* offset);
    static void SetFileWriter(FileWriter writer);

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
    // The size on disk of the file the stream writes, and whether the file is still there under a name
    // (it may be deleted or replaced from outside Windows, or through a share); false after reporting
    // why it cannot be read.
    bool ReadLogFileState(long long& size, bool& gone);
    void DeleteOlderLogFilesIfNeeded();
    void WriteLine(const wchar_t* message, DWORD lockWaitMs);
    // One line of the log, with its thread and time, written whole or not at all; false when it was not.
    bool AppendLine(const wchar_t* message);
    void LineLost(DWORD error);
    std::wstring NewLogFilePath() const;
    // The stream's file, written at its end by this process alone.
    bool UseStream(UniqueStream stream);

    UniqueStream logStream_;
    std::wstring logFilePath_;
    unsigned long long maxLogFileSizeMb_ = 5;
    unsigned long long numberOfLogFilesKept_ = 5;
    std::wstring logFolder_;
    std::wstring baseName_;
    std::wstring extension_;
    CRITICAL_SECTION lock_;
    // Everything below is guarded by the lock. The last log line's time, in seconds and as text, in a
    // buffer of its own: a line is written without allocating, also from the crash report.
    unsigned long long lineTimeSecond_ = 0;
    wchar_t lineTimeText_[32] = {};
    HANDLE logFile_ = INVALID_HANDLE_VALUE;
    unsigned long long logFileEnd_ = 0;
    // Lines not written since the last that was: how many, the times of the first and the last, why.
    long lostLines_ = 0;
    wchar_t lostFirst_[32] = {};
    wchar_t lostLast_[32] = {};
    DWORD lostError_ = 0;
    // The line counter at the last rotation check, and what the log must say before its next line.
    long checkedAtLine_ = 0;
    std::vector<std::wstring> notes_;

    static std::atomic<TraceManager*> instance_;
    static std::atomic<long> referenceCount_;
    static std::atomic<bool> ownerReferenceHeld_;
    static long lineCounter_;
    static std::wstring startedLogLocation_;
    static std::atomic<FileWriter> fileWriter_;
};

// Local time for file names: "%04d-%02d-%02d_%02d-%02d-%02d", now or that many seconds from now.
std::wstring FormatLogFileTime(long long secondsFromNow = 0);
// Local time for log lines: "%02d/%02d %02d:%02d:%02d".
std::wstring FormatLogLineTime();
// The same into a buffer of 32 characters, without allocating.
void FormatLogLineTime(wchar_t (&buffer)[32]);
// A Win32 code or errno in decimal, as "%ld" writes it.
std::wstring NumberToString(long code);

} // namespace Orvanta::Deskweave
