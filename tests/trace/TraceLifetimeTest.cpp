// The trace instance's life under real concurrency: writers racing the stop, repeated. The race runs
// in a process of its own, so that a crash or a hang of it is reported as such, within a bound.
#include "tests/support/TestSupport.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

#include <atomic>
#include <map>
#include <regex>

using namespace HalyardTest;

namespace {

// What one round left in its log file, or an empty text when all is as it must be: every line whole,
// and per thread a gap-free beginning of what it traced (once the instance is gone it never returns).
std::string CheckRound(const std::string& bytes)
{
    static const std::regex shape(R"(T(\d) L(\d+) (\w+))");
    std::map<int, int> next;
    for (const LogLine& line : ParseLog(bytes)) {
        std::smatch match;
        if (line.threadId == 0 || !std::regex_match(line.message, match, shape)) {
            return "torn or interleaved line: " + line.message;
        }
        if (next[std::stoi(match[1].str())]++ != std::stoi(match[2].str())) {
            return "a thread skipped to line " + match[2].str();
        }
    }
    return {};
}

// Four writers are lined up on a barrier; the stop comes at a different point of their run each round,
// and is made twice, as a careless owner might.
int StopWhileFourThreadsTrace()
{
    for (int round = 0; round < 30; ++round) {
        LogCapture log;
        std::atomic<int> ready{0};
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&ready, t] {
                for (++ready; ready < 5;) {
                    std::this_thread::yield();
                }
                for (int line = 0; line < 150; ++line) {
                    Trace(L"T%d L%d %s\n", t, line, L"payload_payload_payload_payload_payload");
                }
            });
        }
        while (ready < 4) {
            std::this_thread::yield();
        }
        ++ready;
        Sleep(round % 4);
        TraceManager::Uninitialize();
        TraceManager::Uninitialize();
        for (std::thread& writer : writers) {
            writer.join();
        }
        Trace(L"after the stop\n");
        const std::vector<std::wstring> files = LogFiles(log.LogFolder());
        const std::wstring path = log.LogFolder() + L"\\" + (files.empty() ? L"" : files[0]);
        const std::string bytes = ReadFileBytes(path);
        // The final release closed the stream: the file can be deleted, which an open log's share mode forbids.
        std::string problem = files.size() != 1            ? std::to_string(files.size()) + " log files"
                              : !DeleteFileW(path.c_str()) ? "the log is still held open"
                                                           : CheckRound(bytes);
        if (!problem.empty()) {
            printf("round %d: %s\n", round, problem.c_str());
            return 1;
        }
    }
    return 0;
}
const ChildRoutine stopRace("stop-while-tracing", StopWhileFourThreadsTrace);

TEST(TraceLifetime, StoppingTwiceWhileFourThreadsTraceLosesNoWholeLineAndClosesTheFileOnce)
{
    const ChildResult result = RunChild("stop-while-tracing");
    EXPECT_EQ(0u, result.exitCode) << "259: still running after its time (a writer hung); other codes: a crash, "
                                   << "or what it printed: " << result.output;
}

} // namespace
