// Running one command over many mesh files: the input walk, output names that
// never clash with each other or with an input, shards, and the batch itself
// (each file in a worker process of its own, results printed as they end, a
// summary in input order, a JSON Lines report).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "toolkit/file_outcome.h"
#include "toolkit/worker_pool.h"

namespace meshjobs::tool {

struct FileTask {
    std::string input;               // path as given or found
    std::filesystem::path relative;  // where it sits under its folder argument, or its file name
    bool fromFolder = false;
    std::string failure;             // set when it failed before any work (an unreadable folder)
    std::string output;              // strip: the file to write; convert: the folder; info: empty
    std::string exporter;            // strip: the exporter id
    std::string note;                // why the output name differs from the input's
};

// Files stay as given; folders are walked for files the importer reads, in
// sorted order, leaving out `exclude` (the output folder) and staging
// folders. A folder that cannot be read becomes a failed task with the
// system's reason; a missing path still becomes a task so it fails by name.
std::vector<FileTask> CollectInputs(const std::vector<std::string>& paths,
                                    const std::vector<std::filesystem::path>& exclude = {});

// Gives every task its output: `candidate` names it; two tasks with one
// candidate get names that keep them apart (the input's extension added to
// the stem, then a counter in input order), decided from the whole list so
// that every shard names a file alike. Throws std::invalid_argument if an
// output is one of the inputs.
void AssignOutputs(std::vector<FileTask>& tasks, const std::function<std::filesystem::path(const FileTask&)>& candidate);

// Shard K of N (1-based) by a stable hash of each task's relative path.
std::vector<size_t> ShardOf(const std::vector<FileTask>& tasks, int k, int n);
uint64_t StableHash(const std::string& text);

struct BatchOptions {
    int workers = 1;              // files at once
    bool progress = false;        // a bar on `err` (a terminal)
    bool quiet = false;           // only failures and warnings
    WorkerLimits limits;
    WorkerStart worker;           // the tool itself, run or forked as a worker
    // Arguments that make it a worker; the task's index follows.
    std::vector<std::string> workerArguments;
    std::string reportPath;       // JSON Lines, one object per file; empty: none
};

struct BatchSummary {
    int done = 0;
    int failed = 0;
    int interruptedBy = 0;  // the signal that stopped the batch, or 0
    std::vector<FileOutcome> outcomes;  // per task, in input order
};

// Runs tasks `selected` (indices into `tasks`); the rest are left out.
BatchSummary RunBatch(const std::vector<FileTask>& tasks, const std::vector<size_t>& selected,
                      const BatchOptions& options, std::ostream& out, std::ostream& err);

// One JSON object per file, as `--report` writes them.
nlohmann::ordered_json ReportLine(const FileTask& task, const FileOutcome& outcome);

}  // namespace meshjobs::tool
