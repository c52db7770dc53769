// Marking (or counting), compaction and remapping together strip the unused
// vertices of a mesh and leave it drawing the same triangles.
#include <random>
#include <set>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::SafetyCell;

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
    SafetyCell usedCell, indicesCell, valueCell, vertexCell;

    std::vector<int32_t> used(mesh.vertices.size() / STRIDE, 0);
    std::vector<uint16_t> indices = mesh.indices;
    int32_t highest = -1;
    if (byCounting) {
        host::ParallelForOptions options;
        options.batchSize = 100;
        jobs.Run(CountVertexReferencesRecord{host::MakeView(used.data(), int32_t(used.size()), usedCell),
                                             host::MakeView(indices.data(), int32_t(indices.size()), indicesCell)},
                 int32_t(indices.size()), options);
        highest = int32_t(used.size()) - 1;
    } else {
        MarkUsedVerticesRecord marking{host::MakeView(used.data(), int32_t(used.size()), usedCell),
                                       host::MakeView(indices.data(), int32_t(indices.size()), indicesCell),
                                       host::MakeValueRef(&highest, valueCell)};
        jobs.Run(marking);
    }
    for (uint16_t index : mesh.indices) ASSERT_GT(used[index], 0) << "vertex " << index << " is named but not flagged";

    std::vector<uint32_t> packed(mesh.vertices.size());
    std::vector<uint32_t> source = mesh.vertices;
    int32_t vertexCount = -1;
    CompactVerticesRecord compaction{host::MakeView(used.data(), int32_t(used.size()), usedCell),
                                     host::MakeView(packed.data(), int32_t(packed.size()), vertexCell),
                                     host::MakeView(source.data(), int32_t(source.size()), vertexCell),
                                     host::MakeValueRef(&vertexCount, valueCell), STRIDE, highest};
    jobs.Run(compaction);
    const std::set<uint16_t> distinct(mesh.indices.begin(), mesh.indices.end());
    EXPECT_EQ(vertexCount, int32_t(distinct.size()));

    jobs.Run(RemapIndicesRecord{host::MakeView(indices.data(), int32_t(indices.size()), indicesCell),
                                host::MakeView(used.data(), int32_t(used.size()), usedCell)},
             int32_t(indices.size()));
    std::vector<bool> referenced(vertexCount, false);
    for (size_t i = 0; i < indices.size(); ++i) {
        ASSERT_LT(indices[i], vertexCount);
        referenced[indices[i]] = true;
        ASSERT_EQ(Corner(packed, indices[i]), Corner(mesh.vertices, mesh.indices[i])) << "corner " << i;
    }
    EXPECT_EQ(std::count(referenced.begin(), referenced.end(), false), 0) << "no unused vertex is left";
}

INSTANTIATE_TEST_SUITE_P(MarkingOrCounting, StripPipeline, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Counting" : "Marking"; });

}  // namespace
}  // namespace meshjobs::testing
