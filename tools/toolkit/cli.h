// The meshjobs command line, callable in-process so tests can drive it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace meshjobs::tool {

struct CliEnvironment {
    bool stderrIsTerminal = false;  // draw progress bars
    // The program that processes one file in a worker process: the meshjobs
    // tool itself. The file commands need it.
    std::string workerProgram;
    // Workers are forks of this process instead: the tool's own main, which
    // has one thread while it runs them.
    bool forkWorkers = false;
};

// `args` without the program name. Returns the exit status: 0 success,
// 1 some file or check failed, 2 bad usage.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment = {});

// The help text of a command ("bench", "strip", ...), or null.
const char* CommandHelp(const std::string& command);

}  // namespace meshjobs::tool
