// The ELF symbol reader takes the files of every loaded image: any bytes at all
// must give a result without reading outside them, and whatever it finds must
// be sorted and named inside its own name table.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "crash/crash_elf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::crash;
    ElfSymbols symbols;
    ElfReadResult result = crash_elf_read_symbols(std::span(data, size), &symbols);
    if (result != ElfReadResult::ok && !symbols.symbols.empty() && result != ElfReadResult::damaged) std::abort();
    for (size_t i = 0; i < symbols.symbols.size(); ++i) {
        const crash_elf_symbol& symbol = symbols.symbols[i];
        if (symbol.nameOffset >= symbols.names.size()) std::abort();
        if (i > 0 && symbols.symbols[i - 1].value > symbol.value) std::abort();
        const crash_elf_symbol* found =
            crash_elf_find_symbol(symbols.symbols.data(), static_cast<uint32_t>(symbols.symbols.size()), symbol.value);
        if (!found || found->value != symbol.value) std::abort();
    }
    return 0;
}
