#include "toolkit/gltf_meshopt.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <stdexcept>

#include "toolkit/gltf_json.h"

namespace meshjobs::tool {

namespace {

const char* const NAMES[] = {"EXT_meshopt_compression", "KHR_meshopt_compression"};

// Decoding more than this for one view is refused: a few compressed bytes
// can claim any count.
constexpr uint64_t MAX_DECODED_BYTES = uint64_t{1} << 31;

const GltfJson* ExtensionOf(const GltfJson& object, const char*& name) {
    const auto extensions = object.find("extensions");
    if (extensions == object.end() || !extensions->is_object()) return nullptr;
    for (const char* candidate : NAMES)
        if (const auto found = extensions->find(candidate); found != extensions->end()) {
            name = candidate;
            return &*found;
        }
    return nullptr;
}

std::string Text(const GltfJson& object, const char* key, const std::string& where, const char* fallback) {
    const auto it = object.find(key);
    if (it == object.end()) {
        if (fallback) return fallback;
        throw std::runtime_error(where + " has no '" + key + "'");
    }
    if (!it->is_string()) throw std::runtime_error(where + ": '" + key + "' is not a string");
    return it->get<std::string>();
}

std::string DecoderError(int code) {
    return code == -1 ? "an unknown encoding version, or not data of this mode" : "corrupt or truncated data";
}

// The bytes one compressed view stands for: count × byteStride.
std::vector<uint8_t> Decode(const GltfDocument& document, const GltfJson& extension, const std::string& where) {
    if (!extension.is_object()) throw std::runtime_error(where + " is not an object");
    const uint64_t buffer = gltf::Number(extension, "buffer", where);
    const uint64_t offset = gltf::Number(extension, "byteOffset", where, 0);
    const uint64_t length = gltf::Number(extension, "byteLength", where);
    const uint64_t stride = gltf::Number(extension, "byteStride", where);
    const uint64_t count = gltf::Number(extension, "count", where);
    const std::string mode = Text(extension, "mode", where, nullptr);
    const std::string filter = Text(extension, "filter", where, "NONE");
    if (buffer >= document.buffers.size())
        throw std::runtime_error(where + " refers to buffer " + std::to_string(buffer) + ", which is missing");
    const std::vector<uint8_t>& bytes = document.buffers[buffer];
    if (offset > bytes.size() || length > bytes.size() - offset)
        throw std::runtime_error(where + ": its compressed data reaches past the end of buffer " +
                                 std::to_string(buffer) + (bytes.empty() ? " (a buffer with no data)" : ""));

    if (mode == "ATTRIBUTES") {
        if (stride == 0 || stride > 256 || stride % 4 != 0)
            throw std::runtime_error(where + ": byteStride " + std::to_string(stride) +
                                     " for ATTRIBUTES is not a multiple of 4 in [4, 256]");
    } else if (mode == "TRIANGLES" || mode == "INDICES") {
        if (stride != 2 && stride != 4)
            throw std::runtime_error(where + ": byteStride " + std::to_string(stride) + " for " + mode +
                                     " is neither 2 nor 4");
        if (mode == "TRIANGLES" && count % 3 != 0)
            throw std::runtime_error(where + ": count " + std::to_string(count) + " is not whole triangles");
        if (filter != "NONE") throw std::runtime_error(where + ": filter " + filter + " on " + mode);
    } else {
        throw std::runtime_error(where + ": unknown mode '" + mode + "'");
    }
    if ((filter == "OCTAHEDRAL" && stride != 4 && stride != 8) || (filter == "QUATERNION" && stride != 8))
        throw std::runtime_error(where + ": byteStride " + std::to_string(stride) + " does not fit filter " + filter);
    if (filter != "NONE" && filter != "OCTAHEDRAL" && filter != "QUATERNION" && filter != "EXPONENTIAL")
        throw std::runtime_error(where + ": filter '" + filter + "', which this tool cannot decode");
    if (count > MAX_DECODED_BYTES / stride)
        throw std::runtime_error(where + ": " + std::to_string(count) + " elements of " + std::to_string(stride) +
                                 " bytes are too many to decode");

    std::vector<uint8_t> decoded(static_cast<size_t>(count * stride));
    const uint8_t* data = bytes.data() + offset;
    const size_t size = static_cast<size_t>(length), n = static_cast<size_t>(count), s = static_cast<size_t>(stride);
    const int status = mode == "ATTRIBUTES" ? meshopt_decodeVertexBuffer(decoded.data(), n, s, data, size)
                       : mode == "TRIANGLES" ? meshopt_decodeIndexBuffer(decoded.data(), n, s, data, size)
                                             : meshopt_decodeIndexSequence(decoded.data(), n, s, data, size);
    if (status != 0)
        throw std::runtime_error(where + ": its data does not decode as " + std::to_string(count) + " " + mode +
                                 " elements of " + std::to_string(stride) + " bytes (" + DecoderError(status) + ")");
    if (n != 0) {
        if (filter == "OCTAHEDRAL") meshopt_decodeFilterOct(decoded.data(), n, s);
        if (filter == "QUATERNION") meshopt_decodeFilterQuat(decoded.data(), n, s);
        if (filter == "EXPONENTIAL") meshopt_decodeFilterExp(decoded.data(), n, s);
    }
    return decoded;
}

// Drops the fallback buffers no view refers to and renumbers the views'
// references; the rest lose the compression's marking.
void DropFallbackBuffers(GltfDocument& document) {
    GltfJson& json = document.json;
    const size_t count = document.buffers.size();
    std::vector<bool> used(count, false);
    const size_t views = gltf::ArraySize(json, "bufferViews");
    for (size_t v = 0; v < views; ++v) {
        const std::string where = "buffer view " + std::to_string(v);
        const uint64_t buffer = gltf::Number(gltf::Item(json, "bufferViews", v, where), "buffer", where);
        if (buffer >= count)
            throw std::runtime_error(where + " refers to buffer " + std::to_string(buffer) + ", which is missing");
        used[buffer] = true;
    }
    std::vector<size_t> renumbered(count, 0);
    GltfJson kept = GltfJson::array();
    std::vector<std::vector<uint8_t>> keptBytes;
    for (size_t b = 0; b < count; ++b) {
        if (!used[b] && IsMeshoptFallback(json["buffers"][b])) continue;
        renumbered[b] = kept.size();
        GltfJson buffer = std::move(json["buffers"][b]);
        for (const char* name : NAMES) gltf::EraseExtension(buffer, name);
        kept.push_back(std::move(buffer));
        keptBytes.push_back(std::move(document.buffers[b]));
    }
    for (GltfJson& view : json["bufferViews"]) view["buffer"] = renumbered[view["buffer"].get<size_t>()];
    json["buffers"] = std::move(kept);
    document.buffers = std::move(keptBytes);
}

}  // namespace

bool IsMeshoptFallback(const GltfJson& buffer) {
    const char* name = nullptr;
    const GltfJson* extension = ExtensionOf(buffer, name);
    return extension && extension->is_object() && extension->value("fallback", false) == true;
}

void DecodeMeshoptViews(GltfDocument& document) {
    const size_t views = gltf::ArraySize(document.json, "bufferViews");
    std::vector<uint8_t> decodedBuffer;
    std::vector<std::pair<const char*, size_t>> decodedBy;  // per extension name, in the order met
    size_t decoded = 0;
    for (size_t v = 0; v < views; ++v) {
        GltfJson& view = document.json["bufferViews"][v];
        if (!view.is_object()) continue;  // the reader's checks say so
        const char* name = nullptr;
        const GltfJson* extension = ExtensionOf(view, name);
        if (!extension) continue;
        const std::string where = std::string(name) + ": buffer view " + std::to_string(v);
        const std::vector<uint8_t> bytes = Decode(document, *extension, where);
        const uint64_t byteLength = gltf::Number(view, "byteLength", where);
        if (bytes.size() > byteLength)
            throw std::runtime_error(where + " decodes to " + std::to_string(bytes.size()) +
                                     " bytes, more than its byteLength " + std::to_string(byteLength));
        decodedBuffer.resize((decodedBuffer.size() + 3) / 4 * 4, 0);
        view["buffer"] = document.buffers.size();  // the buffer appended below
        view["byteOffset"] = decodedBuffer.size();
        decodedBuffer.insert(decodedBuffer.end(), bytes.begin(), bytes.end());
        decodedBuffer.resize(decodedBuffer.size() + static_cast<size_t>(byteLength) - bytes.size(), 0);
        gltf::EraseExtension(view, name);
        auto seen = std::find_if(decodedBy.begin(), decodedBy.end(), [&](const auto& d) { return d.first == name; });
        if (seen == decodedBy.end()) seen = decodedBy.insert(seen, {name, 0});
        ++seen->second;
        ++decoded;
    }
    if (decoded == 0) return;
    document.json["buffers"].push_back({{"byteLength", decodedBuffer.size()}});
    document.buffers.push_back(std::move(decodedBuffer));
    DropFallbackBuffers(document);
    for (const char* name : NAMES) gltf::ForgetExtension(document.json, name);
    for (const auto& [name, views] : decodedBy)
        document.decoded.push_back(std::string(name) + ": " + std::to_string(views) +
                                   (views == 1 ? " buffer view" : " buffer views") + " decoded, written uncompressed");
}

}  // namespace meshjobs::tool
