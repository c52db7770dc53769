// `convert` into glTF 2.0: each primitive's vertices converted by the job
// into interleaved streams that accessors describe in place (quantised
// attributes declared through KHR_mesh_quantization), either in a glTF
// document edited in place or in a fresh one built from meshes read
// elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/convert.h"
#include "toolkit/gltf_document.h"
#include "toolkit/jobs.h"
#include "toolkit/layout.h"

namespace meshjobs::tool {

// How a glTF accessor describes a slot stored as format × dimension.
struct GltfAttributeType {
    int componentType = 0;
    bool normalized = false;
    int components = 0;  // 3 for an SNorm8x4 normal: its fourth byte is padding
};
std::optional<GltfAttributeType> GltfAttributeTypeOf(int slot, uint8_t format, int dimension);

// "POSITION", "NORMAL", "TANGENT", "COLOR_0", "TEXCOORD_k".
std::string GltfAttributeName(int slot);

// The layout as glTF output takes it (a preset's UV sets as two components).
// Throws std::invalid_argument naming the first attribute glTF cannot
// describe and the preset that fits.
Layout GltfReadyLayout(const Layout& layout);

// One set of vertices converted: what went in, what the job made of it, and
// how far the two are apart.
struct GltfVertexSet {
    std::string label;  // "mesh 0 primitive 1"
    MeshAttributes source;
    ConvertedMesh converted;
    std::vector<AttributeCheck> checks;
};

// A written primitive and what it must read back as.
struct GltfWrittenPrimitive {
    size_t mesh = 0, primitive = 0;
    std::shared_ptr<const GltfVertexSet> vertices;
    std::optional<std::vector<uint32_t>> indices;  // none: not indexed
};

struct GltfConversion {
    int64_t primitives = 0;
    int64_t vertices = 0;     // over the converted vertex sets
    int64_t streamBytes = 0;
    std::vector<std::shared_ptr<const GltfVertexSet>> sets;
    std::vector<GltfWrittenPrimitive> written;
    std::vector<std::string> notes;  // primitives passed through, windings left as they were
};

// Converts every primitive of a glTF 2.0 document in place. Attributes
// outside the layout's slots, morph targets and everything else stay as they
// were; primitives sharing their vertices share the converted ones. A
// mirroring matrix reverses the winding of indexed triangle lists. Throws
// std::runtime_error naming the primitive.
GltfConversion ConvertGltf(GltfDocument& document, Jobs& jobs, const Layout& layout, const Float4x4& matrix);

// A fresh glTF 2.0 document holding each mesh as a mesh of one primitive,
// a node per mesh and one scene.
GltfConversion BuildGltf(GltfDocument& document, const std::vector<MeshAttributes>& meshes, Jobs& jobs,
                         const Layout& layout, const Float4x4& matrix);

// Throws std::runtime_error when a written primitive of `back` (the output
// read again) does not hold exactly the converted vertices and the indices.
void CheckWrittenGltf(const GltfDocument& back, const GltfConversion& conversion);

}  // namespace meshjobs::tool
