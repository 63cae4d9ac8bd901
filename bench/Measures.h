#pragma once

#include "bench/BenchRun.h"

#include <windows.h>

#include <functional>

// Each measure runs the agent and its floor the same way, in turn, and adds its rows to the run.
namespace HalyardBench {

void MeasureTraceThroughput(BenchRun& run);
void MeasureLogonCost(BenchRun& run);
void MeasureStartupAndTerminate(BenchRun& run);
void MeasureLogoff(BenchRun& run);
void MeasureIdle(BenchRun& run);
// HalyardCheck's reading of the users' logs from elsewhere (session 0, as the fleet's tools run it), over
// 1, 50 and 300 planted sessions.
void MeasureSessionLogCheck(BenchRun& run);

// "--trace-child agent|floor THREADS LINES RESULT-FILE": the throughput measure run in a child
// process, so that a debugger can be attached to it.
int RunTraceChild(int argc, wchar_t** argv);

// "--storm-member agent|floor FOLDER MEMBER": one member of a logon storm, alone in a Wine prefix of
// its own (scripts/bench.sh starts N at once). It sets the policy, writes FOLDER\ready-MEMBER, waits
// for FOLDER\go, starts the agent or its floor, and writes into FOLDER\result-MEMBER the Unix time in
// ns at which the window was ready and the private KiB 3 s later; then it ends the program.
int RunStormMember(int argc, wchar_t** argv);

} // namespace HalyardBench
