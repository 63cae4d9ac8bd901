// The hidden window on the real dispatch path. A process may register the window class only once;
// every case runs in a process of its own.
#include "devtools/common/WindowThread.h"
#include "tests/support/LogCapture.h"
#include "window/Window.h"
#include "window/WindowMessages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Orvanta::Deskweave;
using namespace HalyardTest;
using namespace HalyardDev;

namespace {

// Records the thread of each call; answers WM_TIMER with its wParam + 1 and leaves
// WM_QUERYENDSESSION unhandled; OnDestroy ends the loop with exit code 7.
class RecordingCallback : public IWindowCallback
{
public:
    bool OnCreate(HWND, WPARAM, LPARAM, LRESULT* result) override { return Record(result, 0, true); }
    bool OnDestroy(HWND, WPARAM, LPARAM, LRESULT* result) override
    {
        destroyThread = GetCurrentThreadId();
        PostQuitMessage(7);
        return Record(result, 0, true);
    }
    bool OnTimer(HWND, WPARAM wParam, LPARAM, LRESULT* result) override
    {
        return Record(result, static_cast<LRESULT>(wParam + 1), true);
    }
    bool OnQueryEndSession(HWND, WPARAM, LPARAM, LRESULT* result) override { return Record(result, 0, false); }
    bool OnEndSession(HWND, WPARAM, LPARAM, LRESULT* result) override { return Record(result, 0, true); }
    bool OnCreateShutdownReason(HWND, WPARAM, LPARAM, LRESULT* result) override { return Record(result, 0, true); }
    bool OnDestroyShutdownReason(HWND, WPARAM, LPARAM, LRESULT* result) override { return Record(result, 0, true); }

    std::atomic<DWORD> destroyThread{0};
    std::atomic<int> calls{0};
    std::atomic<bool> allOnOneThread{true};
    std::atomic<DWORD> firstThread{0};

private:
    bool Record(LRESULT* result, LRESULT value, bool handled)
    {
        DWORD expected = 0;
        firstThread.compare_exchange_strong(expected, GetCurrentThreadId());
        if (firstThread != GetCurrentThreadId()) {
            allOnOneThread = false;
        }
        ++calls;
        *result = value;
        return handled;
    }
};

// The callback first: it must outlive the window thread.
struct RecordedWindow {
    RecordingCallback callback;
    HalyardDev::WindowThread host{callback, L"Test window"};
};

class HiddenWindow : public testing::Test
{
protected:
    LogCapture log_;
};

TEST_F(HiddenWindow, CallbacksRunOnTheCreatingThreadAndAnswerWithTheirResult)
{
    RecordedWindow recorded;
    auto& host = recorded.host;
    ASSERT_EQ(0u, host.CreateResult());
    HWND window = host.GetWindow().Handle();
    ASSERT_NE(nullptr, window);

    EXPECT_EQ(42, SendMessageW(window, WM_TIMER, 41, 0)) << "handled: the stored result";
    EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF)) << "unhandled: default answer";
    EXPECT_EQ(0, SendMessageW(window, WM_CREATESHUTDOWNREASON, 0, 0));
    EXPECT_EQ(0, SendMessageW(window, WM_DESTROYSHUTDOWNREASON, 0, 0));
    EXPECT_EQ(0, SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF));
    EXPECT_EQ(host.ThreadId(), recorded.callback.firstThread.load());
    EXPECT_TRUE(recorded.callback.allOnOneThread);
    EXPECT_EQ(6, recorded.callback.calls) << "OnCreate and the five sent messages";

    const std::vector<std::string> messages = log_.Messages();
    const std::string tag = "Orvanta::Deskweave::Window::WindowProc: ";
    const int timer = FindMessage(messages, tag + "executing... uMsg: 275 wParam: 41 lParam: 0");
    ASSERT_GE(timer, 0);
    EXPECT_EQ(tag + "WM_TIMER received", messages[timer + 1]);
    const int query = FindMessage(messages, tag + "executing... uMsg: 17 wParam: 0 lParam: 2147483648");
    ASSERT_GE(query, 0);
    EXPECT_EQ(tag + "executing... uMsg: 1124 wParam: 0 lParam: 0", messages[query + 1]) << "no line of its own";
    EXPECT_EQ(tag + "WM_CREATESHUTDOWNREASON received", messages[query + 2]);
    EXPECT_EQ(0, FindMessage(messages, "Orvanta::Deskweave::Window::Window: executing... sessionId: 0"));
    EXPECT_EQ(1, FindMessage(messages,
                             "Orvanta::Deskweave::Window::Create: executing... windowClassName: "
                             "OrvantaSyncAgentWindowClass windowName: Test window"));
}

TEST_F(HiddenWindow, DestroyFromAnotherThreadPostsCloseAndTheLoopEndsWithTheQuitCode)
{
    RecordedWindow recorded;
    auto& host = recorded.host;
    ASSERT_EQ(0u, host.CreateResult());
    host.GetWindow().Destroy(); // from this thread: only a post

    EXPECT_EQ(7, host.Join());
    EXPECT_EQ(host.ThreadId(), recorded.callback.destroyThread.load());
    EXPECT_EQ(nullptr, host.GetWindow().Handle()) << "cleared at WM_NCDESTROY";

    const std::vector<std::string> messages = log_.Messages();
    const int close = FindMessage(messages, "uMsg: 16 ");
    ASSERT_GE(close, 0);
    EXPECT_GT(FindMessage(messages, "WM_DESTROY received", close), close);
    EXPECT_GT(FindMessage(messages, "WM_NCDESTROY received", close), close);
    EXPECT_GE(FindMessage(messages, "Orvanta::Deskweave::Window::MessageLoop:Terminating message loop..."), 0);
}

std::atomic<int> timerProcedureCalls{0};
void CALLBACK CountingTimerProcedure(HWND, UINT, UINT_PTR, DWORD)
{
    ++timerProcedureCalls;
}

TEST_F(HiddenWindow, TimerMessagesNamingATimerProcedureAreDroppedUndispatched)
{
    RecordedWindow recorded;
    ASSERT_EQ(0u, recorded.host.CreateResult());
    HWND window = recorded.host.GetWindow().Handle();
    // Any program on the desktop can post these: dispatched, the address would be called.
    const auto procedure = reinterpret_cast<LPARAM>(&CountingTimerProcedure);
    PostMessageW(window, WM_TIMER, 5, procedure);
    PostMessageW(window, 0x0118, 5, procedure); // WM_SYSTIMER
    PostMessageW(window, WM_TIMER, 9, 0);
    recorded.host.GetWindow().Destroy();
    EXPECT_EQ(7, recorded.host.Join());
    EXPECT_EQ(0, timerProcedureCalls);

    const std::vector<std::string> messages = log_.Messages();
    const std::string dropped = "Orvanta::Deskweave::Window::MessageLoop:Dropped a timer message with a timer "
                                "procedure: uMsg: ";
    const std::string address = std::to_string(static_cast<unsigned long long>(procedure));
    ExpectInOrder(messages, {dropped + "275 wParam: 5 lParam: " + address, dropped + "280 wParam: 5 lParam: " + address,
                             "WindowProc: executing... uMsg: 275 wParam: 9 lParam: 0"});
    EXPECT_EQ(0, CountMessages(messages, "WindowProc: executing... uMsg: 275 wParam: 5 "));
}

TEST_F(HiddenWindow, DestroyOnTheCreatingThreadDestroysAtOnce)
{
    Window window(3);
    RecordingCallback callback;
    ASSERT_EQ(0u, window.Create(GetModuleHandleW(nullptr), L"Test window", &callback));
    window.Destroy();
    EXPECT_EQ(nullptr, window.Handle());
    EXPECT_EQ(GetCurrentThreadId(), callback.destroyThread.load());
    window.Destroy(); // nothing left: only its line

    MSG quit = {};
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, quit.wParam);

    const std::vector<std::string> messages = log_.Messages();
    EXPECT_EQ("Orvanta::Deskweave::Window::Window: executing... sessionId: 3", messages.front());
    EXPECT_EQ("Orvanta::Deskweave::Window::Destroy: executing...", messages.back());
    EXPECT_EQ("Orvanta::Deskweave::Window::WindowProc: WM_NCDESTROY received", messages[messages.size() - 2]);
}

TEST_F(HiddenWindow, SecondCreateIsANoOpAndASecondClassRegistrationFails)
{
    RecordedWindow recorded;
    auto& host = recorded.host;
    ASSERT_EQ(0u, host.CreateResult());
    const HWND window = host.GetWindow().Handle();
    RecordingCallback other;

    // Same object, window present: nothing happens (called here only because it does nothing).
    EXPECT_EQ(0u, host.GetWindow().Create(GetModuleHandleW(nullptr), L"Again", &recorded.callback));
    EXPECT_EQ(window, host.GetWindow().Handle());

    Window second(0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS), second.Create(GetModuleHandleW(nullptr), L"Two", &other));
    EXPECT_EQ(nullptr, second.Handle());
    EXPECT_EQ(0, other.calls);
}

} // namespace
