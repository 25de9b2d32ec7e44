#pragma once

// Naming a pc inside a Mach-O image by the symbolication strategy: bit 1 asks
// the symbol table, bit 2 the Objective-C metadata; the nearer start wins.
// Crash-time code.

#include <cstdint>

#include "crash/crash_macho.h"
#include "crash/crash_objc.h"

namespace strombel::crash {

inline constexpr uint32_t CRASH_SYMBOL_NAME_MAX = 255;

/// Receives the symbol chosen: its start address and its name (at most 255 bytes).
using crash_symbol_callback = void (*)(uint64_t start, const char* name, void* context);

/// Calls `callback` at most once and answers 0 when a symbol was chosen. When
/// neither lookup found one: the symbol table's code (8 when it was not
/// asked); 6 when a lookup succeeded but gave nothing to choose.
int crash_find_symbol(const crash_macho_image* image, const crash_memory_map* memory, uint32_t strategy,
                      crash_objc_cache* cache, uint64_t pc, crash_symbol_callback callback, void* context);

}  // namespace strombel::crash
