// glTF accessors: where their elements lie in a buffer view, read back as
// numbers, and new ones written from typed arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/gltf_document.h"

namespace meshjobs::tool {

enum GltfComponent : int {
    GLTF_BYTE = 5120,
    GLTF_UNSIGNED_BYTE = 5121,
    GLTF_SHORT = 5122,
    GLTF_UNSIGNED_SHORT = 5123,
    GLTF_UNSIGNED_INT = 5125,
    GLTF_FLOAT = 5126,
};

inline constexpr int GLTF_ARRAY_BUFFER = 34962;
inline constexpr int GLTF_ELEMENT_ARRAY_BUFFER = 34963;

// Bytes of one component; 0 for an unknown component type.
int ComponentSize(int componentType);
// Components of one element ("VEC3": 3, "MAT4": 16); 0 for an unknown type.
int ComponentCount(const std::string& type);

// Throws std::runtime_error when the accessor's elements (its sparse
// indices and values too) do not lie inside their buffer views.
void CheckAccessor(const GltfDocument& document, int accessor);

// Every component of every element, count × components, with `normalized`
// integers mapped to [0, 1] or [-1, 1] and sparse values applied. An
// accessor without a buffer view starts as zeros.
std::vector<float> AccessorFloats(const GltfDocument& document, int accessor);
// The same for unsigned integer accessors (indices, joints); refuses others.
std::vector<uint32_t> AccessorUints(const GltfDocument& document, int accessor);

// The elements exactly as stored (sparse values applied), tightly packed:
// element v at bytes [v * size, (v + 1) * size), size = AccessorElementSize
// (matrix columns keep their padding). For moving data without converting it.
uint64_t AccessorElementSize(const GltfDocument& document, int accessor);
std::vector<uint8_t> AccessorBytes(const GltfDocument& document, int accessor);

// A new accessor of the same componentType, type and normalized as `like`
// over `elements` (packed as AccessorBytes gives them), with min and max
// worked out afresh when `like` has them. Vertex data (target 34962) whose
// elements are not a multiple of 4 bytes gets a 4-byte aligned byteStride.
int AddAccessorLike(GltfDocument& document, int like, const std::vector<uint8_t>& elements, std::optional<int> target);

// New accessors, each in a buffer view of its own. Indices are stored as
// componentType (UNSIGNED_BYTE, UNSIGNED_SHORT or UNSIGNED_INT; each must
// fit). Floats get min and max when `bounds` is set (POSITION requires them).
// Normalized values are quantised to BYTE or UNSIGNED_BYTE, each element
// padded to 4 bytes as vertex data must be.
int AddIndexAccessor(GltfDocument& document, const std::vector<uint32_t>& indices, int componentType);
int AddFloatAccessor(GltfDocument& document, const std::vector<float>& values, const std::string& type,
                     std::optional<int> target, bool bounds);
int AddNormalizedAccessor(GltfDocument& document, const std::vector<float>& values, const std::string& type,
                          int componentType);

}  // namespace meshjobs::tool
