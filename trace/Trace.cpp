#include "trace/Trace.h"

#include "trace/TraceManager.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace Orvanta::Deskweave {
namespace {

constexpr size_t kMessageBufferLength = 1024;
constexpr size_t kMaxMessageLength = 1022;

// mingw-w64 switches the standard wide printf family to C99 rules in C++ ("%s" narrow);
// the runtime's _vsnwprintf_s keeps the Microsoft rules that every format of the agent is written in.
// A longer text is cut, and the call then reports -1, which is of no interest here.
void FormatMessageText(wchar_t (&message)[kMessageBufferLength], const wchar_t* format, va_list args)
{
    _vsnwprintf_s(message, kMessageBufferLength, kMaxMessageLength, format, args);
}

} // namespace

// Callers trace a failure and then read GetLastError() for their own report, so a trace call gives
// back the last-error value it found (the log writer's size check and file search change it).
void Trace(const wchar_t* format, ...)
{
    const DWORD lastError = GetLastError();
    wchar_t message[kMessageBufferLength] = {};
    va_list args;
    va_start(args, format);
    FormatMessageText(message, format, args);
    va_end(args);

    OutputDebugStringW(message);
    TraceManager::Write(message);
    SetLastError(lastError);
}

void TraceToDebugger(const wchar_t* format, ...)
{
    const DWORD lastError = GetLastError();
    wchar_t message[kMessageBufferLength] = {};
    va_list args;
    va_start(args, format);
    FormatMessageText(message, format, args);
    va_end(args);

    OutputDebugStringW(message);
    SetLastError(lastError);
}

} // namespace Orvanta::Deskweave
