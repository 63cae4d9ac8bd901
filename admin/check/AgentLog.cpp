#include "admin/check/AgentLog.h"

#include <algorithm>
#include <cctype>

namespace Orvanta::Deskweave {
namespace {

// The agent's own trace lines that tell the engine connection.
const char kConnectedLine[] = "::OvRegisterJobStatusListener returned result = 00000000";
const char kFailedLine[] = "::OvInitialize2 failed with result = ";
// The first step read from the end, and from the beginning of the first file; each further one is four
// times the one before.
constexpr unsigned long long kFirstStep = 4096;
// File times of FAT and exFAT volumes are coarse, and a file is created just after its agent starts.
constexpr unsigned long long kClockSlack = 2ULL * 10000000ULL;

// "YYYY-MM-DD hh:mm:ss" of a line's "[MM/DD hh:mm:ss]", the year from the log's name: a log begun in
// December holds January's lines of the next year.
std::wstring LineTime(const std::string& text, size_t at, const std::wstring& file)
{
    const size_t newline = text.rfind('\n', at);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    // "[0000002C] [12/31 23:59:58] "
    if (start + 27 > at || text[start + 11] != '[' || text[start + 14] != '/' || text[start + 26] != ']') {
        return L"(no time)";
    }
    for (size_t i : {12, 13, 15, 16, 18, 19, 21, 22, 24, 25}) {
        if (!isdigit(static_cast<unsigned char>(text[start + i]))) {
            return L"(no time)";
        }
    }
    const int fileYear = std::stoi(file.substr(8, 4));
    const int fileMonth = std::stoi(file.substr(13, 2));
    const int month = std::stoi(text.substr(start + 12, 2));
    const std::string rest = text.substr(start + 15, 11);
    const std::wstring year = std::to_wstring(month < fileMonth ? fileYear + 1 : fileYear);
    const std::string monthText = text.substr(start + 12, 2);
    std::wstring stamp = year;
    stamp += L"-" + std::wstring(monthText.begin(), monthText.end());
    stamp += L"-" + std::wstring(rest.begin(), rest.begin() + 2);
    stamp += L" " + std::wstring(rest.begin() + 3, rest.begin() + 11);
    return stamp;
}

// One of the agent's files, read from its end in growing steps.
struct AgentFile {
    LogFolder::File listed;
    UniqueHandle handle;
    std::string tail; // its bytes from `from` to its end, as far as read
    unsigned long long from = 0;

    explicit AgentFile(LogFolder::File file) : listed(std::move(file)), from(listed.size) {}
};

class Reader
{
public:
    Reader(AgentLog& log, unsigned long long most) : log_(log), most_(most) {}

    // Reads `length` bytes at `offset` of the file, within the bound of bytes; false when the bound is
    // spent or the read fails (the error then in the log).
    bool Read(AgentFile& file, unsigned long long offset, unsigned long long length, std::string& bytes)
    {
        const unsigned long long left = most_ - std::min(most_, log_.bytesRead);
        if (left < length) {
            log_.bytesCapHit = true;
            length = left;
        }
        if (length == 0) {
            return false;
        }
        bytes.assign(static_cast<size_t>(length), '\0');
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        if (!ReadFile(file.handle.get(), bytes.data(), static_cast<DWORD>(length), &read, &at)) {
            log_.error = GetLastError();
            return false;
        }
        bytes.resize(read);
        log_.bytesRead += read;
        return true;
    }

    // Grows the part of the file read from its end by the next step; false when nothing more was read.
    bool GrowTail(AgentFile& file)
    {
        if (file.from == 0) {
            return false;
        }
        const unsigned long long read = file.listed.size - file.from;
        const unsigned long long step = std::min(file.from, read == 0 ? kFirstStep : read * 3);
        std::string bytes;
        // Within the bound of bytes, what is nearest the end: the step's last part.
        const unsigned long long left = most_ - std::min(most_, log_.bytesRead);
        const unsigned long long taken = std::min(step, left);
        if (!Read(file, file.from - taken, taken, bytes) || bytes.size() != taken) {
            log_.bytesCapHit = log_.bytesCapHit || taken < step;
            return false;
        }
        log_.bytesCapHit = log_.bytesCapHit || taken < step;
        file.from -= taken;
        file.tail.insert(0, bytes);
        return true;
    }

private:
    AgentLog& log_;
    unsigned long long most_;
};

// The last whole line of the text that tells an attempt: its position and whether it is a connection,
// or npos. Before `from` (not at the file's start), the first line may be cut: it is not taken.
size_t LastAttempt(const std::string& text, bool cutFirstLine, bool& connected)
{
    const size_t firstWhole = cutFirstLine ? text.find('\n') : 0;
    if (firstWhole == std::string::npos) {
        return std::string::npos;
    }
    const size_t connection = text.rfind(kConnectedLine);
    const size_t failure = text.rfind(kFailedLine);
    const size_t last = connection == std::string::npos ? failure
                        : failure == std::string::npos  ? connection
                                                        : std::max(connection, failure);
    if (last == std::string::npos || last < firstWhole) {
        return std::string::npos;
    }
    connected = last == connection;
    return last;
}

// The answer of one attempt line.
void Answer(AgentLog& log, const std::string& text, size_t at, bool connected, const std::wstring& file)
{
    log.file = file;
    log.time = LineTime(text, at, file);
    if (connected) {
        log.state = AgentLog::State::Connected;
        return;
    }
    const std::string status = text.substr(at + sizeof(kFailedLine) - 1, 8);
    if (status.size() == 8 && status.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
        log.state = AgentLog::State::NotConnected;
        log.status = static_cast<unsigned>(std::stoul(status, nullptr, 16));
    }
}

} // namespace

AgentLog AgentLog::Read(const LogFolder& folder, unsigned long long agentStarted, const Limits& limits)
{
    AgentLog log;
    std::vector<LogFolder::File> files = folder.LogFiles(limits.entries, log.entriesCapHit, log.error);
    if (log.error != 0) {
        log.state = State::Unreadable;
        return log;
    }
    files.erase(std::remove_if(files.begin(), files.end(),
                               [agentStarted](const LogFolder::File& f) {
                                   return f.created + kClockSlack < agentStarted;
                               }),
                files.end());
    std::sort(files.begin(), files.end(),
              [](const LogFolder::File& a, const LogFolder::File& b) { return a.created > b.created; });

    // The current log: the newest that a program holds open for writing, as the agent holds its own.
    std::vector<AgentFile> agents;
    DWORD openError = 0;
    for (const LogFolder::File& listed : files) {
        AgentFile file(listed);
        bool held = false;
        const DWORD error = folder.OpenFile(listed, file.handle, held);
        if (error != 0) {
            openError = error;
        } else if (agents.empty() ? held : listed.written <= agents[0].listed.created + kClockSlack) {
            agents.push_back(std::move(file));
        }
    }
    if (agents.empty()) {
        log.state = openError != 0 ? State::Unreadable : State::NotTheAgents;
        log.error = openError;
        return log;
    }

    Reader reader(log, limits.bytes);
    log.state = State::NoAttempt;
    log.file = agents[0].listed.name;
    bool connected = false;
    // Where a failing agent's answer is: its last lines.
    if (reader.GrowTail(agents[0])) {
        const size_t at = LastAttempt(agents[0].tail, agents[0].from > 0, connected);
        if (at != std::string::npos) {
            Answer(log, agents[0].tail, at, connected, agents[0].listed.name);
            return log;
        }
    }
    // Where a connected agent's answer usually is: the beginning of its first file. A connection is never
    // followed by another attempt.
    AgentFile& first = agents.back();
    if (first.from > 0) {
        std::string head;
        if (reader.Read(first, 0, std::min(kFirstStep, first.from), head)) {
            const size_t at = head.find(kConnectedLine);
            if (at != std::string::npos && head.find('\n', at) != std::string::npos) {
                Answer(log, head, at, true, first.listed.name);
                return log;
            }
        }
    }
    // Everywhere else, from the end, newest file first.
    for (AgentFile& file : agents) {
        while (reader.GrowTail(file)) {
            const size_t at = LastAttempt(file.tail, file.from > 0, connected);
            if (at != std::string::npos) {
                Answer(log, file.tail, at, connected, file.listed.name);
                return log;
            }
        }
        if (log.error != 0) {
            log.state = State::Unreadable;
            return log;
        }
        if (log.bytesCapHit) {
            return log;
        }
    }
    return log;
}

} // namespace Orvanta::Deskweave
