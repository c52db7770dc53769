#include "toolkit/layout.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace meshjobs::tool {

uint32_t PackDescriptor(uint8_t dimension, uint8_t format, uint8_t offset, uint8_t stream) {
    return PackAttribute(dimension, format, offset, stream);
}

Descriptor UnpackDescriptor(uint32_t d) {
    return {uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)};
}

std::string SlotName(int slot) {
    static const char* const names[] = {"position", "normal", "tangent", "color"};
    if (slot >= 0 && slot < UV0) return names[slot];
    return "uv" + std::to_string(slot - UV0);
}

std::optional<int> SlotByName(const std::string& name) {
    for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot)
        if (SlotName(slot) == name) return slot;
    if (name == "colour") return COLOR;
    return std::nullopt;
}

std::string FormatName(uint8_t format) {
    switch (format) {
        case UNORM8: return "UNorm8";
        case SNORM8: return "SNorm8";
        case FLOAT16: return "Float16";
        case FLOAT32: return "Float32";
    }
    return "format " + std::to_string(format);
}

int ComponentSize(uint8_t format) {
    switch (format) {
        case UNORM8:
        case SNORM8: return 1;
        case FLOAT16: return 2;
        default: return 4;
    }
}

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::optional<uint8_t> FormatByName(const std::string& name) {
    if (name == "unorm8" || name == "u8") return UNORM8;
    if (name == "snorm8" || name == "s8") return SNORM8;
    if (name == "f16" || name == "half" || name == "float16") return FLOAT16;
    if (name == "f32" || name == "float" || name == "float32") return FLOAT32;
    return std::nullopt;
}

std::string ShortFormatName(uint8_t format) {
    switch (format) {
        case UNORM8: return "unorm8";
        case SNORM8: return "snorm8";
        case FLOAT16: return "f16";
        default: return "f32";
    }
}

AttributeFormat Parse(const std::string& item, int& slot) {
    const auto colon = item.find(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("layout entry '" + item + "' needs the form slot:format[xN][@stream]");
    const std::string slotName = item.substr(0, colon);
    std::string rest = item.substr(colon + 1);
    const auto named = SlotByName(slotName);
    if (!named) throw std::invalid_argument("unknown attribute '" + slotName + "' (position, normal, tangent, color, uv0..uv7)");
    slot = *named;

    AttributeFormat result;
    if (const auto at = rest.find('@'); at != std::string::npos) {
        const std::string stream = rest.substr(at + 1);
        if (stream != "0" && stream != "1")
            throw std::invalid_argument("stream of '" + item + "' must be @0 or @1");
        result.stream = static_cast<uint8_t>(stream[0] - '0');
        rest.resize(at);
    }
    std::string formatName = rest;
    if (const auto x = rest.rfind('x'); x != std::string::npos && x + 1 < rest.size() &&
                                        std::isdigit(static_cast<unsigned char>(rest[x + 1]))) {
        formatName = rest.substr(0, x);
        const std::string count = rest.substr(x + 1);
        if (count.size() != 1 || count[0] < '1' || count[0] > '4')
            throw std::invalid_argument("component count of '" + item + "' must be 1 to 4");
        result.dimension = static_cast<uint8_t>(count[0] - '0');
    }
    const auto format = FormatByName(formatName);
    if (!format) throw std::invalid_argument("unknown format '" + formatName + "' in '" + item + "' (unorm8, snorm8, f16, f32)");
    result.format = *format;
    if (result.dimension == 0) throw std::invalid_argument("'" + item + "' needs a component count, e.g. " + slotName + ":" + formatName + "x2");
    return result;
}

}  // namespace

std::string CheckAttributeFormat(int slot, const AttributeFormat& f) {
    const int bytes = f.dimension * ComponentSize(f.format);
    switch (slot) {
        case POSITION:
            if (f.format != FLOAT32 || f.dimension != 3 || f.stream != 0)
                return "position is always f32x3 in stream 0";
            return {};
        case NORMAL:
            if ((f.format == FLOAT32 && f.dimension == 3) || (f.format == FLOAT16 && f.dimension == 4) ||
                (f.format == SNORM8 && f.dimension == 4))
                return {};
            return "normal must be f32x3, f16x4 or snorm8x4";
        case TANGENT:
            if (f.dimension == 4 && f.format != UNORM8) return {};
            return "tangent must be f32x4, f16x4 or snorm8x4";
        case COLOR:
            if (bytes == 4 || bytes == 8 || bytes == 16) return {};
            return "color must take 4, 8 or 16 bytes (e.g. unorm8x4, f16x4, f32x4)";
        default:
            if (f.dimension == 0 || bytes == 4 || bytes == 8 || bytes == 12 || bytes == 16) return {};
            return SlotName(slot) + " must take 4, 8, 12 or 16 bytes (e.g. f16x2, f32x2, unorm8x4)";
    }
}

Layout FullLayout() {
    Layout layout{"full", {}};
    layout.slots[POSITION] = AttributeFormat{FLOAT32, 3, 0};
    layout.slots[NORMAL] = AttributeFormat{FLOAT32, 3, 0};
    layout.slots[TANGENT] = AttributeFormat{FLOAT32, 4, 0};
    layout.slots[COLOR] = AttributeFormat{FLOAT32, 4, 1};
    for (int k = 0; k < UV_SET_COUNT; ++k) layout.slots[UV0 + k] = AttributeFormat{FLOAT32, 0, 1};
    return layout;
}

Layout CompactLayout() {
    Layout layout{"compact", {}};
    layout.slots[POSITION] = AttributeFormat{FLOAT32, 3, 0};
    layout.slots[NORMAL] = AttributeFormat{SNORM8, 4, 0};
    layout.slots[TANGENT] = AttributeFormat{SNORM8, 4, 0};
    layout.slots[COLOR] = AttributeFormat{UNORM8, 4, 1};
    for (int k = 0; k < UV_SET_COUNT; ++k) layout.slots[UV0 + k] = AttributeFormat{FLOAT16, 2, 1};
    return layout;
}

// The compact layout as glTF can describe it: texture coordinates as singles,
// since glTF has no half-precision accessors.
Layout GltfLayout() {
    Layout layout = CompactLayout();
    layout.name = "gltf";
    for (int k = 0; k < UV_SET_COUNT; ++k) layout.slots[UV0 + k] = AttributeFormat{FLOAT32, 2, 1};
    return layout;
}

Layout ParseLayout(const std::string& text) {
    const std::string lowered = Lower(text);
    if (lowered == "full") return FullLayout();
    if (lowered == "compact") return CompactLayout();
    if (lowered == "gltf") return GltfLayout();

    Layout layout{text, {}};
    std::string item;
    std::istringstream items(lowered);
    bool any = false;
    while (std::getline(items, item, ',')) {
        item.erase(std::remove_if(item.begin(), item.end(), [](unsigned char c) { return std::isspace(c); }),
                   item.end());
        if (item.empty()) continue;
        int slot = 0;
        const AttributeFormat format = Parse(item, slot);
        if (layout.slots[slot]) throw std::invalid_argument(SlotName(slot) + " appears twice in the layout");
        if (const std::string why = CheckAttributeFormat(slot, format); !why.empty())
            throw std::invalid_argument(why + ", not '" + item + "'");
        layout.slots[slot] = format;
        any = true;
    }
    if (!any) throw std::invalid_argument("empty layout: use full, compact, gltf or slot:format entries");
    if (!layout.slots[POSITION]) layout.slots[POSITION] = AttributeFormat{FLOAT32, 3, 0};
    return layout;
}

std::string LayoutText(const Layout& layout) {
    std::string text;
    for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
        const auto& f = layout.slots[slot];
        if (!f) continue;
        if (!text.empty()) text += ',';
        text += SlotName(slot);
        text += ':';
        text += ShortFormatName(f->format);
        if (f->dimension) {
            text += 'x';
            text += std::to_string(f->dimension);
        }
        text += '@';
        text += std::to_string(f->stream);
    }
    return text;
}

}  // namespace meshjobs::tool
