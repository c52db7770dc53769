// The meshjobs program as a user meets it: the demo, a folder with a bad file
// in it, and the usage errors, each a single clear line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <assimp/scene.h>
#include <nlohmann/json.hpp>

#include "meshjobs/names.h"
#include "tool_run.h"
#include "toolkit/cli.h"
#include "toolkit/scene.h"

namespace meshjobs::tool {
namespace {

namespace fs = std::filesystem;
using testing::Lines;
using testing::Slurp;
using testing::ToolRun;
using Outcome = ToolRun;

class ToolCli : public testing::ToolTest {
protected:
    Outcome InProcess(std::vector<std::string> args) {
        std::ostringstream out, err;
        Outcome run;
        CliEnvironment environment;
        environment.workerProgram = MESHJOBS_TOOL_FILE;
        run.status = RunCli(args, out, err, environment);
        run.out = out.str();
        run.err = err.str();
        return run;
    }
};

TEST_F(ToolCli, DemoRunsEveryJobVerifiesAndPrintsTheTable) {
    const Outcome run = Tool({"demo", "--workers", "2", "--repeat", "1"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* job : JOB_NAMES) EXPECT_NE(run.out.find(job), std::string::npos) << job;
    EXPECT_NE(run.out.find("throughput"), std::string::npos);
    EXPECT_NE(run.out.find("verified:"), std::string::npos);
    EXPECT_EQ(run.out.find("FAILED"), std::string::npos);
    EXPECT_EQ(run.err, "");
}

TEST_F(ToolCli, VersionNamesTheToolAndTheLibraryFileItWouldLoad) {
    const Outcome run = InProcess({"--version"});  // the library beside this program is the built one
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string version = MESHJOBS_PROJECT_VERSION;
    EXPECT_EQ(run.out, "meshjobs " + version + "\nlibmeshjobs " + version + " " + MESHJOBS_LIBRARY_FILE + "\n");
}

TEST_F(ToolCli, BadFilesAreNamedOneLineEachWhileTheOthersComplete) {
    fs::create_directories(dir_ / "in");
    WritePly(dir_ / "in" / "good.ply");
    std::ofstream(dir_ / "in" / "broken.ply") << "ply\nformat nonsense\n";
    std::ofstream(dir_ / "in" / "empty.obj");
    const std::string missing = (dir_ / "missing.ply").string();

    const Outcome run = Tool({"strip", (dir_ / "in").string(), missing, (dir_ / "stripped").string(), "--method", "count"});
    EXPECT_EQ(run.status, 1);
    // One line each as they end, in any order; the summary in input order.
    const auto errors = Lines(run.err);
    ASSERT_EQ(errors.size(), 3u) << run.err;
    for (const char* name : {"broken.ply", "empty.obj", "missing.ply"})
        EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                                [&](const std::string& line) {
                                    return line.rfind("meshjobs: ", 0) == 0 && line.find(name) != std::string::npos;
                                }),
                  1)
            << name << "\n" << run.err;
    size_t at = 0;
    for (const char* line : {"FAILED  ", "broken.ply: cannot read: ", "FAILED  ", "empty.obj: ", "done    ",
                             "good.ply -> ", "FAILED  ", "missing.ply: cannot read: No such file or directory"}) {
        at = run.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << run.out;
    }
    EXPECT_NE(run.out.find("4 files: 1 done, 3 failed"), std::string::npos) << run.out;

    const ScenePtr stripped = ReadScene((dir_ / "stripped" / "in" / "good.ply").string(), ReadPurpose::AsIs);
    ASSERT_EQ(stripped->mNumMeshes, 1u);
    EXPECT_EQ(stripped->mMeshes[0]->mNumVertices, 3u);
    EXPECT_EQ(stripped->mMeshes[0]->mVertices[1].x, 1.0f);
}

TEST_F(ToolCli, ConvertWritesStreamsAndManifestAndVerifies) {
    const fs::path input = WritePly(dir_ / "sparse.ply");
    const Outcome run = Tool({"convert", input.string(), (dir_ / "out.d").string(), "--layout", "position:f32x3,normal:f16x4@1",
                              "--matrix", "2 0 0 0 0 2 0 0 0 0 2 0 1 1 1 1", "--verify"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fs::file_size(dir_ / "out.d" / "mesh0.stream0.bin"), 5u * 12);
    EXPECT_EQ(fs::file_size(dir_ / "out.d" / "mesh0.stream1.bin"), 5u * 8);
    const auto manifest = nlohmann::json::parse(Slurp(dir_ / "out.d" / "manifest.json"));
    const auto& normal = manifest["meshes"][0]["attributes"][1];
    EXPECT_EQ(normal["attribute"], "normal");
    EXPECT_EQ(normal["format"], "Float16");
    EXPECT_EQ(normal["dimension"], 4);
    EXPECT_EQ(normal["stream"], 1);
    EXPECT_EQ(normal["stride"], 8);
    EXPECT_NE(run.out.find("normal"), std::string::npos) << run.out;  // the verification line
    EXPECT_EQ(run.out.find("BEYOND"), std::string::npos) << run.out;
}

TEST_F(ToolCli, InfoCountsTheVerticesNoFaceUses) {
    const Outcome run = InProcess({"info", WritePly(dir_ / "sparse.ply").string(), "--library", MESHJOBS_LIBRARY_FILE});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("5 vertices, 3 indices (1 triangle), 2 unused; position normal"), std::string::npos)
        << run.out;
}

TEST_F(ToolCli, EveryCommandHasHelp) {
    for (const char* command : {"demo", "info", "strip", "convert"}) {
        const Outcome run = InProcess({command, "--help"});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(run.out.rfind(std::string("usage: meshjobs ") + command, 0), 0u) << run.out;
    }
    EXPECT_EQ(InProcess({"--help"}).status, 0);
    EXPECT_EQ(InProcess({"help", "convert"}).out, InProcess({"convert", "-h"}).out);
}

TEST_F(ToolCli, UsageErrorsAreOneLineAndStatusTwo) {
    const std::string input = WritePly(dir_ / "a.ply").string(), out = (dir_ / "o").string();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"frobnicate"},
             {"strip", input},
             {"strip", input, out, "--method", "guess"},
             {"strip", input, out + ".xyz"},
             {"convert", input, out},
             {"convert", input, out, "--layout", "normal:f32x4"},
             {"convert", input, out, "--layout", "full", "--matrix", "1 2 3"},
             {"info", input, "--verify"},
             {"demo", "--workers", "0"},
         }) {
        const Outcome run = InProcess(args);
        EXPECT_EQ(run.status, 2) << args[0] << " " << run.err;
        EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    }
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(ToolCli, MissingLibraryIsReportedNotCrashedOn) {
    const Outcome run = InProcess({"demo", "--library", (dir_ / "nowhere.so").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the job library"), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
}

}  // namespace
}  // namespace meshjobs::tool
