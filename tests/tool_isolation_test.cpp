// One bad file fails alone: whatever ends its worker (a crash, an abort, a
// runaway allocation, a hang, or a real importer failure), the other files
// complete, the failure is named with its reason, and no input changes.
#include <gtest/gtest.h>

#include "tool_run.h"
#include "toolkit/scene.h"

namespace meshjobs::testing {
namespace {

const fs::path MODELS = "/usr/share/assimp/models";

#if MESHJOBS_SANITIZED
// The address sanitizer reserves far more address space than any limit.
constexpr bool MEMORY_LIMITS_WORK = false;
constexpr const char* MEMORY_LIMIT = "none";
#else
constexpr bool MEMORY_LIMITS_WORK = true;
constexpr const char* MEMORY_LIMIT = "1G";
#endif

struct Fault {
    const char* kind;
    const char* reason;  // how the failing file's line goes on after its name
    const char* timeout = "60";
};

class ToolIsolation : public ToolTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(ToolIsolation, AFaultyWorkerFailsItsFileAloneWithItsReason) {
    if (std::string(GetParam().kind) == "allocate" && !MEMORY_LIMITS_WORK)
        GTEST_SKIP() << "no memory limit under the address sanitizer";
    for (const char* name : {"a.ply", "victim.ply", "z.ply"}) WritePly(dir_ / "in" / name);
    const auto before = Snapshot(dir_ / "in");

    const ToolRun run = Tool({"info", "in", "--workers", "2", "--timeout", GetParam().timeout, "--max-memory", MEMORY_LIMIT},
                             {.environment = {std::string("MESHJOBS_TEST_FAULT=") + GetParam().kind + ":victim"}});

    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind(std::string("meshjobs: in/victim.ply: ") + GetParam().reason, 0), 0u) << run.err;
    EXPECT_NE(run.out.find("in/a.ply: 1 mesh"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("in/z.ply: 1 mesh"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("3 files: 2 done, 1 failed"), std::string::npos) << run.out;
    EXPECT_EQ(Snapshot(dir_ / "in"), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, ToolIsolation,
                         ::testing::Values(Fault{"crash", "worker crashed (signal 11, Segmentation fault)"},
                                           Fault{"abort", "worker aborted (signal 6)"},
                                           Fault{"hang", "timed out after 2 s", "2"},
                                           Fault{"allocate", "out of memory (limit 1 GiB)"}),
                         [](const auto& info) { return std::string(info.param.kind); });

TEST_F(ToolIsolation, ARealRunawayAllocationFailsAloneUnderTheLimit) {
    if (!MEMORY_LIMITS_WORK) GTEST_SKIP() << "no memory limit under the address sanitizer";
    const fs::path hungry = MODELS / "invalid" / "OutOfMemory.off";
    ASSERT_TRUE(fs::exists(hungry)) << "assimp-testmodels is needed";
    const fs::path good = WritePly(dir_ / "good.ply");

    const ToolRun run = Tool({"info", hungry.string(), good.string(), "--max-memory", "512M"});

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(LineAbout(run.err, "OutOfMemory.off"),
              "meshjobs: " + hungry.string() + ": out of memory (limit 512 MiB), while reading");
    EXPECT_NE(run.out.find("good.ply: 1 mesh"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("2 files: 1 done, 1 failed"), std::string::npos) << run.out;
}

TEST_F(ToolIsolation, AnInterruptEndsTheBatchAndLeavesNothingHalfWritten) {
    for (const char* name : {"a.ply", "b.ply", "c.ply"}) WritePly(dir_ / "in" / name);
    const auto before = Snapshot(dir_ / "in");

    // Both workers hang once their staging folders exist.
    const ToolRun run = Tool({"strip", "in", "out", "--workers", "2", "--format", "ply"},
                             {.environment = {"MESHJOBS_TEST_FAULT=hang:.ply@writing"}, .interruptAfterMs = 1500});

    EXPECT_EQ(run.status, 130) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 3u) << run.err;
    EXPECT_NE(run.err.find("in/c.ply: not processed: interrupted"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(": interrupted, while writing; nothing written"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("3 files: 0 done, 3 failed"), std::string::npos) << run.out;
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().rfind(".meshjobs-staging-", 0), std::string::npos) << entry.path();
    EXPECT_EQ(Snapshot(dir_ / "in"), before);
}

// Binary glTF 1.0 files, as the exporter writes them: two read at once in
// one process stop that importer at an assertion, and took the whole batch
// with them. Each in a process of its own, every file reads.
TEST_F(ToolIsolation, OldBinaryGltfFilesReadTogetherAllComplete) {
    const fs::path spider = MODELS / "OBJ" / "spider.obj";
    ASSERT_TRUE(fs::exists(spider)) << "assimp-testmodels is needed";
    fs::create_directories(dir_ / "old");
    const tool::ScenePtr scene = tool::ReadScene(spider.string(), tool::ReadPurpose::AsIs);
    for (const char* name : {"a.glb", "b.glb"}) tool::WriteScene(*scene, (dir_ / "old" / name).string(), "glb");
    WritePly(dir_ / "old" / "c.ply");
    const auto before = Snapshot(dir_ / "old");

    const ToolRun run = Tool({"info", "a.glb", "c.ply", "b.glb", "--workers", "2"}, {.cwd = dir_ / "old"});

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("a.glb: 19 meshes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("b.glb: 19 meshes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("3 files: 3 done, 0 failed"), std::string::npos) << run.out;
    EXPECT_EQ(Snapshot(dir_ / "old"), before);
}

}  // namespace
}  // namespace meshjobs::testing
