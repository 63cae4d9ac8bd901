#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace Orvanta::Deskweave {

// Runs calls one after another on a thread of its own and waits for each at most a bound, for what a
// user, a disk or another program may hold up: a file held under an oplock, a hung disk. A call that has
// not returned by then is abandoned with its thread, not stopped: it runs on with what it was given (it
// must own copies of everything it uses, and report only through what it shares with its caller, such as
// a shared_ptr), and its thread ends when it returns, or with the process. The next call gets a thread
// of its own. Exceptions a call raises are swallowed. One caller thread at a time.
class BoundedWorker
{
public:
    BoundedWorker() = default;
    // An idle thread ends; an abandoned one is left to end by itself.
    ~BoundedWorker();

    BoundedWorker(const BoundedWorker&) = delete;
    BoundedWorker& operator=(const BoundedWorker&) = delete;

    // True when the call returned within timeoutMs; false when it was abandoned, or no thread could be
    // started for it.
    bool Run(std::function<void()> call, DWORD timeoutMs);

private:
    struct Channel;
    std::shared_ptr<Channel> channel_;
};

} // namespace Orvanta::Deskweave
