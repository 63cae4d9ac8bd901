#include "tests/support/LogReader.h"

#include "tests/support/TestFolders.h"

#include <regex>

namespace HalyardTest {

std::vector<LogLine> ParseLog(const std::string& bytes)
{
    static const std::regex prefix(R"(^\[([0-9A-F]{8})\] \[(\d\d/\d\d \d\d:\d\d:\d\d)\] )");
    std::vector<LogLine> lines;
    size_t start = 0;
    while (start < bytes.size()) {
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
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return lines;
}

std::vector<std::wstring> LogFiles(const std::wstring& logFolder)
{
    return ListFolder(logFolder, L"Halyard_*.log");
}

std::vector<std::string> LogMessages(const std::wstring& logFolder)
{
    std::vector<std::string> messages;
    for (const std::wstring& name : LogFiles(logFolder)) {
        for (const LogLine& line : ParseLog(ReadFileBytes(logFolder + L"\\" + name))) {
            messages.push_back(line.message);
        }
    }
    return messages;
}

int FindMessage(const std::vector<std::string>& messages, const std::string& needle, int from)
{
    for (int i = from; i < static_cast<int>(messages.size()); ++i) {
        if (messages[i].find(needle) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

} // namespace HalyardTest

#include "trace/TraceManager.h"

namespace HalyardTest {

LogCapture::LogCapture()
{
    Orvanta::Deskweave::TraceManager::Initialize();
}

LogCapture::~LogCapture()
{
    Orvanta::Deskweave::TraceManager::Uninitialize();
}

std::vector<LogLine> LogCapture::Lines()
{
    Orvanta::Deskweave::TraceManager::Uninitialize();
    std::vector<LogLine> lines;
    for (const std::wstring& name : LogFiles(temp_ / L"Orvanta")) {
        for (const LogLine& line : ParseLog(ReadFileBytes(temp_ / (L"Orvanta\\" + name)))) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> LogCapture::Messages()
{
    std::vector<std::string> messages;
    for (const LogLine& line : Lines()) {
        messages.push_back(line.message);
    }
    return messages;
}

std::vector<LogLine> LogCapture::TakeLines()
{
    const std::vector<LogLine> lines = Lines();
    DeleteTree(temp_ / L"Orvanta");
    Orvanta::Deskweave::TraceManager::Initialize();
    return lines;
}

std::vector<std::string> LogCapture::TakeMessages()
{
    std::vector<std::string> messages;
    for (const LogLine& line : TakeLines()) {
        messages.push_back(line.message);
    }
    return messages;
}

} // namespace HalyardTest
