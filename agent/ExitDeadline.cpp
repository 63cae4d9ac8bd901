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

ExitDeadline::ExitDeadline(DWORD boundMs) : boundMs_(boundMs) {}

ExitDeadline::~ExitDeadline()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    armed_ = true;
    if (timer_ != nullptr) {
        SetThreadpoolTimer(timer_, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer_, TRUE);
        CloseThreadpoolTimer(timer_);
        timer_ = nullptr;
    }
}

void ExitDeadline::Arm()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (armed_) {
        return;
    }
    armed_ = true;
    timer_ = CreateThreadpoolTimer(Expired, this, nullptr);
    if (timer_ == nullptr) {
        return;
    }
    // Relative due times are negative, in 100 ns units.
    ULARGE_INTEGER due = {};
    due.QuadPart = static_cast<ULONGLONG>(-(static_cast<LONGLONG>(boundMs_) * 10000));
    FILETIME dueTime = {due.LowPart, due.HighPart};
    SetThreadpoolTimer(timer_, &dueTime, 0, 0);
}

void CALLBACK ExitDeadline::Expired(PTP_CALLBACK_INSTANCE, void* self, PTP_TIMER)
{
    static_cast<const ExitDeadline*>(self)->EndProcess();
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
