#include "toolkit/worker_channel.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <new>
#include <sstream>
#include <vector>

#include "toolkit/output_files.h"

namespace meshjobs::tool {

namespace {

const char* const PHASE_NAMES[] = {"starting", "reading", "processing", "writing", "reading back"};

bool HasChannel() { return fcntl(RESULT_CHANNEL, F_GETFD) != -1; }

void Send(const std::string& line) {
    if (!HasChannel()) return;
    const std::string text = line + "\n";
    for (size_t at = 0; at < text.size();) {
        const ssize_t wrote = write(RESULT_CHANNEL, text.data() + at, text.size() - at);
        if (wrote <= 0) return;
        at += static_cast<size_t>(wrote);
    }
}

void OnFailedAllocation() {
    static const char message[] = "{\"outOfMemory\":true}\n";
    (void)!write(RESULT_CHANNEL, message, sizeof message - 1);
    _exit(OUT_OF_MEMORY_EXIT);
}

// Whoever the worker was running when it ended.
std::string Culprit(const std::string& phase) {
    if (phase == "reading") return "importer";
    if (phase == "reading back") return "importer reading the output back";
    if (phase == "writing") return "exporter";
    return "worker";
}

std::string OneLine(std::string text) {
    for (size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, " | ");
    if (text.size() > 300) text = "..." + text.substr(text.size() - 297);
    return text;
}

}  // namespace

namespace {

std::string g_faultInput;  // the worker's input, once named

void FireTestFault(const char* phase) {
    const char* setting = std::getenv("MESHJOBS_TEST_FAULT");
    if (!setting || g_faultInput.empty()) return;
    std::string text = setting, wanted = "starting";
    if (const size_t at = text.find('@'); at != std::string::npos) {
        wanted = text.substr(at + 1);
        text.resize(at);
    }
    const size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    if (colon == std::string::npos || wanted != phase || g_faultInput.find(text.substr(colon + 1)) == std::string::npos)
        return;
    if (kind == "crash") {
        // Whatever handler a sanitizer installed, the signal itself ends it.
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    } else if (kind == "abort") {
        std::abort();
    } else if (kind == "hang") {
        for (;;) pause();
    } else if (kind == "allocate") {
        std::vector<char*> held;
        for (;;) {
            constexpr size_t BLOCK = 64 << 20;
            char* block = new char[BLOCK];
            for (size_t at = 0; at < BLOCK; at += 4096) block[at] = 1;  // really used, page by page
            held.push_back(block);
        }
    }
}

}  // namespace

void ReportPhase(WorkerPhase phase) {
    Send(nlohmann::json{{"phase", PHASE_NAMES[static_cast<int>(phase)]}}.dump());
    FireTestFault(PHASE_NAMES[static_cast<int>(phase)]);
}

void ReportOutcome(const FileOutcome& outcome) { Send(nlohmann::json{{"outcome", ToJson(outcome)}}.dump()); }

void ReportStaging(const std::string& folder) { Send(nlohmann::json{{"staging", folder}}.dump()); }

void RemoveLeftovers(const WorkerEnding& ending) {
    std::istringstream lines(ending.messages);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
        if (!message.is_object() || !message.contains("staging") || !message["staging"].is_string()) continue;
        const std::filesystem::path folder = message["staging"].get<std::string>();
        // Only what StagedOutput makes, whatever a confused worker sends.
        if (!IsStagingFolder(folder)) continue;
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
}

void ExitOnFailedAllocation() { std::set_new_handler(OnFailedAllocation); }

void InjectTestFault(const std::string& input) {
    g_faultInput = input;
    FireTestFault(PHASE_NAMES[static_cast<int>(WorkerPhase::Starting)]);
}

FileOutcome OutcomeOf(const WorkerEnding& ending, const WorkerLimits& limits) {
    std::string phase = "starting";
    bool outOfMemory = false, hasOutcome = false;
    FileOutcome outcome;
    std::istringstream lines(ending.messages);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
        if (!message.is_object()) continue;
        if (message.contains("phase")) phase = message.value("phase", phase);
        if (message.contains("outOfMemory")) outOfMemory = true;
        if (message.contains("outcome")) {
            outcome = OutcomeFromJson(message["outcome"]);
            hasOutcome = true;
        }
    }
    if (hasOutcome && !ending.timedOut) return outcome;
    if (ending.interrupted) return Failed("interrupted, while " + phase + "; nothing written");

    FileOutcome failed;
    failed.ok = false;
    const std::string tail = ending.errorTail.empty() ? "" : ": " + OneLine(ending.errorTail);
    if (ending.timedOut) {
        failed.error = "timed out after " + std::to_string(limits.timeoutSeconds) + " s, while " + phase;
    } else if (outOfMemory || (ending.exited && ending.code == OUT_OF_MEMORY_EXIT)) {
        failed.error = "out of memory (" +
                       (limits.maxMemory ? "limit " + DescribeBytes(limits.maxMemory) : std::string("no limit set")) +
                       "), while " + phase;
    } else if (!ending.exited) {
        const int s = ending.signal;
        const std::string what = s == SIGABRT ? "aborted" : s == SIGKILL ? "was killed" : "crashed";
        const char* name = strsignal(s);
        failed.error = Culprit(phase) + " " + what + " (signal " + std::to_string(s) +
                       (s == SIGABRT || !name ? "" : std::string(", ") + name) + ")" + tail;
    } else {
        failed.error = "worker ended with status " + std::to_string(ending.code) + " and no result" + tail;
    }
    return failed;
}

}  // namespace meshjobs::tool
