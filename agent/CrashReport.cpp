#include "agent/CrashReport.h"

#include "platform/EventLog.h"
#include "session/SyncEngine.h"
#include "trace/Trace.h"

#include <windows.h>

#include "HalyardEvents.h"

#include <atomic>
#include <cwchar>

namespace Orvanta::Deskweave {
namespace {

constexpr DWORD kLogLockWaitMs = 500;

// The filter that was there before (the C runtime's, which turns some exceptions into signals).
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
std::atomic<bool> g_reported{false};

LONG WINAPI ReportAndPassOn(EXCEPTION_POINTERS* exception)
{
    if (!g_reported.exchange(true) && exception != nullptr && exception->ExceptionRecord != nullptr) {
        const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
        wchar_t module[MAX_PATH] = L"(no module)";
        HMODULE faulting = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCWSTR>(record.ExceptionAddress), &faulting)) {
            GetModuleFileNameW(faulting, module, MAX_PATH);
        }
        ULONGLONG since = 0;
        const wchar_t* call = SyncEngine::CallInProgress(since);
        wchar_t inside[120] = {};
        if (call != nullptr) {
            _snwprintf_s(inside, _countof(inside), _TRUNCATE, L"inside %s", call);
        } else {
            wcscpy_s(inside, L"outside any engine call");
        }
        wchar_t code[16] = {};
        _snwprintf_s(code, _countof(code), _TRUNCATE, L"%08X", static_cast<unsigned>(record.ExceptionCode));
        wchar_t address[24] = {};
        _snwprintf_s(address, _countof(address), _TRUNCATE, L"0x%016I64X",
                     static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress)));
        TraceBounded(kLogLockWaitMs,
                     L"Halyard is ending on an exception that nothing handled: %s at %s in %s, %s. Windows Error "
                     L"Reporting takes it from here.\n",
                     code, address, module, inside);
        wchar_t session[16] = {};
        DWORD sessionId = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &sessionId);
        _snwprintf_s(session, _countof(session), _TRUNCATE, L"%lu", sessionId);
        const wchar_t* strings[] = {session, code, address, module, inside};
        EventLog::Report(EVENTLOG_ERROR_TYPE, HALYARD_EVENT_UNHANDLED_EXCEPTION, strings, 5);
    }
    return g_previousFilter != nullptr ? g_previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

void ReportUnhandledExceptions()
{
    g_previousFilter = SetUnhandledExceptionFilter(ReportAndPassOn);
    // Windows consumes every exception of a timer procedure unless told otherwise, and an engine's own
    // timers run on this thread: a fault there would leave the agent running on whatever the fault broke.
    BOOL suppress = FALSE;
    SetUserObjectInformationW(GetCurrentProcess(), UOI_TIMERPROC_EXCEPTION_SUPPRESSION, &suppress, sizeof(suppress));
}

} // namespace Orvanta::Deskweave
