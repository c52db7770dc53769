// Converting a mesh's vertices into a layout with the conversion job, reading
// the result back, and writing it out for an engine.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "toolkit/jobs.h"
#include "toolkit/layout.h"
#include "toolkit/output_files.h"

namespace meshjobs::tool {

// One mesh's vertex attributes as floats, whatever file they came from.
struct MeshAttributes {
    std::string name;
    int32_t vertexCount = 0;
    std::vector<float> positions;  // 3 per vertex
    std::vector<float> normals;    // 3 per vertex, or empty
    std::vector<float> tangents;   // 4 per vertex (w is the handedness), or empty
    std::vector<float> colors;     // 4 per vertex, or empty
    std::array<std::vector<float>, UV_SET_COUNT> uvs;
    std::array<int, UV_SET_COUNT> uvComponents{};  // per vertex in uvs[k]; 0 when absent
    std::vector<uint32_t> indices;
    int primitiveSize = 3;  // indices per primitive, when all primitives agree; 0 when mixed

    // Components per vertex the mesh holds for a slot; 0 when absent.
    int Components(int slot) const;
    const std::vector<float>& Values(int slot) const;
};

// The layout fitted to one mesh: slots the mesh lacks are left out, offsets
// packed in slot order within each stream.
struct MeshLayout {
    std::array<uint32_t, ATTRIBUTE_SLOT_COUNT> destination{};
    std::array<uint32_t, ATTRIBUTE_SLOT_COUNT> source{};
    std::array<int32_t, 2> destinationStrides{};
    std::array<int32_t, 2> sourceStrides{};
};
// Throws std::invalid_argument when the mesh's data cannot take the layout.
MeshLayout FitLayout(const Layout& layout, const MeshAttributes& mesh);

struct ConvertedMesh {
    MeshLayout layout;
    std::array<std::vector<uint8_t>, 2> streams;
    int32_t vertexCount = 0;
};

// positionMatrix transforms positions (and tangents, without translation);
// normals get the inverse transpose of its upper 3x3. Throws
// std::invalid_argument for a singular matrix.
ConvertedMesh ConvertMesh(Jobs& jobs, const MeshAttributes& mesh, const Layout& layout,
                          const Float4x4& positionMatrix);

// The upper 3x3 inverse in the arrangement the normal transform expects.
Float4x4 NormalMatrixFor(const Float4x4& positionMatrix);

struct AttributeCheck {
    int slot = 0;
    uint8_t format = 0;
    int dimension = 0;
    double largestError = 0;  // or, if some component broke its bound, the worst of those
    double bound = 0;         // the format's allowance at that component's value
    bool within = true;    // every compared component within its own bound
    int64_t compared = 0;
    int64_t skipped = 0;   // components with no finite expected value (or no unit form)
};

// Decodes the destination streams and compares every attribute with the
// source, transformed as the job transforms it.
std::vector<AttributeCheck> VerifyConversion(const ConvertedMesh& converted, const MeshAttributes& mesh,
                                             const Float4x4& positionMatrix);

float HalfToFloat(uint16_t half);

// Parses 16 numbers, column by column, separated by commas or spaces.
Float4x4 ParseMatrix(const std::string& text);

struct ManifestEntry {
    std::string name;
    int32_t vertexCount = 0;
    MeshLayout layout;
    std::array<std::string, 2> streamFiles;  // empty where the stream is unused
    std::string indexFile;                   // empty when no indices were written
    std::string indexFormat;                 // "UInt16" or "UInt32"
    int64_t indexCount = 0;
    int primitiveSize = 3;
};

// Stages mesh<k>.stream<s>.bin and mesh<k>.indices.bin in `output` and
// returns what the manifest says about them.
ManifestEntry WriteConvertedMesh(StagedOutput& output, int meshIndex, const MeshAttributes& mesh,
                                 const ConvertedMesh& converted);

// The manifest describing the written files, as JSON text.
std::string ManifestJson(const std::string& source, const Layout& layout, const Float4x4& positionMatrix,
                         const std::vector<ManifestEntry>& meshes);

}  // namespace meshjobs::tool
