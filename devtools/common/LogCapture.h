#pragma once

#include "devtools/common/LogReader.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/TempPathOverride.h"

#include <string>
#include <vector>

namespace HalyardDev {

// Traces into a fresh log folder for its life: for tests of what the agent's classes write, and for
// the benchmark's runs of the log writer. Reading the log stops tracing.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::wstring LogFolder() const { return temp_ / L"Orvanta"; }
    std::vector<std::string> Messages();
    // What the log holds so far; then tracing starts again into an empty folder.
    std::vector<std::string> TakeMessages();

private:
    TempFolder temp_;
    TempPathOverride tempPath_{temp_.Path()};
};

} // namespace HalyardDev
