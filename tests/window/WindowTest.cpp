// The hidden window on the real dispatch path. A process may register the window class only once;
// every case runs in a process of its own.
#include "tests/support/TestSupport.h"
#include "devtools/common/WindowThread.h"
#include "window/Window.h"
#include "window/WindowMessages.h"

#include <atomic>

using namespace HalyardTest;

namespace {

const std::string kProc = "Orvanta::Deskweave::Window::WindowProc: ";

// Answers WM_TIMER with its wParam + 1, leaves WM_QUERYENDSESSION unhandled and ends the loop with 7 at
// OnDestroy; counts its calls and notes whether they all came on one thread, and which.
class RecordingCallback : public IWindowCallback
{
public:
    bool OnCreate(HWND, WPARAM, LPARAM, LRESULT* r) override { return Record(r, 0, true); }
    bool OnDestroy(HWND, WPARAM, LPARAM, LRESULT* r) override { return PostQuitMessage(7), Record(r, 0, true); }
    bool OnTimer(HWND, WPARAM w, LPARAM, LRESULT* r) override { return Record(r, static_cast<LRESULT>(w + 1), true); }
    bool OnQueryEndSession(HWND, WPARAM, LPARAM, LRESULT* r) override { return Record(r, 0, false); }
    bool OnEndSession(HWND, WPARAM, LPARAM, LRESULT* r) override { return Record(r, 0, true); }
    bool OnCreateShutdownReason(HWND, WPARAM, LPARAM, LRESULT* r) override { return Record(r, 0, true); }
    bool OnDestroyShutdownReason(HWND, WPARAM, LPARAM, LRESULT* r) override { return Record(r, 0, true); }

    std::atomic<int> calls{0};
    std::atomic<DWORD> thread{0};
    std::atomic<bool> oneThread{true};

private:
    bool Record(LRESULT* result, LRESULT value, bool handled)
    {
        DWORD first = 0;
        thread.compare_exchange_strong(first, GetCurrentThreadId());
        oneThread = oneThread && thread == GetCurrentThreadId();
        ++calls;
        *result = value;
        return handled;
    }
};

class HiddenWindow : public testing::Test
{
protected:
    LogCapture log_;
    RecordingCallback callback_; // before the window thread: it must outlive the window
};

TEST_F(HiddenWindow, CallbacksRunOnTheCreatingThreadAndAnswerWithTheirResult)
{
    HalyardDev::WindowThread host(callback_, L"Test window");
    ASSERT_EQ(0u, host.CreateResult());
    HWND window = host.GetWindow().Handle();
    EXPECT_EQ(42, SendMessageW(window, WM_TIMER, 41, 0)) << "handled: the stored result";
    EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF)) << "unhandled: default answer";
    EXPECT_EQ(0, SendMessageW(window, WM_CREATESHUTDOWNREASON, 0, 0));
    EXPECT_EQ(0, SendMessageW(window, WM_DESTROYSHUTDOWNREASON, 0, 0));
    EXPECT_EQ(0, SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF));
    EXPECT_EQ(host.ThreadId(), callback_.thread.load());
    EXPECT_TRUE(callback_.oneThread);
    EXPECT_EQ(6, callback_.calls) << "OnCreate and the five sent messages";

    const std::vector<std::string> messages = log_.Messages();
    EXPECT_EQ(0, FindMessage(messages, "Orvanta::Deskweave::Window::Window: executing... sessionId: 0"));
    EXPECT_EQ(1, FindMessage(messages, "Orvanta::Deskweave::Window::Create: executing... windowClassName: "
                                       "OrvantaSyncAgentWindowClass windowName: Test window"));
    const int timer = FindMessage(messages, kProc + "executing... uMsg: 275 wParam: 41 lParam: 0");
    ASSERT_GE(timer, 0);
    EXPECT_EQ(kProc + "WM_TIMER received", messages[timer + 1]);
    const int query = FindMessage(messages, kProc + "executing... uMsg: 17 wParam: 0 lParam: 2147483648");
    ASSERT_GE(query, 0);
    EXPECT_EQ(kProc + "executing... uMsg: 1124 wParam: 0 lParam: 0", messages[query + 1]) << "no line of its own";
    EXPECT_EQ(kProc + "WM_CREATESHUTDOWNREASON received", messages[query + 2]);
}

void CALLBACK CountingTimerProcedure(HWND, UINT, UINT_PTR, DWORD)
{
    ADD_FAILURE() << "a timer procedure named by a posted message was called";
}

TEST_F(HiddenWindow, DestroyFromAnotherThreadPostsCloseAndTheLoopDropsTimerMessagesNamingAProcedure)
{
    HalyardDev::WindowThread host(callback_, L"Test window");
    ASSERT_EQ(0u, host.CreateResult());
    // Any program on the desktop can post these: dispatched, the address would be called.
    const auto procedure = reinterpret_cast<LPARAM>(&CountingTimerProcedure);
    PostMessageW(host.GetWindow().Handle(), WM_TIMER, 5, procedure);
    PostMessageW(host.GetWindow().Handle(), 0x0118, 5, procedure); // WM_SYSTIMER
    PostMessageW(host.GetWindow().Handle(), WM_TIMER, 9, 0);
    host.GetWindow().Destroy(); // from this thread: only a post

    EXPECT_EQ(7, host.Join()) << "the loop ends with the quit message's code";
    EXPECT_EQ(host.ThreadId(), callback_.thread.load());
    EXPECT_EQ(nullptr, host.GetWindow().Handle()) << "cleared at WM_NCDESTROY";
    const std::string dropped = "Orvanta::Deskweave::Window::MessageLoop:Dropped a timer message with a timer "
                                "procedure: uMsg: ";
    const std::string address = std::to_string(static_cast<unsigned long long>(procedure));
    const std::vector<std::string> messages = log_.Messages();
    ExpectInOrder(messages,
                  {dropped + "275 wParam: 5 lParam: " + address, dropped + "280 wParam: 5 lParam: " + address,
                   kProc + "executing... uMsg: 275 wParam: 9 lParam: 0", "uMsg: 16 ", "WM_DESTROY received",
                   "WM_NCDESTROY received", "Orvanta::Deskweave::Window::MessageLoop:Terminating message loop..."});
    EXPECT_EQ(0, CountMessages(messages, kProc + "executing... uMsg: 275 wParam: 5 "));
}

// Any program of the desktop may post or send WM_TIMER as often as it likes: sooner than its pace, a
// timer message never reaches the callback, nor writes a line of its own; a burst is traced once, with
// its count. The paced timer's pace runs from its start, other ids are paced apart from it.
TEST_F(HiddenWindow, TimerMessagesSentOrPostedSoonerThanTheirPaceAreDroppedAndCountedOnceABurst)
{
    HalyardDev::WindowThread host(callback_, L"Test window", 1, 400);
    ASSERT_EQ(0u, host.CreateResult());
    HWND window = host.GetWindow().Handle();
    for (int i = 0; i < 50; ++i) {
        SendMessageW(window, WM_TIMER, 1, 0);
        PostMessageW(window, WM_TIMER, 1, 0);
        SendMessageW(window, WM_TIMER, 7, 0);
    }
    EXPECT_EQ(2, callback_.calls) << "OnCreate, and the first timer 7";
    Sleep(450);
    EXPECT_EQ(2, SendMessageW(window, WM_TIMER, 1, 0)) << "timer 1, its interval over";
    EXPECT_EQ(3, callback_.calls);
    EXPECT_EQ(7, host.Close());
    const std::vector<std::string> messages = log_.Messages();
    const std::string dropped = kProc + "Dropped ";
    EXPECT_EQ(2, CountMessages(messages, dropped));
    EXPECT_EQ(0u, messages.at(FindMessage(messages, dropped + "100 "))
                      .find(dropped +
                            "100 WM_TIMER messages (the last for timer 1) that came within 400 ms of the one served "
                            "before them, over "));
    EXPECT_GE(FindMessage(messages, dropped + "49 WM_TIMER messages (the last for timer 7)"),
              FindMessage(messages, kProc + "WM_NCDESTROY received"))
        << "a burst not ended is counted at the end";
    EXPECT_EQ(2, CountMessages(messages, kProc + "WM_TIMER received"));
}

TEST_F(HiddenWindow, OnTheCreatingThreadASecondCreateDoesNothingAndDestroyDestroysAtOnce)
{
    Window window(3);
    ASSERT_EQ(0u, window.Create(GetModuleHandleW(nullptr), L"Test window", &callback_));
    const HWND created = window.Handle();
    EXPECT_EQ(0u, window.Create(GetModuleHandleW(nullptr), L"Again", &callback_));
    EXPECT_EQ(created, window.Handle());
    RecordingCallback other;
    Window second(0);
    EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS), second.Create(GetModuleHandleW(nullptr), L"Two", &other));
    EXPECT_EQ(nullptr, second.Handle());
    EXPECT_EQ(0, other.calls);

    window.Destroy();
    EXPECT_EQ(nullptr, window.Handle());
    EXPECT_EQ(2, callback_.calls) << "OnCreate, then OnDestroy before Destroy returned";
    window.Destroy(); // nothing left: only its line
    MSG quit = {};
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, quit.wParam);
    const std::vector<std::string> messages = log_.Messages();
    EXPECT_EQ("Orvanta::Deskweave::Window::Window: executing... sessionId: 3", messages.front());
    EXPECT_EQ((std::vector<std::string>{kProc + "WM_NCDESTROY received",
                                        "Orvanta::Deskweave::Window::Destroy: executing..."}),
              std::vector<std::string>(messages.end() - 2, messages.end()));
}

} // namespace
