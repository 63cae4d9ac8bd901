#pragma once

#include <windows.h>

#include <mutex>

namespace Orvanta::Deskweave {

// Ends the process when it has not ended within a bound of being told to. Only the window thread can
// run the teardown, and an engine call that never returns holds it: the agent would keep its instance
// guard, its log and its programs in use (an upgrade meets them) until logoff. At the bound the process
// ends anyway, with one line and an Event Log entry that name the call, and without the rest of the
// teardown. Armed once, from any thread; it must outlive every step of the teardown it guards (first on
// wWinMain's stack).
class ExitDeadline
{
public:
    explicit ExitDeadline(DWORD boundMs);
    // Cancels the bound, waiting for an expiry already under way (which ends the process).
    ~ExitDeadline();

    ExitDeadline(const ExitDeadline&) = delete;
    ExitDeadline& operator=(const ExitDeadline&) = delete;

    // Starts the bound; later calls change nothing. Where the system refuses the timer, the end is
    // unbounded: the teardown still runs, only nothing cuts it short.
    void Arm();

private:
    static void CALLBACK Expired(PTP_CALLBACK_INSTANCE instance, void* self, PTP_TIMER timer);
    void EndProcess() const;

    DWORD boundMs_;
    // Made when armed, not before: an idle agent would otherwise keep the pool's threads (and their
    // stacks) for a bound it may never need.
    std::mutex mutex_;
    bool armed_ = false;
    PTP_TIMER timer_ = nullptr;
};

} // namespace Orvanta::Deskweave
