#include "toolkit/gltf_convert.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <tuple>
#include <limits>
#include <map>
#include <stdexcept>

#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_strip.h"

namespace meshjobs::tool {

std::optional<GltfAttributeType> GltfAttributeTypeOf(int slot, uint8_t format, int dimension) {
    const bool f32 = format == FLOAT32, s8 = format == SNORM8, u8 = format == UNORM8;
    switch (slot) {
        case POSITION:
            if (f32 && dimension == 3) return GltfAttributeType{GLTF_FLOAT, false, 3};
            return std::nullopt;
        case NORMAL:
            if (f32 && dimension == 3) return GltfAttributeType{GLTF_FLOAT, false, 3};
            if (s8 && dimension == 4) return GltfAttributeType{GLTF_BYTE, true, 3};
            return std::nullopt;
        case TANGENT:
            if (dimension != 4) return std::nullopt;
            if (f32) return GltfAttributeType{GLTF_FLOAT, false, 4};
            if (s8) return GltfAttributeType{GLTF_BYTE, true, 4};
            return std::nullopt;
        case COLOR:
            if (f32 && (dimension == 3 || dimension == 4)) return GltfAttributeType{GLTF_FLOAT, false, dimension};
            if (u8 && dimension == 4) return GltfAttributeType{GLTF_UNSIGNED_BYTE, true, 4};
            return std::nullopt;
        default:
            if (dimension != 2) return std::nullopt;
            if (f32) return GltfAttributeType{GLTF_FLOAT, false, 2};
            if (u8) return GltfAttributeType{GLTF_UNSIGNED_BYTE, true, 2};
            return std::nullopt;
    }
}

std::string GltfAttributeName(int slot) {
    static const char* const NAMES[] = {"POSITION", "NORMAL", "TANGENT", "COLOR_0"};
    if (slot < UV0) return NAMES[slot];
    return "TEXCOORD_" + std::to_string(slot - UV0);
}

Layout GltfReadyLayout(const Layout& layout) {
    Layout ready = layout;
    for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
        auto& format = ready.slots[slot];
        if (!format) continue;
        if (slot >= UV0 && format->dimension == 0) format->dimension = 2;  // glTF texture coordinates are 2D
        if (!GltfAttributeTypeOf(slot, format->format, format->dimension))
            throw std::invalid_argument("glTF has no accessor for " + SlotName(slot) + " stored as " +
                                        FormatName(format->format) + "x" + std::to_string(format->dimension) +
                                        " (layout '" + layout.name + "'); --layout gltf is the one that fits glTF");
    }
    return ready;
}

namespace {

constexpr int TRIANGLES = 4;
constexpr int TRIANGLE_STRIP = 5;
constexpr int TRIANGLE_FAN = 6;

const char* const QUANTIZATION = "KHR_mesh_quantization";

// A matrix whose upper 3x3 has a negative determinant turns faces inside out.
bool Mirrors(const Float4x4& m) {
    const auto& c = m.columns;
    const double det = double(c[0][0]) * (double(c[1][1]) * c[2][2] - double(c[2][1]) * c[1][2]) -
                       double(c[1][0]) * (double(c[0][1]) * c[2][2] - double(c[2][1]) * c[0][2]) +
                       double(c[2][0]) * (double(c[0][1]) * c[1][2] - double(c[1][1]) * c[0][2]);
    return det < 0;
}

bool IsIdentity(const Float4x4& m) {
    const Float4x4 identity = host::IdentityMatrix();
    return std::memcmp(&m, &identity, sizeof m) == 0;
}

std::vector<uint32_t> ReversedWinding(std::vector<uint32_t> indices) {
    for (size_t t = 0; t + 2 < indices.size(); t += 3) std::swap(indices[t + 1], indices[t + 2]);
    return indices;
}

const char* VectorType(int components) {
    static const char* const TYPES[] = {"SCALAR", "SCALAR", "VEC2", "VEC3", "VEC4"};
    return TYPES[components];
}

void DeclareQuantization(GltfJson& json) {
    for (const char* list : {"extensionsUsed", "extensionsRequired"}) {
        GltfJson& names = json[list];
        if (std::find(names.begin(), names.end(), QUANTIZATION) == names.end()) names.push_back(QUANTIZATION);
    }
}

std::shared_ptr<GltfVertexSet> ConvertSet(Jobs& jobs, MeshAttributes source, const Layout& layout,
                                          const Float4x4& matrix, const std::string& label) {
    auto set = std::make_shared<GltfVertexSet>();
    set->label = label;
    set->source = std::move(source);
    try {
        set->converted = ConvertMesh(jobs, set->source, layout, matrix);
    } catch (const host::JobException& e) {
        throw std::runtime_error(label + ": job failed: " + e.typeName() + ": " + e.message());
    } catch (const std::exception& e) {
        throw std::runtime_error(label + ": " + e.what());
    }
    set->checks = VerifyConversion(set->converted, set->source, matrix);
    return set;
}

// Each stream becomes a vertex buffer view; each attribute an accessor at its
// offset in the stride. Returns the accessors by attribute name.
std::map<std::string, int> WriteVertexSet(GltfDocument& document, const GltfVertexSet& set, bool& quantized) {
    const ConvertedMesh& c = set.converted;
    std::array<int, 2> views{-1, -1};
    std::map<std::string, int> accessors;
    try {
        for (int s = 0; s < 2; ++s)
            if (c.layout.destinationStrides[s] != 0)
                views[s] = AddBufferView(document, c.streams[s], c.layout.destinationStrides[s], GLTF_ARRAY_BUFFER);
        for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
            if (c.layout.destination[slot] == 0) continue;
            const Descriptor d = UnpackDescriptor(c.layout.destination[slot]);
            const auto type = GltfAttributeTypeOf(slot, d.format, d.dimension);
            if (!type) throw std::logic_error(SlotName(slot) + " has no glTF form: the layout was not checked");
            GltfJson accessor = {{"bufferView", views[d.stream]},
                                 {"byteOffset", d.offset},
                                 {"componentType", type->componentType}};
            if (type->normalized) accessor["normalized"] = true;
            accessor["count"] = c.vertexCount;
            accessor["type"] = VectorType(type->components);
            if (slot == POSITION) {
                std::array<float, 3> low, high;
                low.fill(std::numeric_limits<float>::infinity());
                high.fill(-std::numeric_limits<float>::infinity());
                const int32_t stride = c.layout.destinationStrides[d.stream];
                for (int32_t v = 0; v < c.vertexCount; ++v)
                    for (int k = 0; k < 3; ++k) {
                        float value;
                        std::memcpy(&value, c.streams[d.stream].data() + size_t(v) * stride + d.offset + 4 * k, 4);
                        low[k] = std::min(low[k], value);
                        high[k] = std::max(high[k], value);
                    }
                accessor["min"] = low;
                accessor["max"] = high;
            }
            accessors[GltfAttributeName(slot)] = AddAccessor(document, std::move(accessor));
            if (type->componentType != GLTF_FLOAT) quantized = true;
        }
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(set.label + ": " + e.what());
    }
    return accessors;
}

// The primitive's attributes the layout converts, as (slot, accessor).
using SlotAccessors = std::vector<std::pair<int, int>>;

SlotAccessors SlotsOf(const GltfJson& attributes, const Layout& layout, const std::string& where) {
    SlotAccessors slots;
    for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
        if (slot != POSITION && !layout.slots[slot]) continue;
        const auto found = attributes.find(GltfAttributeName(slot));
        if (found == attributes.end()) continue;
        if (!found->is_number_integer() || found->get<int64_t>() < 0)
            throw std::runtime_error(where + " " + GltfAttributeName(slot) + ": not an accessor index");
        slots.emplace_back(slot, found->get<int>());
    }
    return slots;
}

// The job's input from a primitive's accessors, whatever they store.
MeshAttributes SourceOf(const GltfDocument& document, const SlotAccessors& slots, const std::string& where) {
    MeshAttributes mesh;
    mesh.name = where;
    int64_t count = -1;
    for (const auto& [slot, accessor] : slots) {
        const std::string name = where + " " + GltfAttributeName(slot);
        std::vector<float> values = AccessorFloats(document, accessor);
        const int64_t elements = document.json["accessors"][static_cast<size_t>(accessor)]["count"].get<int64_t>();
        if (count >= 0 && elements != count)
            throw std::runtime_error(name + " holds " + std::to_string(elements) + " elements, not " +
                                     std::to_string(count));
        if (elements > std::numeric_limits<int32_t>::max())
            throw std::runtime_error(name + ": too many vertices for the conversion job");
        count = elements;
        const size_t components = elements ? values.size() / static_cast<size_t>(elements) : 0;
        const bool fits = slot == POSITION || slot == NORMAL ? components == 3
                          : slot == TANGENT                  ? components == 4
                          : slot == COLOR                    ? components == 3 || components == 4
                                                             : components == 2;
        if (!fits) throw std::runtime_error(name + " has " + std::to_string(components) + " components per vertex");
        if (slot == COLOR && components == 3) {  // the job reads colors as four components
            std::vector<float> rgba;
            rgba.reserve(values.size() / 3 * 4);
            for (size_t v = 0; v < values.size(); v += 3) rgba.insert(rgba.end(), {values[v], values[v + 1], values[v + 2], 1.0f});
            values = std::move(rgba);
        }
        switch (slot) {
            case POSITION: mesh.positions = std::move(values); break;
            case NORMAL: mesh.normals = std::move(values); break;
            case TANGENT: mesh.tangents = std::move(values); break;
            case COLOR: mesh.colors = std::move(values); break;
            default:
                mesh.uvs[slot - UV0] = std::move(values);
                mesh.uvComponents[slot - UV0] = 2;
        }
    }
    mesh.vertexCount = static_cast<int32_t>(count);
    return mesh;
}

void Count(GltfConversion& result, std::shared_ptr<const GltfVertexSet> set) {
    result.vertices += set->converted.vertexCount;
    result.streamBytes += static_cast<int64_t>(set->converted.streams[0].size() + set->converted.streams[1].size());
    result.sets.push_back(std::move(set));
}

// glTF wants unit normals and tangents: a set with vectors that have no
// direction (zero, or not finite) is left out rather than written invalid.
void LeaveOutUndirected(MeshAttributes& mesh, const std::string& where, std::vector<std::string>& notes) {
    for (auto [values, components, name] :
         {std::tuple{&mesh.normals, 3, "normals"}, std::tuple{&mesh.tangents, 4, "tangents"}}) {
        int64_t undirected = 0;
        for (size_t v = 0; v + 2 < values->size(); v += static_cast<size_t>(components)) {
            const float x = (*values)[v], y = (*values)[v + 1], z = (*values)[v + 2];
            if (!std::isnormal(x * x + y * y + z * z)) ++undirected;
        }
        if (undirected == 0) continue;
        values->clear();
        notes.push_back(where + ": " + std::to_string(undirected) + " " + name + " without a direction, so its " +
                        name + " are left out");
    }
}

std::string ValidUtf8(const std::string& text) {
    return GltfJson::parse(GltfJson(text).dump(-1, ' ', false, GltfJson::error_handler_t::replace)).get<std::string>();
}

}  // namespace

GltfConversion ConvertGltf(GltfDocument& document, Jobs& jobs, const Layout& layout, const Float4x4& matrix) {
    GltfConversion result;
    const auto meshes = document.json.find("meshes");
    if (meshes == document.json.end() || !meshes->is_array()) return result;
    const bool mirrors = Mirrors(matrix);
    bool quantized = false, targets = false;
    // Primitives over the same vertices share the converted ones; the same
    // indices reversed once are shared too.
    std::map<SlotAccessors, std::pair<std::shared_ptr<const GltfVertexSet>, std::map<std::string, int>>> converted;
    std::map<int, int> reversed;
    for (size_t m = 0; m < meshes->size(); ++m) {
        GltfJson& primitives = (*meshes)[m].at("primitives");
        for (size_t p = 0; p < primitives.size(); ++p) {
            GltfJson& primitive = primitives[p];
            const std::string where = "mesh " + std::to_string(m) + " primitive " + std::to_string(p);
            ++result.primitives;
            const SlotAccessors slots = SlotsOf(primitive.at("attributes"), layout, where);
            if (slots.empty() || slots.front().first != POSITION) {
                result.notes.push_back(where + ": no POSITION, passed through unchanged");
                continue;
            }
            auto found = converted.find(slots);
            if (found == converted.end()) {
                const auto set = ConvertSet(jobs, SourceOf(document, slots, where), layout, matrix, where);
                auto accessors = WriteVertexSet(document, *set, quantized);
                Count(result, set);
                found = converted.emplace(slots, std::make_pair(set, std::move(accessors))).first;
            }
            for (const auto& [name, accessor] : found->second.second) primitive["attributes"][name] = accessor;
            targets = targets || primitive.contains("targets");

            GltfWrittenPrimitive written{m, p, found->second.first, std::nullopt};
            const int64_t mode = primitive.value("mode", int64_t{TRIANGLES});
            if (primitive.contains("indices")) {
                const int original = primitive["indices"].get<int>();
                written.indices = AccessorUints(document, original);
                if (mirrors && mode == TRIANGLES) {
                    *written.indices = ReversedWinding(std::move(*written.indices));
                    auto flipped = reversed.find(original);
                    if (flipped == reversed.end()) {
                        const int type = document.json["accessors"][static_cast<size_t>(original)]["componentType"];
                        flipped = reversed.emplace(original, AddIndexAccessor(document, *written.indices, type)).first;
                    }
                    primitive["indices"] = flipped->second;
                }
            }
            if (mirrors && ((mode == TRIANGLES && !written.indices) || mode == TRIANGLE_STRIP || mode == TRIANGLE_FAN))
                result.notes.push_back(where + ": " + ModeName(mode) + (written.indices ? "" : " without indices") +
                                       ", winding left as it is under the mirroring matrix");
            result.written.push_back(std::move(written));
        }
    }
    if (!IsIdentity(matrix) && (targets || document.json.contains("skins")))
        result.notes.push_back("--matrix moves the converted vertices only: morph targets and skins stay as they were");
    RemoveUnusedAccessors(document);
    if (quantized) DeclareQuantization(document.json);
    return result;
}

GltfConversion BuildGltf(GltfDocument& document, const std::vector<MeshAttributes>& meshes, Jobs& jobs,
                         const Layout& layout, const Float4x4& matrix) {
    document.json = {{"asset", {{"version", "2.0"}, {"generator", "meshjobs " MESHJOBS_VERSION}}}};
    GltfConversion result;
    const bool mirrors = Mirrors(matrix);
    bool quantized = false;
    GltfJson gltfMeshes = GltfJson::array(), nodes = GltfJson::array(), roots = GltfJson::array();
    for (size_t k = 0; k < meshes.size(); ++k) {
        const MeshAttributes& mesh = meshes[k];
        const std::string where = "mesh " + std::to_string(k);
        static const int MODES[] = {-1, 0 /* points */, 1 /* lines */, TRIANGLES};
        // A mesh without faces is its vertices: points.
        const int size = mesh.indices.empty() ? 1 : mesh.primitiveSize;
        const int mode = size >= 1 && size <= 3 ? MODES[size] : -1;
        if (mode < 0) throw std::runtime_error(where + ": faces of " + std::to_string(size) + " corners");
        ++result.primitives;
        MeshAttributes source = mesh;
        LeaveOutUndirected(source, where, result.notes);
        const auto set = ConvertSet(jobs, std::move(source), layout, matrix, where);
        GltfJson primitive = {{"attributes", WriteVertexSet(document, *set, quantized)}};
        if (mode != TRIANGLES) primitive["mode"] = mode;
        Count(result, set);
        GltfWrittenPrimitive written{k, 0, set, std::nullopt};
        if (!mesh.indices.empty()) {
            written.indices = mirrors && mode == TRIANGLES ? ReversedWinding(mesh.indices) : mesh.indices;
            const uint32_t highest = *std::max_element(mesh.indices.begin(), mesh.indices.end());
            // The largest value of a type restarts strips: it is never an index.
            primitive["indices"] =
                AddIndexAccessor(document, *written.indices, highest < 65535 ? GLTF_UNSIGNED_SHORT : GLTF_UNSIGNED_INT);
        }
        result.written.push_back(std::move(written));
        GltfJson entry = {{"primitives", GltfJson::array({std::move(primitive)})}};
        GltfJson node = {{"mesh", k}};
        if (!mesh.name.empty()) entry["name"] = node["name"] = ValidUtf8(mesh.name);
        gltfMeshes.push_back(std::move(entry));
        nodes.push_back(std::move(node));
        roots.push_back(k);
    }
    document.json["meshes"] = std::move(gltfMeshes);
    document.json["nodes"] = std::move(nodes);
    document.json["scenes"] = GltfJson::array({{{"nodes", std::move(roots)}}});
    document.json["scene"] = 0;
    if (quantized) DeclareQuantization(document.json);
    return result;
}

void CheckWrittenGltf(const GltfDocument& back, const GltfConversion& conversion) {
    for (const GltfWrittenPrimitive& written : conversion.written) {
        const std::string where = "mesh " + std::to_string(written.mesh) + " primitive " + std::to_string(written.primitive);
        auto differs = [&](const std::string& what) {
            return std::runtime_error("the written file does not read back the same: " + where + " " + what);
        };
        try {
            const GltfJson& primitive = back.json.at("meshes").at(written.mesh).at("primitives").at(written.primitive);
            const ConvertedMesh& c = written.vertices->converted;
            for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
                if (c.layout.destination[slot] == 0) continue;
                const Descriptor d = UnpackDescriptor(c.layout.destination[slot]);
                const GltfAttributeType type = *GltfAttributeTypeOf(slot, d.format, d.dimension);
                const size_t size = static_cast<size_t>(type.components * ComponentSize(type.componentType));
                const int32_t stride = c.layout.destinationStrides[d.stream];
                std::vector<uint8_t> expected;
                expected.reserve(size * static_cast<size_t>(c.vertexCount));
                for (int32_t v = 0; v < c.vertexCount; ++v) {
                    const uint8_t* at = c.streams[d.stream].data() + size_t(v) * stride + d.offset;
                    expected.insert(expected.end(), at, at + size);
                }
                const std::string name = GltfAttributeName(slot);
                if (AccessorBytes(back, primitive.at("attributes").at(name).get<int>()) != expected)
                    throw differs(name);
            }
            if (written.indices.has_value() != primitive.contains("indices") ||
                (written.indices && AccessorUints(back, primitive["indices"].get<int>()) != *written.indices))
                throw differs("indices");
        } catch (const nlohmann::json::exception& e) {
            throw differs(std::string("(") + e.what() + ")");
        }
    }
}

}  // namespace meshjobs::tool
