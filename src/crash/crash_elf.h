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

/// The function symbols of an ELF file read at crash time, for an image loaded
/// after the list was made: the file stays open and each lookup reads its
/// symbol table through a small buffer on the stack. Async-signal-safe.
struct crash_elf_file_symbols {
    int fd = -1;
    uint64_t symbolsOffset = 0;
    uint64_t symbolCount = 0;
    uint64_t entrySize = 0;
    uint64_t namesOffset = 0;
    uint64_t namesSize = 0;
};

/// Opens the file at `path` and finds its ".symtab" (else its ".dynsym"). When
/// `buildIdLength` is not 0 the file must carry that build-id: a file replaced
/// since it was loaded names nothing. False, leaving nothing open, otherwise.
bool crash_elf_file_symbols_open(crash_elf_file_symbols* symbols, const char* path, const uint8_t* buildId,
                                 uint32_t buildIdLength);
void crash_elf_file_symbols_close(crash_elf_file_symbols* symbols);
/// The function symbol that holds `address` (in the file's numbering), chosen
/// as crash_elf_find_symbol chooses among crash_elf_read_symbols' symbols: its
/// name (cut to `nameSize - 1` bytes) and value; false when there is none.
bool crash_elf_file_symbols_find(const crash_elf_file_symbols* symbols, uint64_t address, char* name, size_t nameSize,
                                 uint64_t* value);

}  // namespace strombel::crash
