#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "toolkit/cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    meshjobs::tool::CliEnvironment environment;
    environment.stderrIsTerminal = isatty(STDERR_FILENO) != 0;
    return meshjobs::tool::RunCli(args, std::cout, std::cerr, environment);
}
