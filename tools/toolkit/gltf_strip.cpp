#include "toolkit/gltf_strip.h"

#include <algorithm>
#include <bit>
#include <map>
#include <stdexcept>
#include <tuple>

#include "toolkit/attribute_strip.h"
#include "toolkit/gltf_accessors.h"

namespace meshjobs::tool {

const char* ModeName(int64_t mode) {
    static const char* const NAMES[] = {"points", "lines", "line loop", "line strip", "triangles", "triangle strip",
                                        "triangle fan"};
    return mode >= 0 && mode < 7 ? NAMES[mode] : "an unknown mode";
}

namespace {

constexpr int TRIANGLES = 4;

int AccessorIndex(const GltfJson& value, const std::string& where) {
    if (!value.is_number_integer() || value.get<int64_t>() < 0)
        throw std::runtime_error(where + ": not an accessor index");
    return value.get<int>();
}

// Every attribute of the primitive, its morph targets' included, as
// (target or -1, name, accessor).
using AttributeRef = std::tuple<int, std::string, int>;

std::vector<AttributeRef> AttributesOf(const GltfJson& primitive, const std::string& where) {
    std::vector<AttributeRef> refs;
    for (const auto& [name, value] : primitive.at("attributes").items())
        refs.emplace_back(-1, name, AccessorIndex(value, where + " " + name));
    const auto targets = primitive.find("targets");
    if (targets != primitive.end() && targets->is_array())
        for (size_t t = 0; t < targets->size(); ++t)
            for (const auto& [name, value] : (*targets)[t].items())
                refs.emplace_back(static_cast<int>(t), name,
                                  AccessorIndex(value, where + " target " + std::to_string(t) + " " + name));
    return refs;
}

int64_t CountOf(const GltfDocument& document, int accessor) {
    const auto& accessors = document.json.at("accessors");
    if (accessor >= static_cast<int>(accessors.size()))
        throw std::runtime_error("accessor " + std::to_string(accessor) + " does not exist");
    return accessors[accessor].at("count").get<int64_t>();
}

// 8-bit indices stay 8-bit and 16-bit stay 16-bit; 32-bit ones narrow to
// 16 bits. The largest value of a type is never used: glTF keeps it for
// restarting strips.
int IndexType(int original, uint32_t highest) {
    if (original == GLTF_UNSIGNED_BYTE && highest < 255) return GLTF_UNSIGNED_BYTE;
    if (highest < 65535) return GLTF_UNSIGNED_SHORT;
    return GLTF_UNSIGNED_INT;
}

// A compacted copy of an attribute accessor: its elements as stored, its
// name, extras and extensions kept.
int CopyAccessor(GltfDocument& document, int original, const std::vector<uint8_t>& elements) {
    const int copy = AddAccessorLike(document, original, elements, GLTF_ARRAY_BUFFER);
    auto& accessors = document.json["accessors"];
    for (const char* member : {"name", "extras", "extensions"})
        if (accessors[original].contains(member)) accessors[copy][member] = accessors[original][member];
    return copy;
}

struct StrippedSet {
    int indices;
    std::map<std::pair<int, std::string>, int> attributes;  // (target, name) -> new accessor
    int32_t before, after;
};

}  // namespace

GltfStrip StripGltf(GltfDocument& document, Jobs& jobs, StripMethod method) {
    GltfStrip result;
    const auto meshes = document.json.find("meshes");
    if (meshes == document.json.end() || !meshes->is_array()) return result;
    // Primitives that share their index and attribute accessors share the
    // stripped ones too; any other sharing gets copies of its own.
    std::map<std::pair<int, std::vector<AttributeRef>>, StrippedSet> done;
    for (size_t m = 0; m < meshes->size(); ++m) {
        auto& primitives = (*meshes)[m].at("primitives");
        for (size_t p = 0; p < primitives.size(); ++p) {
            GltfJson& primitive = primitives[p];
            const std::string where = "mesh " + std::to_string(m) + " primitive " + std::to_string(p);
            ++result.primitives;
            const int64_t mode = primitive.value("mode", int64_t{TRIANGLES});
            if (mode != TRIANGLES) {
                result.notes.push_back(where + ": " + ModeName(mode) + ", passed through unchanged");
                continue;
            }
            if (!primitive.contains("indices")) {
                result.notes.push_back(where + ": not indexed, passed through unchanged");
                continue;
            }
            {
                const int indexAccessor = AccessorIndex(primitive["indices"], where + " indices");
                const std::vector<AttributeRef> refs = AttributesOf(primitive, where);
                if (refs.empty()) {
                    result.notes.push_back(where + ": no attributes, passed through unchanged");
                    continue;
                }
                const int64_t vertexCount = CountOf(document, std::get<2>(refs.front()));
                for (const auto& [target, name, accessor] : refs)
                    if (CountOf(document, accessor) != vertexCount)
                        throw std::runtime_error(where + ": attribute " + name + " holds " +
                                                 std::to_string(CountOf(document, accessor)) + " elements, not " +
                                                 std::to_string(vertexCount));
                if (vertexCount > MAX_STRIP_VERTICES) {
                    result.notes.push_back(where + ": " + std::to_string(vertexCount) +
                                           " vertices, more than 16-bit indices reach; passed through unchanged");
                    continue;
                }
                auto key = std::make_pair(indexAccessor, refs);
                auto found = done.find(key);
                if (found == done.end()) {
                    const std::vector<uint32_t> indices = AccessorUints(document, indexAccessor);
                    std::vector<ElementArray> arrays;
                    for (const auto& ref : refs)
                        arrays.push_back({static_cast<int>(AccessorElementSize(document, std::get<2>(ref))),
                                          AccessorBytes(document, std::get<2>(ref))});
                    AttributeStrip strip;
                    try {
                        strip = StripAttributes(jobs, method, indices, vertexCount, arrays);
                    } catch (const host::JobException& e) {
                        throw std::runtime_error(where + ": job failed: " + e.typeName() + ": " + e.message());
                    } catch (const std::exception& e) {
                        throw std::runtime_error(where + ": " + e.what());
                    }
                    StrippedSet set{indexAccessor, {}, strip.verticesBefore, strip.verticesAfter};
                    if (strip.verticesAfter == 0) {
                        // glTF has no empty accessors: a primitive without
                        // triangles keeps what it has.
                        set.after = set.before;
                        result.notes.push_back(where + ": no triangles, passed through unchanged");
                    } else if (strip.verticesAfter < strip.verticesBefore) {
                        const int original = document.json["accessors"][indexAccessor].at("componentType").get<int>();
                        const uint32_t highest =
                            strip.indices.empty() ? 0 : *std::max_element(strip.indices.begin(), strip.indices.end());
                        set.indices = AddIndexAccessor(document, strip.indices, IndexType(original, highest));
                        for (size_t a = 0; a < refs.size(); ++a)
                            set.attributes[{std::get<0>(refs[a]), std::get<1>(refs[a])}] =
                                CopyAccessor(document, std::get<2>(refs[a]), strip.attributes[a].bytes);
                    }
                    found = done.emplace(std::move(key), std::move(set)).first;
                }
                const StrippedSet& set = found->second;
                result.verticesBefore += set.before;
                result.verticesAfter += set.after;
                if (set.after == set.before) continue;  // nothing to remove: left exactly as it was
                primitive["indices"] = set.indices;
                for (const auto& [slot, accessor] : set.attributes) {
                    const auto& [target, name] = slot;
                    if (target < 0)
                        primitive["attributes"][name] = accessor;
                    else
                        primitive["targets"][target][name] = accessor;
                }
            }
        }
    }
    RemoveUnusedAccessors(document);
    return result;
}

namespace {

// Calls visit(position triple of each index position) per indexed triangle
// primitive that has positions, in document order; `begin` and `end` bracket
// each primitive. Primitives often share one position accessor, usually one
// after another: it is decoded once per run of them.
template <class Begin, class Visit, class End>
void ForEachTrianglePosition(const GltfDocument& document, Begin begin, Visit visit, End end) {
    const auto meshes = document.json.find("meshes");
    if (meshes == document.json.end() || !meshes->is_array()) return;
    int decodedAccessor = -1;
    std::vector<float> positions;
    for (const auto& mesh : *meshes)
        for (const auto& primitive : mesh.at("primitives")) {
            if (primitive.value("mode", int64_t{TRIANGLES}) != TRIANGLES || !primitive.contains("indices") ||
                !primitive.at("attributes").contains("POSITION"))
                continue;
            const std::vector<uint32_t> indices = AccessorUints(document, primitive["indices"].get<int>());
            const int accessor = primitive["attributes"]["POSITION"].get<int>();
            if (accessor != decodedAccessor) {
                positions = AccessorFloats(document, accessor);
                decodedAccessor = accessor;
            }
            begin(indices.size());
            for (const uint32_t index : indices) {
                const size_t at = static_cast<size_t>(index) * 3;
                if (at + 3 > positions.size()) throw std::runtime_error("an index names no position");
                visit(&positions[at]);
            }
            end(indices.size());
        }
}

}  // namespace

std::vector<std::vector<float>> TrianglePositions(const GltfDocument& document) {
    std::vector<std::vector<float>> all;
    ForEachTrianglePosition(
        document, [&](size_t count) { all.emplace_back().reserve(count * 3); },
        [&](const float* p) { all.back().insert(all.back().end(), p, p + 3); }, [](size_t) {});
    return all;
}

std::vector<uint64_t> TriangleDigests(const GltfDocument& document) {
    std::vector<uint64_t> digests;
    // Add, multiply by an odd number, xor-shift: each step a bijection of
    // the state for a given value, and the state differs once a value has.
    auto fold = [](uint64_t state, uint64_t value) {
        state = (state + value) * 0x9E3779B97F4A7C15ull;
        return state ^ (state >> 29);
    };
    uint64_t digest = 0;
    ForEachTrianglePosition(
        document, [&](size_t) { digest = 0; },
        [&](const float* p) {
            for (size_t c = 0; c < 3; ++c) digest = fold(digest, std::bit_cast<uint32_t>(p[c]));
        },
        [&](size_t count) { digests.push_back(fold(digest, count)); });
    return digests;
}

}  // namespace meshjobs::tool
