#include "admin/check/CheckReport.h"

#include <algorithm>
#include <cwctype>
#include <vector>
#include <utility>

namespace Orvanta::Deskweave {
namespace {

constexpr size_t kConsoleWidth = 100;
constexpr size_t kResultWidth = 8;
constexpr size_t kIdWidth = 20;
constexpr size_t kSummaryLength = 2048;

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

// A word that starts a path of a file, a folder or a registry key, which may hold blanks.
bool StartsPath(std::wstring word)
{
    while (!word.empty() && (word[0] == L'(' || word[0] == L'"')) {
        word.erase(0, 1);
    }
    return (word.size() >= 3 && iswalpha(word[0]) && word[1] == L':' && word[2] == L'\\') ||
           word.rfind(L"\\\\", 0) == 0 || word.rfind(L"HKLM\\", 0) == 0 || word.rfind(L"HKCU\\", 0) == 0 ||
           word.rfind(L"HKEY_", 0) == 0;
}

// The pieces a line may break between: words, except inside double quotes (the agent's own log line)
// and inside a path, which runs from its first word to the end of its clause (a word ending with a
// comma, semicolon, colon or parenthesis: no path holds ": "), since a path's blanks are its own.
std::vector<std::wstring> Pieces(const std::wstring& text)
{
    std::vector<std::wstring> pieces;
    std::wstring piece;
    std::wstring word;
    bool quoted = false;
    bool path = false;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != L' ') {
            quoted = quoted != (text[i] == L'"');
            word += text[i];
            continue;
        }
        path = path || StartsPath(word);
        if (path && !word.empty() && wcschr(L",;:)", word.back()) != nullptr) {
            path = false;
        }
        piece += (piece.empty() ? L"" : L" ") + word;
        word.clear();
        if ((!quoted && !path) || i == text.size()) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    return pieces;
}

// The text in lines of at most `width`, each after `indent` but the first, broken only between
// pieces; a longer piece stands alone.
std::wstring Wrapped(const std::wstring& text, size_t width, const std::wstring& indent)
{
    std::wstring lines;
    std::wstring line;
    for (const std::wstring& piece : Pieces(text)) {
        if (!line.empty() && line.size() + 1 + piece.size() > width) {
            lines += line;
            lines += L"\r\n";
            lines += indent;
            line.clear();
        }
        line += (line.empty() ? L"" : L" ") + piece;
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
{}

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

std::string CheckReport::Summary() const
{
    size_t counts[4] = {};
    std::wstring ids;
    std::wstring texts;
    for (const Check& check : checks_) {
        ++counts[static_cast<int>(check.result)];
        if (check.result == CheckResult::Failure || check.result == CheckResult::Warning) {
            const std::wstring id(check.id.begin(), check.id.end());
            ids += (ids.empty() ? L"" : L", ") + id;
            texts += L" | " + id + L": " + check.text;
        }
    }
    std::string line = std::string(Name(Result())) + ": " + std::to_string(counts[3]) + " failure(s), " +
                       std::to_string(counts[2]) + " warning(s), " + std::to_string(counts[0]) + " ok, " +
                       std::to_string(counts[1]) + " skipped";
    if (!ids.empty()) {
        // Printable ASCII as it is; every other character as the JSON writes it.
        std::wstring named = L": ";
        named += ids;
        named += texts;
        for (const wchar_t c : named) {
            const std::string escaped = c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : Escaped({c});
            line += c >= 0x20 && c < 0x7F ? escaped : escaped.substr(1, escaped.size() - 2);
        }
    }
    // A deployment tool keeps 2,048 characters of a script's output, the line end included.
    if (line.size() > kSummaryLength - 2) {
        line.resize(kSummaryLength - 5);
        line += "...";
    }
    return line + "\r\n";
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
