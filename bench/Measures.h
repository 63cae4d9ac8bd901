#pragma once

#include "bench/BenchRun.h"

#include <windows.h>

// Each measure runs the agent and its floor the same way, in turn, and adds its rows to the run.
namespace HalyardBench {

void MeasureTraceThroughput(BenchRun& run);
void MeasureLogonCost(BenchRun& run);
void MeasureStartupAndTerminate(BenchRun& run);
void MeasureLogoff(BenchRun& run);
void MeasureIdle(BenchRun& run);

// "--trace-child agent|floor THREADS LINES RESULT-FILE": the throughput measure run in a child
// process, so that a debugger can be attached to it.
int RunTraceChild(int argc, wchar_t** argv);

} // namespace HalyardBench
