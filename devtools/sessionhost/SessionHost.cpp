#include "devtools/sessionhost/SessionHost.h"

#include <chrono>

namespace HalyardDev {

SessionHost::SessionHost() : handler_(std::make_unique<Orvanta::Deskweave::SyncWindowHandler>()) {}

SessionHost::~SessionHost()
{
    Close();
    // The handler outlives its window, as in the agent.
    handler_.reset();
}

bool SessionHost::Observer::OnQueryEndSession(HWND w, WPARAM wp, LPARAM lp, LRESULT* r)
{
    const bool handled = host_.handler_->OnQueryEndSession(w, wp, lp, r);
    host_.Count(host_.queries_);
    return handled;
}

bool SessionHost::Observer::OnEndSession(HWND w, WPARAM wp, LPARAM lp, LRESULT* r)
{
    const bool handled = host_.handler_->OnEndSession(w, wp, lp, r);
    host_.Count(host_.ends_);
    return handled;
}

void SessionHost::Count(int& counter)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counter;
    }
    changed_.notify_all();
}

bool SessionHost::WaitForCount(const int& counter, int count, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return counter >= count; });
}

bool SessionHost::WaitForQueryEndSession(int count, DWORD timeoutMs)
{
    return WaitForCount(queries_, count, timeoutMs);
}

bool SessionHost::WaitForEndSession(int count, DWORD timeoutMs)
{
    return WaitForCount(ends_, count, timeoutMs);
}

} // namespace HalyardDev
