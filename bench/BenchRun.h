#pragma once

#include <string>
#include <vector>

namespace HalyardBench {

struct Stats {
    double median = 0;
    double min = 0;
    double max = 0;
    size_t runs = 0;
};

Stats Summarize(std::vector<double> values);

// One line of the table: the agent and its floor measured the same way in the same run.
struct Row {
    std::string measure;
    std::string unit;
    Stats agent;
    Stats floor;
    bool higherIsBetter = false;
};

// What one run of the benchmarks carries from measure to measure: its settings and its rows.
class BenchRun
{
public:
    explicit BenchRun(bool quick) : quick_(quick) {}

    // Repetitions: the full count, or the short one of a --quick run.
    int Repeat(int full, int quick) const { return quick_ ? quick : full; }
    void Add(Row row) { rows_.push_back(std::move(row)); }
    // The table on standard output: median (min-max) of each side and the ratio agent/floor (for
    // throughput floor/agent: how many times slower).
    void PrintTable() const;

private:
    bool quick_;
    std::vector<Row> rows_;
};

// Seconds on the performance counter.
double Now();

} // namespace HalyardBench
