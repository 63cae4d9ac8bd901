// The trace instance's life under real concurrency: writers racing the stop, repeated. The race runs
// in a process of its own, so that a crash or a hang of it is reported as such, within a bound.
#include "tests/support/Child.h"
#include "devtools/common/Files.h"
#include "devtools/common/LogReader.h"
#include "devtools/common/TempPathOverride.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <regex>
#include <thread>

using namespace Orvanta::Deskweave;
using namespace HalyardTest;

namespace {

// Four writers are lined up on a barrier; the stop comes at a different point of their run each round,
// and is made twice, as a careless owner might.
int StopWhileFourThreadsTrace()
{
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 150;
    const std::regex shape(R"(T(\d) L(\d+) (\w+))");
    for (int round = 0; round < 30; ++round) {
        TempFolder temp;
        TempPathOverride tempPath(temp.Path());
        TraceManager::Initialize();
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&ready, &go, t] {
                ++ready;
                while (!go) {
                    std::this_thread::yield();
                }
                for (int line = 0; line < kLinesPerThread; ++line) {
                    Trace(L"T%d L%d %s\n", t, line, L"payload_payload_payload_payload_payload");
                }
            });
        }
        while (ready < kThreads) {
            std::this_thread::yield();
        }
        go = true;
        Sleep(round % 4);
        TraceManager::Uninitialize();
        TraceManager::Uninitialize();
        for (std::thread& writer : writers) {
            writer.join();
        }
        Trace(L"after the stop\n");

        const std::vector<std::wstring> files = LogFiles(temp / L"Orvanta");
        if (files.size() != 1) {
            printf("round %d: %zu log files\n", round, files.size());
            return 1;
        }
        const std::wstring path = temp / (L"Orvanta\\" + files[0]);
        const std::string bytes = ReadFileBytes(path);
        // The final release closed the stream: the file can be deleted, which an open log's share mode forbids.
        if (!DeleteFileW(path.c_str())) {
            printf("round %d: the log is still held open (error %lu)\n", round, GetLastError());
            return 1;
        }
        std::map<int, int> next;
        for (const LogLine& line : ParseLog(bytes)) {
            std::smatch match;
            if (line.threadId == 0 || !std::regex_match(line.message, match, shape)) {
                printf("round %d: torn or interleaved line: %s\n", round, line.message.c_str());
                return 1;
            }
            // Per thread, what reached the file is a gap-free beginning of what it traced: once the
            // instance is gone it never comes back.
            const int thread = std::stoi(match[1].str());
            if (next[thread]++ != std::stoi(match[2].str())) {
                printf("round %d: thread %d skipped to line %s\n", round, thread, match[2].str().c_str());
                return 1;
            }
        }
    }
    return 0;
}
const ChildRoutine stopRace("stop-while-tracing", StopWhileFourThreadsTrace);

TEST(TraceLifetime, StoppingTwiceWhileFourThreadsTraceLosesNoWholeLineAndClosesTheFileOnce)
{
    const ChildResult result = RunChild("stop-while-tracing");
    EXPECT_EQ(0u, result.exitCode) << "259: still running after 60 s (a writer hung); other codes: a crash or "
                                   << "what it printed: " << result.output;
}

} // namespace
