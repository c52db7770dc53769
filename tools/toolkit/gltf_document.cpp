#include "toolkit/gltf_document.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_draco.h"
#include "toolkit/gltf_json.h"
#include "toolkit/gltf_meshopt.h"

namespace fs = std::filesystem;

namespace meshjobs::tool {

namespace {

constexpr uint32_t GLB_MAGIC = 0x46546C67;  // "glTF"
constexpr uint32_t CHUNK_JSON = 0x4E4F534A;
constexpr uint32_t CHUNK_BIN = 0x004E4942;

uint32_t Word(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

bool IsGlb(const std::vector<uint8_t>& bytes) { return bytes.size() >= 4 && Word(bytes, 0) == GLB_MAGIC; }

// Where the JSON and the BIN chunk lie in a file's bytes.
struct Container {
    size_t jsonBegin = 0, jsonSize = 0;
    bool hasBin = false;
    size_t binBegin = 0, binSize = 0;
};

Container Unpack(const std::vector<uint8_t>& bytes) {
    if (!IsGlb(bytes)) {
        const size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
        return {start, bytes.size() - start};
    }
    if (bytes.size() < 12) throw std::runtime_error("truncated GLB: no complete header");
    if (Word(bytes, 4) != 2) throw std::runtime_error("GLB version " + std::to_string(Word(bytes, 4)) + ", not 2");
    const uint64_t length = Word(bytes, 8);
    if (length > bytes.size())
        throw std::runtime_error("truncated GLB: the header promises " + std::to_string(length) + " bytes, the file has " +
                                 std::to_string(bytes.size()));
    // Each chunk: length, type, then that many bytes, all inside `length`.
    struct Chunk {
        uint32_t type;
        size_t begin, size;
    };
    auto chunkAt = [&](uint64_t at) {
        if (at + 8 > length) throw std::runtime_error("truncated GLB: a chunk header is cut short");
        const uint64_t size = Word(bytes, static_cast<size_t>(at));
        if (at + 8 + size > length) throw std::runtime_error("truncated GLB: a chunk reaches past the end");
        return Chunk{Word(bytes, static_cast<size_t>(at + 4)), static_cast<size_t>(at + 8), static_cast<size_t>(size)};
    };
    const Chunk json = chunkAt(12);
    if (json.type != CHUNK_JSON) throw std::runtime_error("GLB whose first chunk is not JSON");
    Container container;
    // Padding is spaces by the rules, though some writers use zeros.
    size_t jsonSize = json.size;
    while (jsonSize > 0 && (bytes[json.begin + jsonSize - 1] == 0 || bytes[json.begin + jsonSize - 1] == ' '))
        --jsonSize;
    container.jsonBegin = json.begin;
    container.jsonSize = jsonSize;
    for (uint64_t at = 20 + (uint64_t{json.size} + 3) / 4 * 4; at + 8 <= length;) {
        const Chunk chunk = chunkAt(at);
        at += 8 + (chunk.size + 3) / 4 * 4;
        if (chunk.type == CHUNK_BIN) {
            container.hasBin = true;
            container.binBegin = chunk.begin;
            container.binSize = chunk.size;
            break;
        }
    }
    return container;
}

GltfJson ParseJson(const std::vector<uint8_t>& bytes, const Container& container, bool exceptions) {
    const char* text = reinterpret_cast<const char*>(bytes.data()) + container.jsonBegin;
    return GltfJson::parse(text, text + container.jsonSize, nullptr, exceptions);
}

// The BIN chunk, moved to the front of the file's bytes rather than copied:
// a large file's pages are then touched once.
std::optional<std::vector<uint8_t>> TakeBin(std::vector<uint8_t>& bytes, const Container& container) {
    if (!container.hasBin) return std::nullopt;
    std::memmove(bytes.data(), bytes.data() + container.binBegin, container.binSize);
    bytes.resize(container.binSize);
    return std::move(bytes);
}

int MajorOf(const GltfJson& json) {
    if (!json.is_object() || !json.contains("asset") || !json["asset"].is_object()) return 0;
    const auto version = json["asset"].find("version");
    if (version == json["asset"].end() || !version->is_string()) return 0;
    const std::string text = version->get<std::string>();
    const size_t dot = text.find('.');
    if (dot == 0 || dot == std::string::npos || text.find_first_not_of("0123456789") != dot) return 0;
    return std::stoi(text.substr(0, std::min<size_t>(dot, 6)));
}

fs::path Absolute(const fs::path& path) { return fs::absolute(path).lexically_normal(); }

std::vector<uint8_t> BufferBytes(GltfDocument& document, size_t index, std::optional<std::vector<uint8_t>>& bin) {
    const std::string where = "buffer " + std::to_string(index);
    const GltfJson& buffer = gltf::Item(document.json, "buffers", index, where);
    const uint64_t byteLength = gltf::Number(buffer, "byteLength", where);
    std::vector<uint8_t> bytes;
    const auto uri = buffer.find("uri");
    if (uri == buffer.end() && IsMeshoptFallback(buffer) && (index != 0 || !bin)) {
        return bytes;  // no data: the views into it are compressed elsewhere
    } else if (uri == buffer.end()) {
        if (index != 0 || !bin) throw std::runtime_error(where + " has no data (no uri and no GLB BIN chunk)");
        bytes = std::move(*bin);
    } else if (!uri->is_string()) {
        throw std::runtime_error(where + ": uri is not a string");
    } else if (auto data = gltf::DataUriBytes(uri->get<std::string>())) {
        bytes = std::move(*data);
    } else {
        const fs::path file = document.folder / gltf::RelativeUriPath(uri->get<std::string>());
        document.filesRead.push_back(Absolute(file));
        bytes = gltf::ReadFileBytes(file);
    }
    if (bytes.size() < byteLength)
        throw std::runtime_error(where + " holds " + std::to_string(bytes.size()) + " bytes, fewer than its byteLength " +
                                 std::to_string(byteLength));
    bytes.resize(static_cast<size_t>(byteLength));
    return bytes;
}

void CheckBufferViews(const GltfDocument& document) {
    for (size_t v = 0; v < gltf::ArraySize(document.json, "bufferViews"); ++v) {
        const std::string where = "buffer view " + std::to_string(v);
        const GltfJson& view = gltf::Item(document.json, "bufferViews", v, where);
        const uint64_t buffer = gltf::Number(view, "buffer", where);
        const uint64_t offset = gltf::Number(view, "byteOffset", where, 0);
        const uint64_t length = gltf::Number(view, "byteLength", where);
        gltf::Number(view, "byteStride", where, 0);
        if (buffer >= document.buffers.size())
            throw std::runtime_error(where + " refers to buffer " + std::to_string(buffer) + ", which is missing");
        if (offset > document.buffers[buffer].size() || length > document.buffers[buffer].size() - offset)
            throw std::runtime_error(where + " reaches past the end of buffer " + std::to_string(buffer));
    }
}

void NoteImages(GltfDocument& document) {
    for (size_t i = 0; i < gltf::ArraySize(document.json, "images"); ++i) {
        const std::string where = "image " + std::to_string(i);
        const GltfJson& image = gltf::Item(document.json, "images", i, where);
        if (image.contains("bufferView"))
            gltf::Item(document.json, "bufferViews", gltf::Number(image, "bufferView", where), where);
        const auto uri = image.find("uri");
        if (uri == image.end()) continue;
        if (!uri->is_string()) throw std::runtime_error(where + ": uri is not a string");
        if (!gltf::IsDataUri(uri->get<std::string>()))
            document.filesRead.push_back(Absolute(document.folder / gltf::RelativeUriPath(uri->get<std::string>())));
    }
}

// The document from the file's bytes (read here unless given), and from its
// JSON when that is already parsed.
GltfDocument ReadDocument(const fs::path& path, std::optional<std::vector<uint8_t>> bytes, GltfJson* parsed) {
    GltfDocument document;
    document.file = path;
    document.folder = path.parent_path();
    document.filesRead.push_back(Absolute(path));
    try {
        if (!bytes) bytes = gltf::ReadFileBytes(path);
        const Container container = Unpack(*bytes);
        if (parsed) {
            document.json = std::move(*parsed);
        } else {
            try {
                document.json = ParseJson(*bytes, container, true);
            } catch (const nlohmann::json::parse_error& e) {
                throw std::runtime_error(std::string("not a glTF file (") + e.what() + ")");
            }
        }
        std::optional<std::vector<uint8_t>> bin = TakeBin(*bytes, container);
        const int major = MajorOf(document.json);
        if (major == 0) throw std::runtime_error("not a glTF file (no asset.version)");
        if (major != 2)
            throw std::runtime_error("glTF " + document.json["asset"]["version"].get<std::string>() + ", not 2.x");
        for (size_t b = 0; b < gltf::ArraySize(document.json, "buffers"); ++b)
            document.buffers.push_back(BufferBytes(document, b, bin));
        DecodeMeshoptViews(document);
        CheckBufferViews(document);
        for (size_t a = 0; a < gltf::ArraySize(document.json, "accessors"); ++a)
            CheckAccessor(document, static_cast<int>(a));
        DecodeDracoPrimitives(document);
        NoteImages(document);
    } catch (const std::exception& e) {
        throw std::runtime_error(path.string() + ": " + e.what());
    }
    return document;
}

}  // namespace

int GltfMajorVersion(const fs::path& path) {
    try {
        // A GLB says it in its header; a .gltf is all JSON.
        const std::vector<uint8_t> head = gltf::ReadFileBytes(path, 8);
        if (IsGlb(head)) return head.size() >= 8 ? static_cast<int>(std::min<uint32_t>(Word(head, 4), 1000)) : 0;
        const std::vector<uint8_t> bytes = gltf::ReadFileBytes(path);
        return MajorOf(ParseJson(bytes, Unpack(bytes), false));
    } catch (const std::exception&) {
        return 0;  // unreadable: whichever reader takes it will say why
    }
}

GltfDocument ReadGltf(const fs::path& path) { return ReadDocument(path, std::nullopt, nullptr); }

std::optional<GltfDocument> ReadGltfIfVersion2(const fs::path& path) {
    // As GltfMajorVersion decides, from one read of the file and one parse.
    std::vector<uint8_t> bytes;
    try {
        bytes = gltf::ReadFileBytes(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (IsGlb(bytes)) {
        if (bytes.size() < 8 || Word(bytes, 4) != 2) return std::nullopt;
        return ReadDocument(path, std::move(bytes), nullptr);
    }
    GltfJson json = ParseJson(bytes, Unpack(bytes), false);
    if (MajorOf(json) != 2) return std::nullopt;
    return ReadDocument(path, std::move(bytes), &json);
}

}  // namespace meshjobs::tool
