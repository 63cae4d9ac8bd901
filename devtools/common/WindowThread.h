#pragma once

#include "window/Window.h"

#include <windows.h>

#include <future>
#include <string>
#include <thread>

namespace HalyardDev {

// A Window created and served by a thread of its own, as the agent's main thread serves it. The
// callback must outlive this object.
class WindowThread
{
public:
    // With paceMs, timer messages for pacedTimer are paced to it, as the agent paces its connection timer.
    WindowThread(Orvanta::Deskweave::IWindowCallback& callback, const std::wstring& title, UINT_PTR pacedTimer = 0,
                 UINT paceMs = 0);
    ~WindowThread();

    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    Orvanta::Deskweave::Window& GetWindow() { return window_; }
    DWORD CreateResult() const { return createResult_; }
    DWORD ThreadId() const { return threadId_; }

    // Asks the window to close from this thread (a post) and waits for its loop; the loop's exit code.
    int Close();
    // Waits for the loop to end without asking.
    int Join();

private:
    void Run(Orvanta::Deskweave::IWindowCallback* callback, std::wstring title, std::promise<void>* created);

    Orvanta::Deskweave::Window window_{0};
    DWORD createResult_ = 0;
    DWORD threadId_ = 0;
    int exitCode_ = -1;
    std::thread thread_;
};

} // namespace HalyardDev
