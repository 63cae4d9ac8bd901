#include "devtools/common/LogReader.h"

#include "devtools/common/Files.h"

#include <algorithm>
#include <regex>

namespace HalyardDev {

std::vector<LogLine> ParseLog(const std::string& bytes)
{
    static const std::regex prefix(R"(^\[([0-9A-F]{8})\] \[(\d\d/\d\d \d\d:\d\d:\d\d)\] )");
    std::vector<LogLine> lines;
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find("\r\n", start);
        const std::string text = bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
        LogLine line;
        std::smatch match;
        if (std::regex_search(text, match, prefix)) {
            line.threadId = std::stoul(match[1].str(), nullptr, 16);
            line.time = match[2].str();
            line.message = match.suffix().str();
        } else {
            line.message = text;
        }
        lines.push_back(line);
        start = end == std::string::npos ? bytes.size() : end + 2;
    }
    return lines;
}

std::vector<std::wstring> LogFiles(const std::wstring& logFolder)
{
    return ListFolder(logFolder, L"Halyard_*.log");
}

std::vector<LogLine> LogLines(const std::wstring& logFolder)
{
    std::vector<LogLine> lines;
    for (const std::wstring& name : LogFiles(logFolder)) {
        for (const LogLine& line : ParseLog(ReadFileBytes(logFolder + L"\\" + name))) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> LogMessages(const std::wstring& logFolder)
{
    std::vector<std::string> messages;
    for (const LogLine& line : LogLines(logFolder)) {
        messages.push_back(line.message);
    }
    return messages;
}

int CountMessages(const std::vector<std::string>& messages, const std::string& needle)
{
    return static_cast<int>(std::count_if(messages.begin(), messages.end(), [&needle](const std::string& message) {
        return message.find(needle) != std::string::npos;
    }));
}

} // namespace HalyardDev
