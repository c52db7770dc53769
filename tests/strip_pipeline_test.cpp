// Marking (or counting), compaction and remapping together strip the unused
// vertices of a mesh and leave it drawing the same triangles.
#include <random>
#include <set>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;

constexpr int32_t STRIDE = 3;  // words per vertex

struct Mesh {
    std::vector<uint32_t> vertices;  // STRIDE words each, all distinct
    std::vector<uint16_t> indices;
};

Mesh RandomMesh(uint32_t seed, int vertexCount, int triangleCount, int usedCount) {
    std::mt19937 random(seed);
    Mesh mesh;
    for (int i = 0; i < vertexCount * STRIDE; ++i) mesh.vertices.push_back(random());
    std::vector<uint16_t> usable;
    for (int i = 0; i < vertexCount; ++i) usable.push_back(uint16_t(i));
    std::shuffle(usable.begin(), usable.end(), random);
    usable.resize(usedCount);
    for (int i = 0; i < triangleCount * 3; ++i) mesh.indices.push_back(usable[random() % usable.size()]);
    return mesh;
}

std::vector<uint32_t> Corner(const std::vector<uint32_t>& vertices, uint16_t index) {
    return {vertices.begin() + index * STRIDE, vertices.begin() + (index + 1) * STRIDE};
}

class StripPipeline : public LibraryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StripPipeline, StrippedMeshDrawsTheSameTrianglesWithOnlyUsedVertices) {
    const bool byCounting = GetParam();
    const Mesh mesh = RandomMesh(byCounting ? 3 : 4, 5000, 9000, 3000);
    JobSystem jobs(library(), 2);
    JobBuffer<int32_t> used(std::vector<int32_t>(mesh.vertices.size() / STRIDE, 0));
    JobBuffer<uint16_t> indexBuffer(mesh.indices);
    JobValue<int32_t> highest(-1);
    const int32_t indexCount = int32_t(mesh.indices.size());
    if (byCounting) {
        host::ParallelForOptions options;
        options.batchSize = 100;
        jobs.Run(MakeCountVertexReferencesRecord(used, indexBuffer), indexCount, options);
        highest.value = int32_t(used.elements.size()) - 1;
    } else {
        auto marking = MakeMarkUsedVerticesRecord(used, indexBuffer, highest);
        jobs.Run(marking);
    }
    for (uint16_t index : mesh.indices)
        ASSERT_GT(used.elements[index], 0) << "vertex " << index << " is named but not flagged";

    JobBuffer<uint32_t> packed(std::vector<uint32_t>(mesh.vertices.size())), source(mesh.vertices);
    JobValue<int32_t> count(-1);
    auto compaction = MakeCompactVerticesRecord(used, packed, source, count, STRIDE, highest.value);
    jobs.Run(compaction);
    const int32_t vertexCount = count.value;
    const std::set<uint16_t> distinct(mesh.indices.begin(), mesh.indices.end());
    EXPECT_EQ(vertexCount, int32_t(distinct.size()));

    jobs.Run(MakeRemapIndicesRecord(indexBuffer, used), indexCount);
    const std::vector<uint16_t>& indices = indexBuffer.elements;
    std::vector<bool> referenced(vertexCount, false);
    for (size_t i = 0; i < indices.size(); ++i) {
        ASSERT_LT(indices[i], vertexCount);
        referenced[indices[i]] = true;
        ASSERT_EQ(Corner(packed.elements, indices[i]), Corner(mesh.vertices, mesh.indices[i])) << "corner " << i;
    }
    EXPECT_EQ(std::count(referenced.begin(), referenced.end(), false), 0) << "no unused vertex is left";
}

INSTANTIATE_TEST_SUITE_P(MarkingOrCounting, StripPipeline, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Counting" : "Marking"; });

}  // namespace
}  // namespace meshjobs::testing
