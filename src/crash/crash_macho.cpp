#include "crash/crash_macho.h"

#include "platform/utf8_cut.h"

namespace strombel::crash {

namespace {

constexpr uint32_t kSegment64Size = 72;
constexpr uint32_t kSegment32Size = 56;
constexpr uint32_t kSection64Size = 80;
constexpr uint32_t kSection32Size = 68;
constexpr uint32_t kNameLimit = 255;

bool sameName16(const uint8_t field[16], const char* name) {
    for (uint32_t i = 0; i < 16; ++i) {
        if (field[i] != static_cast<uint8_t>(name[i])) return false;
        if (name[i] == '\0') return true;
    }
    return true;
}

uint32_t headerWord(const crash_macho_image* image, uint32_t index) {
    uint32_t raw;
    crash_async_memcpy(&raw, image->headerBytes + 4 * index, 4);
    return image->byteOrder->swap32(raw);
}

}  // namespace

bool crash_macho_is_magic(uint32_t magic) {
    return magic == CRASH_MACHO_MAGIC_32 || magic == CRASH_MACHO_MAGIC_64 || magic == CRASH_MACHO_CIGAM_32 ||
           magic == CRASH_MACHO_CIGAM_64;
}

void crash_utf8_cut(char* buffer, uint32_t limit) {
    const size_t length = crash_async_strlen(buffer);
    if (length > limit) buffer[strombel::platform::utf8CutLength(buffer, length, limit)] = '\0';
}

int crash_macho_read_string(const crash_mobject* object, uint64_t address, char* buffer, uint32_t size) {
    if (size == 0) return CRASH_EINVAL;
    buffer[0] = '\0';
    uint32_t kept = 0;
    bool cut = false;
    for (uint64_t at = address;; ++at) {
        uint8_t byte = 0;
        if (at < address || crash_mobject_read_uint8(object, at, &byte) != CRASH_ESUCCESS) {
            buffer[kept] = '\0';
            return CRASH_EINVAL;
        }
        if (byte == 0) break;
        if (kept + 1 < size) {
            buffer[kept++] = static_cast<char>(byte);
        } else if (!cut) {
            buffer[kept] = static_cast<char>(byte);
            cut = true;
        }
    }
    // The byte past the limit tells whether the cut splits a character.
    if (cut) kept = static_cast<uint32_t>(strombel::platform::utf8CutLength(buffer, kept + 1, kept));
    buffer[kept] = '\0';
    return CRASH_ESUCCESS;
}

int crash_macho_image_init(crash_macho_image* image, const crash_memory_map* memory, const char* name, uint64_t header) {
    *image = crash_macho_image();
    image->header = header;
    image->name = name;
    if (crash_async_read(memory, header, 0, image->headerBytes, 28) != CRASH_ESUCCESS) return CRASH_EINTERNAL;
    uint32_t magic;
    crash_async_memcpy(&magic, image->headerBytes, 4);
    switch (magic) {
        case CRASH_MACHO_MAGIC_32: image->byteOrder = crash_async_byteorder_native(); break;
        case CRASH_MACHO_MAGIC_64:
            image->byteOrder = crash_async_byteorder_native();
            image->is64 = true;
            break;
        case CRASH_MACHO_CIGAM_32: image->byteOrder = crash_async_byteorder_swapped(); break;
        case CRASH_MACHO_CIGAM_64:
            image->byteOrder = crash_async_byteorder_swapped();
            image->is64 = true;
            break;
        default: return CRASH_EINVAL;
    }
    image->headerSize = image->is64 ? 32 : 28;
    if (image->is64 && crash_async_read(memory, header, 28, image->headerBytes + 28, 4) != CRASH_ESUCCESS) {
        return CRASH_EINTERNAL;
    }
    image->loadCommandCount = headerWord(image, 4);
    image->loadCommandsSize = headerWord(image, 5);
    image->loadCommands = header + image->headerSize;
    crash_mobject commands;
    int result = crash_mobject_init(&commands, memory, image->loadCommands, image->loadCommandsSize, true);
    if (result != CRASH_ESUCCESS) return result;
    crash_macho_segment text;
    if (crash_macho_find_segment(image, memory, "__TEXT", &text) != CRASH_ESUCCESS) return CRASH_EINVAL;
    image->textAddress = text.vmAddress;
    image->textSize = text.vmSize;
    image->slide = header - text.vmAddress;
    return CRASH_ESUCCESS;
}

bool crash_macho_image_contains(const crash_macho_image* image, uint64_t address) {
    return address >= image->header && address - image->header < image->textSize;
}

uint32_t crash_macho_image_cpu_type(const crash_macho_image* image) { return headerWord(image, 1); }
uint32_t crash_macho_image_cpu_subtype(const crash_macho_image* image) { return headerWord(image, 2); }

// --- Load commands -------------------------------------------------------------------

void crash_macho_commands_begin(crash_macho_command_iterator* iterator, const crash_macho_image* image,
                                const crash_memory_map* memory) {
    iterator->image = image;
    iterator->next = image->loadCommands;
    iterator->index = 0;
    iterator->valid = crash_mobject_init(&iterator->commands, memory, image->loadCommands, image->loadCommandsSize,
                                         true) == CRASH_ESUCCESS;
}

bool crash_macho_commands_next(crash_macho_command_iterator* iterator, uint64_t* address, uint32_t* type,
                               uint32_t* size) {
    const crash_macho_image* image = iterator->image;
    if (!iterator->valid || iterator->index >= image->loadCommandCount) return false;
    uint32_t header[2];
    if (crash_mobject_read(&iterator->commands, iterator->next, header, 8) != CRASH_ESUCCESS) return false;
    uint32_t commandType = image->byteOrder->swap32(header[0]);
    uint32_t commandSize = image->byteOrder->swap32(header[1]);
    // A command smaller than its own header would never move the walk on.
    if (commandSize < 8 || !iterator->commands.contains(iterator->next, commandSize)) {
        iterator->valid = false;
        return false;
    }
    *address = iterator->next;
    *type = commandType;
    *size = commandSize;
    iterator->next += commandSize;
    iterator->index += 1;
    return true;
}

uint64_t crash_macho_find_command(const crash_macho_image* image, const crash_memory_map* memory, uint32_t type,
                                  uint64_t previous) {
    crash_macho_command_iterator iterator;
    crash_macho_commands_begin(&iterator, image, memory);
    uint64_t address = 0;
    uint32_t commandType = 0, size = 0;
    while (crash_macho_commands_next(&iterator, &address, &commandType, &size)) {
        if (commandType == type && address > previous) return address;
    }
    return 0;
}

int crash_macho_find_segment(const crash_macho_image* image, const crash_memory_map* memory, const char* name,
                             crash_macho_segment* segment) {
    const crash_async_byteorder* order = image->byteOrder;
    uint32_t wanted = image->is64 ? CRASH_MACHO_LC_SEGMENT_64 : CRASH_MACHO_LC_SEGMENT;
    uint32_t minimum = image->is64 ? kSegment64Size : kSegment32Size;
    crash_macho_command_iterator iterator;
    crash_macho_commands_begin(&iterator, image, memory);
    uint64_t address = 0;
    uint32_t type = 0, size = 0;
    while (crash_macho_commands_next(&iterator, &address, &type, &size)) {
        if (type != wanted || size < minimum) continue;
        uint8_t segmentName[16];
        if (crash_mobject_read(&iterator.commands, address + 8, segmentName, 16) != CRASH_ESUCCESS) return CRASH_EINVAL;
        if (!sameName16(segmentName, name)) continue;
        segment->command = address;
        segment->commandSize = size;
        if (image->is64) {
            uint64_t values[4];
            uint32_t sections = 0;
            if (crash_mobject_read(&iterator.commands, address + 24, values, 32) != CRASH_ESUCCESS ||
                crash_mobject_read_uint32(&iterator.commands, order, address + 64, &sections) != CRASH_ESUCCESS) {
                return CRASH_EINVAL;
            }
            segment->vmAddress = order->swap64(values[0]);
            segment->vmSize = order->swap64(values[1]);
            segment->fileOffset = order->swap64(values[2]);
            segment->fileSize = order->swap64(values[3]);
            segment->sectionCount = sections;
        } else {
            uint32_t values[4];
            uint32_t sections = 0;
            if (crash_mobject_read(&iterator.commands, address + 24, values, 16) != CRASH_ESUCCESS ||
                crash_mobject_read_uint32(&iterator.commands, order, address + 48, &sections) != CRASH_ESUCCESS) {
                return CRASH_EINVAL;
            }
            segment->vmAddress = order->swap32(values[0]);
            segment->vmSize = order->swap32(values[1]);
            segment->fileOffset = order->swap32(values[2]);
            segment->fileSize = order->swap32(values[3]);
            segment->sectionCount = sections;
        }
        return CRASH_ESUCCESS;
    }
    return CRASH_ENOTFOUND;
}

int crash_macho_map_segment(const crash_macho_image* image, const crash_memory_map* memory, const char* name,
                            crash_mobject* object) {
    crash_macho_segment segment;
    int result = crash_macho_find_segment(image, memory, name, &segment);
    if (result != CRASH_ESUCCESS) return result;
    return crash_mobject_init(object, memory, segment.vmAddress + image->slide, segment.vmSize, true);
}

int crash_macho_map_section(const crash_macho_image* image, const crash_memory_map* memory, const char* segmentName,
                            const char* sectionName, crash_mobject* object) {
    crash_macho_segment segment;
    int result = crash_macho_find_segment(image, memory, segmentName, &segment);
    if (result != CRASH_ESUCCESS) return result;
    crash_mobject commands;
    result = crash_mobject_init(&commands, memory, image->loadCommands, image->loadCommandsSize, true);
    if (result != CRASH_ESUCCESS) return result;
    const crash_async_byteorder* order = image->byteOrder;
    uint64_t recordSize = image->is64 ? kSection64Size : kSection32Size;
    uint64_t first = segment.command + (image->is64 ? kSegment64Size : kSegment32Size);
    for (uint32_t i = 0; i < segment.sectionCount; ++i) {
        uint64_t record = first + i * recordSize;
        // Every record must lie inside its segment command.
        if (record + recordSize > segment.command + segment.commandSize || !commands.contains(record, recordSize)) {
            return CRASH_EINVAL;
        }
        uint8_t name[16];
        if (crash_mobject_read(&commands, record, name, 16) != CRASH_ESUCCESS) return CRASH_EINVAL;
        if (!sameName16(name, sectionName)) continue;
        uint64_t address = 0, size = 0;
        if (image->is64) {
            if (crash_mobject_read_uint64(&commands, order, record + 32, &address) != CRASH_ESUCCESS ||
                crash_mobject_read_uint64(&commands, order, record + 40, &size) != CRASH_ESUCCESS) {
                return CRASH_EINVAL;
            }
        } else {
            uint32_t narrowAddress = 0, narrowSize = 0;
            if (crash_mobject_read_uint32(&commands, order, record + 32, &narrowAddress) != CRASH_ESUCCESS ||
                crash_mobject_read_uint32(&commands, order, record + 36, &narrowSize) != CRASH_ESUCCESS) {
                return CRASH_EINVAL;
            }
            address = narrowAddress;
            size = narrowSize;
        }
        return crash_mobject_init(object, memory, address + image->slide, size, true);
    }
    return CRASH_ENOTFOUND;
}

bool crash_macho_image_uuid(const crash_macho_image* image, const crash_memory_map* memory, uint8_t uuid[16]) {
    crash_macho_command_iterator iterator;
    crash_macho_commands_begin(&iterator, image, memory);
    uint64_t address = 0;
    uint32_t type = 0, size = 0;
    while (crash_macho_commands_next(&iterator, &address, &type, &size)) {
        if (type == CRASH_MACHO_LC_UUID && size >= 24) {
            return crash_mobject_read(&iterator.commands, address + 8, uuid, 16) == CRASH_ESUCCESS;
        }
    }
    return false;
}

// --- Symbols --------------------------------------------------------------------------

namespace {

// The symbol and string tables, located inside "__LINKEDIT".
struct SymbolTables {
    crash_mobject linkedit;
    uint64_t symbols = 0;  // address of the first entry
    uint64_t count = 0;
    uint32_t entrySize = 0;
    crash_mobject strings;
    bool haveRanges = false;  // LC_DYSYMTAB's local and external-defined ranges
    uint32_t localFirst = 0, localCount = 0, externalFirst = 0, externalCount = 0;
};

int openSymbolTables(const crash_macho_image* image, const crash_memory_map* memory, SymbolTables* tables) {
    const crash_async_byteorder* order = image->byteOrder;
    uint64_t symtab = crash_macho_find_command(image, memory, CRASH_MACHO_LC_SYMTAB, 0);
    if (symtab == 0) return CRASH_ENOTFOUND;
    crash_mobject commands;
    if (crash_mobject_init(&commands, memory, image->loadCommands, image->loadCommandsSize, true) != CRASH_ESUCCESS) {
        return CRASH_EINVAL;
    }
    uint32_t fields[4];  // symoff, nsyms, stroff, strsize
    if (crash_mobject_read(&commands, symtab + 8, fields, 16) != CRASH_ESUCCESS) return CRASH_EINVAL;
    uint64_t symbolOffset = order->swap32(fields[0]), symbolCount = order->swap32(fields[1]);
    uint64_t stringOffset = order->swap32(fields[2]), stringSize = order->swap32(fields[3]);

    crash_macho_segment linkedit;
    if (crash_macho_find_segment(image, memory, "__LINKEDIT", &linkedit) != CRASH_ESUCCESS ||
        crash_mobject_init(&tables->linkedit, memory, linkedit.vmAddress + image->slide, linkedit.vmSize, true) !=
            CRASH_ESUCCESS) {
        return CRASH_EINTERNAL;
    }
    // File offsets become addresses through "__LINKEDIT"'s own offset; every
    // range must lie inside it, checked without overflowing.
    tables->entrySize = image->is64 ? 16 : 12;
    if (symbolOffset < linkedit.fileOffset || stringOffset < linkedit.fileOffset) return CRASH_EINVAL;
    uint64_t symbolStart = tables->linkedit.address + (symbolOffset - linkedit.fileOffset);
    uint64_t stringStart = tables->linkedit.address + (stringOffset - linkedit.fileOffset);
    if (symbolOffset - linkedit.fileOffset > tables->linkedit.length ||
        stringOffset - linkedit.fileOffset > tables->linkedit.length ||
        !tables->linkedit.contains(symbolStart, symbolCount * tables->entrySize) ||
        !tables->linkedit.contains(stringStart, stringSize)) {
        return CRASH_EINVAL;
    }
    tables->symbols = symbolStart;
    tables->count = symbolCount;
    tables->strings = tables->linkedit;
    tables->strings.address = stringStart;
    tables->strings.length = stringSize;

    uint64_t dysymtab = crash_macho_find_command(image, memory, CRASH_MACHO_LC_DYSYMTAB, 0);
    if (dysymtab != 0) {
        uint32_t ranges[4];  // ilocalsym, nlocalsym, iextdefsym, nextdefsym
        if (crash_mobject_read(&commands, dysymtab + 8, ranges, 16) != CRASH_ESUCCESS) return CRASH_EINVAL;
        tables->localFirst = order->swap32(ranges[0]);
        tables->localCount = order->swap32(ranges[1]);
        tables->externalFirst = order->swap32(ranges[2]);
        tables->externalCount = order->swap32(ranges[3]);
        if (uint64_t{tables->localFirst} + tables->localCount > symbolCount ||
            uint64_t{tables->externalFirst} + tables->externalCount > symbolCount) {
            return CRASH_EINVAL;
        }
        tables->haveRanges = true;
    }
    return CRASH_ESUCCESS;
}

struct Entry {
    uint32_t nameIndex;
    uint8_t type;
    uint64_t value;
};

bool readEntry(const crash_macho_image* image, const SymbolTables& tables, uint64_t index, Entry* entry) {
    const crash_async_byteorder* order = image->byteOrder;
    uint64_t at = tables.symbols + index * tables.entrySize;
    if (crash_mobject_read_uint32(&tables.linkedit, order, at, &entry->nameIndex) != CRASH_ESUCCESS ||
        crash_mobject_read_uint8(&tables.linkedit, at + 4, &entry->type) != CRASH_ESUCCESS) {
        return false;
    }
    return crash_mobject_read_word(&tables.linkedit, order, at + 8, image->is64, &entry->value) == CRASH_ESUCCESS;
}

// Defined in a section and not a debugging entry.
bool isDefined(uint8_t type) { return (type & 0xEE) == 0x0E; }

// Calls `visit(entry)` for the entries searched, external-defined ones first
// when LC_DYSYMTAB gives the ranges; stops when it answers false.
template <typename Visit>
bool eachEntry(const crash_macho_image* image, const SymbolTables& tables, Visit&& visit) {
    auto range = [&](uint64_t first, uint64_t count) {
        for (uint64_t i = first; i < first + count; ++i) {
            Entry entry;
            if (!readEntry(image, tables, i, &entry)) return false;
            if (!visit(entry)) return false;
        }
        return true;
    };
    if (!tables.haveRanges) return range(0, tables.count);
    return range(tables.externalFirst, tables.externalCount) && range(tables.localFirst, tables.localCount);
}

}  // namespace

int crash_macho_find_symbol_by_pc(const crash_macho_image* image, const crash_memory_map* memory, uint64_t pc,
                                  crash_macho_symbol_callback callback, void* context) {
    SymbolTables tables;
    int result = openSymbolTables(image, memory, &tables);
    if (result != CRASH_ESUCCESS) return result;
    uint64_t wanted = pc - image->slide;
    bool found = false;
    Entry best{};
    if (!eachEntry(image, tables, [&](const Entry& entry) {
            if (isDefined(entry.type) && entry.value <= wanted && (!found || entry.value > best.value)) {
                best = entry;
                found = true;
            }
            return true;
        })) {
        return CRASH_EINVAL;
    }
    if (!found) return CRASH_ENOTFOUND;
    if (best.nameIndex >= tables.strings.length) return CRASH_EINVAL;
    char name[kNameLimit + 1];
    if (crash_macho_read_string(&tables.strings, tables.strings.address + best.nameIndex, name, sizeof name) !=
        CRASH_ESUCCESS) {
        return CRASH_EINVAL;
    }
    callback(best.value + image->slide, name, context);
    return CRASH_ESUCCESS;
}

int crash_macho_find_symbol_by_name(const crash_macho_image* image, const crash_memory_map* memory, const char* name,
                                    uint64_t* address) {
    SymbolTables tables;
    int result = openSymbolTables(image, memory, &tables);
    if (result != CRASH_ESUCCESS) return result;
    size_t length = crash_async_strlen(name);
    bool found = false;
    eachEntry(image, tables, [&](const Entry& entry) {
        if (!isDefined(entry.type) || entry.nameIndex >= tables.strings.length) return true;
        uint64_t at = tables.strings.address + entry.nameIndex;
        // Compared byte by byte: the name and its terminator.
        for (size_t i = 0; i <= length; ++i) {
            uint8_t byte = 0;
            if (crash_mobject_read_uint8(&tables.strings, at + i, &byte) != CRASH_ESUCCESS ||
                byte != static_cast<uint8_t>(name[i])) {
                return true;
            }
        }
        *address = entry.value + image->slide;
        found = true;
        return false;
    });
    return found ? CRASH_ESUCCESS : CRASH_ENOTFOUND;
}

}  // namespace strombel::crash
