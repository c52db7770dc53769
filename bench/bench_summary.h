// `--summary`: the ratio table from the median of repeated runs.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>

namespace meshjobs::bench {

// Passes every run on to the console and keeps the medians, in ns.
class MedianCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override;
    const std::map<std::string, double>& medians() const { return medians_; }

private:
    std::map<std::string, double> medians_;
};

// One line per comparison: both medians, the ratio, the goal and whether it
// holds. Answers whether every goal holds.
bool PrintSummary(const std::map<std::string, double>& medians, std::ostream& out);

}  // namespace meshjobs::bench
