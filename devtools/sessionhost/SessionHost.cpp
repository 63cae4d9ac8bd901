#include "devtools/sessionhost/SessionHost.h"

#include <chrono>
#include <future>

namespace HalyardDev {

SessionHost::SessionHost() : handler_(std::make_unique<Orvanta::Deskweave::SyncWindowHandler>())
{
    std::promise<void> created;
    thread_ = std::thread(&SessionHost::Run, this, &created);
    created.get_future().wait();
}

SessionHost::~SessionHost()
{
    Close();
    // The handler outlives its window, as in the agent.
    handler_.reset();
}

void SessionHost::Run(std::promise<void>* created)
{
    windowThreadId_ = GetCurrentThreadId();
    createResult_ = window_.Create(GetModuleHandleW(nullptr), L"Halyard session host", &observer_);
    created->set_value();
    if (createResult_ == 0) {
        exitCode_ = window_.MessageLoop();
    }
}

int SessionHost::Close()
{
    if (thread_.joinable()) {
        window_.Destroy();
        thread_.join();
    }
    return exitCode_;
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
