// The version libmeshjobs carries, read from the file's bytes: the ELF note
// that binding/version_note.cpp writes, or the fixed part of the DLL's
// version resource. Either platform's file can be read on either platform.
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "meshjobs/host.h"

namespace meshjobs::host {

namespace {

using Bytes = std::vector<unsigned char>;

uint64_t Read(const Bytes& bytes, uint64_t offset, int width) {
    if (offset > bytes.size() || uint64_t(width) > bytes.size() - offset) return 0;
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[offset + i];  // little-endian
    return value;
}

// 64-bit ELF: every note section, for a note named "meshjobs" of type 1.
std::string ElfVersion(const Bytes& bytes) {
    const uint64_t sections = Read(bytes, 0x28, 8);
    const uint64_t entrySize = Read(bytes, 0x3A, 2), count = Read(bytes, 0x3C, 2);
    constexpr uint32_t SHT_NOTE = 7;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t header = sections + i * entrySize;
        if (Read(bytes, header + 4, 4) != SHT_NOTE) continue;
        uint64_t note = Read(bytes, header + 0x18, 8);
        const uint64_t end = note + Read(bytes, header + 0x20, 8);
        while (note + 12 <= end && end <= bytes.size()) {
            const uint64_t nameSize = Read(bytes, note, 4), descSize = Read(bytes, note + 4, 4);
            const uint64_t name = note + 12, desc = name + (nameSize + 3) / 4 * 4;
            if (desc + descSize > end) break;
            if (Read(bytes, note + 8, 4) == 1 && nameSize == 9 && std::memcmp(&bytes[name], "meshjobs", 9) == 0)
                return std::string(reinterpret_cast<const char*>(&bytes[desc]),
                                   strnlen(reinterpret_cast<const char*>(&bytes[desc]), descSize));
            note = desc + (descSize + 3) / 4 * 4;
        }
    }
    return "";
}

// PE: the resource section's fixed file information, found by its signature
// (it sits 4-byte aligned); the file version's first three parts.
std::string PeVersion(const Bytes& bytes) {
    const uint64_t coff = Read(bytes, 0x3C, 4) + 4;
    const uint64_t count = Read(bytes, coff + 2, 2);
    const uint64_t sections = coff + 20 + Read(bytes, coff + 16, 2);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t header = sections + 40 * i;
        if (header + 8 > bytes.size() || std::memcmp(&bytes[header], ".rsrc\0\0", 8) != 0) continue;
        const uint64_t begin = Read(bytes, header + 20, 4), size = Read(bytes, header + 16, 4);
        for (uint64_t at = begin; at + 16 <= begin + size; at += 4) {
            if (Read(bytes, at, 4) != 0xFEEF04BDu) continue;
            const uint64_t high = Read(bytes, at + 8, 4), low = Read(bytes, at + 12, 4);
            return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16);
        }
    }
    return "";
}

}  // namespace

std::string LibraryFileVersion(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw HostError("cannot open the meshjobs library '" + path + "'");
    const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() > 4 && std::memcmp(bytes.data(), "\x7f" "ELF", 4) == 0) return ElfVersion(bytes);
    if (bytes.size() > 2 && bytes[0] == 'M' && bytes[1] == 'Z') return PeVersion(bytes);
    return "";
}

}  // namespace meshjobs::host
