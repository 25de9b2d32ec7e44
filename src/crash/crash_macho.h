#pragma once

// Reading Mach-O images in this process's memory: the header, load commands,
// segments and sections, the UUID and the symbol table. No image of a Linux
// process is Mach-O: the readers serve images laid out in memory (the tests
// build them), so that the compact-unwind and Objective-C readers have
// something to read. Every structure is read through bounds-checked views and
// the safe reads; crash-time parts allocate nothing.

#include <cstdint>

#include "crash/crash_async.h"
#include "crash/crash_mobject.h"

namespace strombel::crash {

inline constexpr uint32_t CRASH_MACHO_MAGIC_32 = 0xFEEDFACE;
inline constexpr uint32_t CRASH_MACHO_MAGIC_64 = 0xFEEDFACF;
inline constexpr uint32_t CRASH_MACHO_CIGAM_32 = 0xCEFAEDFE;
inline constexpr uint32_t CRASH_MACHO_CIGAM_64 = 0xCFFAEDFE;

inline constexpr uint32_t CRASH_MACHO_LC_SEGMENT = 0x1;
inline constexpr uint32_t CRASH_MACHO_LC_SYMTAB = 0x2;
inline constexpr uint32_t CRASH_MACHO_LC_DYSYMTAB = 0xB;
inline constexpr uint32_t CRASH_MACHO_LC_SEGMENT_64 = 0x19;
inline constexpr uint32_t CRASH_MACHO_LC_UUID = 0x1B;

/// Whether the 4 bytes at the start of an image are a Mach-O magic.
bool crash_macho_is_magic(uint32_t magic);

/// One Mach-O image. The name is not copied: it must outlive the record.
struct crash_macho_image {
    uint64_t header = 0;  // where the image's header lies
    uint64_t slide = 0;   // header address minus the "__TEXT" segment's address
    const char* name = nullptr;
    uint8_t headerBytes[32] = {};
    uint32_t headerSize = 0;  // 28 for 32-bit images, 32 for 64-bit ones
    uint64_t loadCommands = 0;
    uint64_t loadCommandsSize = 0;
    uint32_t loadCommandCount = 0;
    uint64_t textAddress = 0;
    uint64_t textSize = 0;
    bool is64 = false;
    const crash_async_byteorder* byteOrder = nullptr;
};

/// Reads the image at `header`: 6 when the header cannot be read, 5 for a magic
/// that is not Mach-O's or an image without "__TEXT", the view's code when its
/// load commands cannot be read.
int crash_macho_image_init(crash_macho_image* image, const crash_memory_map* memory, const char* name, uint64_t header);

/// header address <= address < header address + the "__TEXT" segment's size.
bool crash_macho_image_contains(const crash_macho_image* image, uint64_t address);
uint32_t crash_macho_image_cpu_type(const crash_macho_image* image);
uint32_t crash_macho_image_cpu_subtype(const crash_macho_image* image);

/// Walking the load commands: each lies whole inside the commands the header
/// announces, at most as many as it counts; one smaller than its own 8-byte
/// header ends the walk.
struct crash_macho_command_iterator {
    const crash_macho_image* image;
    crash_mobject commands;
    uint64_t next;
    uint32_t index;
    bool valid;
};
void crash_macho_commands_begin(crash_macho_command_iterator* iterator, const crash_macho_image* image,
                                const crash_memory_map* memory);
/// The next command's address, type and size; false at the end.
bool crash_macho_commands_next(crash_macho_command_iterator* iterator, uint64_t* address, uint32_t* type,
                               uint32_t* size);
/// The first command of `type` after `previous` (0: from the start); 0 when none.
uint64_t crash_macho_find_command(const crash_macho_image* image, const crash_memory_map* memory, uint32_t type,
                                  uint64_t previous);

/// A segment command, read.
struct crash_macho_segment {
    uint64_t command = 0;  // its address
    uint64_t commandSize = 0;
    uint64_t vmAddress = 0;
    uint64_t vmSize = 0;
    uint64_t fileOffset = 0;
    uint64_t fileSize = 0;
    uint32_t sectionCount = 0;
};
/// 8 when the image has no segment of that name.
int crash_macho_find_segment(const crash_macho_image* image, const crash_memory_map* memory, const char* name,
                             crash_macho_segment* segment);
/// A view of the whole segment (its address plus the slide, its size).
int crash_macho_map_segment(const crash_macho_image* image, const crash_memory_map* memory, const char* name,
                            crash_mobject* object);
/// A view of a section, which must be readable whole: 8 when absent, 5 when its
/// record lies outside the commands.
int crash_macho_map_section(const crash_macho_image* image, const crash_memory_map* memory, const char* segment,
                            const char* section, crash_mobject* object);

/// The 16 bytes of LC_UUID; false when the image has none.
bool crash_macho_image_uuid(const crash_macho_image* image, const crash_memory_map* memory, uint8_t uuid[16]);

/// Called once with a symbol found: its address (slide added), its name.
using crash_macho_symbol_callback = void (*)(uint64_t address, const char* name, void* context);

/// The defined symbol nearest at or below `pc`: 0 and the callback, 8 when there
/// is none (or no LC_SYMTAB), 5 when its name does not end inside the string
/// table or the tables do not lie inside "__LINKEDIT", 6 when "__LINKEDIT" cannot
/// be read. Names are cut to 255 bytes at a character boundary.
int crash_macho_find_symbol_by_pc(const crash_macho_image* image, const crash_memory_map* memory, uint64_t pc,
                                  crash_macho_symbol_callback callback, void* context);
/// The address (slide added) of the defined symbol named exactly `name`; 8 when none.
int crash_macho_find_symbol_by_name(const crash_macho_image* image, const crash_memory_map* memory, const char* name,
                                    uint64_t* address);

/// Reads the string at `address` in `object` into `buffer` (at most `size - 1`
/// bytes, cut at a UTF-8 character boundary, terminated). 0 when the string ends
/// inside the view; 5 when it does not.
int crash_macho_read_string(const crash_mobject* object, uint64_t address, char* buffer, uint32_t size);

/// Cuts the terminated text in `buffer` to at most `limit` bytes without
/// splitting a UTF-8 character.
void crash_utf8_cut(char* buffer, uint32_t limit);

}  // namespace strombel::crash
