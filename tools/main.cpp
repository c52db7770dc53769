#include <malloc.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "toolkit/cli.h"

#if MESHJOBS_TOOL_BENCH
#include "bench_run.h"
#endif

namespace {

// `meshjobs bench [--workers N] [Google Benchmark flags]`: the benchmark summary table.
int RunBench(int argc, char** argv) {
#if MESHJOBS_TOOL_BENCH
    std::vector<char*> arguments{argv[0]};
    static char summary[] = "--summary";
    arguments.push_back(summary);
    for (int i = 2; i < argc; ++i) arguments.push_back(argv[i]);
    return meshjobs::bench::RunBenchmarks(static_cast<int>(arguments.size()), arguments.data());
#else
    (void)argc, (void)argv;
    std::cerr << "meshjobs: this build has no benchmarks (configure with MESHJOBS_BUILD_BENCH=ON)\n";
    return 2;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    // Whole files pass through a few large buffers in turn: taken from the
    // heap and kept there, each is reused instead of mapped and faulted in anew.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    mallopt(M_TOP_PAD, 16 << 20);
    if (argc >= 2 && std::string(argv[1]) == "bench") {
        for (int i = 2; i < argc; ++i)
            if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
                std::cout << meshjobs::tool::CommandHelp("bench");
                return 0;
            }
        return RunBench(argc, argv);
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    meshjobs::tool::CliEnvironment environment;
    environment.stderrIsTerminal = isatty(STDERR_FILENO) != 0;
    std::error_code error;
    environment.workerProgram = std::filesystem::read_symlink("/proc/self/exe", error).string();
    environment.forkWorkers = true;
    return meshjobs::tool::RunCli(args, std::cout, std::cerr, environment);
}
