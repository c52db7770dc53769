// The tool never harms an input and never calls a failure success: failed
// writes carry the system's reason and leave earlier outputs as they were;
// an output that would land on an input or a file an input uses is refused;
// clashing names are kept apart; the output folder is not read as input.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include "tool_run.h"

namespace meshjobs::testing {
namespace {

const fs::path MODELS = "/usr/share/assimp/models";

// Mounting and switching user need root, which CI has: there these tests
// must run, elsewhere they may be skipped.
#define REQUIRE_ROOT()                                                              \
    do {                                                                            \
        if (geteuid() != 0) {                                                       \
            if (std::getenv("CI")) FAIL() << "CI must run this test as root";       \
            GTEST_SKIP() << "needs root (to mount a small file system or switch user)"; \
        }                                                                           \
    } while (0)

class ToolWrites : public ToolTest {
protected:
    void TearDown() override {
        for (const fs::path& mount : mounts_) umount2(mount.c_str(), MNT_DETACH);
        ToolTest::TearDown();
    }

    fs::path Mount(const std::string& name, const char* options) {
        const fs::path at = dir_ / name;
        fs::create_directories(at);
        if (mount("tmpfs", at.c_str(), "tmpfs", 0, options) != 0) ADD_FAILURE() << "cannot mount a tmpfs at " << at;
        mounts_.push_back(at);
        return at;
    }

    std::vector<fs::path> mounts_;
};

TEST_F(ToolWrites, AFullDiskFailsTheFileAndKeepsTheEarlierOutput) {
    REQUIRE_ROOT();
    const fs::path disk = Mount("disk", "size=256k");
    const fs::path small = WritePly(dir_ / "small.ply"), spider = MODELS / "OBJ" / "spider.obj";
    ASSERT_EQ(Tool({"strip", small.string(), (disk / "mesh.ply").string()}).status, 0);
    ASSERT_EQ(Tool({"convert", small.string(), (disk / "streams").string(), "--layout", "full"}).status, 0);
    std::ofstream(disk / "filler") << std::string(200 << 10, 'x');
    const auto before = Snapshot(disk);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"strip", spider.string(), (disk / "mesh.ply").string()},
          std::vector<std::string>{"convert", spider.string(), (disk / "streams").string(), "--layout", "full"}}) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_NE(run.err.find(": No space left on device"), std::string::npos) << run.err;
        EXPECT_EQ(Snapshot(disk), before) << args[0] << ": the earlier output changed, or something was left";
    }
}

TEST_F(ToolWrites, AReadOnlyFolderFailsWithTheSystemsReason) {
    REQUIRE_ROOT();
    const fs::path locked = Mount("locked", "ro,size=64k");
    const ToolRun run = Tool({"strip", WritePly(dir_ / "in.ply").string(), (locked / "out.ply").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Read-only file system"), std::string::npos) << run.err;
}

TEST_F(ToolWrites, AFolderInTheWayOfTheManifestFailsAndLeavesNoStreams) {
    fs::create_directories(dir_ / "out" / "manifest.json");
    const ToolRun run = Tool({"convert", WritePly(dir_ / "in.ply").string(), "out", "--layout", "compact"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("manifest.json"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Is a directory"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("manifest.json:"), std::string::npos) << "reported as written: " << run.out;
    EXPECT_EQ(Snapshot(dir_ / "out").size(), 1u) << "streams were left beside the folder in the way";
}

class ToolInputs : public ToolTest {};

TEST_F(ToolInputs, AnOutputNamedLikeAnInputsBufferNeverOverwritesIt) {
    // Through the general exporter (glTF 1.0 in), whose buffer name follows
    // the output's: refused.
    const fs::path old = dir_ / "old";
    fs::copy(MODELS / "glTF" / "BoxTextured-glTF", old);
    fs::rename(old / "BoxTextured.gltf", old / "Box.gltf");
    const auto oldBefore = Snapshot(old);
    const ToolRun refused = Tool({"strip", "Box.gltf", "BoxTextured.gltf", "--format", "gltf2"}, {.cwd = old});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("BoxTextured.bin"), std::string::npos) << refused.err;
    EXPECT_EQ(Snapshot(old), oldBefore);

    // glTF 2.0 edited in place: the new buffer takes a name no input has.
    const fs::path box = dir_ / "box";
    fs::copy(MODELS / "glTF2" / "BoxTextured-glTF", box);
    const auto before = Snapshot(box);
    const ToolRun run = Tool({"strip", "BoxTextured.gltf", "BoxTextured0.gltf"}, {.cwd = box});
    EXPECT_EQ(run.status, 0) << run.err;
    auto after = Snapshot(box);
    EXPECT_EQ(after.erase("BoxTextured0.gltf") + after.erase("BoxTextured0-1.bin"), 2u);
    EXPECT_EQ(after, before);
}

TEST_F(ToolInputs, AnOutputThatIsAnInputIsRefusedBeforeAnyWork) {
    WritePly(dir_ / "in" / "a.ply");
    WritePly(dir_ / "in" / "b.ply");
    const auto before = Snapshot(dir_ / "in");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"strip", "in/a.ply", "in/./a.ply"},
                                                 std::vector<std::string>{"strip", "in/a.ply", "in/b.ply", "in", "--format", "ply"}}) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find("it is an input file"), std::string::npos) << run.err;
    }
    EXPECT_EQ(Snapshot(dir_ / "in"), before);
}

TEST_F(ToolInputs, InputsSharingANameGetOutputsOfTheirOwn) {
    WritePly(dir_ / "a" / "mesh.ply");
    fs::create_directories(dir_ / "b");
    std::ofstream(dir_ / "b" / "mesh.obj") << "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 5 5 5\nf 1 2 3\n";

    const ToolRun run = Tool({"strip", "a/mesh.ply", "b/mesh.obj", "out", "--format", "ply"});

    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Snapshot(dir_ / "out").size(), 2u);
    EXPECT_TRUE(fs::exists(dir_ / "out" / "mesh-ply.ply"));
    EXPECT_TRUE(fs::exists(dir_ / "out" / "mesh-obj.ply"));
    EXPECT_NE(run.out.find("note: a/mesh.ply, b/mesh.obj would all be written to out/mesh.ply"), std::string::npos)
        << run.out;
}

TEST_F(ToolInputs, TheOutputFolderIsNotReadAsInput) {
    WritePly(dir_ / "in" / "a.ply");
    WritePly(dir_ / "in" / "sub" / "b.ply");
    for (int run = 0; run < 2; ++run) {
        const ToolRun second = Tool({"strip", "in", "in/out"});
        ASSERT_EQ(second.status, 0) << second.err;
        EXPECT_NE(second.out.find("2 files: 2 done"), std::string::npos) << second.out;
    }
    EXPECT_TRUE(fs::exists(dir_ / "in" / "out" / "in" / "sub" / "b.ply"));
    EXPECT_FALSE(fs::exists(dir_ / "in" / "out" / "in" / "out"));
}

TEST_F(ToolInputs, UnreadableFilesAndFoldersGiveTheSystemsReason) {
    REQUIRE_ROOT();
    WritePly(dir_ / "in" / "good.ply");
    fs::permissions(WritePly(dir_ / "in" / "secret.ply"), fs::perms::none);
    WritePly(dir_ / "in" / "closed" / "hidden.ply");
    fs::permissions(dir_ / "in" / "closed", fs::perms::none);

    const ToolRun run = Tool({"info", "in"}, {.user = "nobody"});

    fs::permissions(dir_ / "in" / "closed", fs::perms::owner_all);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(LineAbout(run.err, "secret.ply"), "meshjobs: in/secret.ply: cannot read: Permission denied");
    EXPECT_EQ(LineAbout(run.err, "closed"), "meshjobs: in/closed: cannot read the folder: Permission denied");
    EXPECT_NE(run.out.find("3 files: 1 done, 2 failed"), std::string::npos) << run.out;
}

TEST_F(ToolInputs, ATruncatedFileFailsAndWritesNothing) {
    const std::string spider = Slurp(MODELS / "OBJ" / "spider.obj");
    ASSERT_FALSE(spider.empty()) << "assimp-testmodels is needed";
    std::ofstream(dir_ / "cut.obj") << spider.substr(0, spider.size() * 2 / 5);
    const ToolRun run = Tool({"strip", "cut.obj", "out/cut.ply"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_FALSE(fs::exists(dir_ / "out" / "cut.ply"));
}

}  // namespace
}  // namespace meshjobs::testing
