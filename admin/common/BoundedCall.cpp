#include "admin/common/BoundedCall.h"

#include "platform/UniqueResource.h"

#include <memory>

namespace Orvanta::Deskweave {
namespace {

// Owned by the caller and the thread together: whichever lets go last frees it.
struct Work {
    std::function<void()> call;
    UniqueHandle done;
};

DWORD WINAPI RunWork(void* parameter)
{
    const std::unique_ptr<std::shared_ptr<Work>> work(static_cast<std::shared_ptr<Work>*>(parameter));
    try {
        (*work)->call();
    } catch (...) {
    }
    SetEvent((*work)->done.get());
    return 0;
}

} // namespace

bool BoundedCall::Run(std::function<void()> call, DWORD timeoutMs)
{
    const auto work = std::make_shared<Work>();
    work->call = std::move(call);
    work->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!work->done) {
        return false;
    }
    auto* shared = new std::shared_ptr<Work>(work);
    const UniqueHandle thread(CreateThread(nullptr, 0, RunWork, shared, 0, nullptr));
    if (!thread) {
        delete shared;
        return false;
    }
    return WaitForSingleObject(work->done.get(), timeoutMs) == WAIT_OBJECT_0;
}

} // namespace Orvanta::Deskweave
