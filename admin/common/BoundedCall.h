#pragma once

#include <windows.h>

#include <functional>

namespace Orvanta::Deskweave {

// Runs a call on a thread of its own and waits for it at most a bound, for what a user, a disk or another
// program may hold up: a file held under an oplock, a hung disk. A call that has not returned by then is
// abandoned, not stopped: it runs on with what it was given (it must own copies of everything it uses,
// and report only through what it owns with its caller, such as a shared_ptr), and its thread ends when
// it returns, or with the process. Exceptions it raises are swallowed.
class BoundedCall
{
public:
    // True when the call returned within timeoutMs; false when it was abandoned, or no thread could be
    // started for it.
    static bool Run(std::function<void()> call, DWORD timeoutMs);
};

} // namespace Orvanta::Deskweave
