#include "toolkit/gltf_json.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace meshjobs::tool::gltf {

uint64_t Number(const GltfJson& object, const char* key, const std::string& where, std::optional<uint64_t> fallback) {
    const auto it = object.find(key);
    if (it == object.end()) {
        if (fallback) return *fallback;
        throw std::runtime_error(where + " has no '" + key + "'");
    }
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    if (it->is_number_integer() && it->get<int64_t>() >= 0) return static_cast<uint64_t>(it->get<int64_t>());
    throw std::runtime_error(where + ": '" + key + "' is not a non-negative integer");
}

size_t ArraySize(const GltfJson& json, const char* array) {
    const auto it = json.find(array);
    if (it == json.end()) return 0;
    if (!it->is_array()) throw std::runtime_error(std::string("'") + array + "' is not an array");
    return it->size();
}

const GltfJson& Item(const GltfJson& json, const char* array, uint64_t index, const std::string& where) {
    if (index >= ArraySize(json, array))
        throw std::runtime_error(where + " refers to " + array + "[" + std::to_string(index) + "], which is missing");
    const GltfJson& item = json[array][static_cast<size_t>(index)];
    if (!item.is_object())
        throw std::runtime_error(std::string(array) + "[" + std::to_string(index) + "] is not an object");
    return item;
}

void ForgetExtension(GltfJson& json, const std::string& name) {
    for (const char* list : {"extensionsUsed", "extensionsRequired"}) {
        const auto names = json.find(list);
        if (names == json.end() || !names->is_array()) continue;
        names->erase(std::remove(names->begin(), names->end(), GltfJson(name)), names->end());
        if (names->empty()) json.erase(list);
    }
}

void EraseExtension(GltfJson& object, const std::string& name) {
    const auto extensions = object.find("extensions");
    if (extensions == object.end() || !extensions->is_object()) return;
    extensions->erase(name);
    if (extensions->empty()) object.erase("extensions");
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecoded(const std::string& uri) {
    std::string text;
    for (size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && HexValue(uri[i + 1]) >= 0 && HexValue(uri[i + 2]) >= 0) {
            text += static_cast<char>(HexValue(uri[i + 1]) * 16 + HexValue(uri[i + 2]));
            i += 2;
        } else {
            text += uri[i];
        }
    }
    return text;
}

// "scheme:" as RFC 3986 spells it (a drive letter "C:" counts too).
bool HasScheme(const std::string& uri) {
    if (uri.empty() || !std::isalpha(static_cast<unsigned char>(uri[0]))) return false;
    for (char c : uri) {
        if (c == ':') return true;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    return false;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

}  // namespace

bool IsDataUri(const std::string& uri) { return uri.rfind("data:", 0) == 0; }

std::optional<std::vector<uint8_t>> DataUriBytes(const std::string& uri) {
    if (!IsDataUri(uri)) return std::nullopt;
    const size_t comma = uri.find(',');
    if (comma == std::string::npos || comma < 7 || uri.compare(comma - 7, 7, ";base64") != 0)
        throw std::runtime_error("a data: URI that is not base64");
    std::vector<uint8_t> bytes;
    bytes.reserve((uri.size() - comma) / 4 * 3);
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = comma + 1; i < uri.size(); ++i) {
        const char c = uri[i];
        if (c == '=') break;
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        const int value = Base64Value(c);
        if (value < 0) throw std::runtime_error("a data: URI with a character outside base64");
        bits = (bits << 6) | static_cast<uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> held));
        }
    }
    return bytes;
}

fs::path RelativeUriPath(const std::string& uri) {
    if (HasScheme(uri)) throw std::runtime_error("URI '" + uri + "' is not a relative file name");
    const fs::path path = fs::path(PercentDecoded(uri));
    const fs::path normal = path.lexically_normal();
    if (path.empty() || path.has_root_path() || normal.empty() || *normal.begin() == ".." || normal == ".")
        throw std::runtime_error("URI '" + uri + "' is outside the model's folder");
    return normal;
}

std::string UriOf(const fs::path& relative) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string uri;
    for (const unsigned char c : relative.generic_string()) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += HEX[c >> 4];
            uri += HEX[c & 15];
        }
    }
    return uri;
}

}  // namespace meshjobs::tool::gltf

namespace meshjobs::tool::gltf {

std::vector<uint8_t> ReadFileBytes(const fs::path& path, size_t limit) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) throw std::runtime_error(SystemMessage("cannot read", path, errno));
    // Sized once from the file's length and read straight into place; a file
    // that grows meanwhile is still read to its end.
    struct stat status {};
    std::vector<uint8_t> bytes;
    if (fstat(fileno(file), &status) == 0 && status.st_size > 0) {
        // Room to a whole 64 KiB: freed, it holds the next file read (the
        // written one, read back) even when that one is a little larger.
        const size_t size = std::min(static_cast<size_t>(status.st_size), limit);
        bytes.reserve(size > (1 << 16) ? (size | 0xFFFF) + 1 : size);
        bytes.resize(size);
    }
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    uint8_t chunk[1 << 16];
    while (bytes.size() < limit) {
        const size_t got = std::fread(chunk, 1, std::min(sizeof chunk, limit - bytes.size()), file);
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    const int failure = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (failure) throw std::runtime_error(SystemMessage("cannot read", path, failure));
    return bytes;
}

}  // namespace meshjobs::tool::gltf
