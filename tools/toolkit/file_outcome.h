// What became of one input file: what the tool prints, what the report
// records, and what a worker process sends back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace meshjobs::tool {

struct MeshCounts {
    int64_t meshes = 0;
    int64_t vertices = 0;
    int64_t triangles = 0;
};

struct FileOutcome {
    bool ok = true;
    std::string report;                 // lines for stdout, each ending in '\n'
    std::string error;                  // the reason, when !ok
    std::vector<std::string> warnings;  // e.g. what the written file lacks
    std::string output;                 // the main file or folder written; empty if none
    MeshCounts before, after;
    int64_t bytesBefore = 0, bytesAfter = 0;
    std::vector<std::string> verifyErrors;  // convert --verify
};

// A file that failed, with its reason.
inline FileOutcome Failed(std::string reason) {
    FileOutcome outcome;
    outcome.ok = false;
    outcome.error = std::move(reason);
    return outcome;
}

nlohmann::json ToJson(const FileOutcome& outcome);
FileOutcome OutcomeFromJson(const nlohmann::json& json);

}  // namespace meshjobs::tool
