#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "toolkit/cli.h"

// A sanitizer reports from the exit handlers, which the tool then runs.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MESHJOBS_EXIT_HANDLERS_REPORT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MESHJOBS_EXIT_HANDLERS_REPORT 1
#endif
#endif

namespace {

// `meshjobs bench [--workers N] [Google Benchmark flags]`: the benchmark
// summary table, from the benchmark program beside the tool (built with the
// benchmarks), so that the tool itself never loads the benchmark library.
int RunBench(int argc, char** argv) {
    std::error_code error;
    const std::string program =
        (std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "meshjobs_bench").string();
    std::vector<char*> arguments{const_cast<char*>(program.c_str())};
    static char summary[] = "--summary";
    arguments.push_back(summary);
    for (int i = 2; i < argc; ++i) arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    if (access(program.c_str(), X_OK) == 0) {
        execv(program.c_str(), arguments.data());
        std::cerr << "meshjobs: cannot run " << program << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::cerr << "meshjobs: this build has no benchmarks (configure with MESHJOBS_BUILD_BENCH=ON)\n";
    return 2;
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
    const int status = meshjobs::tool::RunCli(args, std::cout, std::cerr, environment);
#ifndef MESHJOBS_EXIT_HANDLERS_REPORT
    // Everything is written and closed by now. What exit() would still do,
    // run the destructors of static objects and of each library, the
    // system's teardown makes moot, and on a small file it is a noticeable
    // part of the run.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
#endif
    return status;
}
