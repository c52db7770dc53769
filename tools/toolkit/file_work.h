// What the tool does to one input file, inside the worker process that owns
// it: read it, run the jobs, write the result through a staging folder, read
// the result back, and say what it lacks.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "toolkit/batch.h"
#include "toolkit/file_outcome.h"
#include "toolkit/jobs.h"
#include "toolkit/layout.h"

namespace meshjobs::tool {

struct WorkSettings {
    StripMethod method = StripMethod::Mark;
    Layout layout;
    Float4x4 matrix = host::IdentityMatrix();
    bool verify = false;
    bool strict = false;  // a loss fails the file
    // Never written: every input of the batch (sidecars read are added per file).
    std::vector<std::filesystem::path> inputs;
};

FileOutcome InfoFile(const FileTask& task, Jobs& jobs, const WorkSettings& settings);
FileOutcome StripFile(const FileTask& task, Jobs& jobs, const WorkSettings& settings);
FileOutcome ConvertFile(const FileTask& task, Jobs& jobs, const WorkSettings& settings);

}  // namespace meshjobs::tool
