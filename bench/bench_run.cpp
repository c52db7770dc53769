#include "bench_run.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench_cases.h"
#include "bench_summary.h"

namespace meshjobs::bench {

int RunBenchmarks(int argc, char** argv) {
    std::vector<char*> arguments;
    bool summary = false, repetitionsGiven = false, interleavingGiven = false;
    int parallel = 2;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--summary") == 0) {
            summary = true;
            continue;
        }
        const bool joined = std::strncmp(argv[i], "--workers=", 10) == 0;
        if (joined || (std::strcmp(argv[i], "--workers") == 0 && i + 1 < argc)) {
            const char* value = joined ? argv[i] + 10 : argv[++i];
            char* end = nullptr;
            const long workers = std::strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || workers < 1 || workers > 64) {
                std::cerr << "meshjobs bench: --workers wants a whole number from 1 to 64, not '" << value << "'\n";
                return 2;
            }
            parallel = static_cast<int>(workers);
            continue;
        }
        if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitionsGiven = true;
        if (std::strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0) interleavingGiven = true;
        arguments.push_back(argv[i]);
    }
    static char repetitions[] = "--benchmark_repetitions=5";
    static char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
    // Repetitions of every case in random order: on a shared machine whose
    // speed drifts, a case and its baseline then meet the same drift, and the
    // ratio of their medians holds still.
    static char interleaving[] = "--benchmark_enable_random_interleaving=true";
    if (summary && !repetitionsGiven) arguments.push_back(repetitions);
    if (summary && !interleavingGiven) arguments.push_back(interleaving);
    if (summary) arguments.push_back(aggregatesOnly);

    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;

    RegisterCases(parallel);
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (summary) PrintSummary(collector.medians(), std::cout);
    benchmark::Shutdown();
    return 0;
}

}  // namespace meshjobs::bench
