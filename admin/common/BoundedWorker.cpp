#include "admin/common/BoundedWorker.h"

#include "platform/UniqueResource.h"

#include <atomic>

namespace Orvanta::Deskweave {

// Owned by the caller and the thread together: whichever lets go last frees it.
struct BoundedWorker::Channel {
    UniqueHandle work{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle finished{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::function<void()> call;
    std::atomic<bool> stop{false};
};

bool BoundedWorker::Run(std::function<void()> call, DWORD timeoutMs)
{
    if (!channel_) {
        auto channel = std::make_shared<Channel>();
        if (!channel->work || !channel->finished) {
            return false;
        }
        struct Start {
            std::shared_ptr<Channel> channel;
        };
        auto* start = new Start{channel};
        const auto serve = [](void* parameter) -> DWORD {
            const std::unique_ptr<Start> owned(static_cast<Start*>(parameter));
            Channel& served = *owned->channel;
            for (;;) {
                WaitForSingleObject(served.work.get(), INFINITE);
                if (served.stop.load()) {
                    return 0;
                }
                try {
                    served.call();
                } catch (...) {
                }
                served.call = nullptr;
                // Abandoned meanwhile: nobody waits for this thread any more.
                if (served.stop.load()) {
                    return 0;
                }
                SetEvent(served.finished.get());
            }
        };
        const UniqueHandle thread(CreateThread(nullptr, 0, serve, start, 0, nullptr));
        if (!thread) {
            delete start;
            return false;
        }
        channel_ = std::move(channel);
    }
    channel_->call = std::move(call);
    SetEvent(channel_->work.get());
    if (WaitForSingleObject(channel_->finished.get(), timeoutMs) == WAIT_OBJECT_0) {
        return true;
    }
    channel_->stop.store(true);
    SetEvent(channel_->work.get());
    channel_.reset();
    return false;
}

BoundedWorker::~BoundedWorker()
{
    if (channel_) {
        channel_->stop.store(true);
        SetEvent(channel_->work.get());
    }
}

} // namespace Orvanta::Deskweave
