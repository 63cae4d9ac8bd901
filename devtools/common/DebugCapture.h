#pragma once

#include "devtools/common/ChildProcess.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace HalyardDev {

struct DebugString {
    DWORD processId;
    std::wstring text;
    ULONGLONG tick; // GetTickCount64 when the debugger received it
};

struct LoadedModule {
    DWORD processId;
    std::wstring path;
};

// Starts a program under a real debugger loop and keeps every string that it, and every process it
// starts, writes to the debugger output, and every module they load. Only the thread that started a
// debuggee may wait for its events, so the loop runs on a thread of its own. Processes still running
// at Stop are let go, not killed.
class DebugCapture
{
public:
    DebugCapture() = default;
    ~DebugCapture();

    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    // Returns the Win32 error, 0 on success. The options' output file is not used.
    DWORD Start(const std::wstring& commandLine, const ChildOptions& options = {});
    // The first process's exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD WaitForExit(DWORD timeoutMs);
    // Waits until every debuggee has ended (true) or the time is up (false).
    bool WaitForAllExited(DWORD timeoutMs);
    bool WaitForText(const std::wstring& needle, DWORD timeoutMs);
    void Stop();

    DWORD ProcessId() const { return processId_; }
    std::vector<DebugString> Strings() const;
    std::vector<LoadedModule> Modules() const;

private:
    void Loop(std::wstring commandLine, std::wstring environment, std::wstring currentDirectory);
    std::wstring TextLocked() const;

    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    bool stopRequested_ = false;
    bool allExited_ = false;
    bool firstExited_ = false;
    DWORD startError_ = 0;
    DWORD processId_ = 0;
    DWORD exitCode_ = STILL_ACTIVE;
    std::vector<DebugString> strings_;
    std::vector<LoadedModule> modules_;
};

} // namespace HalyardDev
