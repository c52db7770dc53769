// glTF 2.0 documents edited in place: read whole (the JSON as written, every
// buffer's bytes), changed through small edits, written back repacked. What
// the tool does not touch (extensions, extras, animations, cameras...) stays
// as it was read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/output_files.h"

namespace meshjobs::tool {

// Keeps members in the order the file has them, so a written document reads
// like the original.
using GltfJson = nlohmann::ordered_json;

struct GltfDocument {
    GltfJson json;
    std::vector<std::vector<uint8_t>> buffers;  // buffers[i]: exactly json["buffers"][i]["byteLength"] bytes
    std::filesystem::path file;                 // the main file, as given
    std::filesystem::path folder;               // where relative URIs start
    // The main file and every external buffer and image file it names,
    // absolute and normalised: none of them may be written.
    std::vector<std::filesystem::path> filesRead;
    std::optional<size_t> addedBuffer;  // where AddBufferView puts new bytes, once it has
    // What was compressed in the file and decoded on reading, a line each
    // ("KHR_draco_mesh_compression: 3 primitives decoded, ...").
    std::vector<std::string> decoded;
};

// The major version of a glTF file (the GLB header's, else asset.version's),
// or 0 when the file is not glTF or cannot be read. Cheap enough to pick the
// reader by: 2 goes to ReadGltf, anything else to the general importer.
int GltfMajorVersion(const std::filesystem::path& path);

// Reads a .gltf (buffers from relative file URIs or data: URIs) or a .glb
// (its BIN chunk is buffer 0 when that buffer has no URI). Compressed buffer
// views (EXT_meshopt_compression, KHR_meshopt_compression) and primitives
// (KHR_draco_mesh_compression) are decoded into plain ones, the extensions
// gone from the document, each noted in `decoded`. Checks every buffer,
// buffer view and accessor against what holds it. Throws std::runtime_error
// naming the file and the reason (for compressed data that does not decode,
// the extension and what is wrong).
GltfDocument ReadGltf(const std::filesystem::path& path);

// ReadGltf for a file GltfMajorVersion finds to be glTF 2, from one read and
// one parse of it; nothing for any other file, which the general importer
// then reads.
std::optional<GltfDocument> ReadGltfIfVersion2(const std::filesystem::path& path);

// Appends bytes as a new buffer view in a buffer the writer emits, and
// returns its index. byteStride 0 means none (tightly packed); otherwise a
// multiple of 4 in [4, 252]. target: 34962 vertex data, 34963 indices.
int AddBufferView(GltfDocument& document, std::vector<uint8_t> bytes, int byteStride, std::optional<int> target);

// Appends an accessor object (already pointing at a buffer view, if any)
// after checking it against its view; returns its index.
int AddAccessor(GltfDocument& document, GltfJson accessor);

// Drops the accessors nothing refers to and renumbers every reference.
// References are integers under "accessor", "indices",
// "inverseBindMatrices", "input" or "output", and the values of
// "attributes" and "targets" objects. Under "extensions" or "extras" such a
// number may mean something else, so no accessor below the largest of those
// is dropped (their numbers then never change). Returns how many went.
int RemoveUnusedAccessors(GltfDocument& document);

struct WrittenGltf {
    std::vector<std::filesystem::path> files;  // every staged file, relative to the output folder
    std::filesystem::path main;                // the .gltf or .glb itself: commit it last
};

// Stages `relative` (.glb or .gltf by its extension) in `output`. Only the
// buffer views something refers to (any integer member "bufferView") are
// kept, packed 4-byte aligned into one buffer: the BIN chunk of a .glb, or
// "<stem>.bin" beside a .gltf (then "<stem>-1.bin"... when that name is a
// file read or already exists). Images held in external files stay external
// and are copied beside the output under the same relative path; data: URIs
// stay as they are. asset.version becomes "2.0", the rest of asset stays.
// Throws std::runtime_error.
WrittenGltf WriteGltf(const GltfDocument& document, StagedOutput& output, const std::filesystem::path& relative);

}  // namespace meshjobs::tool
