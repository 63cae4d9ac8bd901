#include "admin/check/CheckReport.h"

#include <algorithm>
#include <utility>

namespace Orvanta::Deskweave {
namespace {

constexpr size_t kConsoleWidth = 100;
constexpr size_t kResultWidth = 8;
constexpr size_t kIdWidth = 20;

const char* Name(CheckResult result)
{
    switch (result) {
    case CheckResult::Ok:
        return "ok";
    case CheckResult::Skipped:
        return "skipped";
    case CheckResult::Warning:
        return "warning";
    default:
        return "failure";
    }
}

std::wstring Padded(const std::string& text, size_t width)
{
    std::wstring padded(text.begin(), text.end());
    padded.resize(std::max(width, padded.size() + 1), L' ');
    return padded;
}

// The text in lines of at most `width`, each after `indent` but the first, broken at blanks outside
// double quotes: a quoted text (the agent's own log line) stays whole, and a longer piece stands alone.
std::wstring Wrapped(const std::wstring& text, size_t width, const std::wstring& indent)
{
    std::wstring lines;
    std::wstring line;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && (text[i] != L' ' || quoted)) {
            quoted = quoted != (text[i] == L'"');
            continue;
        }
        const std::wstring piece = text.substr(start, i - start);
        if (!line.empty() && line.size() + 1 + piece.size() > width) {
            lines += line + L"\r\n" + indent;
            line.clear();
        }
        line += (line.empty() ? L"" : L" ") + piece;
        start = i + 1;
    }
    return lines + line + L"\r\n";
}

std::string Escaped(const std::wstring& text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string escaped = "\"";
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            escaped += {'\\', static_cast<char>(c)};
        } else if (c >= 0x20 && c < 0x7F) {
            escaped += static_cast<char>(c);
        } else {
            // UTF-16 units as they are: a character beyond the BMP becomes its surrogate pair.
            const unsigned unit = static_cast<unsigned>(c);
            escaped += {'\\',
                        'u',
                        kHex[(unit >> 12) & 0xF],
                        kHex[(unit >> 8) & 0xF],
                        kHex[(unit >> 4) & 0xF],
                        kHex[unit & 0xF]};
        }
    }
    return escaped + "\"";
}

} // namespace

CheckReport::CheckReport(std::wstring version, std::wstring computer, DWORD session, Checks checks)
    : version_(std::move(version)), computer_(std::move(computer)), session_(session), checks_(std::move(checks))
{
}

CheckResult CheckReport::Result() const
{
    CheckResult worst = CheckResult::Ok;
    for (const Check& check : checks_) {
        worst = std::max(worst, check.result == CheckResult::Skipped ? CheckResult::Ok : check.result);
    }
    return worst;
}

int CheckReport::ExitCode() const
{
    switch (Result()) {
    case CheckResult::Failure:
        return 2;
    case CheckResult::Warning:
        return 1;
    default:
        return 0;
    }
}

std::wstring CheckReport::Text() const
{
    std::wstring text;
    size_t counts[4] = {};
    const std::wstring indent(kResultWidth + kIdWidth, L' ');
    for (const Check& check : checks_) {
        ++counts[static_cast<int>(check.result)];
        const std::wstring head = Padded(Name(check.result), kResultWidth) + Padded(check.id, kIdWidth);
        text += head + Wrapped(check.text, kConsoleWidth - 1 - head.size(), indent);
    }
    return text + L"HalyardCheck " + version_ + L" on " + computer_ + L", session " + std::to_wstring(session_) +
           L": " + Padded(Name(Result()), 0) + L"(" + std::to_wstring(counts[3]) + L" failure(s), " +
           std::to_wstring(counts[2]) + L" warning(s), " + std::to_wstring(counts[0]) + L" ok, " +
           std::to_wstring(counts[1]) + L" skipped)\r\n";
}

std::string CheckReport::Json() const
{
    std::string json = "{\"version\": " + Escaped(version_) + ", \"computer\": " + Escaped(computer_) +
                       ", \"session\": " + std::to_string(session_) + ", \"result\": \"" + Name(Result()) +
                       "\", \"checks\": [";
    for (size_t i = 0; i < checks_.size(); ++i) {
        json += std::string(i == 0 ? "" : ", ") +
                "{\"id\": " + Escaped(std::wstring(checks_[i].id.begin(), checks_[i].id.end())) + ", \"result\": \"" +
                Name(checks_[i].result) + "\", \"text\": " + Escaped(checks_[i].text) + "}";
    }
    return json + "]}\r\n";
}

} // namespace Orvanta::Deskweave
