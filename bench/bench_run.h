// The benchmark program's body, shared by meshjobs_bench and `meshjobs bench`.
#pragma once

namespace meshjobs::bench {

// argv[0] is the program name; --summary repeats every case (5 times unless
// the flags say otherwise) and prints the ratio table after the usual output.
// Answers the exit status.
int RunBenchmarks(int argc, char** argv);

}  // namespace meshjobs::bench
