// Outputs written through a staging folder, mesh files read with the system's
// reasons and their side files, and what a written file keeps of a scene.
#include <gtest/gtest.h>

#include <assimp/scene.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tool_run.h"
#include "toolkit/output_files.h"
#include "toolkit/modules.h"
#include "toolkit/scene.h"
#include "toolkit/scene_census.h"

namespace meshjobs::tool {
namespace {

namespace fs = std::filesystem;
using testing::MessageOf;

const fs::path MODELS = "/usr/share/assimp/models";
const fs::path BOX_TEXTURED = MODELS / "glTF2/BoxTextured-glTF/BoxTextured.gltf";
const fs::path MORPH_CUBE = MODELS / "glTF2/glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf";

std::string Text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Put(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

// Everything in a folder, hidden entries too, relative and sorted.
std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(entry.path().lexically_relative(folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

class ToolOutput : public testing::ToolTest {};

TEST_F(ToolOutput, StagedFilesLandOnlyOnCommitAndTheLastOneLast) {
    const fs::path out = dir_ / "new" / "folder";  // made on the way
    {
        StagedOutput staged(out);
        staged.WriteFile("manifest.json", "{}", 2);
        staged.WriteFile("mesh0.stream0.bin", "abc", 3);
        staged.WriteFile("sub/mesh1.bin", "xy", 2);
        EXPECT_EQ(staged.Files(), (std::vector<fs::path>{"manifest.json", "mesh0.stream0.bin", "sub/mesh1.bin"}));
        ASSERT_EQ(Listing(out).size(), 5u) << "only the staging folder and what is in it before Commit";
        EXPECT_EQ(Listing(out)[0].rfind(".meshjobs-staging-", 0), 0u);

        const auto written = staged.Commit({}, "manifest.json");
        ASSERT_EQ(written.size(), 3u);
        EXPECT_EQ(written.back(), out / "manifest.json");
        EXPECT_EQ(Text(out / "mesh0.stream0.bin"), "abc");
        EXPECT_EQ(Text(out / "sub/mesh1.bin"), "xy");
    }
    EXPECT_EQ(Listing(out), (std::vector<std::string>{"manifest.json", "mesh0.stream0.bin", "sub", "sub/mesh1.bin"}));
}

TEST_F(ToolOutput, AnUncommittedWriteLeavesTheEarlierFileAndNoTrace) {
    Put(dir_ / "out.obj", "good");
    {
        StagedOutput staged(dir_);
        staged.WriteFile("out.obj", "half", 4);
        staged.WriteFile("out.mtl", "m", 1);
    }  // a failure after writing: never committed
    {
        StagedOutput staged(dir_ / "made" / "on the way");
        staged.WriteFile("mesh0.stream0.bin", "abc", 3);
    }  // nor are the folders made for it
    EXPECT_EQ(Listing(dir_), std::vector<std::string>{"out.obj"});
    EXPECT_EQ(Text(dir_ / "out.obj"), "good");
}

TEST_F(ToolOutput, CommitRefusesToReplaceAProtectedFileAndMovesNothing) {
    const fs::path input = dir_ / "in" / "Box0.bin";
    fs::create_directories(input.parent_path());
    Put(input, "input");
    struct Case {
        const char* name;
        fs::path output;       // folder written to
        fs::path protect;      // as the caller names the input's file
        std::function<void(const fs::path&)> prepare;  // given the destination
    };
    const Case cases[] = {
        {"the same path", dir_ / "in", input, nullptr},
        {"another spelling", dir_ / "in", dir_ / "in" / "." / ".." / "in" / "Box0.bin", nullptr},
        {"a relative spelling", dir_ / "in", fs::relative(input), nullptr},
        {"a hard link", dir_ / "other", input, [&](const fs::path& d) { fs::create_hard_link(input, d); }},
        {"a symbolic link", dir_ / "other", input, [&](const fs::path& d) { fs::create_symlink(input, d); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "other");
        fs::create_directories(c.output);
        if (c.prepare) c.prepare(c.output / "Box0.bin");
        StagedOutput staged(c.output);
        staged.WriteFile("Box.gltf", "{}", 2);
        staged.WriteFile("Box0.bin", "output", 6);
        EXPECT_EQ(MessageOf([&] { staged.Commit({c.protect}, "Box.gltf"); }),
                  "refusing to overwrite the input's file Box0.bin");
        EXPECT_FALSE(fs::exists(c.output / "Box.gltf")) << "moved before refusing";
        EXPECT_EQ(Text(input), "input");
    }
}

TEST_F(ToolOutput, FileSystemErrorsCarryTheSystemsReason) {
    struct Case {
        const char* name;
        std::function<void()> action;
        std::string message;
    };
    const Case cases[] = {
        {"destination is a folder",
         [&] {
             fs::create_directories(dir_ / "a.glb");
             StagedOutput staged(dir_);
             staged.WriteFile("a.glb", "x", 1);
             staged.Commit({});
         },
         "cannot write " + (dir_ / "a.glb").string() + ": Is a directory"},
        {"staged name is a folder",
         [&] {
             StagedOutput staged(dir_);
             fs::create_directories(staged.StagedPath("b.bin"));
             staged.WriteFile("b.bin", "x", 1);
         },
         "cannot write b.bin: Is a directory"},
        {"output folder is a file",
         [&] {
             Put(dir_ / "plain", "");
             StagedOutput staged(dir_ / "plain");
         },
         "cannot create folder " + (dir_ / "plain").string() + ": Not a directory"},
        // /dev/full fails every write with ENOSPC, even for root.
        {"disk full",
         [&] {
             StagedOutput staged(dir_);
             fs::create_symlink("/dev/full", staged.StagedPath("c.bin"));
             staged.WriteFile("c.bin", "x", 1);
         },
         "cannot write c.bin: No space left on device"},
        {"disk full under the exporter",
         [&] {
             const ScenePtr scene = ReadScene(BOX_TEXTURED.string(), ReadPurpose::AsIs);
             StagedOutput staged(dir_);
             fs::create_symlink("/dev/full", staged.StagedPath("box.glb"));
             WriteScene(*scene, staged, "box.glb", "glb2");
         },
         "cannot write box.glb: No space left on device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MessageOf(c.action), c.message);
        EXPECT_TRUE(std::none_of(fs::directory_iterator(dir_), fs::directory_iterator(), [](const auto& entry) {
            return entry.path().filename().string().rfind(".meshjobs-staging-", 0) == 0;
        })) << "staging folder left behind";
    }
}

TEST_F(ToolOutput, ExporterSideFilesAreStagedAndCommittedWithTheMainFile) {
    if (!fs::exists(BOX_TEXTURED)) GTEST_SKIP() << "no assimp test models";
    const fs::path in = dir_ / "in";
    fs::copy(BOX_TEXTURED.parent_path(), in);
    std::vector<fs::path> filesRead;
    const ScenePtr scene = ReadScene((in / "BoxTextured.gltf").string(), ReadPurpose::AsIs, &filesRead);
    EXPECT_EQ(filesRead, (std::vector<fs::path>{in / "BoxTextured.gltf", in / "BoxTextured0.bin"}));

    {
        StagedOutput staged(dir_ / "out");
        WriteScene(*scene, staged, "box.gltf", ExporterFor(".gltf"));
        EXPECT_EQ(staged.Files(), (std::vector<fs::path>{"box.bin", "box.gltf"}));
        EXPECT_EQ(Listing(dir_ / "out").size(), 3u) << "landed before Commit";
        staged.Commit(filesRead, "box.gltf");
    }
    EXPECT_EQ(Listing(dir_ / "out"), (std::vector<std::string>{"box.bin", "box.gltf"}));
    EXPECT_NO_THROW(ReadScene((dir_ / "out" / "box.gltf").string(), ReadPurpose::AsIs));

    // Written beside the input as BoxTextured0.gltf, its buffer would
    // replace the input's.
    StagedOutput beside(in);
    WriteScene(*scene, beside, "BoxTextured0.gltf", "gltf2");
    EXPECT_EQ(MessageOf([&] { beside.Commit(filesRead); }), "refusing to overwrite the input's file BoxTextured0.bin");
    EXPECT_EQ(Text(in / "BoxTextured0.bin"), Text(BOX_TEXTURED.parent_path() / "BoxTextured0.bin"));
}

TEST_F(ToolOutput, ReadingGivesTheSystemsReason) {
    Put(dir_ / "locked.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    fs::permissions(dir_ / "locked.obj", fs::perms::none);
    Put(dir_ / "empty.obj", "# nothing but a comment\no cut\n");
    struct Case {
        fs::path file;
        std::string message;
    };
    const Case cases[] = {
        {dir_ / "missing.obj", "cannot read: No such file or directory"},
        {dir_, "cannot read: Is a directory"},
        {dir_ / "empty.obj", "no mesh in the file"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MessageOf([&] { ReadScene(c.file.string(), ReadPurpose::AsIs); }), c.message) << c.file;

    // Permissions do not stop root: read as nobody from a child process.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(2);
        const std::string message = MessageOf([&] { ReadScene((dir_ / "locked.obj").string(), ReadPurpose::AsIs); });
        const ssize_t ignored = ::write(pipeEnds[1], message.data(), message.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    std::string message;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, n);
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not drop privileges";
    EXPECT_EQ(message, "cannot read: Permission denied");
}

// Writes a model with an exporter, reads it back, and compares.
struct RoundTrip {
    SceneCensus read, readBack;
    std::vector<std::string> mismatches, losses;
};

RoundTrip WriteAndReadBack(const fs::path& model, const std::string& exporter, const fs::path& folder) {
    const ScenePtr scene = ReadScene(model.string(), ReadPurpose::AsIs);
    RoundTrip trip;
    trip.read = CensusOf(*scene);
    StagedOutput staged(folder);
    const fs::path name = "out." + ExporterExtension(exporter);
    WriteScene(*scene, staged, name, exporter);
    trip.readBack = CensusOf(*ReadScene(staged.StagedPath(name).string(), ReadPurpose::AsIs));
    trip.mismatches = CountMismatches(trip.read, trip.readBack, TraitsOf(exporter));
    staged.Commit({});
    trip.losses = Losses(trip.read, trip.readBack, model.parent_path(), folder);
    return trip;
}

TEST_F(ToolOutput, TheCensusReportsWhatAFormatCannotHold) {
    if (!fs::exists(MORPH_CUBE)) GTEST_SKIP() << "no assimp test models";
    struct Case {
        fs::path model;
        std::string exporter;
        std::vector<std::string> losses;
    };
    const Case cases[] = {
        // This glTF 2.0 exporter writes no tangents.
        {MORPH_CUBE, "glb2", {"tangents"}},
        {MORPH_CUBE, "obj", {"tangents", "morph targets (2)", "animations (1)"}},
        // A file without materials gets the importer's stand-in, not a loss.
        {MODELS / "PLY/cube.ply", "obj", {}},
        {MODELS / "OBJ/spider.obj", "ply", {"materials (4)", "texture references (4)"}},
        {MODELS / "OBJ/spider.obj", "glb2", {}},
        {BOX_TEXTURED, "glb2", {"texture files (1, not copied: CesiumLogoFlat.png)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model.filename().string() + " to " + c.exporter);
        const RoundTrip trip = WriteAndReadBack(c.model, c.exporter, dir_ / c.exporter);
        EXPECT_EQ(trip.mismatches, std::vector<std::string>{});
        EXPECT_EQ(trip.losses, c.losses);
    }
    // Copied beside the output, the texture is no longer lost.
    fs::create_directories(dir_ / "copied");
    fs::copy_file(BOX_TEXTURED.parent_path() / "CesiumLogoFlat.png", dir_ / "copied" / "CesiumLogoFlat.png");
    EXPECT_EQ(WriteAndReadBack(BOX_TEXTURED, "glb2", dir_ / "copied").losses, std::vector<std::string>{});
}

TEST_F(ToolOutput, TraitsAgreeWithARoundTrip) {
    const fs::path model = MODELS / "PLY/Wuson.ply";  // shares vertices between faces, and is placed once
    if (!fs::exists(model)) GTEST_SKIP() << "no assimp test models";
    for (const std::string exporter : {"assbin", "ply", "obj", "stl", "glb2"}) {
        SCOPED_TRACE(exporter);
        const ExportTraits traits = TraitsOf(exporter);
        ASSERT_TRUE(traits.readsBack);
        const RoundTrip trip = WriteAndReadBack(model, exporter, dir_ / exporter);
        EXPECT_EQ(trip.mismatches, std::vector<std::string>{});
        EXPECT_EQ(trip.read.vertices == trip.readBack.vertices, traits.keepsVertices)
            << trip.read.vertices << " vertices written, " << trip.readBack.vertices << " read back";
    }
    // A mesh drawn twice is written out twice by formats without instances.
    const fs::path twice = MODELS / "glTF/TwoBoxes/TwoBoxes.gltf";
    for (const std::string exporter : {"obj", "glb2"})
        EXPECT_EQ(WriteAndReadBack(twice, exporter, dir_ / ("twice" + exporter)).mismatches, std::vector<std::string>{})
            << exporter;

    SceneCensus written, fewer;
    written.meshes = 3, written.vertices = 30, written.triangles = 10;
    fewer.meshes = 2, fewer.vertices = 29, fewer.triangles = 1;
    EXPECT_EQ(CountMismatches(written, fewer, {true, true, true}),
              (std::vector<std::string>{"3 meshes written, 2 read back", "30 vertices written, 29 read back",
                                        "10 triangles written, 1 read back"}));
    EXPECT_EQ(CountMismatches(written, fewer, {false, false, true}),
              std::vector<std::string>{"10 triangles written, 1 read back"});
}

TEST(ToolExporters, ExtensionsPickFormatsThatReadBack) {
    const std::pair<const char*, const char*> cases[] = {
        {".gltf", "gltf2"}, {".glb", "glb2"}, {".GLB", "glb2"}, {".fbx", "fbxa"},
        {"gltf", "gltf2"},  {"fbx", "fbxa"},  {"glb1", "glb"},  {".obj", "obj"}, {"ply", "ply"}, {".nope", ""},
    };
    for (const auto& [given, id] : cases) EXPECT_EQ(ExporterFor(given), id) << given;
    EXPECT_FALSE(TraitsOf("fbx").readsBack);
    EXPECT_TRUE(TraitsOf(ExporterFor(".fbx")).readsBack);
}

// What the tool answers without the scene module is what the module answers.
TEST(ToolExporters, AnswersGivenWithoutTheImporterAreItsOwn) {
    const SceneFunctions& module = SceneModule();
    for (const char* extension : KNOWN_MESH_EXTENSIONS) EXPECT_TRUE(module.readsExtension(extension)) << extension;
    for (const char* extension : KNOWN_OTHER_EXTENSIONS) EXPECT_FALSE(module.readsExtension(extension)) << extension;
    for (const auto& [id, extension] : module.exporters())
        if (id == "gltf2" || id == "glb2") EXPECT_EQ(ExporterExtension(id), extension) << id;
}

}  // namespace
}  // namespace meshjobs::tool
