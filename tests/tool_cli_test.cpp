// The meshjobs program as a user meets it: the demo, a folder with a bad file
// in it, and the usage errors, each a single clear line.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <assimp/scene.h>
#include <nlohmann/json.hpp>

#include "meshjobs/names.h"
#include "toolkit/cli.h"
#include "toolkit/scene.h"

namespace meshjobs::tool {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ToolCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("meshjobs_cli_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The built program, as a separate process, so a crash shows as one.
    Outcome Program(const std::string& args) {
        const std::string command = std::string("\"") + MESHJOBS_TOOL_FILE + "\" " + args + " --library \"" +
                                    MESHJOBS_LIBRARY_FILE + "\" > \"" + (dir_ / "out").string() + "\" 2> \"" +
                                    (dir_ / "err").string() + "\"";
        Outcome run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        run.out = Slurp(dir_ / "out");
        run.err = Slurp(dir_ / "err");
        return run;
    }

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

    // Five vertices, one triangle over 0, 2 and 4.
    fs::path WriteSparsePly(const fs::path& path) {
        std::ofstream(path) << "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\n"
                               "property float z\nproperty float nx\nproperty float ny\nproperty float nz\n"
                               "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                               "0 0 0 0 0 1\n9 9 9 0 1 0\n1 0 0 0 0 1\n8 8 8 1 0 0\n0 1 0 0 0 1\n3 0 2 4\n";
        return path;
    }

    fs::path dir_;
};

TEST_F(ToolCli, DemoRunsEveryJobVerifiesAndPrintsTheTable) {
    const Outcome run = Program("demo --workers 2 --repeat 1");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* job : JOB_NAMES) EXPECT_NE(run.out.find(job), std::string::npos) << job;
    EXPECT_NE(run.out.find("throughput"), std::string::npos);
    EXPECT_NE(run.out.find("verified:"), std::string::npos);
    EXPECT_EQ(run.out.find("FAILED"), std::string::npos);
    EXPECT_EQ(run.err, "");
}

TEST_F(ToolCli, BadFilesAreNamedOneLineEachWhileTheOthersComplete) {
    fs::create_directories(dir_ / "in");
    WriteSparsePly(dir_ / "in" / "good.ply");
    std::ofstream(dir_ / "in" / "broken.ply") << "ply\nformat nonsense\n";
    std::ofstream(dir_ / "in" / "empty.obj");
    const std::string missing = (dir_ / "missing.ply").string();

    const Outcome run = Program("strip \"" + (dir_ / "in").string() + "\" \"" + missing + "\" \"" +
                            (dir_ / "stripped").string() + "\" --method count");
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
    const fs::path input = WriteSparsePly(dir_ / "sparse.ply");
    const Outcome run = Program("convert \"" + input.string() + "\" \"" + (dir_ / "out.d").string() +
                            "\" --layout position:f32x3,normal:f16x4@1 --matrix '2 0 0 0 0 2 0 0 0 0 2 0 1 1 1 1' --verify");
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
    const Outcome run = InProcess({"info", WriteSparsePly(dir_ / "sparse.ply").string(), "--library", MESHJOBS_LIBRARY_FILE});
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
    const std::string input = WriteSparsePly(dir_ / "a.ply").string(), out = (dir_ / "o").string();
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
