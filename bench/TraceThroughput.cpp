#include "bench/Measures.h"
#include "bench/floor/LogCheck.h"

#include "devtools/common/ChildProcess.h"
#include "devtools/common/DebugCapture.h"
#include "devtools/common/Files.h"
#include "devtools/common/LogCapture.h"
#include "devtools/common/TempFolder.h"
#include "platform/UniqueResource.h"
#include "trace/Trace.h"

#include <io.h>
#include <share.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace HalyardDev;
using Orvanta::Deskweave::Trace;
using Orvanta::Deskweave::UniqueStream;

namespace HalyardBench {
namespace {

const wchar_t kTraceTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnTimer";

// Lines per second written by `threads` threads. The floor does what a trace line must do at least:
// the message to the debugger output, then the same bytes as the agent's log line in one write at the
// file's end, whose outcome is known, to a file opened the agent's way, with the file check and folder
// search of every hundredth line, under one lock.
double TraceRate(bool floor, int threads, int lines)
{
    const TempFolder temp;
    const std::wstring message = std::wstring(kTraceTag) + L"::enter...\n";
    const std::string line = "[00000F3C] [12/04 10:13:44] Orvanta::Deskweave::SyncWindowHandler::OnTimer::enter...\r\n";
    unsigned long long end = 0;
    // The platform's own lock, as the agent's writer takes: winpthreads' mutex behind std::mutex costs
    // several times more when four threads contend for it.
    CRITICAL_SECTION writer;
    InitializeCriticalSection(&writer);
    const UniqueStream file(floor ? _wfsopen((temp / L"Halyard_floor.log").c_str(), L"a+", _SH_DENYWR) : nullptr);
    std::atomic<long> written{0};
    // The agent traces into a log folder of its own, for as long as the measure.
    const std::unique_ptr<LogCapture> log(floor ? nullptr : new LogCapture());

    const double start = Now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < lines / threads; ++i) {
                if (floor) {
                    OutputDebugStringW(message.c_str());
                    EnterCriticalSection(&writer);
                    if (written++ % 100 == 0) {
                        CheckLikeTheWriter(file.get(), temp.Path());
                    }
                    WriteLikeTheWriter(file.get(), end, line.data(), line.size());
                    LeaveCriticalSection(&writer);
                } else {
                    Trace(L"%s::enter...\n", kTraceTag);
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    DeleteCriticalSection(&writer);
    return (lines / threads) * threads / (Now() - start);
}

double TraceRateUnderDebugger(bool floor, int threads, int lines)
{
    const TempFolder temp;
    const std::wstring result = temp / L"rate.txt";
    DebugCapture capture;
    capture.Start(L"\"" + BesideThisProgram(L"HalyardBench.exe") + L"\" --trace-child " +
                  (floor ? L"floor " : L"agent ") + std::to_wstring(threads) + L" " + std::to_wstring(lines) + L" \"" +
                  result + L"\"");
    capture.WaitForExit(120000);
    capture.Stop();
    return atof(ReadFileBytes(result).c_str());
}

} // namespace

int RunTraceChild(int argc, wchar_t** argv)
{
    if (argc < 6) {
        return 2;
    }
    const double rate = TraceRate(wcscmp(argv[2], L"floor") == 0, _wtoi(argv[3]), _wtoi(argv[4]));
    return WriteFileBytes(argv[5], std::to_string(rate)) ? 0 : 3;
}

void MeasureTraceThroughput(BenchRun& run)
{
    const int lines = run.Repeat(20000, 4000);
    for (int threads : {1, 4}) {
        std::vector<double> agent;
        std::vector<double> floor;
        for (int i = 0; i < run.Repeat(7, 3); ++i) {
            agent.push_back(TraceRate(false, threads, lines));
            floor.push_back(TraceRate(true, threads, lines));
        }
        run.Add({"trace throughput, " + std::to_string(threads) + " thread(s)", "lines/s", Summarize(agent),
                 Summarize(floor), true});
    }
    // Every captured string costs the debugger a round trip: keep the flood short.
    std::vector<double> agent;
    std::vector<double> floor;
    for (int i = 0; i < run.Repeat(3, 2); ++i) {
        agent.push_back(TraceRateUnderDebugger(false, 1, 300));
        floor.push_back(TraceRateUnderDebugger(true, 1, 300));
    }
    run.Add({"trace throughput, debugger attached", "lines/s", Summarize(agent), Summarize(floor), true});
}

} // namespace HalyardBench
