// Running one command over many mesh files at once: files in parallel, a
// progress bar on a terminal, one line per failure, a summary.
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "toolkit/jobs.h"

namespace meshjobs::tool {

struct FileTask {
    std::string input;              // path as opened
    std::filesystem::path relative; // where it sits under its folder argument, or its file name
    bool fromFolder = false;
};

// Files stay as given; folders are walked for files the importer reads, in
// sorted order. A missing path still becomes a task so it fails by name.
std::vector<FileTask> CollectInputs(const std::vector<std::string>& paths);

struct FileOutcome {
    bool ok = true;
    std::string report;  // lines for stdout, each ending in '\n'
    std::string error;   // the reason, when !ok
};

using FileWork = std::function<FileOutcome(const FileTask& task, Jobs& jobs)>;

struct BatchOptions {
    int workers = 1;
    bool progress = false;  // draw a bar on `err`
};

struct BatchSummary {
    int done = 0;
    int failed = 0;
};

// Each file runs on its own job system; files in flight share the workers.
// Exceptions from `work` fail that file only.
BatchSummary RunBatch(const host::Library& library, const std::vector<FileTask>& tasks, const FileWork& work,
                      const BatchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace meshjobs::tool
