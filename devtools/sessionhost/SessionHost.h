#pragma once

#include "devtools/common/WindowThread.h"
#include "session/SyncWindowHandler.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace HalyardDev {

// A development notification source. Halyard.exe hands its callback to no one, so nothing outside can
// notify it; this host runs a real Window with a real SyncWindowHandler on a window thread of its own
// and lets other threads deliver job-status notifications to the handler, as the engine would.
// Never linked into Halyard.exe. One per process: the window class registers once per process.
class SessionHost
{
public:
    SessionHost();
    ~SessionHost();

    SessionHost(const SessionHost&) = delete;
    SessionHost& operator=(const SessionHost&) = delete;

    DWORD CreateResult() const { return windowThread_.CreateResult(); }
    HWND WindowHandle() { return windowThread_.GetWindow().Handle(); }
    DWORD WindowThreadId() const { return windowThread_.ThreadId(); }

    // Callable from any thread but the window thread, one call at a time, as the engine calls it.
    Orvanta::Deskweave::ISyncNotificationCallback& Notifications() { return *handler_; }

    // Wait until the window thread has handled that many session-end messages in all.
    bool WaitForQueryEndSession(int count, DWORD timeoutMs);
    bool WaitForEndSession(int count, DWORD timeoutMs);

    // Closes the window from this thread (a post) and waits for the loop to end; its exit code.
    int Close() { return windowThread_.Close(); }

private:
    // Counts the session-end messages on their way to the handler.
    class Observer : public Orvanta::Deskweave::IWindowCallback
    {
    public:
        explicit Observer(SessionHost& host) : host_(host) {}
        bool OnCreate(HWND w, WPARAM wp, LPARAM lp, LRESULT* r) override
        {
            return host_.handler_->OnCreate(w, wp, lp, r);
        }
        bool OnDestroy(HWND w, WPARAM wp, LPARAM lp, LRESULT* r) override
        {
            return host_.handler_->OnDestroy(w, wp, lp, r);
        }
        bool OnTimer(HWND w, WPARAM wp, LPARAM lp, LRESULT* r) override
        {
            return host_.handler_->OnTimer(w, wp, lp, r);
        }
        bool OnQueryEndSession(HWND w, WPARAM wp, LPARAM lp, LRESULT* r) override;
        bool OnEndSession(HWND w, WPARAM wp, LPARAM lp, LRESULT* r) override;
        bool OnCreateShutdownReason(HWND w, WPARAM wp, LPARAM lp, LRESULT* r) override
        {
            return host_.handler_->OnCreateShutdownReason(w, wp, lp, r);
        }
        bool OnDestroyShutdownReason(HWND w, WPARAM wp, LPARAM lp, LRESULT* r) override
        {
            return host_.handler_->OnDestroyShutdownReason(w, wp, lp, r);
        }

    private:
        SessionHost& host_;
    };

    void Count(int& counter);
    bool WaitForCount(const int& counter, int count, DWORD timeoutMs);

    std::unique_ptr<Orvanta::Deskweave::SyncWindowHandler> handler_;
    Observer observer_{*this};
    std::mutex mutex_;
    std::condition_variable changed_;
    int queries_ = 0;
    int ends_ = 0;
    WindowThread windowThread_{observer_, L"Halyard session host"};
};

} // namespace HalyardDev
