#include "agent/ExitDeadline.h"

#include "platform/EventLog.h"
#include "session/SyncEngine.h"
#include "trace/Trace.h"

#include "HalyardEvents.h"

#include <cwchar>

namespace Orvanta::Deskweave {
namespace {
// A writer stuck on a hung disk may hold the log: the line is given up rather than waited for.
constexpr DWORD kLogLockWaitMs = 500;
} // namespace

ExitDeadline::ExitDeadline(DWORD boundMs)
    : boundMs_(boundMs), armed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      watched_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), finished_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{}

ExitDeadline::~ExitDeadline()
{
    if (finished_) {
        SetEvent(finished_.get());
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ExitDeadline::Start(std::function<void()> watch)
{
    thread_ = std::thread([this, watch = std::move(watch)] {
        watch();
        if (watched_) {
            SetEvent(watched_.get());
        }
        Serve();
    });
}

void ExitDeadline::Arm() const
{
    if (armed_) {
        SetEvent(armed_.get());
    }
}

void ExitDeadline::WaitForWatch() const
{
    if (!thread_.joinable() || !watched_) {
        return;
    }
    if (WaitForSingleObject(watched_.get(), boundMs_) == WAIT_TIMEOUT) {
        EndProcess();
    }
}

void ExitDeadline::Serve() const
{
    // Without its events nothing is bounded: the teardown still runs, only nothing cuts it short.
    if (!armed_ || !finished_) {
        return;
    }
    const HANDLE handles[] = {armed_.get(), finished_.get()};
    if (WaitForMultipleObjects(_countof(handles), handles, FALSE, INFINITE) == WAIT_OBJECT_0 &&
        WaitForSingleObject(finished_.get(), boundMs_) == WAIT_TIMEOUT) {
        EndProcess();
    }
}

void ExitDeadline::EndProcess() const
{
    ULONGLONG since = 0;
    const wchar_t* call = SyncEngine::CallInProgress(since);
    wchar_t what[200] = {};
    if (call != nullptr) {
        _snwprintf_s(what, _countof(what), _TRUNCATE, L"%s had not returned for %I64u ms", call,
                     GetTickCount64() - since);
    } else {
        wcscpy_s(what, L"it was blocked outside any engine call");
    }
    TraceBounded(kLogLockWaitMs,
                 L"Halyard is ending without its teardown: the window thread did not finish within %lu ms of the "
                 L"request to end; %s. The engine is not released, and the window and the session handler are "
                 L"not destroyed.\n",
                 boundMs_, what);
    wchar_t session[16] = {};
    DWORD sessionId = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &sessionId);
    _snwprintf_s(session, _countof(session), _TRUNCATE, L"%lu", sessionId);
    wchar_t bound[16] = {};
    _snwprintf_s(bound, _countof(bound), _TRUNCATE, L"%lu", boundMs_);
    const wchar_t* strings[] = {session, bound, what};
    EventLog::Report(EVENTLOG_WARNING_TYPE, HALYARD_EVENT_ENDED_WITHOUT_TEARDOWN, strings, 3);
    // Not ExitProcess: it would call the engine's DllMain under the loader lock, which the hung call
    // may need, and the window thread's own objects would be destroyed under it.
    TerminateProcess(GetCurrentProcess(), 0);
}

} // namespace Orvanta::Deskweave
