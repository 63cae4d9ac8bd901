#include "tests/support/Background.h"

#include <chrono>
#include <cstdio>

namespace HalyardTest {

Background::Background(std::function<void()> call)
    : thread_([this, call] {
          call();
          {
              std::lock_guard<std::mutex> lock(mutex_);
              finished_ = true;
          }
          changed_.notify_all();
      })
{
}

Background::~Background()
{
    if (!Finished(20000)) {
        fprintf(stderr, "A call made in the background is still blocked 20 s after its test: ending the test.\n");
        fflush(stdout);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    thread_.join();
}

bool Background::Finished(DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
}

} // namespace HalyardTest
