#include "crash/crash_elf.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crash/crash_image_list.h"
#include "support/temp_dir.h"

namespace strombel::crash {
namespace {

struct Symbol {
    std::string name;
    uint64_t value;
    uint64_t size;
    unsigned type = STT_FUNC;
    uint16_t section = 1;
};

// A small ELF file: a null section, a symbol table (SHT_SYMTAB or SHT_DYNSYM)
// and its string table.
std::vector<uint8_t> makeElf(const std::vector<Symbol>& symbols, uint32_t tableType = SHT_SYMTAB) {
    std::string strings(1, '\0');
    std::vector<Elf64_Sym> table(1, Elf64_Sym{});
    for (const Symbol& s : symbols) {
        Elf64_Sym sym{};
        sym.st_name = static_cast<uint32_t>(strings.size());
        sym.st_info = static_cast<unsigned char>(ELF64_ST_INFO(STB_GLOBAL, s.type));
        sym.st_shndx = s.section;
        sym.st_value = s.value;
        sym.st_size = s.size;
        table.push_back(sym);
        strings += s.name;
        strings.push_back('\0');
    }
    size_t tableOffset = sizeof(Elf64_Ehdr);
    size_t stringsOffset = tableOffset + table.size() * sizeof(Elf64_Sym);
    size_t sectionsOffset = (stringsOffset + strings.size() + 7) & ~size_t{7};
    std::vector<uint8_t> file(sectionsOffset + 3 * sizeof(Elf64_Shdr));
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_DYN;
    header.e_shoff = sectionsOffset;
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = 3;
    header.e_ehsize = sizeof(Elf64_Ehdr);
    std::memcpy(file.data(), &header, sizeof header);
    std::memcpy(file.data() + tableOffset, table.data(), table.size() * sizeof(Elf64_Sym));
    std::memcpy(file.data() + stringsOffset, strings.data(), strings.size());
    Elf64_Shdr sections[3] = {};
    sections[1].sh_type = tableType;
    sections[1].sh_offset = tableOffset;
    sections[1].sh_size = table.size() * sizeof(Elf64_Sym);
    sections[1].sh_entsize = sizeof(Elf64_Sym);
    sections[1].sh_link = 2;
    sections[2].sh_type = SHT_STRTAB;
    sections[2].sh_offset = stringsOffset;
    sections[2].sh_size = strings.size();
    std::memcpy(file.data() + sectionsOffset, sections, sizeof sections);
    return file;
}

const char* nameAt(const ElfSymbols& symbols, uint64_t address) {
    const crash_elf_symbol* found =
        crash_elf_find_symbol(symbols.symbols.data(), static_cast<uint32_t>(symbols.symbols.size()), address);
    return found ? symbols.names.c_str() + found->nameOffset : nullptr;
}

TEST(CrashElf, FunctionsAreFoundByAddress) {
    auto file = makeElf({{"second", 0x2000, 0x100},
                         {"first", 0x1000, 0x80},
                         {"unsized", 0x3000, 0},
                         {"data_object", 0x1800, 0x10, STT_OBJECT},
                         {"undefined", 0x1900, 0x10, STT_FUNC, SHN_UNDEF},
                         {"alias_of_second", 0x2000, 0x100}});
    ElfSymbols symbols;
    ASSERT_EQ(crash_elf_read_symbols(file, &symbols), ElfReadResult::ok);
    EXPECT_TRUE(symbols.fromSymtab);
    EXPECT_EQ(symbols.symbols.size(), 4u);  // functions only
    EXPECT_EQ(nameAt(symbols, 0xFFF), nullptr);
    EXPECT_STREQ(nameAt(symbols, 0x1000), "first");
    EXPECT_STREQ(nameAt(symbols, 0x107F), "first");
    // Past a sized symbol's end, nothing: not the symbol before.
    EXPECT_EQ(nameAt(symbols, 0x1080), nullptr);
    EXPECT_EQ(nameAt(symbols, 0x1900), nullptr);
    // Of two symbols at one address, the first listed.
    EXPECT_STREQ(nameAt(symbols, 0x2010), "second");
    EXPECT_STREQ(nameAt(symbols, 0x9000), "unsized");
}

TEST(CrashElf, TheDynamicTableServesWhenThereIsNoOther) {
    auto file = makeElf({{"exported", 0x1000, 0x10}}, SHT_DYNSYM);
    ElfSymbols symbols;
    ASSERT_EQ(crash_elf_read_symbols(file, &symbols), ElfReadResult::ok);
    EXPECT_FALSE(symbols.fromSymtab);
    EXPECT_STREQ(nameAt(symbols, 0x1008), "exported");
}

TEST(CrashElf, DamagedFilesAreRefusedWithoutReadingOutside) {
    auto good = makeElf({{"f", 0x1000, 0x10}});
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        ElfReadResult expected;
    } cases[] = {
        {"empty", [](auto& f) { f.clear(); }, ElfReadResult::notElf},
        {"bad magic", [](auto& f) { f[1] = 'X'; }, ElfReadResult::notElf},
        {"32-bit", [](auto& f) { f[EI_CLASS] = ELFCLASS32; }, ElfReadResult::unsupported},
        {"big-endian", [](auto& f) { f[EI_DATA] = ELFDATA2MSB; }, ElfReadResult::unsupported},
        {"cut before the sections", [](auto& f) { f.pop_back(); }, ElfReadResult::damaged},
        {"section offset past the end",
         [](auto& f) {
             uint64_t offset = UINT64_MAX - 8;
             std::memcpy(f.data() + offsetof(Elf64_Ehdr, e_shoff), &offset, 8);
         },
         ElfReadResult::damaged},
        {"huge section count",
         [](auto& f) {
             uint16_t count = 0xFFFF;
             std::memcpy(f.data() + offsetof(Elf64_Ehdr, e_shnum), &count, 2);
         },
         ElfReadResult::damaged},
        {"string table link out of range",
         [](auto& f) {
             uint64_t shoff;
             std::memcpy(&shoff, f.data() + offsetof(Elf64_Ehdr, e_shoff), 8);
             uint32_t link = 99;
             std::memcpy(f.data() + shoff + sizeof(Elf64_Shdr) + offsetof(Elf64_Shdr, sh_link), &link, 4);
         },
         ElfReadResult::damaged},
        {"name not terminated",
         [](auto& f) {
             uint64_t shoff;
             std::memcpy(&shoff, f.data() + offsetof(Elf64_Ehdr, e_shoff), 8);
             Elf64_Shdr strings;
             std::memcpy(&strings, f.data() + shoff + 2 * sizeof(Elf64_Shdr), sizeof strings);
             f[strings.sh_offset + strings.sh_size - 1] = 'x';
         },
         ElfReadResult::noSymbols},
    };
    for (const Case& c : cases) {
        auto file = good;
        c.damage(file);
        ElfSymbols symbols;
        EXPECT_EQ(crash_elf_read_symbols(file, &symbols), c.expected) << c.name;
    }
}

extern "C" __attribute__((noinline)) int elf_test_known_function(int x) { return x * 3 + 1; }

TEST(CrashElf, ThisProgramsOwnSymbolTable) {
    std::ifstream stream("/proc/self/exe", std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    ElfSymbols symbols;
    ASSERT_EQ(crash_elf_read_symbols(file, &symbols), ElfReadResult::ok);
    EXPECT_TRUE(symbols.fromSymtab);
    // The program is position-independent: its symbols are offsets from the load bias.
    Dl_info info;
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&elf_test_known_function), &info), 0);
    uint64_t offset = reinterpret_cast<uint64_t>(&elf_test_known_function) - reinterpret_cast<uint64_t>(info.dli_fbase);
    EXPECT_STREQ(nameAt(symbols, offset + 4), "elf_test_known_function");
}

TEST(CrashImageList, ListsTheProgramFirstWithItsBuildIdAndSymbols) {
    crash_image_list images;
    images.refresh();
    ASSERT_GT(images.count(), 2u);
    const crash_image& program = images.at(0);
    char path[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", path, sizeof path - 1), 0);
    EXPECT_STREQ(program.name, path);
    EXPECT_GE(program.buildIdLength, 16u);
    EXPECT_GT(program.symbolCount, 0u);
    auto address = reinterpret_cast<uint64_t>(&elf_test_known_function);
    const crash_image* found = images.find(address, 0);
    ASSERT_EQ(found, &program);
    const crash_elf_symbol* symbol = crash_elf_find_symbol(found->symbols, found->symbolCount, address - found->bias);
    ASSERT_NE(symbol, nullptr);
    EXPECT_STREQ(found->symbolNames + symbol->nameOffset, "elf_test_known_function");
    // The C library (a function no sanitizer stands in for), named by its .dynsym.
    const crash_image* libc = images.find(reinterpret_cast<uint64_t>(&gnu_get_libc_version), 0);
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(std::string(libc->name).find("libc.so"), std::string::npos);
    // Refreshing again adds nothing that is already listed.
    uint32_t count = images.count();
    images.refresh();
    EXPECT_EQ(images.count(), count);
}

TEST(CrashImageList, ARefreshListsLibrariesOpenedSinceAndLetsGoOfThoseClosed) {
    // Two copies of one library, opened and closed one after the other, in a
    // list with room for one image more than are loaded now.
    strombel::testing::TempDir temp;
    std::vector<std::filesystem::path> libraries = {temp / "first.so", temp / "second.so"};
    for (const auto& library : libraries) std::filesystem::copy_file(CRASH_PROBE_PLUGIN_PATH, library);
    crash_image_list loaded;
    loaded.refresh();
    crash_image_list images(loaded.count() + 1);
    images.refresh();
    for (const auto& path : libraries) {
        SCOPED_TRACE(path.filename().string());
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto function = reinterpret_cast<uint64_t>(dlsym(library, "crash_probe_plugin_run"));
        images.refresh();
        const crash_image* found = images.find(function, 0);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->name, path.string());
        dlclose(library);
        images.refresh();
        EXPECT_EQ(images.find(function, 0), nullptr) << "no longer loaded";
    }
}

struct Walked {
    std::vector<uint64_t> dynamics;
};

bool collect(uint64_t, uint64_t, uint64_t dynamic, void* context) {
    static_cast<Walked*>(context)->dynamics.push_back(dynamic);
    return true;
}

TEST(CrashImageList, TheLinkMapNamesTheSameImagesAndDescribesThemFromTheirHeaders) {
    crash_image_list images;
    images.refresh();
    crash_memory_map map;
    ASSERT_TRUE(crash_memory_map_reserve(&map, 4096));
    ASSERT_TRUE(crash_memory_map_load(&map));
    Walked walked;
    ASSERT_TRUE(crash_link_map_walk(&map, 4096, collect, &walked));
    for (uint32_t i = 0; i < images.count(); ++i) {
        EXPECT_NE(std::find(walked.dynamics.begin(), walked.dynamics.end(), images.at(i).dynamic), walked.dynamics.end())
            << images.at(i).name;
    }
    // The C library described at crash time from its header matches the list.
    const crash_image* libc = images.find(reinterpret_cast<uint64_t>(&gnu_get_libc_version), 0);
    ASSERT_NE(libc, nullptr);
    crash_image described;
    ASSERT_TRUE(crash_image_describe(&map, libc->bias, libc->bias, &described));
    EXPECT_EQ(described.base, libc->base);
    EXPECT_EQ(described.size, libc->size);
    EXPECT_EQ(described.buildIdLength, libc->buildIdLength);
    EXPECT_EQ(std::memcmp(described.buildId, libc->buildId, described.buildIdLength), 0);
    EXPECT_FALSE(crash_image_describe(&map, 0, 0x10, &described));
}

}  // namespace
}  // namespace strombel::crash
