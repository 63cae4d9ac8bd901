// HalyardBench: what the agent costs against the least the platform costs for the same work (the
// floor), measured in the same run and printed as one table. Runs under Wine or Windows.
//   HalyardBench [--quick] [--only WORD]   --quick: fewer repetitions and 5 s of idleness instead of 30;
//                                          --only: the measures whose name holds WORD
// The logon storm's members are run by scripts/bench.sh, one a Wine prefix (--storm-member).
#include "bench/Measures.h"

#include "devtools/common/ScopedRegistryKey.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/TempPathOverride.h"
#include "platform/RegistryNames.h"

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    using namespace HalyardBench;
    if (argc >= 2 && wcscmp(argv[1], L"--trace-child") == 0) {
        return RunTraceChild(argc, argv);
    }
    if (argc >= 2 && wcscmp(argv[1], L"--storm-member") == 0) {
        return RunStormMember(argc, argv);
    }
    BenchRun run(argc >= 2 && wcscmp(argv[1], L"--quick") == 0);
    // --only WORD: the measures whose name holds it, for a look at one of them.
    std::string only;
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--only") == 0) {
            only.assign(argv[i + 1], argv[i + 1] + wcslen(argv[i + 1]));
        }
    }
    // Whatever policy the machine had is gone afterwards, as after every measure; the logs of the agents
    // and floors go into a temporary folder of the run's own, and with it.
    const HalyardDev::ScopedRegistryKey policy(HKEY_LOCAL_MACHINE, Orvanta::Deskweave::kPolicyKey);
    const HalyardDev::TempFolder temp;
    const HalyardDev::TempPathOverride tempPath(temp.Path());

    const struct {
        const char* name;
        void (*measure)(BenchRun&);
    } measures[] = {{"trace throughput", MeasureTraceThroughput},
                    {"logon cost", MeasureLogonCost},
                    {"start-up and terminate", MeasureStartupAndTerminate},
                    {"logoff", MeasureLogoff},
                    {"idle footprint", MeasureIdle},
                    {"the users' logs checked", MeasureSessionLogCheck}};
    for (const auto& measure : measures) {
        if (!only.empty() && std::string(measure.name).find(only) == std::string::npos) {
            continue;
        }
        fprintf(stderr, "HalyardBench: %s...\n", measure.name);
        measure.measure(run);
    }
    run.PrintTable();
    return 0;
}
