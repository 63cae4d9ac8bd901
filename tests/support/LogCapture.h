#pragma once

#include "devtools/common/LogReader.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/TempPathOverride.h"

#include <string>
#include <vector>

namespace HalyardTest {

using namespace HalyardDev;

// Starts tracing into a fresh log folder for the life of a test. Reading the log stops tracing.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines();
    std::vector<std::string> Messages();
    // What the log holds so far; then tracing starts again into an empty folder.
    std::vector<std::string> TakeMessages();

private:
    TempFolder temp_;
    TempPathOverride tempPath_{temp_.Path()};
};

// Each needle found after the one before; a missing one, or one out of order, fails the test by name.
void ExpectInOrder(const std::vector<std::string>& messages, const std::vector<std::string>& needles);

} // namespace HalyardTest
