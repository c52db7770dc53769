// The benchmark cases and the pairs the summary compares.
#pragma once

#include <string>
#include <vector>

namespace meshjobs::bench {

// Registers every case with Google Benchmark; the parallel cases use
// `parallel` workers.
void RegisterCases(int parallel = 2);

// One row of the summary: a case, what it is measured against, and the goal.
struct Comparison {
    std::string label;
    std::string subject;   // benchmark name
    std::string baseline;  // benchmark name
    // subject time / baseline time must stay at or below this; for a speed-up
    // row (baseline is the slower one) the ratio baseline / subject must reach it.
    double limit;
    bool speedUp;
    // Fixed-cost rows report subject - baseline in ns against the limit.
    bool difference = false;
};

const std::vector<Comparison>& Comparisons();

}  // namespace meshjobs::bench
