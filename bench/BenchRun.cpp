#include "bench/BenchRun.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace HalyardBench {

Stats Summarize(std::vector<double> values)
{
    Stats stats;
    if (values.empty()) {
        return stats;
    }
    std::sort(values.begin(), values.end());
    stats.runs = values.size();
    stats.min = values.front();
    stats.max = values.back();
    const size_t middle = values.size() / 2;
    stats.median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return stats;
}

void BenchRun::PrintTable() const
{
    printf("| Measure | Unit | Halyard median (min-max) | Floor median (min-max) | Ratio | Runs |\n");
    printf("|---|---|---|---|---|---|\n");
    for (const Row& row : rows_) {
        const bool integral = row.unit == "lines/s" || row.unit == "KiB" || row.unit == "count";
        const char* format = integral ? "%.0f (%.0f-%.0f)" : "%.2f (%.2f-%.2f)";
        char agent[96];
        char floor[96];
        char ratio[32] = "-";
        snprintf(agent, sizeof(agent), format, row.agent.median, row.agent.min, row.agent.max);
        snprintf(floor, sizeof(floor), format, row.floor.median, row.floor.min, row.floor.max);
        if (row.floor.median > 0 && row.agent.median > 0) {
            snprintf(ratio, sizeof(ratio), "%.2fx",
                     row.higherIsBetter ? row.floor.median / row.agent.median : row.agent.median / row.floor.median);
        }
        printf("| %s | %s | %s | %s | %s | %zu |\n", row.measure.c_str(), row.unit.c_str(), agent, floor, ratio,
               row.agent.runs);
    }
    fflush(stdout);
}

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

} // namespace HalyardBench
