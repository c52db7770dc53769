// What the tool tells: a warning for everything the written file lacks
// (an error with --strict), a JSON Lines report of every file, and shards
// that together cover every file once.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "tool_run.h"

namespace meshjobs::testing {
namespace {

const fs::path MORPH_CUBE =
    "/usr/share/assimp/models/glTF2/glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf";

std::vector<nlohmann::json> ReadReport(const fs::path& path) {
    std::vector<nlohmann::json> lines;
    for (const std::string& line : Lines(Slurp(path))) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

class ToolReport : public ToolTest {};

TEST_F(ToolReport, WhatTheOutputLacksIsAWarningOrWithStrictAFailure) {
    ASSERT_TRUE(fs::exists(MORPH_CUBE)) << "assimp-testmodels is needed";
    const ToolRun warned = Tool({"strip", MORPH_CUBE.string(), "cube.obj"});
    ASSERT_EQ(warned.status, 0) << warned.err;
    const std::string warning = LineAbout(warned.err, "warning");
    for (const char* lost : {"morph targets (2)", "animations (1)"})
        EXPECT_NE(warning.find(lost), std::string::npos) << warned.err;

    const ToolRun strict = Tool({"strip", MORPH_CUBE.string(), "strict.obj", "--strict"});
    EXPECT_EQ(strict.status, 1);
    EXPECT_NE(strict.err.find("morph targets (2)"), std::string::npos) << strict.err;
    EXPECT_FALSE(fs::exists(dir_ / "strict.obj"));
}

TEST_F(ToolReport, TheReportHasALinePerFileInInputOrder) {
    ASSERT_TRUE(fs::exists(MORPH_CUBE)) << "assimp-testmodels is needed";
    WritePly(dir_ / "in" / "sparse.ply");
    std::ofstream(dir_ / "in" / "broken.ply") << "ply\nnonsense\n";

    const ToolRun run = Tool({"strip", MORPH_CUBE.string(), "in", "out", "--format", "obj", "--report", "r.jsonl"});

    EXPECT_EQ(run.status, 1);
    const auto report = ReadReport(dir_ / "r.jsonl");
    ASSERT_EQ(report.size(), 3u);
    const nlohmann::json& cube = report[0];
    EXPECT_EQ(cube["input"], MORPH_CUBE.string());
    EXPECT_EQ(cube["output"], "out/AnimatedMorphCube.obj");
    EXPECT_EQ(cube["status"], "done");
    EXPECT_EQ(cube["before"]["triangles"], 12);
    EXPECT_EQ(cube["after"]["triangles"], 12);
    EXPECT_EQ(cube["before"]["bytes"], fs::file_size(MORPH_CUBE) + fs::file_size(MORPH_CUBE.parent_path() / "AnimatedMorphCube.bin"));
    ASSERT_EQ(cube["warnings"].size(), 1u);

    EXPECT_EQ(report[1]["input"], "in/broken.ply");
    EXPECT_EQ(report[1]["status"], "failed");
    EXPECT_NE(report[1]["error"].get<std::string>().find("cannot read"), std::string::npos);

    const nlohmann::json& sparse = report[2];
    EXPECT_EQ(sparse["status"], "done");
    EXPECT_EQ(sparse["before"]["vertices"], 5);
    EXPECT_EQ(sparse["after"]["vertices"], 3);
    EXPECT_EQ(sparse["after"]["bytes"], fs::file_size(dir_ / "out" / "in" / "sparse.obj") +
                                            fs::file_size(dir_ / "out" / "in" / "sparse.mtl"));
}

TEST_F(ToolReport, ShardsCoverEveryFileExactlyOnce) {
    for (int k = 0; k < 12; ++k) WritePly(dir_ / "in" / ("sub" + std::to_string(k % 3)) / ("m" + std::to_string(k) + ".ply"));
    std::multiset<std::string> seen;
    for (const char* shard : {"1/3", "2/3", "3/3"}) {
        const std::string report = std::string("shard") + shard[0] + ".jsonl";
        const ToolRun run = Tool({"info", "in", "--shard", shard, "--report", report});
        ASSERT_EQ(run.status, 0) << run.err;
        for (const nlohmann::json& line : ReadReport(dir_ / report)) seen.insert(line["input"].get<std::string>());
    }
    EXPECT_EQ(seen.size(), 12u);
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 12u);
    EXPECT_EQ(Tool({"info", "in", "--shard", "4/3"}).status, 2);
}

}  // namespace
}  // namespace meshjobs::testing
