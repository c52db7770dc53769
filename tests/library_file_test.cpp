// The built file itself: exactly the 21 export names and no import at all.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

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
    if (offset + sizeof(T) > bytes.size()) throw std::runtime_error("truncated ELF file");
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

DynamicSymbols ReadDynamicSymbols(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto header = ReadAt<Elf64_Ehdr>(bytes, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error(path + " is not a 64-bit ELF file");

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

TEST(LibraryFile, ExportsExactlyTheTwentyOneNames) {
    const auto symbols = ReadDynamicSymbols(MESHJOBS_LIBRARY_FILE);
    EXPECT_EQ(ExpectedExports().size(), 21u);
    EXPECT_EQ(symbols.defined, ExpectedExports());
}

TEST(LibraryFile, ImportsNothing) {
    const auto symbols = ReadDynamicSymbols(MESHJOBS_LIBRARY_FILE);
    EXPECT_TRUE(symbols.undefined.empty()) << "first import: " << *symbols.undefined.begin();
    EXPECT_TRUE(symbols.needed.empty()) << "needs " << symbols.needed.front();
}

}  // namespace
