#include "bench_run.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench_cases.h"
#include "bench_summary.h"

namespace meshjobs::bench {

int RunBenchmarks(int argc, char** argv) {
    std::vector<char*> arguments;
    bool summary = false, repetitionsGiven = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--summary") == 0) {
            summary = true;
            continue;
        }
        if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitionsGiven = true;
        arguments.push_back(argv[i]);
    }
    static char repetitions[] = "--benchmark_repetitions=5";
    static char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
    if (summary && !repetitionsGiven) arguments.push_back(repetitions);
    if (summary) arguments.push_back(aggregatesOnly);

    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;

    RegisterCases();
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (summary) PrintSummary(collector.medians(), std::cout);
    benchmark::Shutdown();
    return 0;
}

}  // namespace meshjobs::bench
