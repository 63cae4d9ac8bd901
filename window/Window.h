#pragma once

#include "window/IWindowCallback.h"

#include <windows.h>

#include <atomic>

namespace Orvanta::Deskweave {

// The agent's hidden top-level window. Created, served and destroyed by one thread; every other
// thread may only call Destroy, which then posts WM_CLOSE. The callback must outlive the window.
class Window
{
public:
    explicit Window(DWORD sessionId);
    ~Window();

    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // 0, or the Win32 error of the failed registration or creation (no window then). OnCreate of the
    // callback runs inside this call. A second call while a window exists does nothing.
    DWORD Create(HINSTANCE instance, const wchar_t* windowName, IWindowCallback* callback);
    void Destroy();
    // Runs on the creating thread until WM_QUIT (returns its wParam) or a failed GetMessageW (returns 0).
    // A timer message that names a timer procedure is dropped when it is addressed to this window;
    // every other message, the timers of other windows and of the thread included, is dispatched.
    int MessageLoop();

    HWND Handle() const { return windowHandle_.load(); }

    // Timer messages to this window reach the callback at most about once an interval for `id`, counted
    // from now, and as often for all other ids together: any program of the session may post or send
    // WM_TIMER as often as it likes, and each would be one more engine call and more lines in the log.
    // What is dropped is traced once a burst, with its count. Call before Create, on the window thread.
    void PaceTimer(UINT_PTR id, UINT intervalMs);

private:
    // The timer messages of one id (or of all others) that were served and dropped.
    struct TimerPace {
        bool served = false;
        ULONGLONG last = 0;
        unsigned long dropped = 0;
        ULONGLONG firstDropped = 0;
        UINT_PTR lastId = 0;
    };
    // True when the message comes sooner than its pace allows, and is dropped.
    bool DropsTimer(UINT_PTR id);
    void ReportDropped(TimerPace& pace);

    static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

    // Cleared on the window thread at WM_NCDESTROY while another thread's Destroy may read it: a post
    // that races with the window's end only fails, and is traced.
    std::atomic<HWND> windowHandle_{nullptr};
    DWORD sessionId_;
    std::atomic<DWORD> creatingThreadId_{0};
    IWindowCallback* callback_ = nullptr;
    // The window thread's own.
    UINT_PTR pacedTimerId_ = 0;
    UINT paceMs_ = 0;
    TimerPace paces_[2];
};

} // namespace Orvanta::Deskweave
