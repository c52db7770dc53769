// The tool on real meshes: every OBJ, PLY, STL, glTF and FBX file of
// Debian's assimp-testmodels that loads is stripped and converted, and the
// invariants hold: no unused vertex left, every face drawing the same
// positions, converted attributes within their format's quantisation.
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "test_support.h"
#include "toolkit/scene.h"

namespace meshjobs::tool {
namespace {

namespace fs = std::filesystem;
using meshjobs::testing::LibraryTest;

const fs::path MODELS = "/usr/share/assimp/models";
// glTF (version 1) has a model with thousands of unused vertices.
const char* const FORMAT_FOLDERS[] = {"OBJ", "PLY", "STL", "glTF", "glTF2", "FBX"};
// Keeps the whole run well under a minute on two cores.
constexpr uintmax_t LARGEST_FILE = 4 << 20;

struct Model {
    std::string path;
    std::string name;  // for the test's name
};

void PrintTo(const Model& model, std::ostream* out) { *out << model.path; }

std::vector<Model> FindModels() {
    std::vector<Model> models;
    std::set<std::string> names;
    std::error_code error;
    for (const char* folder : FORMAT_FOLDERS) {
        const fs::path root = MODELS / folder;
        if (!fs::is_directory(root, error)) continue;
        std::vector<fs::path> files;
        for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
            if (it->is_regular_file(error) && it->file_size(error) <= LARGEST_FILE && IsMeshFile(it->path().string()))
                files.push_back(it->path());
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::string name = fs::relative(file, MODELS).string();
            for (char& c : name)
                if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
            while (!names.insert(name).second) name += "_";
            models.push_back({file.string(), name});
        }
    }
    return models;
}

const std::vector<Model>& Models() {
    static const std::vector<Model> models = FindModels();
    return models;
}

TEST(ToolModelsPackage, IsInstalled) {
    if (!fs::is_directory(MODELS))
        GTEST_SKIP() << "assimp-testmodels is not installed (no " << MODELS
                     << "), so the real-mesh tests do not run; scripts/setup.sh installs it";
    EXPECT_GE(Models().size(), 80u) << "fewer test models than the package ships";
    // Most of them load; if none did, every model test would quietly skip.
    const auto loads = std::count_if(Models().begin(), Models().end(), [](const Model& model) {
        try {
            return ReadScene(model.path, ReadPurpose::AsIs) != nullptr;
        } catch (const std::exception&) {
            return false;
        }
    });
    EXPECT_GE(loads, 60);
}

// Every face corner's position, bit for bit, mesh by mesh.
using Corners = std::vector<std::vector<aiVector3D>>;

Corners CornersOf(const aiScene& scene) {
    Corners corners(scene.mNumMeshes);
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f)
            for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i)
                corners[m].push_back(mesh.mVertices[mesh.mFaces[f].mIndices[i]]);
    }
    return corners;
}

bool SameBits(const std::vector<aiVector3D>& a, const std::vector<aiVector3D>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

size_t ReferencedVertices(const aiMesh& mesh) {
    std::vector<bool> referenced(mesh.mNumVertices, false);
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i) referenced[mesh.mFaces[f].mIndices[i]] = true;
    return static_cast<size_t>(std::count(referenced.begin(), referenced.end(), true));
}

class ToolModels : public LibraryTest, public ::testing::WithParamInterface<Model> {
protected:
    Jobs jobs{library(), 2};

    // Some test models are broken on purpose; those are skipped, by reason.
    ScenePtr ReadOrSkip(ReadPurpose purpose) {
        try {
            return ReadScene(GetParam().path, purpose);
        } catch (const std::exception& e) {
            unreadable = e.what();
            return nullptr;
        }
    }
    std::string unreadable;
};

TEST_P(ToolModels, StripLeavesOnlyUsedVerticesAndTheSameFaces) {
    const ScenePtr scene = ReadOrSkip(ReadPurpose::AsIs);
    if (!scene) GTEST_SKIP() << GetParam().path << " does not load: " << unreadable;
    const Corners before = CornersOf(*scene);
    std::vector<size_t> referenced;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) referenced.push_back(ReferencedVertices(*scene->mMeshes[m]));

    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        aiMesh& mesh = *scene->mMeshes[m];
        const unsigned vertices = mesh.mNumVertices;
        const MeshStrip strip = StripMesh(jobs, mesh, StripMethod::Both);
        SCOPED_TRACE("mesh " + std::to_string(m));
        if (!strip.skipped.empty()) {
            EXPECT_TRUE(vertices > MAX_STRIP_VERTICES || mesh.mNumFaces == 0) << strip.skipped;
            EXPECT_EQ(mesh.mNumVertices, vertices);
            continue;
        }
        EXPECT_EQ(mesh.mNumVertices, referenced[m]);
        EXPECT_EQ(ReferencedVertices(mesh), mesh.mNumVertices) << "an unused vertex is left";
        for (unsigned b = 0; b < mesh.mNumBones; ++b)
            for (unsigned w = 0; w < mesh.mBones[b]->mNumWeights; ++w)
                EXPECT_LT(mesh.mBones[b]->mWeights[w].mVertexId, mesh.mNumVertices);
    }
    const Corners after = CornersOf(*scene);
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) EXPECT_TRUE(SameBits(before[m], after[m])) << "mesh " << m;

    // Written and read back, the stripped scene is the same.
    const fs::path written =
        fs::temp_directory_path() / ("meshjobs_" + GetParam().name + "_" + std::to_string(::getpid()) + ".assbin");
    WriteScene(*scene, written.string(), "assbin");
    Assimp::Importer importer;
    const aiScene* reread = importer.ReadFile(written.string(), 0);
    fs::remove(written);
    ASSERT_NE(reread, nullptr) << importer.GetErrorString();
    ASSERT_EQ(reread->mNumMeshes, scene->mNumMeshes);
    for (unsigned m = 0; m < reread->mNumMeshes; ++m) {
        EXPECT_EQ(reread->mMeshes[m]->mNumVertices, scene->mMeshes[m]->mNumVertices);
        EXPECT_TRUE(SameBits(CornersOf(*reread)[m], after[m])) << "mesh " << m;
    }
}

TEST_P(ToolModels, ConversionStaysWithinEachFormatsQuantisation) {
    const ScenePtr scene = ReadOrSkip(ReadPurpose::ForEngine);
    if (!scene) GTEST_SKIP() << GetParam().path << " does not load: " << unreadable;
    // Turn 30 degrees about z, stretch unevenly, move: normals then need
    // their own matrix to stay perpendicular.
    const float c = std::cos(0.5236f), s = std::sin(0.5236f);
    Float4x4 turn{};
    const float columns[4][4] = {{2 * c, 2 * s, 0, 0}, {-s, c, 0, 0}, {0, 0, 0.5f, 0}, {1, 2, 3, 1}};
    std::memcpy(turn.columns, columns, sizeof columns);

    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        SCOPED_TRACE("mesh " + std::to_string(m));
        const MeshAttributes mesh = AttributesOf(*scene->mMeshes[m]);
        for (const auto& [layout, matrix] :
             {std::pair{CompactLayout(), turn}, std::pair{FullLayout(), host::IdentityMatrix()}}) {
            const ConvertedMesh converted = ConvertMesh(jobs, mesh, layout, matrix);
            for (const AttributeCheck& check : VerifyConversion(converted, mesh, matrix)) {
                EXPECT_TRUE(check.within) << layout.name << " " << SlotName(check.slot) << ": error "
                                          << check.largestError << " beyond " << check.bound;
                if (layout.name == "full" && check.slot == POSITION) EXPECT_EQ(check.largestError, 0.0);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AssimpTestModels, ToolModels, ::testing::ValuesIn(Models()),
                         [](const auto& info) { return info.param.name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ToolModels);

}  // namespace
}  // namespace meshjobs::tool
