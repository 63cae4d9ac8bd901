#include "bench/Measures.h"

#include "admin/check/SessionEngine.h"
#include "devtools/common/Files.h"
#include "devtools/common/TempFolder.h"
#include "platform/UniqueResource.h"

#include <share.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace HalyardDev;
using namespace Orvanta::Deskweave;

namespace HalyardBench {
namespace {

constexpr long long kLogSize = 5LL << 20;
constexpr DWORD kTail = 4096;
const char kFailed[] = "::OvInitialize2 failed with result = ";

// The agents of `count` sessions as a terminal server holds them: each user's log folder with a log of
// 5 MiB, held open for writing by its agent (here, this process), its last lines its last attempts. The
// beginning of each file is a hole: what is read of it would be zeros, and is counted all the same.
class PlantedSessions
{
public:
    explicit PlantedSessions(int count)
    {
        FILETIME now = {};
        GetSystemTimeAsFileTime(&now);
        const unsigned long long started =
            (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        std::string tail;
        while (tail.size() < 3 * kTail) {
            tail += "[00000A1C] [12/07 10:00:04] Orvanta::Deskweave::SyncWindowHandler::OnTimer::enter...\r\n"
                    "[00000A1C] [12/07 10:00:04] Orvanta::Deskweave::SyncWindowHandler::OnTimer::OvInitialize2 failed "
                    "with result = 80070015\r\n";
        }
        for (int i = 0; i < count; ++i) {
            const std::wstring folder = root_ / (L"s" + std::to_wstring(i));
            CreateDirectoryW(folder.c_str(), nullptr);
            CreateDirectoryW((folder + L"\\Orvanta").c_str(), nullptr);
            const std::wstring log = folder + L"\\Orvanta\\Halyard_2026-12-07_10-00-00.log";
            FILE* file = _wfsopen(log.c_str(), L"wb", _SH_DENYWR);
            _fseeki64(file, kLogSize - static_cast<long long>(tail.size()), SEEK_SET);
            fwrite(tail.data(), 1, tail.size(), file);
            fflush(file);
            held_.emplace_back(file);
            SessionAgent agent;
            agent.session = static_cast<DWORD>(i + 2);
            agent.user = L"PC\\user" + std::to_wstring(i);
            agent.processId = 1000 + static_cast<DWORD>(i);
            agent.started = started - 10000000ULL;
            agent.folders = {{L"TMP of the planted user", folder + L"\\Orvanta"}};
            agents_.push_back(std::move(agent));
        }
    }
    const std::vector<SessionAgent>& Agents() const { return agents_; }

private:
    TempFolder root_;
    std::vector<UniqueStream> held_;
    std::vector<SessionAgent> agents_;
};

// The least a check of the sessions' logs must do, and no more: the reads on one thread of their own,
// each session waited for within a bound; for each session, the folder's path decided before anything
// is opened and the folder opened without following a link on the way and listed through its handle
// (the checker's own LogFolder, which is that and nothing else); the newest log opened relative to it,
// taken for the agent's current one only if it is a file of one name that a program holds open for
// writing (an open that does not share writing, refused); and only its last 4 KiB read for the last
// attempt line. What the checker adds: the files told by the agent's start, the others it rotated from,
// its answers in words, and the Application log where a log does not answer.
struct FloorWork {
    const std::vector<SessionAgent>* agents = nullptr;
    size_t next = 0;
    unsigned long long bytes = 0;
    int answered = 0;
    HANDLE work = nullptr;
    HANDLE done = nullptr;
};

void FloorSession(FloorWork& floor)
{
    const std::wstring& folder = (*floor.agents)[floor.next].folders[0].path;
    if (!LogFolder::Refusal(folder).empty()) {
        return;
    }
    LogFolder opened;
    bool capHit = false;
    DWORD error = opened.Open(folder);
    const std::vector<LogFolder::File> files =
        error == 0 ? opened.LogFiles(4096, capHit, error) : std::vector<LogFolder::File>();
    if (files.empty()) {
        return;
    }
    UniqueHandle file;
    bool held = false;
    if (opened.OpenFile(files.back(), file, held) != 0 || !held) {
        return;
    }
    char buffer[kTail];
    OVERLAPPED at = {};
    const unsigned long long from = files.back().size > kTail ? files.back().size - kTail : 0;
    at.Offset = static_cast<DWORD>(from);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD read = 0;
    if (ReadFile(file.get(), buffer, kTail, &read, &at)) {
        floor.bytes += read;
        floor.answered += std::string(buffer, read).rfind(kFailed) != std::string::npos;
    }
}

DWORD WINAPI FloorThread(void* parameter)
{
    auto& floor = *static_cast<FloorWork*>(parameter);
    for (;;) {
        WaitForSingleObject(floor.work, INFINITE);
        if (floor.next == floor.agents->size()) {
            return 0;
        }
        FloorSession(floor);
        SetEvent(floor.done);
    }
}

unsigned long long FloorCheck(const std::vector<SessionAgent>& agents, int& answered)
{
    const UniqueHandle work(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const UniqueHandle done(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    FloorWork floor;
    floor.agents = &agents;
    floor.work = work.get();
    floor.done = done.get();
    const UniqueHandle thread(CreateThread(nullptr, 0, FloorThread, &floor, 0, nullptr));
    for (; floor.next < agents.size(); ++floor.next) {
        SetEvent(work.get());
        WaitForSingleObject(done.get(), 2000);
    }
    SetEvent(work.get());
    WaitForSingleObject(thread.get(), INFINITE);
    answered = floor.answered;
    return floor.bytes;
}

} // namespace

void MeasureSessionLogCheck(BenchRun& run)
{
    for (const int count : {1, 50, 300}) {
        const PlantedSessions planted(count);
        std::vector<double> agentMs;
        std::vector<double> floorMs;
        std::vector<double> agentKiB;
        std::vector<double> floorKiB;
        for (int i = 0; i < run.Repeat(count == 300 ? 5 : 9, 2); ++i) {
            unsigned long long bytes = 0;
            EngineBounds bounds;
            bounds.bytesRead = &bytes;
            double start = Now();
            const Check check = EngineOfSessions(
                planted.Agents(), false, [](DWORD& error) { return error = 0, std::vector<AgentEntry>(); }, bounds);
            agentMs.push_back((Now() - start) * 1000);
            agentKiB.push_back(static_cast<double>(bytes) / 1024);
            if (check.result != CheckResult::Failure) {
                fprintf(stderr, "HalyardBench: the check did not find every planted attempt: %ls\n",
                        check.text.c_str());
            }
            int answered = 0;
            start = Now();
            bytes = FloorCheck(planted.Agents(), answered);
            floorMs.push_back((Now() - start) * 1000);
            floorKiB.push_back(static_cast<double>(bytes) / 1024);
            if (answered != count) {
                fprintf(stderr, "HalyardBench: the floor answered %d of %d sessions\n", answered, count);
            }
        }
        const std::string measure = "user logs checked, " + std::to_string(count) + " session(s) of 5 MiB";
        run.Add({measure + ": time", "ms", Summarize(agentMs), Summarize(floorMs), false});
        run.Add({measure + ": bytes read", "KiB", Summarize(agentKiB), Summarize(floorKiB), false});
    }
}

} // namespace HalyardBench
