#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Reads the Event Log entries that a program reported under Wine, whose advapi32 writes each one to
// the process's Unix standard error with WINEDEBUG=+pid,+eventlog.
namespace HalyardTest {

// The type and id come from the "ReportEventW" stub line, the strings from the eventlog channel (Wine
// shortens a very long one).
struct ReportedEvent {
    DWORD processId = 0;
    WORD type = 0;
    DWORD id = 0;
    std::vector<std::string> strings;
};

// The entries in Wine's output, in the order they were reported.
std::vector<ReportedEvent> ReportedEvents(const std::string& output);
// "type id string|string...", one an entry.
std::vector<std::string> Described(const std::vector<ReportedEvent>& events);

} // namespace HalyardTest
