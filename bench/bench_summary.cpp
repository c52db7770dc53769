#include "bench_summary.h"

#include <cstdio>

#include "bench_cases.h"

namespace meshjobs::bench {

void MedianCollector::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        // Without repetitions the single run stands for the median.
        const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
        if (median || single)
            medians_[run.run_name.function_name] =
                run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
}

namespace {

std::string Time(double ns) {
    char text[32];
    if (ns >= 1e6) std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    else if (ns >= 1e3) std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
    else std::snprintf(text, sizeof text, "%.0f ns", ns);
    return text;
}

}  // namespace

bool PrintSummary(const std::map<std::string, double>& medians, std::ostream& out) {
    bool allHold = true;
    char line[256];
    std::snprintf(line, sizeof line, "\n%-64s %11s %11s %9s %8s  %s\n", "comparison", "median", "baseline", "ratio",
                  "goal", "");
    out << line;
    for (const Comparison& row : Comparisons()) {
        const auto subject = medians.find(row.subject), baseline = medians.find(row.baseline);
        if (subject == medians.end() || baseline == medians.end()) continue;  // filtered out
        const double a = subject->second, b = baseline->second;
        double figure;
        std::string goal, verdict;
        if (row.difference) {
            figure = a - b;
            std::snprintf(line, sizeof line, "< %.0f", row.limit);
            goal = line;
            verdict = figure < row.limit ? "met" : "MISSED";
        } else if (row.speedUp) {
            figure = b / a;
            if (row.limit > 0) {
                std::snprintf(line, sizeof line, ">= %.3gx", row.limit);
                goal = line;
                verdict = figure >= row.limit ? "met" : "MISSED";
            }
        } else {
            figure = a / b;
            if (row.limit > 0) {
                std::snprintf(line, sizeof line, "<= %.3gx", row.limit);
                goal = line;
                verdict = figure <= row.limit ? "met" : "MISSED";
            }
        }
        if (verdict == "MISSED") allHold = false;
        std::snprintf(line, sizeof line, row.difference ? "%-64s %11s %11s %6.0f ns %8s  %s\n"
                                                        : "%-64s %11s %11s %8.2fx %8s  %s\n",
                      row.label.c_str(), Time(a).c_str(), Time(b).c_str(), figure, goal.c_str(), verdict.c_str());
        out << line;
    }
    return allHold;
}

}  // namespace meshjobs::bench
