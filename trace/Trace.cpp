#include "trace/Trace.h"

#include "trace/TraceManager.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace Orvanta::Deskweave {
namespace {

constexpr size_t kMessageBufferLength = 1024;
constexpr size_t kMaxMessageLength = 1022;

// Formats the message on the caller's stack and hands it on. mingw-w64 switches the standard wide
// printf family to C99 rules in C++ ("%s" narrow); the runtime's _vsnwprintf_s keeps the Microsoft
// rules that every format of the agent is written in. A longer text is cut, and the call then reports
// -1, which is of no interest here. Callers trace a failure and then read GetLastError() for their own
// report, so the last-error value is given back as it was found (the log writer's size check and file
// search change it).
void Emit(bool toLog, DWORD lockWaitMs, const wchar_t* format, va_list args)
{
    const DWORD lastError = GetLastError();
    wchar_t message[kMessageBufferLength] = {};
    _vsnwprintf_s(message, kMessageBufferLength, kMaxMessageLength, format, args);
    OutputDebugStringW(message);
    if (toLog) {
        TraceManager::Write(message, lockWaitMs);
    }
    SetLastError(lastError);
}

} // namespace

void Trace(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    Emit(true, INFINITE, format, args);
    va_end(args);
}

void TraceBounded(unsigned long lockWaitMs, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    Emit(true, lockWaitMs, format, args);
    va_end(args);
}

void TraceToDebugger(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    Emit(false, INFINITE, format, args);
    va_end(args);
}

} // namespace Orvanta::Deskweave
