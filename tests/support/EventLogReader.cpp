#include "tests/support/EventLogReader.h"

#include <regex>
#include <sstream>

namespace HalyardTest {
namespace {

// Wine's debugstr_w escapes: a backslash doubled, "\r", "\n", "\t" and "\"" for those characters.
std::string Unescaped(const std::string& text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        const char next = text[++i];
        plain += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
    }
    return plain;
}

} // namespace

std::vector<ReportedEvent> ReportedEvents(const std::string& output)
{
    static const std::regex stub(
        R"(^([0-9a-f]+):[0-9a-f]+:fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),.*)");
    static const std::regex text(R"re(^([0-9a-f]+):[0-9a-f]+:[a-z]+:eventlog:ReportEventW L"(.*)"$)re");
    std::vector<ReportedEvent> events;
    std::istringstream lines(output);
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::regex_match(line, match, stub)) {
            const DWORD pid = std::stoul(match[1], nullptr, 16);
            events.push_back({pid,
                              static_cast<WORD>(std::stoul(match[2], nullptr, 16)),
                              static_cast<DWORD>(std::stoul(match[3], nullptr, 16)),
                              {}});
        } else if (std::regex_match(line, match, text)) {
            const DWORD pid = std::stoul(match[1], nullptr, 16);
            for (auto event = events.rbegin(); event != events.rend(); ++event) {
                if (event->processId == pid) {
                    event->strings.push_back(Unescaped(match[2]));
                    break;
                }
            }
        }
    }
    return events;
}

std::vector<std::string> Described(const std::vector<ReportedEvent>& events)
{
    std::vector<std::string> described;
    for (const ReportedEvent& event : events) {
        std::string text = std::to_string(event.type) + " " + std::to_string(event.id) + " ";
        for (size_t i = 0; i < event.strings.size(); ++i) {
            text += (i > 0 ? "|" : "") + event.strings[i];
        }
        described.push_back(text);
    }
    return described;
}

} // namespace HalyardTest
