// Each input file in a process of its own: an importer abort, a crash, a
// runaway allocation or a hang ends that process alone, and the pool says why.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace meshjobs::tool {

struct WorkerLimits {
    uint64_t maxMemory = 0;  // bytes of address space per worker; 0: none
    int timeoutSeconds = 0;  // 0: none
};

// How one worker process ended.
struct WorkerEnding {
    bool exited = false;  // by exit(): `code`; otherwise by `signal`
    int code = 0;
    int signal = 0;
    bool timedOut = false;   // killed by the pool
    bool interrupted = false;  // ended while the tool itself was interrupted
    std::string messages;    // everything it wrote to the result channel
    std::string errorTail;   // the last lines it wrote to its standard error
};

// How a worker starts: `program` run with the arguments, or, where `body` is
// set, a fork of this process that calls `body` with them and exits with its
// answer, so no program is loaded again. Forking needs a caller with one
// thread, as the tool is while it runs workers.
struct WorkerStart {
    std::string program;
    std::function<int(const std::vector<std::string>&)> body;
};

// Workers write their messages to this descriptor: a file of the worker's
// own, which the pool reads once the worker has ended, so that a message
// never wakes the tool while the worker runs.
inline constexpr int RESULT_CHANNEL = 3;
// A worker whose allocation failed exits with this code.
inline constexpr int OUT_OF_MEMORY_EXIT = 86;

// Starts a worker with `argumentsFor(i)` for every i in [0, count), at most
// `parallel` at once, under `limits`; calls `finished(i, ending)` on the
// calling thread as each ends, in the order they end. A forked worker ends
// when its body returns, as if it exited with the answer: its process is
// reaped later, without waiting for the system to take it down. An interrupt
// (SIGINT, SIGTERM) starts no more workers and ends the running ones; the
// answer is then that signal's number, else 0.
int RunWorkers(const WorkerStart& start, size_t count,
                const std::function<std::vector<std::string>(size_t)>& argumentsFor, int parallel,
                const WorkerLimits& limits, const std::function<void(size_t, const WorkerEnding&)>& finished);

// "1.5 GiB", "512 MiB".
std::string DescribeBytes(uint64_t bytes);

// Parses "4G", "512M", "100000K", "1073741824", or "none"/"0" for no limit.
// Throws std::invalid_argument.
uint64_t ParseBytes(const std::string& text);

}  // namespace meshjobs::tool
