#include "toolkit/gltf_accessors.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "toolkit/gltf_json.h"

namespace meshjobs::tool {

int ComponentSize(int componentType) {
    switch (componentType) {
        case GLTF_BYTE:
        case GLTF_UNSIGNED_BYTE: return 1;
        case GLTF_SHORT:
        case GLTF_UNSIGNED_SHORT: return 2;
        case GLTF_UNSIGNED_INT:
        case GLTF_FLOAT: return 4;
        default: return 0;
    }
}

int ComponentCount(const std::string& type) {
    static const std::pair<const char*, int> COUNTS[] = {{"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3}, {"VEC4", 4},
                                                         {"MAT2", 4},   {"MAT3", 9}, {"MAT4", 16}};
    for (const auto& [name, count] : COUNTS)
        if (type == name) return count;
    return 0;
}

namespace {

// Decoding more than this many components at once is refused rather than
// attempted: an accessor without a buffer view can claim any count.
constexpr uint64_t MAX_COMPONENTS = uint64_t{1} << 31;

std::string AccessorName(int index) { return "accessor " + std::to_string(index); }

struct Layout {
    int componentType = 0;
    uint64_t componentSize = 0;
    int rows = 0, columns = 0;   // a vector is one column
    uint64_t columnStride = 0;   // matrix columns are padded to 4 bytes, the last one too
    uint64_t elementSize = 0;
    uint64_t count = 0;
    bool normalized = false;
    int components() const { return rows * columns; }
};

Layout LayoutOf(const GltfJson& accessor, const std::string& where) {
    Layout layout;
    layout.componentType = static_cast<int>(gltf::Number(accessor, "componentType", where));
    layout.componentSize = static_cast<uint64_t>(ComponentSize(layout.componentType));
    if (layout.componentSize == 0)
        throw std::runtime_error(where + ": unknown componentType " + std::to_string(layout.componentType));
    const auto type = accessor.find("type");
    const int components = type != accessor.end() && type->is_string() ? ComponentCount(type->get<std::string>()) : 0;
    if (components == 0) throw std::runtime_error(where + ": unknown or missing type");
    const bool matrix = type->get<std::string>().rfind("MAT", 0) == 0;
    layout.columns = matrix ? (components == 4 ? 2 : components == 9 ? 3 : 4) : 1;
    layout.rows = components / layout.columns;
    const uint64_t column = static_cast<uint64_t>(layout.rows) * layout.componentSize;
    layout.columnStride = matrix ? (column + 3) / 4 * 4 : column;
    layout.elementSize = layout.columnStride * static_cast<uint64_t>(layout.columns);
    layout.count = gltf::Number(accessor, "count", where);
    const auto normalized = accessor.find("normalized");
    layout.normalized = normalized != accessor.end() && normalized->is_boolean() && normalized->get<bool>();
    if (layout.count > MAX_COMPONENTS / static_cast<uint64_t>(components))
        throw std::runtime_error(where + ": count " + std::to_string(layout.count) + " is too large");
    return layout;
}

// Where `count` elements of `elementSize` bytes start inside a buffer view,
// checked to lie inside it (and the view inside its buffer).
struct Span {
    const uint8_t* data = nullptr;
    uint64_t stride = 0;
};

Span SpanOf(const GltfDocument& document, uint64_t viewIndex, uint64_t byteOffset, uint64_t count,
            uint64_t elementSize, bool strided, const std::string& where) {
    const GltfJson& view = gltf::Item(document.json, "bufferViews", viewIndex, where);
    const std::string viewName = "buffer view " + std::to_string(viewIndex);
    const uint64_t bufferIndex = gltf::Number(view, "buffer", viewName);
    const uint64_t viewOffset = gltf::Number(view, "byteOffset", viewName, 0);
    const uint64_t viewLength = gltf::Number(view, "byteLength", viewName);
    const uint64_t stride = strided ? gltf::Number(view, "byteStride", viewName, 0) : 0;
    if (bufferIndex >= document.buffers.size())
        throw std::runtime_error(viewName + " refers to buffer " + std::to_string(bufferIndex) + ", which is missing");
    const std::vector<uint8_t>& buffer = document.buffers[bufferIndex];
    if (viewOffset > buffer.size() || viewLength > buffer.size() - viewOffset)
        throw std::runtime_error(viewName + " reaches past the end of buffer " + std::to_string(bufferIndex));
    if (stride != 0 && stride < elementSize)
        throw std::runtime_error(where + ": byteStride " + std::to_string(stride) + " is shorter than an element");
    const uint64_t step = stride != 0 ? stride : elementSize;
    // count is at most 2^31 and step at most 2^32, so the product fits.
    const uint64_t end = count == 0 ? byteOffset : byteOffset + (count - 1) * step + elementSize;
    if (byteOffset > viewLength || end > viewLength)
        throw std::runtime_error(where + " reaches past the end of " + viewName + " (needs " + std::to_string(end) +
                                 " bytes, it has " + std::to_string(viewLength) + ")");
    return {buffer.data() + viewOffset + byteOffset, step};
}

uint32_t LittleEndian(const uint8_t* p, uint64_t size) {
    uint32_t value = 0;
    for (uint64_t i = size; i-- > 0;) value = (value << 8) | p[i];
    return value;
}

float FloatComponent(const uint8_t* p, int componentType, bool normalized) {
    switch (componentType) {
        case GLTF_FLOAT: return std::bit_cast<float>(LittleEndian(p, 4));
        case GLTF_UNSIGNED_BYTE: return normalized ? p[0] / 255.0f : p[0];
        case GLTF_UNSIGNED_SHORT: {
            const float c = static_cast<float>(LittleEndian(p, 2));
            return normalized ? c / 65535.0f : c;
        }
        case GLTF_UNSIGNED_INT: {
            const uint32_t c = LittleEndian(p, 4);
            return normalized ? static_cast<float>(static_cast<double>(c) / 4294967295.0) : static_cast<float>(c);
        }
        case GLTF_BYTE: {
            const float c = static_cast<int8_t>(p[0]);
            return normalized ? std::max(c / 127.0f, -1.0f) : c;
        }
        default: {  // GLTF_SHORT
            const float c = static_cast<int16_t>(LittleEndian(p, 2));
            return normalized ? std::max(c / 32767.0f, -1.0f) : c;
        }
    }
}

// Runs put(component index, bytes) over every component the accessor holds,
// base values first, then sparse ones over them.
template <class Put>
Layout Walk(const GltfDocument& document, int index, Put put) {
    const std::string where = AccessorName(index);
    const GltfJson& accessor = gltf::Item(document.json, "accessors", static_cast<uint64_t>(index), where);
    const Layout layout = LayoutOf(accessor, where);
    const int components = layout.components();
    auto putElement = [&](uint64_t element, const uint8_t* at) {
        for (int c = 0; c < layout.columns; ++c)
            for (int r = 0; r < layout.rows; ++r)
                put(element * components + static_cast<uint64_t>(c * layout.rows + r),
                    at + c * layout.columnStride + r * layout.componentSize, layout);
    };
    if (accessor.contains("bufferView")) {
        const Span span = SpanOf(document, gltf::Number(accessor, "bufferView", where),
                                 gltf::Number(accessor, "byteOffset", where, 0), layout.count, layout.elementSize,
                                 true, where);
        for (uint64_t i = 0; i < layout.count; ++i) putElement(i, span.data + i * span.stride);
    }
    const auto sparse = accessor.find("sparse");
    if (sparse == accessor.end()) return layout;
    const std::string sparseWhere = where + " (sparse)";
    if (!sparse->is_object()) throw std::runtime_error(sparseWhere + " is not an object");
    const uint64_t sparseCount = gltf::Number(*sparse, "count", sparseWhere);
    if (sparseCount > layout.count)
        throw std::runtime_error(sparseWhere + ": more sparse values than elements");
    const auto indices = sparse->find("indices");
    const auto values = sparse->find("values");
    if (indices == sparse->end() || !indices->is_object() || values == sparse->end() || !values->is_object())
        throw std::runtime_error(sparseWhere + " lacks indices or values");
    const int indexType = static_cast<int>(gltf::Number(*indices, "componentType", sparseWhere));
    if (indexType != GLTF_UNSIGNED_BYTE && indexType != GLTF_UNSIGNED_SHORT && indexType != GLTF_UNSIGNED_INT)
        throw std::runtime_error(sparseWhere + ": indices are not of an unsigned integer type");
    const uint64_t indexSize = static_cast<uint64_t>(ComponentSize(indexType));
    const Span indexSpan = SpanOf(document, gltf::Number(*indices, "bufferView", sparseWhere),
                                  gltf::Number(*indices, "byteOffset", sparseWhere, 0), sparseCount, indexSize, false,
                                  sparseWhere + " indices");
    const Span valueSpan = SpanOf(document, gltf::Number(*values, "bufferView", sparseWhere),
                                  gltf::Number(*values, "byteOffset", sparseWhere, 0), sparseCount,
                                  layout.elementSize, false, sparseWhere + " values");
    for (uint64_t k = 0; k < sparseCount; ++k) {
        const uint64_t element = LittleEndian(indexSpan.data + k * indexSize, indexSize);
        if (element >= layout.count)
            throw std::runtime_error(sparseWhere + ": index " + std::to_string(element) + " is past the last element");
        putElement(element, valueSpan.data + k * valueSpan.stride);
    }
    return layout;
}

Layout LayoutAt(const GltfDocument& document, int index) {
    const std::string where = AccessorName(index);
    return LayoutOf(gltf::Item(document.json, "accessors", static_cast<uint64_t>(index), where), where);
}

size_t ComponentsIn(const Layout& layout) { return static_cast<size_t>(layout.count) * layout.components(); }

}  // namespace

void CheckAccessor(const GltfDocument& document, int accessor) {
    Walk(document, accessor, [](uint64_t, const uint8_t*, const Layout&) {});
}

std::vector<float> AccessorFloats(const GltfDocument& document, int accessor) {
    std::vector<float> values(ComponentsIn(LayoutAt(document, accessor)));
    Walk(document, accessor, [&](uint64_t at, const uint8_t* p, const Layout& layout) {
        values[at] = FloatComponent(p, layout.componentType, layout.normalized);
    });
    return values;
}

std::vector<uint32_t> AccessorUints(const GltfDocument& document, int accessor) {
    const Layout layout = LayoutAt(document, accessor);
    if (layout.componentType != GLTF_UNSIGNED_BYTE && layout.componentType != GLTF_UNSIGNED_SHORT &&
        layout.componentType != GLTF_UNSIGNED_INT)
        throw std::runtime_error(AccessorName(accessor) + " does not hold unsigned integers");
    std::vector<uint32_t> values(ComponentsIn(layout));
    Walk(document, accessor, [&](uint64_t at, const uint8_t* p, const Layout&) {
        values[at] = LittleEndian(p, layout.componentSize);
    });
    return values;
}

uint64_t AccessorElementSize(const GltfDocument& document, int accessor) {
    return LayoutAt(document, accessor).elementSize;
}

std::vector<uint8_t> AccessorBytes(const GltfDocument& document, int accessor) {
    const Layout layout = LayoutAt(document, accessor);
    std::vector<uint8_t> bytes(static_cast<size_t>(layout.count * layout.elementSize), 0);
    const uint64_t components = static_cast<uint64_t>(layout.components());
    Walk(document, accessor, [&](uint64_t at, const uint8_t* p, const Layout&) {
        const uint64_t k = at % components;
        const uint64_t offset = at / components * layout.elementSize + k / layout.rows * layout.columnStride +
                                k % layout.rows * layout.componentSize;
        std::copy(p, p + layout.componentSize, bytes.begin() + static_cast<ptrdiff_t>(offset));
    });
    return bytes;
}

namespace {

// min and max over the values as stored (normalized or not), integers for
// integer types.
void PutBounds(GltfDocument& document, int index) {
    const Layout layout = LayoutAt(document, index);
    const int components = layout.components();
    std::vector<double> low(static_cast<size_t>(components), INFINITY), high(low.size(), -INFINITY);
    Walk(document, index, [&](uint64_t at, const uint8_t* p, const Layout&) {
        const double value = layout.componentType == GLTF_UNSIGNED_INT
                                 ? static_cast<double>(LittleEndian(p, 4))
                                 : static_cast<double>(FloatComponent(p, layout.componentType, false));
        low[at % components] = std::min(low[at % components], value);
        high[at % components] = std::max(high[at % components], value);
    });
    GltfJson& accessor = document.json["accessors"][static_cast<size_t>(index)];
    accessor["min"] = GltfJson::array();
    accessor["max"] = GltfJson::array();
    for (int c = 0; c < components; ++c) {
        if (layout.componentType == GLTF_FLOAT) {
            accessor["min"].push_back(static_cast<float>(low[c]));
            accessor["max"].push_back(static_cast<float>(high[c]));
        } else {
            accessor["min"].push_back(static_cast<int64_t>(low[c]));
            accessor["max"].push_back(static_cast<int64_t>(high[c]));
        }
    }
}

}  // namespace

int AddAccessorLike(GltfDocument& document, int like, const std::vector<uint8_t>& elements,
                    std::optional<int> target) {
    const Layout layout = LayoutAt(document, like);
    if (elements.empty() || elements.size() % layout.elementSize != 0)
        throw std::invalid_argument(std::to_string(elements.size()) + " bytes do not make whole elements of " +
                                    AccessorName(like));
    const GltfJson& original = document.json["accessors"][static_cast<size_t>(like)];
    GltfJson accessor = {{"componentType", layout.componentType},
                         {"count", elements.size() / layout.elementSize},
                         {"type", original["type"]}};
    if (layout.normalized) accessor["normalized"] = true;
    const bool hasBounds = original.contains("min") && original.contains("max");

    const size_t size = static_cast<size_t>(layout.elementSize);
    const size_t stride = target == GLTF_ARRAY_BUFFER ? (size + 3) / 4 * 4 : size;
    std::vector<uint8_t> bytes;
    if (stride == size) {
        bytes = elements;
    } else {
        bytes.resize(elements.size() / size * stride, 0);
        for (size_t e = 0; e < elements.size() / size; ++e)
            std::copy_n(elements.begin() + static_cast<ptrdiff_t>(e * size), size,
                        bytes.begin() + static_cast<ptrdiff_t>(e * stride));
    }
    accessor["bufferView"] =
        AddBufferView(document, std::move(bytes), stride == size ? 0 : static_cast<int>(stride), target);
    const int index = AddAccessor(document, std::move(accessor));
    if (hasBounds) PutBounds(document, index);
    return index;
}

namespace {

void PutLittleEndian(std::vector<uint8_t>& bytes, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

int ComponentsOf(const std::string& type, size_t values) {
    const int components = ComponentCount(type);
    if (components == 0) throw std::invalid_argument("unknown accessor type '" + type + "'");
    if (values == 0 || values % static_cast<size_t>(components) != 0)
        throw std::invalid_argument(std::to_string(values) + " values do not make whole " + type + " elements");
    return components;
}

int AddTyped(GltfDocument& document, std::vector<uint8_t> bytes, int byteStride, std::optional<int> target,
             GltfJson accessor) {
    accessor["bufferView"] = AddBufferView(document, std::move(bytes), byteStride, target);
    return AddAccessor(document, std::move(accessor));
}

}  // namespace

int AddIndexAccessor(GltfDocument& document, const std::vector<uint32_t>& indices, int componentType) {
    const int size = componentType == GLTF_UNSIGNED_INT ? 4 : componentType == GLTF_UNSIGNED_SHORT ? 2
                     : componentType == GLTF_UNSIGNED_BYTE ? 1 : 0;
    if (size == 0) throw std::invalid_argument("indices must be of an unsigned integer type");
    ComponentsOf("SCALAR", indices.size());
    const uint64_t largest = *std::max_element(indices.begin(), indices.end());
    if (size < 4 && largest >= (uint64_t{1} << (8 * size)))
        throw std::invalid_argument("index " + std::to_string(largest) + " does not fit the component type");
    std::vector<uint8_t> bytes;
    bytes.reserve(indices.size() * static_cast<size_t>(size));
    for (uint32_t index : indices) PutLittleEndian(bytes, index, size);
    return AddTyped(document, std::move(bytes), 0, GLTF_ELEMENT_ARRAY_BUFFER,
                    {{"componentType", componentType}, {"count", indices.size()}, {"type", "SCALAR"}});
}

int AddFloatAccessor(GltfDocument& document, const std::vector<float>& values, const std::string& type,
                     std::optional<int> target, bool bounds) {
    const size_t components = static_cast<size_t>(ComponentsOf(type, values.size()));
    std::vector<uint8_t> bytes;
    bytes.reserve(values.size() * 4);
    for (float value : values) PutLittleEndian(bytes, std::bit_cast<uint32_t>(value), 4);
    GltfJson accessor = {{"componentType", GLTF_FLOAT}, {"count", values.size() / components}, {"type", type}};
    if (bounds) {
        std::vector<float> low(values.begin(), values.begin() + static_cast<ptrdiff_t>(components)), high = low;
        for (size_t i = 0; i < values.size(); ++i) {
            low[i % components] = std::min(low[i % components], values[i]);
            high[i % components] = std::max(high[i % components], values[i]);
        }
        accessor["min"] = low;
        accessor["max"] = high;
    }
    return AddTyped(document, std::move(bytes), 0, target, std::move(accessor));
}

int AddNormalizedAccessor(GltfDocument& document, const std::vector<float>& values, const std::string& type,
                          int componentType) {
    if (componentType != GLTF_BYTE && componentType != GLTF_UNSIGNED_BYTE)
        throw std::invalid_argument("normalized values are stored as BYTE or UNSIGNED_BYTE");
    if (type.rfind("MAT", 0) == 0) throw std::invalid_argument("normalized values are scalars or vectors");
    const size_t components = static_cast<size_t>(ComponentsOf(type, values.size()));
    const size_t padded = (components + 3) / 4 * 4;
    const bool isSigned = componentType == GLTF_BYTE;
    std::vector<uint8_t> bytes;
    bytes.reserve(values.size() / components * padded);
    for (size_t i = 0; i < values.size(); ++i) {
        const float v = std::isnan(values[i]) ? 0.0f : std::clamp(values[i], isSigned ? -1.0f : 0.0f, 1.0f);
        const long q = std::lround(v * (isSigned ? 127.0f : 255.0f));
        bytes.push_back(static_cast<uint8_t>(q));  // two's complement for BYTE
        if (i % components == components - 1) bytes.resize(bytes.size() + padded - components, 0);
    }
    return AddTyped(document, std::move(bytes), padded == components ? 0 : static_cast<int>(padded),
                    GLTF_ARRAY_BUFFER,
                    {{"componentType", componentType}, {"normalized", true}, {"count", values.size() / components},
                     {"type", type}});
}

}  // namespace meshjobs::tool
