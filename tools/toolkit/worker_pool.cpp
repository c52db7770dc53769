#include "toolkit/worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace meshjobs::tool {

namespace {

using Clock = std::chrono::steady_clock;

struct Running {
    size_t index = 0;
    pid_t pid = -1;
    int result = -1;  // the worker's message file, read once it has ended
    int error = -1;   // read end of its standard output and error; -1 once at end of file
    int exit = -1;    // readable once the worker has exited; -1 where the kernel lacks it
    Clock::time_point deadline;
    bool hasDeadline = false;
    bool forked = false;
    bool done = false;  // a forked worker whose body returned: its answer is in, its exit not waited for
    WorkerEnding ending;
};

volatile sig_atomic_t g_interrupt = 0;

// The last line a forked worker writes to its message file once its body has
// returned, with the body's answer; no message starts with this byte.
constexpr char DONE_LINE[] = "\x01done ";

// Forked workers that gave their answer and are still ending: reaped when
// they are gone, here or in a later batch. Whatever is left when the tool
// exits, the system reaps.
std::vector<pid_t> g_ending;

void ReapEnded() {
    std::erase_if(g_ending, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

void OnInterrupt(int signal) { g_interrupt = signal; }

// The tool's own interrupt handlers while workers run, the earlier ones after.
class InterruptGuard {
public:
    InterruptGuard() {
        g_interrupt = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_[0]);
        sigaction(SIGTERM, &action, &previous_[1]);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &previous_[0], nullptr);
        sigaction(SIGTERM, &previous_[1], nullptr);
    }

private:
    struct sigaction previous_[2];
};

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// What this process buffered for its standard streams, written now.
void FlushOutput() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

// A forked worker: the signal handlers the pool set go back to the defaults
// a new program would have, nothing escapes into the caller's frames, and
// what it buffered is written before it exits.
[[noreturn]] void RunForked(const WorkerStart& start, const std::vector<std::string>& arguments) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    int code = 0;
    try {
        code = start.body(arguments);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "meshjobs: %s\n", e.what());
        code = 1;
    } catch (...) {
        code = 1;
    }
    FlushOutput();
    // The answer, then the end of the output: the pool takes the file as
    // finished now, while the system still takes this copy of the tool down.
    char done[32];
    const int length = std::snprintf(done, sizeof done, "%s%d\n", DONE_LINE, code);
    (void)!write(RESULT_CHANNEL, done, static_cast<size_t>(length));
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    _exit(code);
}

// Everything an exec'd child needs is prepared before fork(): between fork
// and exec only async-signal-safe calls are made.
Running Launch(const WorkerStart& start, const std::vector<std::string>& arguments, const WorkerLimits& limits) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(start.program.c_str()));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // Appended to by the worker alone: the pool reads it with pread, which
    // leaves the offset they share where it is.
    const int result = memfd_create("meshjobs-worker", MFD_CLOEXEC);
    if (result < 0 || fcntl(result, F_SETFL, O_APPEND) != 0) {
        if (result >= 0) close(result);
        Fail("cannot start a worker");
    }
    int error[2];
    if (pipe2(error, O_CLOEXEC) != 0) {
        close(result);
        Fail("cannot start a worker");
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Else a forked worker writes the caller's pending output a second time.
    FlushOutput();
    const pid_t pid = fork();
    if (pid < 0) {
        const int saved = errno;
        for (int fd : {result, error[0], error[1], devNull}) close(fd);
        errno = saved;
        Fail("cannot start a worker");
    }
    if (pid == 0) {
        if (limits.maxMemory) {
            const rlimit limit{limits.maxMemory, limits.maxMemory};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        dup2(error[1], STDOUT_FILENO);
        dup2(error[1], STDERR_FILENO);
        dup2(result, RESULT_CHANNEL);
        fcntl(RESULT_CHANNEL, F_SETFD, 0);  // kept across exec, even when it was the descriptor itself
        if (start.body) {
            for (int fd : {result, error[0], error[1], devNull})
                if (fd > STDERR_FILENO && fd != RESULT_CHANNEL) close(fd);
            RunForked(start, arguments);
        }
        execv(start.program.c_str(), argv.data());
        const char message[] = "meshjobs: cannot start the worker program\n";
        (void)!write(STDERR_FILENO, message, sizeof message - 1);
        _exit(127);
    }
    close(error[1]);
    if (devNull >= 0) close(devNull);
    Running running;
    running.pid = pid;
    running.forked = static_cast<bool>(start.body);
    running.exit = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    running.result = result;
    running.error = error[0];
    if (limits.timeoutSeconds > 0) {
        running.hasDeadline = true;
        running.deadline = Clock::now() + std::chrono::seconds(limits.timeoutSeconds);
    }
    return running;
}

// Reads what is there; closes the descriptor at end of file.
void Drain(int& fd, std::string& into, size_t keep) {
    char buffer[65536];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
        into.append(buffer, static_cast<size_t>(got));
        if (keep && into.size() > keep) into.erase(0, into.size() - keep);
        return;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    close(fd);
    fd = -1;
}

// Everything in a worker's message file.
std::string ReadMessages(int fd) {
    std::string messages;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t got = pread(fd, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return messages;
        messages.append(buffer, static_cast<size_t>(got));
        at += got;
    }
}

// Whether a forked worker's messages end with its body's answer; if so, that
// line leaves the messages and the answer becomes the worker's exit code.
bool TakeDoneLine(WorkerEnding& ending) {
    std::string& text = ending.messages;
    if (text.empty() || text.back() != '\n') return false;
    const size_t start = text.rfind('\n', text.size() - 2);
    const size_t line = start == std::string::npos ? 0 : start + 1;
    if (text.compare(line, sizeof DONE_LINE - 1, DONE_LINE) != 0) return false;
    ending.exited = true;
    ending.code = std::atoi(text.c_str() + line + sizeof DONE_LINE - 1);
    text.resize(line);
    return true;
}

// The last few lines: an assertion's message, a sanitizer's summary.
std::string Tail(const std::string& text) {
    size_t end = text.find_last_not_of(" \n\r\t");
    if (end == std::string::npos) return {};
    size_t start = end, lines = 0;
    while (start > 0 && lines < 3) {
        --start;
        if (text[start] == '\n') ++lines;
    }
    std::string tail = text.substr(start, end + 1 - start);
    while (!tail.empty() && (tail[0] == '\n' || tail[0] == ' ')) tail.erase(0, 1);
    return tail;
}

}  // namespace

int RunWorkers(const WorkerStart& start, size_t count,
               const std::function<std::vector<std::string>(size_t)>& argumentsFor, int parallel,
               const WorkerLimits& limits, const std::function<void(size_t, const WorkerEnding&)>& finished) {
    const InterruptGuard guard;
    std::vector<Running> running;
    size_t next = 0;
    constexpr size_t ERROR_KEPT = 16384;
    while ((next < count && !g_interrupt) || !running.empty()) {
        ReapEnded();
        if (g_interrupt)
            for (Running& r : running)
                if (!r.ending.interrupted) {
                    kill(r.pid, SIGKILL);
                    r.ending.interrupted = true;
                }
        while (!g_interrupt && next < count && static_cast<int>(running.size()) < std::max(1, parallel)) {
            running.push_back(Launch(start, argumentsFor(next), limits));
            running.back().index = next++;
        }
        // A worker that closed its output is waited for by its exit, or where
        // the kernel cannot tell that, by polling every millisecond: a file's
        // end must not wait on a timer.
        std::vector<pollfd> fds;
        int waitMs = 200;
        for (const Running& r : running) {
            if (r.error >= 0) {
                fds.push_back({r.error, POLLIN, 0});
            } else {
                if (r.exit >= 0) fds.push_back({r.exit, POLLIN, 0});
                else waitMs = 1;
            }
        }
        // Wake for the nearest deadline.
        const auto now = Clock::now();
        for (const Running& r : running)
            if (r.hasDeadline && !r.ending.timedOut) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(r.deadline - now).count();
                waitMs = static_cast<int>(std::clamp<int64_t>(left, 0, waitMs));
            }
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) Fail("cannot wait for the workers");

        for (Running& r : running) {
            for (const pollfd& p : fds)
                if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && p.fd == r.error) {
                    Drain(r.error, r.ending.errorTail, ERROR_KEPT);
                    // A forked worker's output ends once its body returned,
                    // with the answer last, or as its process goes down, with
                    // none: then it is reaped as any other.
                    if (r.error < 0 && r.forked) {
                        r.ending.messages = ReadMessages(r.result);
                        r.done = TakeDoneLine(r.ending);
                    }
                }
            if (r.hasDeadline && !r.done && !r.ending.timedOut && Clock::now() >= r.deadline) {
                kill(r.pid, SIGKILL);
                r.ending.timedOut = true;
            }
        }
        for (auto it = running.begin(); it != running.end();) {
            Running& r = *it;
            int status = 0;
            // A worker that gave its answer is finished; any other is reaped
            // once its output is closed, so nothing it wrote is lost.
            if (r.done) {
                g_ending.push_back(r.pid);
            } else if (r.error >= 0 || waitpid(r.pid, &status, WNOHANG) != r.pid) {
                ++it;
                continue;
            } else {
                r.ending.messages = ReadMessages(r.result);
                r.ending.exited = WIFEXITED(status);
                r.ending.code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
                r.ending.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            }
            close(r.result);
            r.ending.errorTail = Tail(r.ending.errorTail);
            if (r.exit >= 0) close(r.exit);
            const size_t index = r.index;
            WorkerEnding ending = std::move(r.ending);
            ending.interrupted |= g_interrupt != 0;
            it = running.erase(it);
            finished(index, ending);
        }
    }
    ReapEnded();
    return g_interrupt;
}

std::string DescribeBytes(uint64_t bytes) {
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) value /= 1024, ++unit;
    char text[32];
    if (unit == 0 || value == std::floor(value))
        std::snprintf(text, sizeof text, "%.0f %s", value, units[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

uint64_t ParseBytes(const std::string& text) {
    if (text == "none" || text == "0") return 0;
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || !(value > 0))
        throw std::invalid_argument("a size such as 4G, 512M or none, not '" + text + "'");
    std::string unit = text.substr(used);
    if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b')) unit.pop_back();
    if (unit.size() > 1 && (unit.back() == 'i')) unit.pop_back();
    static const std::string units = "KMGT";
    uint64_t scale = 1;
    if (!unit.empty()) {
        const size_t k = unit.size() == 1 ? units.find(static_cast<char>(std::toupper(unit[0]))) : std::string::npos;
        if (k == std::string::npos) throw std::invalid_argument("a size such as 4G, 512M or none, not '" + text + "'");
        scale = uint64_t(1) << (10 * (k + 1));
    }
    const double bytes = value * static_cast<double>(scale);
    if (bytes < 1 << 20 || bytes > 1e18) throw std::invalid_argument("a size from 1M up, not '" + text + "'");
    return static_cast<uint64_t>(bytes);
}

}  // namespace meshjobs::tool
