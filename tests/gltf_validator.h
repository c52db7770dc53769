// The glTF validator (tools/validator, installed into the build tree by
// scripts/setup.sh) run on one file, its verdict read back.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace meshjobs::testing {

struct ValidatorMessage {
    std::string code, message, pointer;
};

struct ValidatorVerdict {
    int errors = -1, warnings = 0, infos = 0, hints = 0;  // errors stays -1 when the validator did not run
    std::vector<ValidatorMessage> messages;                // the first few errors
    // The validator's summary: materialCount, hasTextures, hasSkins, animationCount, ...
    nlohmann::json info = nlohmann::json::object();
};

inline const std::filesystem::path GLTF_VALIDATOR_SCRIPT = MESHJOBS_GLTF_VALIDATOR;

inline bool OnPath(const std::string& program) {
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string folder; std::getline(path, folder, ':');)
        if (!folder.empty() && ::access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) return true;
    return false;
}

inline bool GltfValidatorInstalled() {
    return OnPath("node") &&
           std::filesystem::exists(GLTF_VALIDATOR_SCRIPT.parent_path() / "node_modules/gltf-validator/package.json") &&
           std::filesystem::exists(GLTF_VALIDATOR_SCRIPT);
}

// CI installs the validator, so there a test that needs it fails without it.
#define REQUIRE_GLTF_VALIDATOR()                                                                              \
    do {                                                                                                      \
        if (!::meshjobs::testing::GltfValidatorInstalled()) {                                                 \
            if (std::getenv("CI")) FAIL() << "CI must have the glTF validator at " << MESHJOBS_GLTF_VALIDATOR; \
            GTEST_SKIP() << "no glTF validator at " << MESHJOBS_GLTF_VALIDATOR << " (scripts/setup.sh installs it)"; \
        }                                                                                                     \
    } while (0)

inline std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A run that fails (no verdict, a file it cannot read) is a test failure, and
// its verdict keeps errors at -1 so no expectation on it holds either.
inline ValidatorVerdict Validate(const std::filesystem::path& file) {
    ValidatorVerdict verdict;
    const std::string command = "node " + ShellQuoted(GLTF_VALIDATOR_SCRIPT) + " " + ShellQuoted(file);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return verdict;
    }
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = ::pclose(pipe);
    const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const nlohmann::json line = nlohmann::json::parse(out, nullptr, false);
    if ((exitCode != 0 && exitCode != 1) || !line.is_object()) {
        ADD_FAILURE() << command << " exited " << exitCode << " with: " << out;
        return verdict;
    }
    verdict.errors = line.at("errors");
    verdict.warnings = line.at("warnings");
    verdict.infos = line.at("infos");
    verdict.hints = line.at("hints");
    for (const nlohmann::json& m : line.at("messages"))
        verdict.messages.push_back({m.at("code"), m.at("message"), m.value("pointer", "")});
    verdict.info = line.at("info");
    return verdict;
}

inline const std::filesystem::path SYSTEM_GLTF_MODELS = "/usr/share/assimp/models/glTF2";

struct ValidModel {
    std::filesystem::path file;
    ValidatorVerdict verdict;
};

// Every glTF 2.0 test model Debian ships that the validator accepts, in path
// order, with its verdict: the inputs the tool's glTF outputs are held to.
inline std::vector<ValidModel> ValidSystemModels() {
    std::vector<ValidModel> models;
    if (!std::filesystem::exists(SYSTEM_GLTF_MODELS)) return models;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(SYSTEM_GLTF_MODELS)) {
        const std::filesystem::path& file = entry.path();
        if (file.extension() != ".gltf" && file.extension() != ".glb") continue;
        ValidatorVerdict verdict = Validate(file);
        if (verdict.errors == 0 && verdict.info.value("version", "").rfind("2.", 0) == 0)
            models.push_back({file, std::move(verdict)});
    }
    std::sort(models.begin(), models.end(), [](const ValidModel& a, const ValidModel& b) { return a.file < b.file; });
    return models;
}

}  // namespace meshjobs::testing
