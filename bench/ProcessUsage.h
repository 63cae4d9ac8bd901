#pragma once

#include <windows.h>

#include <string>

namespace HalyardBench {

struct ProcessUsage {
    double cpuMs = 0;
    double privateKb = 0;
    double workingSetKb = 0;
};

// CPU time and memory of a process this benchmark started. `commandLineToken` is a text that only
// that process's command line holds: under Wine, where GetProcessTimes reports nothing of other
// processes, the CPU time is read from the Unix side, and the token, together with this run's own
// WINEPREFIX, tells that process from every other (other agents, other prefixes); without a token the
// CPU time is not read there.
ProcessUsage ReadProcessUsage(HANDLE process, const std::string& commandLineToken);

} // namespace HalyardBench
