// Vertex layouts as the user names them (a preset or a short text form) and
// as the conversion job reads them (one 32-bit descriptor per slot).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "meshjobs/records.h"

namespace meshjobs::tool {

enum Slot : int { POSITION = 0, NORMAL = 1, TANGENT = 2, COLOR = 3, UV0 = 4 };
inline constexpr int UV_SET_COUNT = 8;

enum Format : uint8_t { UNORM8 = 1, SNORM8 = 2, FLOAT16 = 3, FLOAT32 = 4 };

struct AttributeFormat {
    uint8_t format = FLOAT32;
    uint8_t dimension = 0;  // 0 in a preset: as many components as the mesh has
    uint8_t stream = 0;
};

struct Layout {
    std::string name;
    std::array<std::optional<AttributeFormat>, ATTRIBUTE_SLOT_COUNT> slots;
};

uint32_t PackDescriptor(uint8_t dimension, uint8_t format, uint8_t offset, uint8_t stream);

struct Descriptor {
    uint8_t dimension, format, offset, stream;
};
Descriptor UnpackDescriptor(uint32_t descriptor);

std::string SlotName(int slot);                       // "position", ..., "uv7"
std::optional<int> SlotByName(const std::string& name);
std::string FormatName(uint8_t format);               // "UNorm8", "SNorm8", "Float16", "Float32"
int ComponentSize(uint8_t format);

// "full", "compact", "gltf", or a comma-separated list of slot:format[xN][@stream],
// e.g. "position:f32x3,normal:snorm8x4,color:unorm8x4@1,uv0:f16x2@1".
// Throws std::invalid_argument with a one-line reason.
Layout ParseLayout(const std::string& text);
Layout FullLayout();
Layout CompactLayout();
// What glTF 2.0 with quantised attributes describes: Float32x3 position,
// SNorm8x4 normal (read as three bytes) and tangent, UNorm8x4 color,
// Float32x2 UV sets.
Layout GltfLayout();
std::string LayoutText(const Layout& layout);

// Why the job could not store this attribute as asked, or empty if it can.
std::string CheckAttributeFormat(int slot, const AttributeFormat& format);

}  // namespace meshjobs::tool
