#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace HalyardTest {

// Runs one call on a thread of its own (the end of session, as the window thread would run it), so
// that a test can tell whether it still waits. Every wait for it is bounded: if the call is still
// blocked 20 s after the test is done with it, the process ends with a message instead of hanging,
// since the objects the call uses cannot safely be destroyed under it.
class Background
{
public:
    explicit Background(std::function<void()> call);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // True once the call has returned; waits at most timeoutMs for that.
    bool Finished(DWORD timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    std::thread thread_;
};

} // namespace HalyardTest
