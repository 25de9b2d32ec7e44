#include "crash/crash_elf.h"

#include <elf.h>

#include <algorithm>
#include <cstring>

namespace strombel::crash {
namespace {

bool fits(std::span<const uint8_t> file, uint64_t offset, uint64_t length) {
    return offset <= file.size() && length <= file.size() - offset;
}

template <typename T>
bool readAt(std::span<const uint8_t> file, uint64_t offset, T* value) {
    if (!fits(file, offset, sizeof(T))) return false;
    std::memcpy(value, file.data() + offset, sizeof(T));
    return true;
}

}  // namespace

ElfReadResult crash_elf_read_symbols(std::span<const uint8_t> file, ElfSymbols* out) {
    out->symbols.clear();
    out->names.clear();
    out->fromSymtab = false;
    Elf64_Ehdr header;
    if (!readAt(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return ElfReadResult::notElf;
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) return ElfReadResult::unsupported;
    if (header.e_shoff == 0 || header.e_shnum == 0) return ElfReadResult::noSymbols;
    if (header.e_shentsize != sizeof(Elf64_Shdr)) return ElfReadResult::damaged;
    uint64_t count = header.e_shnum;
    if (!fits(file, header.e_shoff, count * sizeof(Elf64_Shdr))) return ElfReadResult::damaged;
    auto section = [&](uint64_t index, Elf64_Shdr* shdr) {
        return index < count && readAt(file, header.e_shoff + index * sizeof(Elf64_Shdr), shdr);
    };

    Elf64_Shdr table{};
    bool found = false;
    for (uint32_t wanted : {uint32_t{SHT_SYMTAB}, uint32_t{SHT_DYNSYM}}) {
        for (uint64_t i = 0; i < count && !found; ++i) {
            Elf64_Shdr shdr;
            if (section(i, &shdr) && shdr.sh_type == wanted) {
                table = shdr;
                found = true;
                out->fromSymtab = wanted == SHT_SYMTAB;
            }
        }
        if (found) break;
    }
    if (!found) return ElfReadResult::noSymbols;
    uint64_t entrySize = table.sh_entsize ? table.sh_entsize : sizeof(Elf64_Sym);
    if (entrySize < sizeof(Elf64_Sym) || !fits(file, table.sh_offset, table.sh_size)) return ElfReadResult::damaged;
    Elf64_Shdr strings;
    if (!section(table.sh_link, &strings) || strings.sh_type != SHT_STRTAB || !fits(file, strings.sh_offset, strings.sh_size)) {
        return ElfReadResult::damaged;
    }
    const char* stringTable = reinterpret_cast<const char*>(file.data() + strings.sh_offset);
    uint64_t symbolCount = table.sh_size / entrySize;
    // Among names of one address, a global one comes before local ones and
    // weak aliases ("raise" before "gsignal").
    std::vector<uint8_t> ranks;
    for (uint64_t i = 0; i < symbolCount; ++i) {
        Elf64_Sym symbol;
        if (!readAt(file, table.sh_offset + i * entrySize, &symbol)) return ElfReadResult::damaged;
        unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF || symbol.st_value == 0) continue;
        if (symbol.st_name >= strings.sh_size) continue;
        const char* name = stringTable + symbol.st_name;
        const void* end = std::memchr(name, '\0', strings.sh_size - symbol.st_name);
        if (!end || name[0] == '\0') continue;
        size_t length = static_cast<const char*>(end) - name;
        if (out->names.size() + length + 1 > UINT32_MAX) return ElfReadResult::damaged;
        unsigned binding = ELF64_ST_BIND(symbol.st_info);
        ranks.push_back(binding == STB_GLOBAL ? 0 : binding == STB_WEAK ? 2 : 1);
        out->symbols.push_back({symbol.st_value, symbol.st_size, static_cast<uint32_t>(out->names.size())});
        out->names.append(name, length);
        out->names.push_back('\0');
    }
    std::vector<uint32_t> order(out->symbols.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const crash_elf_symbol& x = out->symbols[a];
        const crash_elf_symbol& y = out->symbols[b];
        return x.value != y.value ? x.value < y.value : ranks[a] < ranks[b];
    });
    std::vector<crash_elf_symbol> sorted;
    sorted.reserve(order.size());
    for (uint32_t i : order) sorted.push_back(out->symbols[i]);
    out->symbols = std::move(sorted);
    return out->symbols.empty() ? ElfReadResult::noSymbols : ElfReadResult::ok;
}

const crash_elf_symbol* crash_elf_find_symbol(const crash_elf_symbol* symbols, uint32_t count, uint64_t address) {
    // The first symbol whose value is above the address.
    uint32_t low = 0, high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (symbols[middle].value <= address) low = middle + 1;
        else high = middle;
    }
    if (low == 0) return nullptr;
    uint32_t index = low - 1;
    while (index > 0 && symbols[index - 1].value == symbols[index].value) --index;
    const crash_elf_symbol* symbol = &symbols[index];
    // Among equals, one with a size that covers the address will do.
    for (uint32_t i = index; i < count && symbols[i].value == symbol->value; ++i) {
        if (symbols[i].size == 0 || address - symbols[i].value < symbols[i].size) return &symbols[i];
    }
    return nullptr;
}

}  // namespace strombel::crash
