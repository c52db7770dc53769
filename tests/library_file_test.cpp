// The built file itself: exactly the 21 export names and no import at all.
// The reader follows the file's format: ELF on Linux, PE on Windows.
#include <gtest/gtest.h>
#if __has_include(<elf.h>)
#include <elf.h>
#endif

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "meshjobs/host.h"
#include "meshjobs/names.h"

namespace {

struct DynamicSymbols {
    std::set<std::string> defined;
    std::set<std::string> undefined;
    std::vector<std::string> needed;
};

template <typename T>
T ReadAt(const std::vector<char>& bytes, size_t offset) {
    T value;
    if (offset > bytes.size() || sizeof(T) > bytes.size() - offset) throw std::runtime_error("truncated file");
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

std::string StringAt(const std::vector<char>& bytes, size_t offset) {
    if (offset >= bytes.size()) throw std::runtime_error("string outside the file");
    return std::string(bytes.data() + offset, strnlen(bytes.data() + offset, bytes.size() - offset));
}

// PE32+: the export directory's names, and every DLL named by the import and
// delay-import directories (imports count as undefined, their DLLs as needed).
DynamicSymbols ReadPeSymbols(const std::vector<char>& bytes) {
    const auto peOffset = ReadAt<uint32_t>(bytes, 0x3C);
    if (ReadAt<uint32_t>(bytes, peOffset) != 0x00004550u) throw std::runtime_error("no PE signature");
    const size_t coff = peOffset + 4;
    const auto sectionCount = ReadAt<uint16_t>(bytes, coff + 2);
    const auto optionalSize = ReadAt<uint16_t>(bytes, coff + 16);
    const size_t optional = coff + 20;
    if (ReadAt<uint16_t>(bytes, optional) != 0x20B) throw std::runtime_error("not a PE32+ file");
    const auto directoryCount = ReadAt<uint32_t>(bytes, optional + 108);
    auto directory = [&](uint32_t index) {
        if (index >= directoryCount) return std::pair<uint32_t, uint32_t>{0, 0};
        return std::pair{ReadAt<uint32_t>(bytes, optional + 112 + 8 * index),
                         ReadAt<uint32_t>(bytes, optional + 116 + 8 * index)};
    };
    const size_t sections = optional + optionalSize;
    auto fileOffset = [&](uint32_t rva) -> size_t {
        for (uint16_t i = 0; i < sectionCount; ++i) {
            const size_t header = sections + 40 * size_t(i);
            const auto virtualSize = ReadAt<uint32_t>(bytes, header + 8);
            const auto virtualAddress = ReadAt<uint32_t>(bytes, header + 12);
            const auto rawOffset = ReadAt<uint32_t>(bytes, header + 20);
            if (rva >= virtualAddress && rva - virtualAddress < virtualSize) return rawOffset + (rva - virtualAddress);
        }
        throw std::runtime_error("address outside every section");
    };

    DynamicSymbols result;
    if (const auto [exports, size] = directory(0); exports && size) {
        const size_t table = fileOffset(exports);
        const auto nameCount = ReadAt<uint32_t>(bytes, table + 24);
        const size_t names = fileOffset(ReadAt<uint32_t>(bytes, table + 32));
        for (uint32_t i = 0; i < nameCount; ++i)
            result.defined.insert(StringAt(bytes, fileOffset(ReadAt<uint32_t>(bytes, names + 4 * size_t(i)))));
    }
    // An import descriptor is 20 bytes with the DLL name's address at 12, a
    // delay-import descriptor 32 bytes with it at 4; both lists end in zeros.
    for (const auto [index, stride, nameField] : {std::tuple{1u, 20u, 12u}, std::tuple{13u, 32u, 4u}}) {
        const auto [address, size] = directory(index);
        if (!address || !size) continue;
        for (size_t entry = fileOffset(address);; entry += stride) {
            const auto name = ReadAt<uint32_t>(bytes, entry + nameField);
            if (!name) break;
            result.needed.push_back(StringAt(bytes, fileOffset(name)));
            result.undefined.insert(result.needed.back());
        }
    }
    return result;
}

#if __has_include(<elf.h>)
DynamicSymbols ReadElfSymbols(const std::vector<char>& bytes) {
    const auto header = ReadAt<Elf64_Ehdr>(bytes, 0);
    if (header.e_ident[EI_CLASS] != ELFCLASS64) throw std::runtime_error("not a 64-bit ELF file");

    std::vector<Elf64_Shdr> sections;
    for (int i = 0; i < header.e_shnum; ++i)
        sections.push_back(ReadAt<Elf64_Shdr>(bytes, header.e_shoff + size_t(i) * header.e_shentsize));

    DynamicSymbols result;
    for (const auto& section : sections) {
        if (section.sh_type == SHT_DYNSYM) {
            const auto& strings = sections.at(section.sh_link);
            for (size_t offset = section.sh_entsize; offset < section.sh_size; offset += section.sh_entsize) {
                const auto symbol = ReadAt<Elf64_Sym>(bytes, section.sh_offset + offset);
                const std::string name = bytes.data() + strings.sh_offset + symbol.st_name;
                if (name.empty()) continue;
                (symbol.st_shndx == SHN_UNDEF ? result.undefined : result.defined).insert(name);
            }
        }
        if (section.sh_type == SHT_DYNAMIC) {
            const auto& strings = sections.at(section.sh_link);
            for (size_t offset = 0; offset < section.sh_size; offset += sizeof(Elf64_Dyn)) {
                const auto entry = ReadAt<Elf64_Dyn>(bytes, section.sh_offset + offset);
                if (entry.d_tag == DT_NEEDED) result.needed.push_back(bytes.data() + strings.sh_offset + entry.d_un.d_val);
            }
        }
    }
    return result;
}
#endif

DynamicSymbols ReadDynamicSymbols(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') return ReadPeSymbols(bytes);
#if __has_include(<elf.h>)
    if (bytes.size() >= SELFMAG && std::memcmp(bytes.data(), ELFMAG, SELFMAG) == 0) return ReadElfSymbols(bytes);
#endif
    throw std::runtime_error(path + " is in no format this test reads");
}

std::set<std::string> ExpectedExports() {
    std::set<std::string> names{meshjobs::LIBRARY_INITIALIZER_NAME};
    for (const char* hash : meshjobs::JOB_HASHES) {
        names.insert(hash);
        names.insert(std::string(MESHJOBS_JOB_INITIALIZER_PREFIX) + hash);
        names.insert(std::string(MESHJOBS_EXTERNALS_INITIALIZER_PREFIX) + hash);
        names.insert(std::string(MESHJOBS_STATICS_INITIALIZER_PREFIX) + hash);
    }
    return names;
}

// A sanitizer build's library calls into the sanitizer runtime that the
// program carries, its function-type check adds type descriptions, and the
// linker may list the bounds of the fuzzer's coverage sections (as local
// entries, which no lookup finds); nothing else may appear there either.
#if defined(MESHJOBS_SANITIZED)
bool AddedBySanitizer(const std::string& name, bool imported) {
    for (const char* prefix : {"__asan_", "__ubsan_", "__tsan_", "__sanitizer_", "__sancov_"})
        if (name.rfind(prefix, 0) == 0) return imported;
    if (imported) return name.rfind("_ZTVN10__cxxabiv1", 0) == 0;
    for (const char* prefix : {"__start___sancov_", "__stop___sancov_"})
        if (name.rfind(prefix, 0) == 0) return true;
    return name.rfind("_ZTIF", 0) == 0 || name.rfind("_ZTSF", 0) == 0;
}
template <typename Names>
std::set<std::string> WithoutSanitizerNames(const Names& names, bool imported) {
    std::set<std::string> kept;
    for (const std::string& name : names)
        if (!AddedBySanitizer(name, imported)) kept.insert(name);
    return kept;
}
#else
template <typename Names>
std::set<std::string> WithoutSanitizerNames(const Names& names, bool) {
    return std::set<std::string>(names.begin(), names.end());
}
#endif

TEST(LibraryFile, ExportsExactlyTheTwentyOneNames) {
    const auto symbols = ReadDynamicSymbols(MESHJOBS_LIBRARY_FILE);
    EXPECT_EQ(ExpectedExports().size(), 21u);
    EXPECT_EQ(WithoutSanitizerNames(symbols.defined, false), ExpectedExports());
}

TEST(LibraryFile, ImportsNothing) {
    const auto symbols = ReadDynamicSymbols(MESHJOBS_LIBRARY_FILE);
    const auto undefined = WithoutSanitizerNames(symbols.undefined, true);
    EXPECT_TRUE(undefined.empty()) << "first import: " << *undefined.begin();
    EXPECT_TRUE(symbols.needed.empty()) << "needs " << symbols.needed.front();
}

// Read from the file (an ELF note, or the DLL's version resource), so a
// binary tells its version without being loaded.
TEST(LibraryFile, CarriesTheProjectVersion) {
    EXPECT_EQ(meshjobs::host::LibraryFileVersion(MESHJOBS_LIBRARY_FILE), MESHJOBS_PROJECT_VERSION);
}

}  // namespace
