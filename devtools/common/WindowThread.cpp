#include "devtools/common/WindowThread.h"

namespace HalyardDev {

WindowThread::WindowThread(Orvanta::Deskweave::IWindowCallback& callback, const std::wstring& title,
                           UINT_PTR pacedTimer, UINT paceMs)
{
    // Before the thread exists, which alone touches the window afterwards.
    if (paceMs != 0) {
        window_.PaceTimer(pacedTimer, paceMs);
    }
    std::promise<void> created;
    thread_ = std::thread(&WindowThread::Run, this, &callback, title, &created);
    created.get_future().wait();
}

WindowThread::~WindowThread()
{
    Close();
}

void WindowThread::Run(Orvanta::Deskweave::IWindowCallback* callback, std::wstring title, std::promise<void>* created)
{
    threadId_ = GetCurrentThreadId();
    createResult_ = window_.Create(GetModuleHandleW(nullptr), title.c_str(), callback);
    created->set_value();
    if (createResult_ == 0) {
        exitCode_ = window_.MessageLoop();
    }
}

int WindowThread::Close()
{
    if (thread_.joinable()) {
        window_.Destroy();
    }
    return Join();
}

int WindowThread::Join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
    return exitCode_;
}

} // namespace HalyardDev
