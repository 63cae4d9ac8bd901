#pragma once

#include <string>
#include <vector>

// Reads what the agent's line writer put into its log files.
namespace HalyardDev {

struct LogLine {
    unsigned long threadId = 0;
    std::string time;    // "MM/DD hh:mm:ss"
    std::string message; // without the CR LF
};

// Splits log text at CR LF. A line without the "[%08X] [MM/DD hh:mm:ss] " prefix is a torn line: it
// is kept with threadId 0 and its whole text as the message, so that tests can see it.
std::vector<LogLine> ParseLog(const std::string& bytes);
// The Halyard_*.log files of a log folder, oldest first.
std::vector<std::wstring> LogFiles(const std::wstring& logFolder);
// Every line of every log file of a folder, oldest file first.
std::vector<LogLine> LogLines(const std::wstring& logFolder);
std::vector<std::string> LogMessages(const std::wstring& logFolder);

// How many messages contain `needle`.
int CountMessages(const std::vector<std::string>& messages, const std::string& needle);

} // namespace HalyardDev
