// The trace instance's life under real concurrency: writers racing the stop, repeated.
#include "tests/support/LogReader.h"
#include "tests/support/TestFolders.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>
#include <thread>

using namespace Orvanta::Deskweave;
using namespace HalyardTest;

namespace {

class TraceLifetime : public testing::Test
{
protected:
    void TearDown() override { TraceManager::Uninitialize(); }
};

TEST_F(TraceLifetime, StoppingWhileFourThreadsTraceLosesNoWholeLineAndClosesTheFileOnce)
{
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 150;
    const std::regex shape(R"(T(\d) L(\d+) (\w+))");

    for (int round = 0; round < 15; ++round) {
        TempFolder temp;
        TempPathOverride tempPath(temp.Path());
        ASSERT_TRUE(TraceManager::Initialize());

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
        Sleep(round % 4); // stop at a different point of the writers' run each round
        TraceManager::Uninitialize();
        for (std::thread& writer : writers) {
            writer.join();
        }
        Trace(L"after the stop\n");

        const std::vector<std::wstring> files = LogFiles(temp / L"Orvanta");
        ASSERT_EQ(1u, files.size());
        const std::wstring path = temp / (L"Orvanta\\" + files[0]);
        // The final release closed the stream: the file can now be deleted, which the share mode of an
        // open log forbids.
        const std::string bytes = ReadFileBytes(path);
        EXPECT_TRUE(DeleteFileW(path.c_str())) << "round " << round << ", error " << GetLastError();

        std::map<int, int> next;
        for (const LogLine& line : ParseLog(bytes)) {
            std::smatch match;
            ASSERT_TRUE(line.threadId != 0 && std::regex_match(line.message, match, shape))
                << "torn or interleaved line in round " << round << ": " << line.message;
            // Per thread, what reached the file is a gap-free beginning of what it traced: once the
            // instance is gone it never comes back.
            const int thread = std::stoi(match[1].str());
            EXPECT_EQ(next[thread]++, std::stoi(match[2].str())) << "round " << round;
        }
    }
}

} // namespace
