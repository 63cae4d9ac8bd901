#pragma once

namespace Orvanta::Deskweave {

// Formats use the Microsoft wide printf conventions: "%s" is a wide string, "%S" a narrow one,
// "%I64u" an unsigned 64-bit number. A message is cut after 1022 characters.
// Trace writes to the debugger output and, while tracing is started, to the log file.
// Safe on any thread; never throws; leaves the thread's last-error value as it found it.
void Trace(const wchar_t* format, ...);

// As Trace, but a log line that cannot take the log's lock within lockWaitMs (a writer stuck on a hung
// disk holds it) is given up: for the threads that end the process whatever the others do.
void TraceBounded(unsigned long lockWaitMs, const wchar_t* format, ...);

// Debugger output only: for the start-up paths on which no log file is ever opened.
void TraceToDebugger(const wchar_t* format, ...);

} // namespace Orvanta::Deskweave
