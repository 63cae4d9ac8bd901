#include "window/Window.h"

#include "trace/Trace.h"
#include "window/WindowMessages.h"

namespace Orvanta::Deskweave {
namespace {
const wchar_t kConstructorTag[] = L"Orvanta::Deskweave::Window::Window";
const wchar_t kDestructorTag[] = L"Orvanta::Deskweave::Window::~Window";
const wchar_t kCreateTag[] = L"Orvanta::Deskweave::Window::Create";
const wchar_t kDestroyTag[] = L"Orvanta::Deskweave::Window::Destroy";
const wchar_t kMessageLoopTag[] = L"Orvanta::Deskweave::Window::MessageLoop";
const wchar_t kWindowProcTag[] = L"Orvanta::Deskweave::Window::WindowProc";
// WM_SYSTIMER, undocumented: dispatched like WM_TIMER.
constexpr UINT kSystemTimerMessage = 0x0118;
} // namespace

Window::Window(DWORD sessionId) : sessionId_(sessionId)
{
    Trace(L"%s: executing... sessionId: %ld\n", kConstructorTag, sessionId_);
}

Window::~Window()
{
    Trace(L"%s: executing...\n", kDestructorTag);
    Destroy();
}

DWORD Window::Create(HINSTANCE instance, const wchar_t* windowName, IWindowCallback* callback)
{
    callback_ = callback;
    Trace(L"%s: executing... windowClassName: %s windowName: %s\n", kCreateTag, kWindowClassName, windowName);
    if (windowHandle_.load() != nullptr) {
        return 0;
    }

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = StaticWindowProc;
    // Room for the window's object, kept with SetWindowLongPtrW.
    windowClass.cbWndExtra = sizeof(LONG_PTR);
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClassName;
    // The class stays registered for the life of the process, so a second registration fails.
    if (RegisterClassExW(&windowClass) == 0) {
        const DWORD error = GetLastError();
        Trace(L"%s:RegisterClassEx: failed with last error: %ld\n", kCreateTag, error);
        return error;
    }

    // A top-level window, not a message-only one: only top-level windows hear of the session's end.
    HWND window =
        CreateWindowExW(0, kWindowClassName, windowName, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, this);
    if (window == nullptr) {
        const DWORD error = GetLastError();
        Trace(L"%s:CreateWindowEx failed with last error: %ld\n", kCreateTag, error);
        return error;
    }
    windowHandle_.store(window);
    creatingThreadId_.store(GetCurrentThreadId());
    return 0;
}

void Window::Destroy()
{
    Trace(L"%s: executing...\n", kDestroyTag);
    HWND window = windowHandle_.load();
    if (window == nullptr) {
        return;
    }
    if (GetCurrentThreadId() == creatingThreadId_.load()) {
        if (!DestroyWindow(window)) {
            Trace(L"%s:DestroyWindow failed with last error: %ld\n", kDestroyTag, GetLastError());
        }
        return;
    }
    // Windows belong to their thread: another thread can only ask, and default processing of
    // WM_CLOSE then destroys the window there.
    if (!PostMessageW(window, WM_CLOSE, 0, 0)) {
        Trace(L"%s:PostMessage: failed with last error: %ld\n", kDestroyTag, GetLastError());
    }
}

int Window::MessageLoop()
{
    Trace(L"%s: executing...\n", kMessageLoopTag);
    MSG message = {};
    for (;;) {
        const BOOL result = GetMessageW(&message, nullptr, 0, 0);
        if (result < 0) {
            Trace(L"%s:GetMessage failed with last error: %ld\n", kMessageLoopTag, GetLastError());
            return 0;
        }
        if (message.message == WM_QUIT) {
            Trace(L"%s:Terminating message loop...\n", kMessageLoopTag);
            return static_cast<int>(message.wParam);
        }
        // For a timer message with a non-zero lParam, DispatchMessageW calls lParam as a timer
        // procedure. The agent sets no timer with a procedure on its own window, so such a message
        // addressed to it can only come from another program naming an address of its choice: it is
        // dropped. Every other timer message is dispatched: code running on this thread (the engine's,
        // since OvInitializeIPC2 is called here) sets thread timers and timers on windows of its own,
        // and only that code knows them. A forged one posted to such a window or to the thread is
        // refused by Windows, which calls only procedures that SetTimer registered; Wine calls it.
        if ((message.message == WM_TIMER || message.message == kSystemTimerMessage) && message.lParam != 0 &&
            message.hwnd != nullptr && message.hwnd == windowHandle_.load()) {
            Trace(L"%s:Dropped a timer message with a timer procedure: uMsg: %lu wParam: %I64u lParam: %I64u\n",
                  kMessageLoopTag, message.message, static_cast<unsigned long long>(message.wParam),
                  static_cast<unsigned long long>(message.lParam));
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Window::PaceTimer(UINT_PTR id, UINT intervalMs)
{
    pacedTimerId_ = id;
    paceMs_ = intervalMs;
    // The first tick of the paced timer comes one interval after it is set, and nothing before it.
    paces_[0].served = true;
    paces_[0].last = GetTickCount64();
}

bool Window::DropsTimer(UINT_PTR id)
{
    if (paceMs_ == 0) {
        return false;
    }
    TimerPace& pace = paces_[id == pacedTimerId_ ? 0 : 1];
    const ULONGLONG now = GetTickCount64();
    // A timer's own messages come an interval apart, give or take the clock's tick: a tenth is allowed.
    if (pace.served && now - pace.last < paceMs_ - paceMs_ / 10) {
        if (pace.dropped++ == 0) {
            pace.firstDropped = now;
        }
        pace.lastId = id;
        return true;
    }
    ReportDropped(pace);
    pace.served = true;
    pace.last = now;
    return false;
}

void Window::ReportDropped(TimerPace& pace)
{
    if (pace.dropped == 0) {
        return;
    }
    Trace(L"%s: Dropped %lu WM_TIMER messages (the last for timer %I64u) that came within %lu ms of the one "
          L"served before them, over %I64u ms\n",
          kWindowProcTag, pace.dropped, static_cast<unsigned long long>(pace.lastId), paceMs_,
          GetTickCount64() - pace.firstDropped);
    pace.dropped = 0;
}

LRESULT CALLBACK Window::StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        // A message's parameters carry pointers as integers; the window's own slot holds its object.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    auto* self = reinterpret_cast<Window*>(GetWindowLongPtrW(window, 0));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    // Posted and sent alike come through here: a flood is dropped before it writes a line.
    if (message == WM_TIMER && self->DropsTimer(wParam)) {
        return 0;
    }

    LRESULT result = 0;
    const bool handled = self->WindowProc(window, message, wParam, lParam, &result);
    if (message == WM_NCDESTROY) {
        for (TimerPace& pace : self->paces_) {
            self->ReportDropped(pace);
        }
        self->windowHandle_.store(nullptr);
    }
    return handled ? result : DefWindowProcW(window, message, wParam, lParam);
}

bool Window::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    Trace(L"%s: executing... uMsg: %lu wParam: %I64u lParam: %I64u\n", kWindowProcTag, message,
          static_cast<unsigned long long>(wParam), static_cast<unsigned long long>(lParam));

    using Operation = bool (IWindowCallback::*)(HWND, WPARAM, LPARAM, LRESULT*);
    Operation operation = nullptr;
    switch (message) {
    case WM_CREATE:
        Trace(L"%s: WM_CREATE received\n", kWindowProcTag);
        operation = &IWindowCallback::OnCreate;
        break;
    case WM_DESTROY:
        Trace(L"%s: WM_DESTROY received\n", kWindowProcTag);
        operation = &IWindowCallback::OnDestroy;
        break;
    case WM_QUERYENDSESSION:
        operation = &IWindowCallback::OnQueryEndSession;
        break;
    case WM_ENDSESSION:
        Trace(L"%s: WM_ENDSESSION received\n", kWindowProcTag);
        operation = &IWindowCallback::OnEndSession;
        break;
    case WM_NCCREATE:
        Trace(L"%s: WM_NCCREATE received\n", kWindowProcTag);
        break;
    case WM_NCDESTROY:
        Trace(L"%s: WM_NCDESTROY received\n", kWindowProcTag);
        break;
    case WM_TIMER:
        Trace(L"%s: WM_TIMER received\n", kWindowProcTag);
        operation = &IWindowCallback::OnTimer;
        break;
    case WM_CREATESHUTDOWNREASON:
        Trace(L"%s: WM_CREATESHUTDOWNREASON received\n", kWindowProcTag);
        operation = &IWindowCallback::OnCreateShutdownReason;
        break;
    case WM_DESTROYSHUTDOWNREASON:
        Trace(L"%s: WM_DESTROYSHUTDOWNREASON received\n", kWindowProcTag);
        operation = &IWindowCallback::OnDestroyShutdownReason;
        break;
    default:
        break;
    }
    if (operation == nullptr || callback_ == nullptr) {
        return false;
    }
    return (callback_->*operation)(window, wParam, lParam, result);
}

} // namespace Orvanta::Deskweave
