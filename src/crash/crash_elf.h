#pragma once

// Reading ELF files in ordinary context: the function symbols of an image's
// symbol table, sorted for lookups at crash time. Every offset and length in
// the file is checked, so any bytes at all can be given.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace strombel::crash {

/// One function: its address in the file's own numbering (add the image's load
/// bias), its size (0: unknown) and its name's offset in `ElfSymbols::names`.
struct crash_elf_symbol {
    uint64_t value;
    uint64_t size;
    uint32_t nameOffset;
};

struct ElfSymbols {
    std::vector<crash_elf_symbol> symbols;  // sorted by value
    std::string names;                       // terminated names, one after another
    bool fromSymtab = false;                 // else from .dynsym
};

enum class ElfReadResult { ok, notElf, unsupported, damaged, noSymbols };

/// The function symbols of a 64-bit little-endian ELF file: ".symtab" when it has
/// one, else ".dynsym". Undefined symbols, symbols at 0 and names that do not
/// end inside their string table are left out.
ElfReadResult crash_elf_read_symbols(std::span<const uint8_t> file, ElfSymbols* out);

/// The symbol that holds `address` (in the file's numbering): the one with the
/// greatest value at or below it, the first of equals; nullptr when there is
/// none or when the address lies past the end of a sized symbol.
/// Async-signal-safe.
const crash_elf_symbol* crash_elf_find_symbol(const crash_elf_symbol* symbols, uint32_t count, uint64_t address);

}  // namespace strombel::crash
