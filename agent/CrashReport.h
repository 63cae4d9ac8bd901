#pragma once

namespace Orvanta::Deskweave {

// Leaves a trace when code in the process faults and nothing handles the exception (the engine, inside
// one of its calls): one log line and an Event Log entry that name the exception, the faulting module
// and the engine call, written with no more than a fault allows (nothing allocated for the line, the
// log's lock not waited on for long). The exception then goes on as without this: to Windows Error
// Reporting, or to a debugger. Exceptions in timer procedures are not swallowed either, as Windows
// otherwise does. Call once, early, on the thread that will create the window.
void ReportUnhandledExceptions();

} // namespace Orvanta::Deskweave
