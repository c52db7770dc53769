// Reading a glTF document's JSON with messages that say where it is wrong,
// and the URIs it names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/gltf_document.h"

namespace meshjobs::tool::gltf {

// object[key] as a non-negative integer; `fallback` when absent (refused
// when there is none). Throws std::runtime_error naming `where`.
uint64_t Number(const GltfJson& object, const char* key, const std::string& where,
                std::optional<uint64_t> fallback = std::nullopt);

// json[array][index], which must be an object.
const GltfJson& Item(const GltfJson& json, const char* array, uint64_t index, const std::string& where);

// The size of json[array] (0 when absent); throws when it is not an array.
size_t ArraySize(const GltfJson& json, const char* array);

// Removes `name` from extensionsUsed and extensionsRequired (a list left
// empty goes too: glTF has no empty lists).
void ForgetExtension(GltfJson& json, const std::string& name);
// Removes object["extensions"][name] (and "extensions" once it is empty).
void EraseExtension(GltfJson& object, const std::string& name);

// The bytes of a "data:...;base64,..." URI; nullopt for any other URI.
std::optional<std::vector<uint8_t>> DataUriBytes(const std::string& uri);
bool IsDataUri(const std::string& uri);

// The relative path a URI names, percent-decoded. Throws for a URI with a
// scheme, an absolute path or one that climbs out of the model's folder.
std::filesystem::path RelativeUriPath(const std::string& uri);

// A relative path as a URI: every byte outside unreserved characters and '/'
// percent-encoded.
std::string UriOf(const std::filesystem::path& relative);

}  // namespace meshjobs::tool::gltf

namespace meshjobs::tool::gltf {

// A whole file, or its first `limit` bytes; throws std::runtime_error
// "cannot read <path>: <reason>".
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path, size_t limit = SIZE_MAX);

}  // namespace meshjobs::tool::gltf
