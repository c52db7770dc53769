// Stripping an imported mesh: every per-vertex array, morph target and bone
// weight must follow its vertex, whichever job finds the used vertices.
#include <gtest/gtest.h>

#include <assimp/scene.h>

#include <memory>
#include <string>

#include "test_support.h"
#include "toolkit/scene.h"

namespace meshjobs::tool {
namespace {

using meshjobs::testing::LibraryTest;

// Vertices 0..count-1 at (v, 10v, 100v); triangles over `used` in order.
std::unique_ptr<aiMesh> MakeMesh(unsigned count, const std::vector<unsigned>& used) {
    auto mesh = std::make_unique<aiMesh>();
    mesh->mNumVertices = count;
    mesh->mVertices = new aiVector3D[count];
    mesh->mNormals = new aiVector3D[count];
    mesh->mTextureCoords[1] = new aiVector3D[count];
    mesh->mNumUVComponents[1] = 2;
    mesh->mColors[2] = new aiColor4D[count];
    for (unsigned v = 0; v < count; ++v) {
        mesh->mVertices[v] = aiVector3D(float(v), 10.0f * v, 100.0f * v);
        mesh->mNormals[v] = aiVector3D(0, 0, float(v));
        mesh->mTextureCoords[1][v] = aiVector3D(0.5f * v, 1, 0);
        mesh->mColors[2][v] = aiColor4D(0, 0, 0, float(v));
    }
    mesh->mNumFaces = static_cast<unsigned>(used.size() / 3);
    mesh->mFaces = new aiFace[mesh->mNumFaces];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        mesh->mFaces[f].mNumIndices = 3;
        mesh->mFaces[f].mIndices = new unsigned[3]{used[3 * f], used[3 * f + 1], used[3 * f + 2]};
    }
    return mesh;
}

class ToolStripMesh : public LibraryTest, public ::testing::WithParamInterface<StripMethod> {
protected:
    Jobs jobs{library(), 2};
};

TEST_P(ToolStripMesh, EveryArrayFollowsItsVertex) {
    auto mesh = MakeMesh(9, {8, 2, 5, 5, 2, 7, 2, 8, 7});
    const MeshStrip strip = StripMesh(jobs, *mesh, GetParam());

    EXPECT_TRUE(strip.skipped.empty()) << strip.skipped;
    EXPECT_EQ(strip.verticesBefore, 9);
    EXPECT_EQ(strip.verticesAfter, 4);
    ASSERT_EQ(mesh->mNumVertices, 4u);
    // Survivors keep their order: old 2, 5, 7, 8 become 0, 1, 2, 3.
    const float kept[] = {2, 5, 7, 8};
    for (unsigned v = 0; v < 4; ++v) {
        EXPECT_EQ(mesh->mVertices[v], aiVector3D(kept[v], 10 * kept[v], 100 * kept[v]));
        EXPECT_EQ(mesh->mNormals[v].z, kept[v]);
        EXPECT_EQ(mesh->mTextureCoords[1][v].x, 0.5f * kept[v]);
        EXPECT_EQ(mesh->mColors[2][v].a, kept[v]);
    }
    const unsigned expected[] = {3, 0, 1, 1, 0, 2, 0, 3, 2};
    for (unsigned i = 0; i < 9; ++i) EXPECT_EQ(mesh->mFaces[i / 3].mIndices[i % 3], expected[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Methods, ToolStripMesh,
                         ::testing::Values(StripMethod::Mark, StripMethod::Count, StripMethod::Both),
                         [](const auto& info) {
                             return std::string(info.param == StripMethod::Mark    ? "Mark"
                                                : info.param == StripMethod::Count ? "Count"
                                                                                   : "Both");
                         });

TEST_F(ToolStripMesh, MorphTargetsAndBoneWeightsFollowTheirVertices) {
    auto mesh = MakeMesh(6, {1, 3, 5});
    mesh->mNumAnimMeshes = 1;
    mesh->mAnimMeshes = new aiAnimMesh*[1]{new aiAnimMesh};
    aiAnimMesh& target = *mesh->mAnimMeshes[0];
    target.mNumVertices = 6;
    target.mVertices = new aiVector3D[6];
    for (unsigned v = 0; v < 6; ++v) target.mVertices[v] = aiVector3D(0, 0, -float(v));
    mesh->mNumBones = 1;
    mesh->mBones = new aiBone*[1]{new aiBone};
    aiBone& bone = *mesh->mBones[0];
    bone.mNumWeights = 3;
    bone.mWeights = new aiVertexWeight[3]{{0, 0.25f}, {3, 0.5f}, {5, 0.75f}};

    StripMesh(jobs, *mesh, StripMethod::Mark);

    ASSERT_EQ(mesh->mNumVertices, 3u);
    ASSERT_EQ(target.mNumVertices, 3u);
    EXPECT_EQ(target.mVertices[0].z, -1.0f);
    EXPECT_EQ(target.mVertices[2].z, -5.0f);
    // Vertex 0 is gone, so its weight is; 3 and 5 are now 1 and 2.
    ASSERT_EQ(bone.mNumWeights, 2u);
    EXPECT_EQ(bone.mWeights[0].mVertexId, 1u);
    EXPECT_EQ(bone.mWeights[0].mWeight, 0.5f);
    EXPECT_EQ(bone.mWeights[1].mVertexId, 2u);
}

TEST_F(ToolStripMesh, MeshesBeyondSixteenBitIndicesAreReportedAndLeftAlone) {
    auto mesh = MakeMesh(70000, {0, 1, 69999});
    const MeshStrip strip = StripMesh(jobs, *mesh, StripMethod::Mark);
    EXPECT_NE(strip.skipped.find("65,536"), std::string::npos) << strip.skipped;
    EXPECT_EQ(strip.verticesAfter, 70000);
    EXPECT_EQ(mesh->mNumVertices, 70000u);
    EXPECT_EQ(mesh->mFaces[0].mIndices[2], 69999u);
}

TEST_F(ToolStripMesh, ExactlySixteenBitsOfVerticesStillStrip) {
    auto mesh = MakeMesh(65536, {65535, 7, 65535});
    const MeshStrip strip = StripMesh(jobs, *mesh, StripMethod::Count);
    EXPECT_TRUE(strip.skipped.empty()) << strip.skipped;
    ASSERT_EQ(mesh->mNumVertices, 2u);
    EXPECT_EQ(mesh->mVertices[1].x, 65535.0f);
    EXPECT_EQ(mesh->mFaces[0].mIndices[0], 1u);
}

TEST_F(ToolStripMesh, MeshWithoutFacesIsLeftAlone) {
    auto mesh = MakeMesh(5, {});
    const MeshStrip strip = StripMesh(jobs, *mesh, StripMethod::Mark);
    EXPECT_FALSE(strip.skipped.empty());
    EXPECT_EQ(mesh->mNumVertices, 5u);
}

TEST_F(ToolStripMesh, StripVerticesRefusesAnIndexPastTheVertices) {
    std::vector<uint16_t> indices = {0, 1, 2};
    std::vector<uint32_t> vertices(2 * 4, 0);  // two vertices of four words
    for (StripMethod method : {StripMethod::Mark, StripMethod::Count})
        EXPECT_ANY_THROW(StripVertices(jobs, method, indices, vertices, 4));
}

}  // namespace
}  // namespace meshjobs::tool
