// meshjobs_bench [--summary] [Google Benchmark flags]
#include "bench_run.h"

int main(int argc, char** argv) { return meshjobs::bench::RunBenchmarks(argc, argv); }
