#include "toolkit/gltf_draco.h"

#include <draco/compression/decode.h>
#include <draco/mesh/mesh.h>

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

std::unique_ptr<draco::PointCloud> Decode(const GltfDocument& document, uint64_t viewIndex, bool triangles,
                                          const std::string& where) {
    const std::string viewName = "buffer view " + std::to_string(viewIndex);
    const GltfJson& view = gltf::Item(document.json, "bufferViews", viewIndex, where);
    // The reader has checked that the view lies inside its buffer.
    const uint64_t buffer = gltf::Number(view, "buffer", viewName);
    const uint64_t offset = gltf::Number(view, "byteOffset", viewName, 0);
    const uint64_t length = gltf::Number(view, "byteLength", viewName);
    draco::DecoderBuffer data;
    data.Init(reinterpret_cast<const char*>(document.buffers[buffer].data() + offset), static_cast<size_t>(length));
    const auto type = draco::Decoder::GetEncodedGeometryType(&data);
    if (!type.ok())
        throw std::runtime_error(where + ": " + viewName + " does not decode (" + type.status().error_msg_string() + ")");
    if (triangles && type.value() != draco::TRIANGULAR_MESH)
        throw std::runtime_error(where + ": " + viewName + " holds a point cloud, not triangles");
    draco::Decoder decoder;
    std::unique_ptr<draco::PointCloud> geometry;
    std::string failure;
    if (triangles) {
        auto mesh = decoder.DecodeMeshFromBuffer(&data);
        if (mesh.ok()) geometry = std::move(mesh).value();
        else failure = mesh.status().error_msg_string();
    } else {
        auto cloud = decoder.DecodePointCloudFromBuffer(&data);
        if (cloud.ok()) geometry = std::move(cloud).value();
        else failure = cloud.status().error_msg_string();
    }
    if (!geometry) throw std::runtime_error(where + ": " + viewName + " does not decode (" + failure + ")");
    if (geometry->num_points() == 0) throw std::runtime_error(where + ": " + viewName + " decodes to no vertices");
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

// The largest value of a decoded integer type: a normalized one stands for
// value / that.
double NormalizedScale(draco::DataType type) {
    switch (type) {
        case draco::DT_INT8: return 127;
        case draco::DT_UINT8: return 255;
        case draco::DT_INT16: return 32767;
        case draco::DT_UINT16: return 65535;
        case draco::DT_INT32: return 2147483647.0;
        default: return 4294967295.0;
    }
}

void PutLittleEndian(std::vector<uint8_t>& bytes, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The decoded values of one attribute as the accessor declares them,
// elements packed as AccessorBytes gives them.
std::vector<uint8_t> AttributeBytes(const draco::PointAttribute& attribute, uint32_t points, const GltfJson& accessor,
                                    const std::string& where) {
    const int componentType = static_cast<int>(gltf::Number(accessor, "componentType", where));
    const int size = ComponentSize(componentType);
    const std::string type = accessor.value("type", "");
    const int components = type == "SCALAR" || type.rfind("VEC", 0) == 0 ? ComponentCount(type) : 0;
    if (size == 0 || components == 0)
        throw std::runtime_error(where + ": its accessor is of componentType " + std::to_string(componentType) +
                                 " and type '" + type + "', which compressed data cannot fill");
    if (attribute.num_components() != components)
        throw std::runtime_error(where + ": " + std::to_string(attribute.num_components()) +
                                 " components decoded, its accessor has " + std::to_string(components));
    const draco::DataType dataType = attribute.data_type();
    const bool isFloat = dataType == draco::DT_FLOAT32 || dataType == draco::DT_FLOAT64;
    if (!isFloat && (dataType < draco::DT_INT8 || dataType > draco::DT_BOOL))
        throw std::runtime_error(where + ": decoded values of an unknown type");
    const bool normalized = accessor.value("normalized", false);
    const double scale = !isFloat && attribute.normalized() ? NormalizedScale(dataType) : 0;
    const auto [low, high] = RangeOf(componentType);

    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(points) * components * size);
    std::vector<double> values(static_cast<size_t>(components));
    std::vector<int64_t> integers(values.size());
    for (uint32_t p = 0; p < points; ++p) {
        const draco::AttributeValueIndex entry = attribute.mapped_index(draco::PointIndex(p));
        bool read = entry.value() < attribute.size();
        if (read && isFloat) read = attribute.ConvertValue<double>(entry, static_cast<int8_t>(components), values.data());
        if (read && !isFloat) {
            read = attribute.ConvertValue<int64_t>(entry, static_cast<int8_t>(components), integers.data());
            for (int c = 0; c < components; ++c) values[c] = static_cast<double>(integers[c]);
        }
        if (!read) throw std::runtime_error(where + ": vertex " + std::to_string(p) + " has no decoded value");
        for (const double value : values) {
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

int DecodedAttribute(GltfDocument& document, const draco::PointCloud& geometry, uint64_t id, uint64_t original,
                     const std::string& where) {
    const GltfJson& accessor = OriginalAccessor(document, original, where);
    const draco::PointAttribute* attribute =
        id <= UINT32_MAX ? geometry.GetAttributeByUniqueId(static_cast<uint32_t>(id)) : nullptr;
    if (!attribute) throw std::runtime_error(where + ": no decoded attribute has id " + std::to_string(id));
    return AccessorLike(document, original, AttributeBytes(*attribute, geometry.num_points(), accessor, where),
                        GLTF_ARRAY_BUFFER);
}

int DecodedIndices(GltfDocument& document, const draco::Mesh& mesh, uint64_t original, const std::string& where) {
    const int componentType = static_cast<int>(gltf::Number(OriginalAccessor(document, original, where),
                                                            "componentType", where));
    const int size = componentType == GLTF_UNSIGNED_INT     ? 4
                     : componentType == GLTF_UNSIGNED_SHORT ? 2
                     : componentType == GLTF_UNSIGNED_BYTE  ? 1
                                                            : 0;
    if (size == 0) throw std::runtime_error(where + ": its accessor does not hold unsigned integers");
    if (mesh.num_faces() == 0) throw std::runtime_error(where + ": no triangles decoded");
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(mesh.num_faces()) * 3 * size);
    for (uint32_t f = 0; f < mesh.num_faces(); ++f)
        for (const draco::PointIndex& corner : mesh.face(draco::FaceIndex(f))) {
            const uint32_t index = corner.value();
            if (index >= mesh.num_points())
                throw std::runtime_error(where + ": triangle " + std::to_string(f) + " names no decoded vertex");
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
    std::map<std::pair<uint64_t, bool>, std::unique_ptr<draco::PointCloud>> geometries;
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
            std::unique_ptr<draco::PointCloud>& geometry = geometries[{view, triangles}];
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
                    found = made.emplace(key, DecodedIndices(document, static_cast<const draco::Mesh&>(*geometry),
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
