// Writing a glTF document: buffer views repacked into one buffer, then a .glb
// or a .gltf with its .bin, every file staged.
#include <algorithm>
#include <set>
#include <stdexcept>

#include "toolkit/gltf_document.h"
#include "toolkit/gltf_json.h"

namespace fs = std::filesystem;

namespace meshjobs::tool {

namespace {

bool IsIndex(const GltfJson& value) {
    return value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
}

// Every integer member named `name` anywhere under `node`.
void FindMembers(GltfJson& node, const std::string& name, std::vector<GltfJson*>& found) {
    if (node.is_array()) {
        for (GltfJson& item : node) FindMembers(item, name, found);
    } else if (node.is_object()) {
        for (auto& [key, value] : node.items()) {
            if (key == name && value.is_number_integer()) found.push_back(&value);
            if (value.is_structured()) FindMembers(value, name, found);
        }
    }
}

// Packs the bytes of every buffer view something refers to into one buffer,
// in view order, each 4-byte aligned, and renumbers the views. Returns that
// buffer's bytes; json["buffers"] then holds it alone (or is gone when no
// view is left).
std::vector<uint8_t> Repack(const GltfDocument& document, GltfJson& json) {
    // A view's own "buffer" is rewritten here; any other one (an extension
    // pointing into a buffer directly) would be left pointing at nothing.
    std::vector<GltfJson*> bufferReferences;
    for (auto& [key, value] : json.items())
        if (key != "bufferViews" && value.is_structured()) FindMembers(value, "buffer", bufferReferences);
    if (!bufferReferences.empty())
        throw std::runtime_error("the document refers to buffers outside its buffer views; it cannot be repacked");

    const size_t viewCount = gltf::ArraySize(json, "bufferViews");
    std::vector<GltfJson*> references;
    for (auto& [key, value] : json.items())
        if (key != "bufferViews" && value.is_structured()) FindMembers(value, "bufferView", references);
    std::vector<bool> used(viewCount, false);
    for (GltfJson* reference : references) {
        if (!IsIndex(*reference) || reference->get<uint64_t>() >= viewCount)
            throw std::runtime_error("a reference to buffer view " + reference->dump() + ", which is missing");
        used[reference->get<size_t>()] = true;
    }

    std::vector<uint8_t> packed;
    size_t total = 0;
    for (size_t v = 0; v < viewCount; ++v)
        if (used[v] && json["bufferViews"][v].is_object())
            total += gltf::Number(json["bufferViews"][v], "byteLength", "buffer view", 0) + 3;
    packed.reserve(total);
    std::vector<size_t> renumbered(viewCount, 0);
    GltfJson views = GltfJson::array();
    for (size_t v = 0; v < viewCount; ++v) {
        if (!used[v]) continue;
        const std::string where = "buffer view " + std::to_string(v);
        GltfJson view = json["bufferViews"][v];
        const uint64_t buffer = gltf::Number(view, "buffer", where);
        const uint64_t offset = gltf::Number(view, "byteOffset", where, 0);
        const uint64_t length = gltf::Number(view, "byteLength", where);
        if (buffer >= document.buffers.size() || offset > document.buffers[buffer].size() ||
            length > document.buffers[buffer].size() - offset)
            throw std::runtime_error(where + " reaches past its buffer");
        packed.resize((packed.size() + 3) / 4 * 4, 0);
        view["buffer"] = 0;
        if (view.contains("byteOffset") || !packed.empty()) view["byteOffset"] = packed.size();
        const auto begin = document.buffers[buffer].begin() + static_cast<ptrdiff_t>(offset);
        packed.insert(packed.end(), begin, begin + static_cast<ptrdiff_t>(length));
        renumbered[v] = views.size();
        views.push_back(std::move(view));
    }
    for (GltfJson* reference : references) *reference = renumbered[reference->get<size_t>()];

    GltfJson buffer = gltf::ArraySize(json, "buffers") > 0 && json["buffers"][0].is_object() ? json["buffers"][0]
                                                                                             : GltfJson::object();
    buffer.erase("uri");
    buffer["byteLength"] = packed.size();
    json.erase("buffers");
    if (views.empty()) {
        json.erase("bufferViews");
    } else {
        json["bufferViews"] = std::move(views);
        json["buffers"] = GltfJson::array({std::move(buffer)});
    }
    return packed;
}

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

bool IsFileRead(const GltfDocument& document, const fs::path& path) {
    const fs::path absolute = fs::absolute(path).lexically_normal();
    return std::any_of(document.filesRead.begin(), document.filesRead.end(),
                       [&](const fs::path& read) { return read == absolute || SameFile(read, absolute); });
}

// Stages every image held in an external file under the same relative path
// beside the output, unless it already is that file.
void CopyImages(const GltfDocument& document, const GltfJson& json, StagedOutput& output, const fs::path& base,
                std::set<fs::path>& staged) {
    for (size_t i = 0; i < gltf::ArraySize(json, "images"); ++i) {
        const GltfJson& image = json["images"][i];
        if (!image.is_object() || !image.contains("uri") || !image["uri"].is_string()) continue;
        const std::string uri = image["uri"].get<std::string>();
        if (gltf::IsDataUri(uri)) continue;
        const fs::path relative = gltf::RelativeUriPath(uri);
        const fs::path source = document.folder / relative;
        const fs::path destination = (base / relative).lexically_normal();
        if (staged.count(destination) || SameFile(output.folder() / destination, source)) continue;
        const std::vector<uint8_t> bytes = gltf::ReadFileBytes(source);
        output.WriteFile(destination, bytes.data(), bytes.size());
        staged.insert(destination);
    }
}

fs::path BinName(const GltfDocument& document, const StagedOutput& output, const fs::path& base,
                 const fs::path& stem, const std::set<fs::path>& staged) {
    for (int n = 0;; ++n) {
        std::string name = stem.string();
        if (n > 0) name += '-' + std::to_string(n);
        name += ".bin";
        const fs::path relative = (base / name).lexically_normal();
        std::error_code error;
        if (!staged.count(relative) && !fs::exists(output.folder() / relative, error) &&
            !IsFileRead(document, output.folder() / relative))
            return name;
    }
}

void Put(std::vector<uint8_t>& bytes, uint32_t word) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
}

// A GLB as its pieces: the header with the JSON chunk, then the BIN chunk's
// header, bytes and padding, written without joining them.
void WriteGlb(StagedOutput& output, const fs::path& relative, std::string json, const std::vector<uint8_t>& bin) {
    json.resize((json.size() + 3) / 4 * 4, ' ');
    const size_t binPadded = (bin.size() + 3) / 4 * 4;
    const uint64_t total = 12 + 8 + json.size() + (bin.empty() ? 0 : 8 + binPadded);
    if (total > UINT32_MAX) throw std::runtime_error("the document is too large for a GLB file (4 GiB)");
    std::vector<uint8_t> head;
    head.reserve(20 + json.size() + 8);
    Put(head, 0x46546C67);  // "glTF"
    Put(head, 2);
    Put(head, static_cast<uint32_t>(total));
    Put(head, static_cast<uint32_t>(json.size()));
    Put(head, 0x4E4F534A);  // "JSON"
    head.insert(head.end(), json.begin(), json.end());
    if (bin.empty()) return output.WriteFile(relative, {{head.data(), head.size()}});
    Put(head, static_cast<uint32_t>(binPadded));
    Put(head, 0x004E4942);  // "BIN\0"
    const uint8_t padding[3] = {};
    output.WriteFile(relative, {{head.data(), head.size()}, {bin.data(), bin.size()}, {padding, binPadded - bin.size()}});
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

WrittenGltf WriteGltf(const GltfDocument& document, StagedOutput& output, const fs::path& relative) {
    const std::string extension = Lowercase(relative.extension().string());
    if (extension != ".glb" && extension != ".gltf")
        throw std::invalid_argument("a glTF document is written as .glb or .gltf, not '" + extension + "'");
    GltfJson json = document.json;
    std::vector<uint8_t> bin = Repack(document, json);
    if (!json.contains("asset") || !json["asset"].is_object()) json["asset"] = GltfJson::object();
    json["asset"]["version"] = "2.0";

    WrittenGltf written;
    written.main = relative.lexically_normal();
    const fs::path base = written.main.parent_path();
    std::set<fs::path> staged = {written.main};
    CopyImages(document, json, output, base, staged);
    if (extension == ".glb") {
        WriteGlb(output, written.main, json.dump(), bin);
    } else {
        if (json.contains("buffers")) {
            const fs::path name = BinName(document, output, base, written.main.stem(), staged);
            GltfJson& buffer = json["buffers"][0];
            // The URI goes first, where readers of the file expect it.
            GltfJson named = {{"uri", gltf::UriOf(name)}};
            named.update(buffer);
            buffer = std::move(named);
            output.WriteFile(base / name, bin.data(), bin.size());
            staged.insert((base / name).lexically_normal());
        }
        const std::string text = json.dump(2) + "\n";
        output.WriteFile(written.main, text.data(), text.size());
    }
    written.files.assign(staged.begin(), staged.end());
    return written;
}

}  // namespace meshjobs::tool
