#pragma once

#include <string>
#include <vector>

namespace HalyardTest {

// One line of a log file, split into the parts the line writer put together.
struct LogLine {
    unsigned long threadId = 0;
    std::string time;    // "MM/DD hh:mm:ss"
    std::string message; // without the CR LF
};

// Splits log text at CR LF. A line that does not carry the "[%08X] [MM/DD hh:mm:ss] " prefix is a
// torn line: it is kept with threadId 0 and its whole text as the message, so tests can see it.
std::vector<LogLine> ParseLog(const std::string& bytes);

// The Halyard_*.log files of a log folder, oldest first.
std::vector<std::wstring> LogFiles(const std::wstring& logFolder);
// All messages of all log files of a folder, oldest file first.
std::vector<std::string> LogMessages(const std::wstring& logFolder);

// Index of the first message at or after `from` that contains `needle`, or -1.
int FindMessage(const std::vector<std::string>& messages, const std::string& needle, int from = 0);

} // namespace HalyardTest

#include "tests/support/TestFolders.h"

namespace HalyardTest {

// Starts tracing into a fresh log folder for the life of a test; Messages stops tracing and returns
// every message the log received.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Messages();
    std::vector<LogLine> Lines();
    // What the log holds so far; then tracing starts again into an empty folder.
    std::vector<LogLine> TakeLines();
    std::vector<std::string> TakeMessages();

private:
    TempFolder temp_;
    TempPathOverride tempPath_{temp_.Path()};
};

} // namespace HalyardTest
