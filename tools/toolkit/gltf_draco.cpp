#include "toolkit/gltf_draco.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_json.h"
#include "toolkit/gltf_strip.h"
#include "toolkit/modules.h"

namespace meshjobs::tool {

namespace {

const char* const DRACO = "KHR_draco_mesh_compression";
constexpr int64_t POINTS = 0;
constexpr int64_t TRIANGLES = 4;

std::string Decimal(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Decoded by the Draco module, loaded here on first use.
std::unique_ptr<DracoGeometry> Decode(const GltfDocument& document, uint64_t viewIndex, bool triangles,
                                      const std::string& where) {
    const std::string viewName = "buffer view " + std::to_string(viewIndex);
    const GltfJson& view = gltf::Item(document.json, "bufferViews", viewIndex, where);
    // The reader has checked that the view lies inside its buffer.
    const uint64_t buffer = gltf::Number(view, "buffer", viewName);
    const uint64_t offset = gltf::Number(view, "byteOffset", viewName, 0);
    const uint64_t length = gltf::Number(view, "byteLength", viewName);
    auto geometry = std::make_unique<DracoGeometry>();
    DracoModule().decode(document.buffers[buffer].data() + offset, static_cast<size_t>(length), triangles, *geometry);
    if (geometry->status == DracoGeometry::NotTriangles)
        throw std::runtime_error(where + ": " + viewName + " holds a point cloud, not triangles");
    if (geometry->status != DracoGeometry::Decoded)
        throw std::runtime_error(where + ": " + viewName + " does not decode (" + geometry->failure + ")");
    if (geometry->points == 0) throw std::runtime_error(where + ": " + viewName + " decodes to no vertices");
    return geometry;
}

// The smallest and largest value of an integer component type.
std::pair<double, double> RangeOf(int componentType) {
    switch (componentType) {
        case GLTF_BYTE: return {-128, 127};
        case GLTF_UNSIGNED_BYTE: return {0, 255};
        case GLTF_SHORT: return {-32768, 32767};
        case GLTF_UNSIGNED_SHORT: return {0, 65535};
        default: return {0, 4294967295.0};  // GLTF_UNSIGNED_INT
    }
}

void PutLittleEndian(std::vector<uint8_t>& bytes, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The decoded values of one attribute as the accessor declares them,
// elements packed as AccessorBytes gives them.
std::vector<uint8_t> AttributeBytes(const DracoAttribute& attribute, uint32_t points, const GltfJson& accessor,
                                    const std::string& where) {
    const int componentType = static_cast<int>(gltf::Number(accessor, "componentType", where));
    const int size = ComponentSize(componentType);
    const std::string type = accessor.value("type", "");
    const int components = type == "SCALAR" || type.rfind("VEC", 0) == 0 ? ComponentCount(type) : 0;
    if (size == 0 || components == 0)
        throw std::runtime_error(where + ": its accessor is of componentType " + std::to_string(componentType) +
                                 " and type '" + type + "', which compressed data cannot fill");
    if (attribute.components != components)
        throw std::runtime_error(where + ": " + std::to_string(attribute.components) +
                                 " components decoded, its accessor has " + std::to_string(components));
    if (!attribute.knownType) throw std::runtime_error(where + ": decoded values of an unknown type");
    const bool isFloat = attribute.isFloat;
    const bool normalized = accessor.value("normalized", false);
    const double scale = attribute.normalizedScale;
    const auto [low, high] = RangeOf(componentType);

    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(points) * components * size);
    for (uint32_t p = 0; p < points; ++p) {
        if (p == attribute.firstMissing)
            throw std::runtime_error(where + ": vertex " + std::to_string(p) + " has no decoded value");
        const double* values = attribute.values.data() + static_cast<size_t>(p) * components;
        for (int c = 0; c < components; ++c) {
            const double value = values[c];
            if (componentType == GLTF_FLOAT) {
                const double real = scale != 0 ? std::max(value / scale, -1.0) : value;
                PutLittleEndian(bytes, std::bit_cast<uint32_t>(static_cast<float>(real)), 4);
                continue;
            }
            double stored = value;
            if (isFloat && normalized) {
                if (!(value >= (low < 0 ? -1.0 : 0.0) && value <= 1.0))
                    throw std::runtime_error(where + ": decoded value " + Decimal(value) +
                                             " is outside the range its normalized accessor holds");
                stored = std::round(value * high);
            } else if (!(value >= low && value <= high && value == std::floor(value))) {
                throw std::runtime_error(where + ": decoded value " + Decimal(value) +
                                         " does not fit its accessor's componentType " + std::to_string(componentType));
            }
            PutLittleEndian(bytes, static_cast<uint32_t>(static_cast<int64_t>(stored)), size);
        }
    }
    return bytes;
}

// A new accessor like `original` over `elements`, its name, extras and
// extensions kept.
int AccessorLike(GltfDocument& document, uint64_t original, const std::vector<uint8_t>& elements, int target) {
    const int made = AddAccessorLike(document, static_cast<int>(original), elements, target);
    GltfJson& accessors = document.json["accessors"];
    for (const char* member : {"name", "extras", "extensions"})
        if (accessors[original].contains(member)) accessors[made][member] = accessors[original][member];
    return made;
}

const GltfJson& OriginalAccessor(const GltfDocument& document, uint64_t index, const std::string& where) {
    const GltfJson& accessor = gltf::Item(document.json, "accessors", index, where);
    if (accessor.contains("sparse"))
        throw std::runtime_error(where + ": accessor " + std::to_string(index) +
                                 " is sparse, which compressed data cannot fill");
    return accessor;
}

int DecodedAttribute(GltfDocument& document, const DracoGeometry& geometry, uint64_t id, uint64_t original,
                     const std::string& where) {
    const GltfJson& accessor = OriginalAccessor(document, original, where);
    const auto attribute = std::find_if(geometry.attributes.begin(), geometry.attributes.end(),
                                        [&](const DracoAttribute& a) { return a.id == id; });
    if (attribute == geometry.attributes.end())
        throw std::runtime_error(where + ": no decoded attribute has id " + std::to_string(id));
    return AccessorLike(document, original, AttributeBytes(*attribute, geometry.points, accessor, where),
                        GLTF_ARRAY_BUFFER);
}

int DecodedIndices(GltfDocument& document, const DracoGeometry& mesh, uint64_t original, const std::string& where) {
    const int componentType = static_cast<int>(gltf::Number(OriginalAccessor(document, original, where),
                                                            "componentType", where));
    const int size = componentType == GLTF_UNSIGNED_INT     ? 4
                     : componentType == GLTF_UNSIGNED_SHORT ? 2
                     : componentType == GLTF_UNSIGNED_BYTE  ? 1
                                                            : 0;
    if (size == 0) throw std::runtime_error(where + ": its accessor does not hold unsigned integers");
    if (mesh.corners.empty()) throw std::runtime_error(where + ": no triangles decoded");
    std::vector<uint8_t> bytes;
    bytes.reserve(mesh.corners.size() * size);
    for (size_t corner = 0; corner < mesh.corners.size(); ++corner) {
        const uint32_t index = mesh.corners[corner];
        if (index >= mesh.points)
            throw std::runtime_error(where + ": triangle " + std::to_string(corner / 3) + " names no decoded vertex");
        if (size < 4 && index >= (uint32_t{1} << (8 * size)))
            throw std::runtime_error(where + ": index " + std::to_string(index) +
                                     " does not fit its accessor's componentType " + std::to_string(componentType));
        PutLittleEndian(bytes, index, size);
    }
    return AccessorLike(document, original, bytes, GLTF_ELEMENT_ARRAY_BUFFER);
}

}  // namespace

void DecodeDracoPrimitives(GltfDocument& document) {
    GltfJson& json = document.json;
    // Primitives over the same compressed data and accessors share what is
    // decoded from them. Key: (view, triangles, accessor, id), id -1 for
    // the indices.
    std::map<std::pair<uint64_t, bool>, std::unique_ptr<DracoGeometry>> geometries;
    std::map<std::tuple<uint64_t, bool, uint64_t, int64_t>, int> made;
    int decoded = 0;
    for (size_t m = 0; m < gltf::ArraySize(json, "meshes"); ++m) {
        GltfJson& mesh = json["meshes"][m];
        if (!mesh.is_object() || !mesh.contains("primitives") || !mesh["primitives"].is_array()) continue;
        for (size_t p = 0; p < mesh["primitives"].size(); ++p) {
            GltfJson& primitive = mesh["primitives"][p];
            const auto extensions = primitive.is_object() ? primitive.find("extensions") : primitive.end();
            if (extensions == primitive.end() || !extensions->is_object() || !extensions->contains(DRACO)) continue;
            const std::string where = std::string(DRACO) + ": mesh " + std::to_string(m) + " primitive " +
                                      std::to_string(p);
            const GltfJson& extension = (*extensions)[DRACO];
            const auto ids = extension.is_object() ? extension.find("attributes") : extension.end();
            if (ids == extension.end() || !ids->is_object())
                throw std::runtime_error(where + ": the extension has no attributes object");
            if (!primitive.contains("attributes") || !primitive["attributes"].is_object())
                throw std::runtime_error(where + " has no attributes object");
            const int64_t mode = static_cast<int64_t>(gltf::Number(primitive, "mode", where, TRIANGLES));
            if (mode != TRIANGLES && mode != POINTS)
                throw std::runtime_error(where + ": compressed " + ModeName(mode) +
                                         ", which this tool cannot decode (triangles and points only)");
            const bool triangles = mode == TRIANGLES;
            if (triangles != primitive.contains("indices"))
                throw std::runtime_error(where + (triangles ? ": triangles without indices" : ": indexed points") +
                                         ", which this tool cannot decode");
            const uint64_t view = gltf::Number(extension, "bufferView", where);
            std::unique_ptr<DracoGeometry>& geometry = geometries[{view, triangles}];
            if (!geometry) geometry = Decode(document, view, triangles, where);

            GltfJson& attributes = primitive["attributes"];
            for (const auto& [semantic, id] : ids->items()) {
                if (!attributes.contains(semantic)) continue;  // named by the extension alone
                const std::string attributeWhere = where + " " + semantic;
                const uint64_t dracoId = gltf::Number(*ids, semantic.c_str(), attributeWhere);
                const uint64_t original = gltf::Number(attributes, semantic.c_str(), attributeWhere);
                const auto key = std::make_tuple(view, triangles, original, static_cast<int64_t>(dracoId));
                auto found = made.find(key);
                if (found == made.end())
                    found = made.emplace(key, DecodedAttribute(document, *geometry, dracoId, original, attributeWhere))
                                .first;
                attributes[semantic] = found->second;
            }
            if (triangles) {
                const uint64_t original = gltf::Number(primitive, "indices", where);
                const auto key = std::make_tuple(view, triangles, original, int64_t{-1});
                auto found = made.find(key);
                if (found == made.end())
                    found = made.emplace(key, DecodedIndices(document, *geometry,
                                                             original, where + " indices"))
                                .first;
                primitive["indices"] = found->second;
            }
            gltf::EraseExtension(primitive, DRACO);
            ++decoded;
        }
    }
    if (decoded == 0) return;
    gltf::ForgetExtension(json, DRACO);
    RemoveUnusedAccessors(document);
    document.decoded.push_back(std::string(DRACO) + ": " + std::to_string(decoded) +
                               (decoded == 1 ? " primitive" : " primitives") + " decoded, written uncompressed");
}

}  // namespace meshjobs::tool
