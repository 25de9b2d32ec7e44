#include "crash/crash_elf.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
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

// --- Reading a file at crash time ----------------------------------------------------

namespace {

// `length` bytes at `offset` of the file; false when they are not all there.
bool readFileAt(int fd, uint64_t offset, void* out, size_t length) {
    if (offset > static_cast<uint64_t>(INT64_MAX) || lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    auto* next = static_cast<char*>(out);
    while (length > 0) {
        ssize_t got = read(fd, next, length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        next += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool fileHasBuildId(int fd, const Elf64_Ehdr& header, const uint8_t* buildId, uint32_t length) {
    if (header.e_phentsize != sizeof(Elf64_Phdr)) return false;
    for (uint32_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr phdr;
        if (!readFileAt(fd, header.e_phoff + uint64_t{i} * sizeof phdr, &phdr, sizeof phdr)) return false;
        if (phdr.p_type != PT_NOTE) continue;
        uint64_t offset = 0;
        while (offset + sizeof(Elf64_Nhdr) <= phdr.p_filesz) {
            Elf64_Nhdr note;
            if (!readFileAt(fd, phdr.p_offset + offset, &note, sizeof note)) return false;
            uint64_t nameSize = (uint64_t{note.n_namesz} + 3) & ~uint64_t{3};
            uint64_t descSize = (uint64_t{note.n_descsz} + 3) & ~uint64_t{3};
            uint64_t desc = offset + sizeof note + nameSize;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && desc + note.n_descsz <= phdr.p_filesz) {
                // The image keeps at most `length` bytes of it.
                uint8_t bytes[64];
                uint32_t count = note.n_descsz < sizeof bytes ? note.n_descsz : sizeof bytes;
                if (count < length || !readFileAt(fd, phdr.p_offset + desc, bytes, count)) return false;
                return std::memcmp(bytes, buildId, length) == 0;
            }
            offset = desc + descSize;
        }
    }
    return false;
}

}  // namespace

bool crash_elf_file_symbols_open(crash_elf_file_symbols* symbols, const char* path, const uint8_t* buildId,
                                 uint32_t buildIdLength) {
    *symbols = crash_elf_file_symbols();
    if (!path || path[0] != '/') return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    Elf64_Ehdr header;
    bool ok = readFileAt(fd, 0, &header, sizeof header) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
              header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_ident[EI_DATA] == ELFDATA2LSB &&
              header.e_shentsize == sizeof(Elf64_Shdr) && header.e_shnum > 0;
    if (ok && buildIdLength > 0) ok = fileHasBuildId(fd, header, buildId, buildIdLength);
    // ".symtab" when there is one, else ".dynsym", as in ordinary context.
    Elf64_Shdr table{};
    bool found = false;
    for (uint32_t wanted : {uint32_t{SHT_SYMTAB}, uint32_t{SHT_DYNSYM}}) {
        for (uint32_t i = 0; ok && !found && i < header.e_shnum; ++i) {
            Elf64_Shdr shdr;
            ok = readFileAt(fd, header.e_shoff + uint64_t{i} * sizeof shdr, &shdr, sizeof shdr);
            if (ok && shdr.sh_type == wanted) {
                table = shdr;
                found = true;
            }
        }
    }
    Elf64_Shdr names{};
    ok = ok && found && table.sh_link < header.e_shnum &&
         readFileAt(fd, header.e_shoff + uint64_t{table.sh_link} * sizeof names, &names, sizeof names) &&
         names.sh_type == SHT_STRTAB;
    uint64_t entrySize = table.sh_entsize ? table.sh_entsize : sizeof(Elf64_Sym);
    if (!ok || entrySize < sizeof(Elf64_Sym)) {
        close(fd);
        return false;
    }
    symbols->fd = fd;
    symbols->symbolsOffset = table.sh_offset;
    symbols->symbolCount = table.sh_size / entrySize;
    symbols->entrySize = entrySize;
    symbols->namesOffset = names.sh_offset;
    symbols->namesSize = names.sh_size;
    return true;
}

void crash_elf_file_symbols_close(crash_elf_file_symbols* symbols) {
    if (symbols->fd >= 0) close(symbols->fd);
    *symbols = crash_elf_file_symbols();
}

bool crash_elf_file_symbols_find(const crash_elf_file_symbols* symbols, uint64_t address, char* name, size_t nameSize,
                                 uint64_t* value) {
    if (symbols->fd < 0 || nameSize == 0) return false;
    // Among the symbols with the greatest value at or below the address, one
    // whose size covers it (or that has none): a global one before a local one
    // before a weak one, then the first in the table.
    bool haveValue = false, haveChosen = false;
    uint64_t bestValue = 0;
    Elf64_Sym chosen{};
    int chosenRank = 0;
    constexpr uint64_t kBatch = 32;
    alignas(8) uint8_t batch[kBatch * sizeof(Elf64_Sym)];
    uint64_t perBatch = sizeof batch / symbols->entrySize;
    if (perBatch == 0) return false;
    for (uint64_t first = 0; first < symbols->symbolCount; first += perBatch) {
        uint64_t count = symbols->symbolCount - first < perBatch ? symbols->symbolCount - first : perBatch;
        if (!readFileAt(symbols->fd, symbols->symbolsOffset + first * symbols->entrySize, batch,
                        count * symbols->entrySize)) {
            return false;
        }
        for (uint64_t i = 0; i < count; ++i) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, batch + i * symbols->entrySize, sizeof symbol);
            unsigned type = ELF64_ST_TYPE(symbol.st_info);
            if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF || symbol.st_value == 0 ||
                symbol.st_name == 0 || symbol.st_name >= symbols->namesSize || symbol.st_value > address) {
                continue;
            }
            if (!haveValue || symbol.st_value > bestValue) {
                haveValue = true;
                bestValue = symbol.st_value;
                haveChosen = false;
            } else if (symbol.st_value < bestValue) {
                continue;
            }
            bool covers = symbol.st_size == 0 || address - symbol.st_value < symbol.st_size;
            unsigned binding = ELF64_ST_BIND(symbol.st_info);
            int rank = binding == STB_GLOBAL ? 0 : binding == STB_WEAK ? 2 : 1;
            if (covers && (!haveChosen || rank < chosenRank)) {
                chosen = symbol;
                chosenRank = rank;
                haveChosen = true;
            }
        }
    }
    if (!haveChosen) return false;
    // The name, cut to the buffer; it must end inside the string table.
    uint64_t left = symbols->namesSize - chosen.st_name;
    size_t length = 0;
    for (;;) {
        if (length >= left) return false;
        if (length + 1 >= nameSize) break;
        size_t want = nameSize - 1 - length;
        if (want > 64) want = 64;
        if (want > left - length) want = static_cast<size_t>(left - length);
        if (!readFileAt(symbols->fd, symbols->namesOffset + chosen.st_name + length, name + length, want)) return false;
        const void* end = std::memchr(name + length, '\0', want);
        if (end) {
            *value = chosen.st_value;
            return end != name;
        }
        length += want;
    }
    name[length] = '\0';
    *value = chosen.st_value;
    return true;
}

}  // namespace strombel::crash
