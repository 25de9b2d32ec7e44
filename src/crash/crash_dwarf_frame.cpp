// Finding and parsing CIEs and FDEs, and the encodings they are written in.

#include "crash/crash_dwarf.h"

namespace strombel::crash {

void crash_dwarf_pointer_state_init(crash_dwarf_pointer_state* state, const crash_async_byteorder* byteOrder, bool is64,
                                    const crash_memory_map* memory) {
    *state = crash_dwarf_pointer_state();
    state->byteOrder = byteOrder;
    state->is64 = is64;
    state->memory = memory;
}

namespace {

/// Reads a LEB128 number at `at`: its bits (sign-extended when `isSigned`) and
/// its length in bytes.
int readLeb128(const crash_mobject* object, uint64_t at, bool isSigned, uint64_t* bits, uint64_t* size) {
    uint64_t result = 0;
    uint32_t shift = 0;
    for (uint64_t i = 0;; ++i) {
        uint8_t byte = 0;
        if (crash_mobject_read_uint8(object, at + i, &byte) != CRASH_ESUCCESS || at + i < at) return CRASH_EINVAL;
        if (shift > 63) return CRASH_ENOTSUP;
        result |= static_cast<uint64_t>(byte & 0x7F) << shift;
        shift += 7;
        if (!(byte & 0x80)) {
            if (isSigned && shift < 64 && (byte & 0x40)) result |= ~uint64_t{0} << shift;
            *bits = result;
            *size = i + 1;
            return CRASH_ESUCCESS;
        }
    }
}

}  // namespace

int crash_dwarf_read_uleb128(const crash_mobject* object, uint64_t at, uint64_t* value, uint64_t* size) {
    return readLeb128(object, at, false, value, size);
}

int crash_dwarf_read_sleb128(const crash_mobject* object, uint64_t at, int64_t* value, uint64_t* size) {
    uint64_t bits = 0;
    const int status = readLeb128(object, at, true, &bits, size);
    if (status == CRASH_ESUCCESS) *value = static_cast<int64_t>(bits);
    return status;
}

int crash_dwarf_read_pointer(const crash_dwarf_pointer_state* state, const crash_mobject* object, uint64_t at,
                             uint8_t encoding, uint64_t* value, uint64_t* size) {
    if (encoding == CRASH_DW_EH_PE_omit) return CRASH_ENOTFOUND;
    const crash_async_byteorder* order = state->byteOrder;
    uint64_t wordSize = state->is64 ? 8 : 4;
    uint64_t location = at;
    uint64_t base = 0;
    switch (encoding & 0x70) {
        case CRASH_DW_EH_PE_absptr: break;
        case CRASH_DW_EH_PE_pcrel: base = at; break;
        case CRASH_DW_EH_PE_textrel:
            if (!state->hasTextBase) return CRASH_ENOTSUP;
            base = state->textBase;
            break;
        case CRASH_DW_EH_PE_datarel:
            if (!state->hasDataBase) return CRASH_ENOTSUP;
            base = state->dataBase;
            break;
        case CRASH_DW_EH_PE_funcrel:
            if (!state->hasFunctionBase) return CRASH_ENOTSUP;
            base = state->functionBase;
            break;
        case CRASH_DW_EH_PE_aligned:
            if (!state->hasAlignedBase) return CRASH_ENOTSUP;
            location = (at + wordSize - 1) / wordSize * wordSize;
            if (location < at) return CRASH_EINVAL;
            break;
        default: return CRASH_ENOTSUP;
    }
    uint64_t raw = 0;
    uint64_t length = 0;
    int result = CRASH_ESUCCESS;
    switch (encoding & 0x0F) {
        case CRASH_DW_EH_PE_absptr:
            result = crash_mobject_read_word(object, order, location, state->is64, &raw);
            length = wordSize;
            break;
        case CRASH_DW_EH_PE_uleb128: result = crash_dwarf_read_uleb128(object, location, &raw, &length); break;
        case CRASH_DW_EH_PE_sleb128: {
            int64_t signedValue = 0;
            result = crash_dwarf_read_sleb128(object, location, &signedValue, &length);
            raw = static_cast<uint64_t>(signedValue);
            break;
        }
        case CRASH_DW_EH_PE_udata2:
        case CRASH_DW_EH_PE_sdata2:
        case CRASH_DW_EH_PE_udata4:
        case CRASH_DW_EH_PE_sdata4:
        case CRASH_DW_EH_PE_udata8:
        case CRASH_DW_EH_PE_sdata8: {
            // 2, 4 or 8 bytes; the formats from 0x0A on are signed.
            uint32_t format = encoding & 0x07;
            length = format == 2 ? 2 : format == 3 ? 4 : 8;
            result = crash_mobject_read_sized(object, order, location, static_cast<uint32_t>(length), &raw);
            if (encoding & 0x08) raw = crash_sign_extend(raw, static_cast<uint32_t>(length));
            break;
        }
        default: return CRASH_ENOTSUP;
    }
    if (result != CRASH_ESUCCESS) return result == CRASH_ENOTSUP ? result : CRASH_EINVAL;
    uint64_t pointer = raw + base;
    if (!state->is64) pointer &= 0xFFFFFFFFu;
    if (encoding & CRASH_DW_EH_PE_indirect) {
        if (crash_async_read_word(state->memory, order, pointer, state->is64, &pointer) != CRASH_ESUCCESS) {
            return CRASH_EINVAL;
        }
    }
    *value = pointer;
    *size = location - at + length;
    return CRASH_ESUCCESS;
}

namespace {

// An entry's length field: where its body begins and ends; 5 when it does not
// fit in the section, 8 for the zero length that ends a section.
struct EntryHeader {
    uint64_t length;
    uint64_t body;  // after the length field
    uint64_t end;
    bool wide;      // 64-bit DWARF
};

int readEntryHeader(const crash_mobject* section, const crash_async_byteorder* order, uint64_t at, EntryHeader* header) {
    uint32_t short_ = 0;
    if (crash_mobject_read_uint32(section, order, at, &short_) != CRASH_ESUCCESS) return CRASH_EINVAL;
    if (short_ == 0) return CRASH_ENOTFOUND;
    header->wide = short_ == 0xFFFFFFFFu;
    if (header->wide) {
        if (crash_mobject_read_uint64(section, order, at + 4, &header->length) != CRASH_ESUCCESS) return CRASH_EINVAL;
        header->body = at + 12;
    } else {
        header->length = short_;
        header->body = at + 4;
    }
    if (header->body < at || header->length > UINT64_MAX - header->body) return CRASH_EINVAL;
    header->end = header->body + header->length;
    if (!section->contains(header->body, header->length)) return CRASH_EINVAL;
    return CRASH_ESUCCESS;
}

int readId(const crash_mobject* section, const crash_async_byteorder* order, const EntryHeader& header, uint64_t* id) {
    if (header.wide) {
        if (header.length < 8) return CRASH_EINVAL;
        return crash_mobject_read_uint64(section, order, header.body, id) == CRASH_ESUCCESS ? CRASH_ESUCCESS : CRASH_EINVAL;
    }
    uint32_t narrow = 0;
    if (header.length < 4 || crash_mobject_read_uint32(section, order, header.body, &narrow) != CRASH_ESUCCESS) {
        return CRASH_EINVAL;
    }
    *id = narrow;
    return CRASH_ESUCCESS;
}

bool isCieId(uint64_t id, bool wide, bool debugFrame) {
    if (!debugFrame) return id == 0;
    return wide ? id == UINT64_MAX : id == 0xFFFFFFFFu;
}

}  // namespace

int crash_dwarf_parse_cie(crash_dwarf_cie_info* cie, const crash_mobject* section,
                          const crash_dwarf_pointer_state* pointers, uint64_t address, bool debugFrame) {
    (void)debugFrame;
    const crash_async_byteorder* order = pointers->byteOrder;
    *cie = crash_dwarf_cie_info();
    cie->address = address;
    EntryHeader header;
    int result = readEntryHeader(section, order, address, &header);
    if (result != CRASH_ESUCCESS) return CRASH_EINVAL;
    cie->length = header.length;
    if (readId(section, order, header, &cie->cieId) != CRASH_ESUCCESS) return CRASH_EINVAL;
    if (cie->cieId != 0 && !isCieId(cie->cieId, header.wide, true)) return CRASH_EINVAL;
    uint64_t at = header.body + (header.wide ? 8 : 4);
    auto inside = [&](uint64_t position) { return position <= header.end; };

    if (crash_mobject_read_uint8(section, at, &cie->version) != CRASH_ESUCCESS) return CRASH_EINVAL;
    if (cie->version != 1 && cie->version != 3 && cie->version != 4) return CRASH_EINVAL;
    at += 1;
    // The augmentation string, to its terminating zero inside the entry.
    uint64_t augmentation = at;
    uint8_t letter = 0;
    for (;;) {
        if (at >= header.end || crash_mobject_read_uint8(section, at, &letter) != CRASH_ESUCCESS) return CRASH_EINVAL;
        at += 1;
        if (letter == 0) break;
    }
    uint8_t first = 0;
    crash_mobject_read_uint8(section, augmentation, &first);
    if (first != 0 && first != 'z') return CRASH_ENOTSUP;
    cie->augmentationZ = first == 'z';
    if (cie->version == 4) {
        if (crash_mobject_read_uint8(section, at, &cie->addressSize) != CRASH_ESUCCESS ||
            crash_mobject_read_uint8(section, at + 1, &cie->segmentSize) != CRASH_ESUCCESS) {
            return CRASH_EINVAL;
        }
        at += 2;
    }
    uint64_t size = 0;
    if (crash_dwarf_read_uleb128(section, at, &cie->codeAlignment, &size) != CRASH_ESUCCESS) return CRASH_EINVAL;
    at += size;
    if (crash_dwarf_read_sleb128(section, at, &cie->dataAlignment, &size) != CRASH_ESUCCESS) return CRASH_EINVAL;
    at += size;
    if (crash_dwarf_read_uleb128(section, at, &cie->returnAddressRegister, &size) != CRASH_ESUCCESS) return CRASH_EINVAL;
    at += size;
    if (cie->augmentationZ) {
        uint64_t dataLength = 0;
        if (crash_dwarf_read_uleb128(section, at, &dataLength, &size) != CRASH_ESUCCESS) return CRASH_EINVAL;
        at += size;
        uint64_t dataEnd = at + dataLength;
        if (dataEnd < at || !inside(dataEnd)) return CRASH_EINVAL;
        uint64_t data = at;
        for (uint64_t letterAt = augmentation + 1;; ++letterAt) {
            if (crash_mobject_read_uint8(section, letterAt, &letter) != CRASH_ESUCCESS || letter == 0) break;
            bool known = true;
            switch (letter) {
                case 'L':
                    if (data >= dataEnd || crash_mobject_read_uint8(section, data, &cie->lsdaEncoding) != CRASH_ESUCCESS) {
                        return CRASH_EINVAL;
                    }
                    cie->hasLsdaEncoding = true;
                    data += 1;
                    break;
                case 'P': {
                    if (data >= dataEnd ||
                        crash_mobject_read_uint8(section, data, &cie->personalityEncoding) != CRASH_ESUCCESS) {
                        return CRASH_EINVAL;
                    }
                    data += 1;
                    uint64_t read = 0;
                    if (crash_dwarf_read_pointer(pointers, section, data, cie->personalityEncoding, &cie->personality,
                                                 &read) != CRASH_ESUCCESS) {
                        return CRASH_EINVAL;
                    }
                    cie->hasPersonality = true;
                    data += read;
                    break;
                }
                case 'R':
                    if (data >= dataEnd ||
                        crash_mobject_read_uint8(section, data, &cie->pointerEncoding) != CRASH_ESUCCESS) {
                        return CRASH_EINVAL;
                    }
                    cie->hasPointerEncoding = true;
                    data += 1;
                    break;
                case 'S': cie->signalFrame = true; break;
                default: known = false; break;
            }
            if (!known || data > dataEnd) break;
        }
        at = dataEnd;
    }
    if (!inside(at)) return CRASH_EINVAL;
    cie->instructions = at;
    cie->instructionsLength = header.end - at;
    return CRASH_ESUCCESS;
}

namespace {

// Parses the FDE at `address`; its CIE comes from `cache` when it is the one
// parsed last, which a walk through a section asks for again and again.
int parseFde(crash_dwarf_fde_info* fde, crash_dwarf_cie_info* cie, bool* cieCached, const crash_mobject* section,
             const crash_dwarf_pointer_state* pointers, uint64_t address, bool debugFrame) {
    const crash_async_byteorder* order = pointers->byteOrder;
    *fde = crash_dwarf_fde_info();
    fde->address = address;
    EntryHeader header;
    if (readEntryHeader(section, order, address, &header) != CRASH_ESUCCESS) return CRASH_EINVAL;
    fde->length = header.length;
    uint64_t pointer = 0;
    if (readId(section, order, header, &pointer) != CRASH_ESUCCESS) return CRASH_EINVAL;
    if (isCieId(pointer, header.wide, debugFrame)) return CRASH_EINVAL;  // a CIE, not an FDE
    if (debugFrame) {
        // The CIE's offset from the section's start.
        if (pointer >= section->length) return CRASH_EINVAL;
        fde->cieAddress = section->address + pointer;
    } else {
        // The distance back from this field to the CIE.
        if (pointer > header.body - section->address) return CRASH_EINVAL;
        fde->cieAddress = header.body - pointer;
    }
    if (!*cieCached || cie->address != fde->cieAddress) {
        *cieCached = false;
        int result = crash_dwarf_parse_cie(cie, section, pointers, fde->cieAddress, debugFrame);
        if (result != CRASH_ESUCCESS) return result;
        *cieCached = true;
    }
    uint64_t at = header.body + (header.wide ? 8 : 4);
    uint8_t encoding = cie->hasPointerEncoding ? cie->pointerEncoding : CRASH_DW_EH_PE_absptr;
    uint64_t size = 0;
    int result = crash_dwarf_read_pointer(pointers, section, at, encoding, &fde->pcStart, &size);
    if (result != CRASH_ESUCCESS) return result == CRASH_ENOTSUP ? result : CRASH_EINVAL;
    at += size;
    uint64_t range = 0;
    result = crash_dwarf_read_pointer(pointers, section, at, encoding & 0x0F, &range, &size);
    if (result != CRASH_ESUCCESS) return result == CRASH_ENOTSUP ? result : CRASH_EINVAL;
    at += size;
    if (!pointers->is64 && range > 0xFFFFFFFFu) return CRASH_EINVAL;
    if (range > UINT64_MAX - fde->pcStart) return CRASH_EINVAL;
    fde->pcEnd = fde->pcStart + range;
    if (cie->augmentationZ) {
        // The augmentation data (the LSDA pointer of C++ functions): skipped
        // whole, so that it never runs as instructions.
        uint64_t dataLength = 0;
        if (crash_dwarf_read_uleb128(section, at, &dataLength, &size) != CRASH_ESUCCESS) return CRASH_EINVAL;
        at += size;
        if (dataLength > header.end - (at < header.end ? at : header.end)) return CRASH_EINVAL;
        at += dataLength;
    }
    if (at > header.end) return CRASH_EINVAL;
    fde->instructions = at;
    fde->instructionsLength = header.end - at;
    return CRASH_ESUCCESS;
}

}  // namespace

int crash_dwarf_parse_fde(crash_dwarf_fde_info* fde, crash_dwarf_cie_info* cie, const crash_mobject* section,
                          const crash_dwarf_pointer_state* pointers, uint64_t address, bool debugFrame) {
    bool cached = false;
    return parseFde(fde, cie, &cached, section, pointers, address, debugFrame);
}

int crash_dwarf_fde_search_init(crash_dwarf_fde_search* search, const crash_mobject* section,
                                const crash_async_byteorder* byteOrder, bool is64, bool debugFrame,
                                const crash_memory_map* memory) {
    if (!section || section->length == 0 || !byteOrder) return CRASH_EINVAL;
    search->section = section;
    search->debugFrame = debugFrame;
    crash_dwarf_pointer_state_init(&search->pointers, byteOrder, is64, memory);
    search->pointers.hasAlignedBase = true;
    search->pointers.alignedBase = section->address;
    return CRASH_ESUCCESS;
}

int crash_dwarf_find_fde(const crash_dwarf_fde_search* search, uint64_t start, uint64_t pc, crash_dwarf_fde_info* fde,
                         crash_dwarf_cie_info* cie) {
    const crash_mobject* section = search->section;
    const crash_async_byteorder* order = search->pointers.byteOrder;
    bool cieCached = false;
    uint64_t at = start;
    while (section->contains(at, 4)) {
        EntryHeader header;
        int result = readEntryHeader(section, order, at, &header);
        if (result == CRASH_ENOTFOUND) return CRASH_ENOTFOUND;
        if (result != CRASH_ESUCCESS) return CRASH_EINVAL;
        uint64_t id = 0;
        if (readId(section, order, header, &id) != CRASH_ESUCCESS) return CRASH_EINVAL;
        if (!isCieId(id, header.wide, search->debugFrame)) {
            if (parseFde(fde, cie, &cieCached, section, &search->pointers, at, search->debugFrame) == CRASH_ESUCCESS &&
                fde->pcStart <= pc && pc < fde->pcEnd) {
                return CRASH_ESUCCESS;
            }
        }
        at = header.end;
    }
    return CRASH_ENOTFOUND;
}

// --- .eh_frame_hdr -----------------------------------------------------------------

namespace {

// The size of one of the table's values, or 0 for an encoding the table may not use.
uint32_t tableValueSize(uint8_t encoding, bool is64) {
    uint8_t application = encoding & 0x70;
    if ((encoding & CRASH_DW_EH_PE_indirect) ||
        (application != CRASH_DW_EH_PE_absptr && application != CRASH_DW_EH_PE_datarel)) {
        return 0;
    }
    switch (encoding & 0x0F) {
        case CRASH_DW_EH_PE_absptr: return is64 ? 8 : 4;
        case CRASH_DW_EH_PE_udata2:
        case CRASH_DW_EH_PE_sdata2: return 2;
        case CRASH_DW_EH_PE_udata4:
        case CRASH_DW_EH_PE_sdata4: return 4;
        case CRASH_DW_EH_PE_udata8:
        case CRASH_DW_EH_PE_sdata8: return 8;
        default: return 0;
    }
}

// One value of the table, decoded.
bool tableValue(const crash_dwarf_eh_frame_hdr* hdr, const crash_mobject* section, const crash_async_byteorder* order,
                uint64_t at, uint64_t sectionStart, uint64_t* value) {
    uint32_t size = hdr->entrySize / 2;
    uint64_t raw = 0;
    if (crash_mobject_read_sized(section, order, at, size, &raw) != CRASH_ESUCCESS) return false;
    if (hdr->tableEncoding & 0x08) raw = crash_sign_extend(raw, size);
    *value = raw + ((hdr->tableEncoding & 0x70) == CRASH_DW_EH_PE_datarel ? sectionStart : 0);
    return true;
}

}  // namespace

int crash_dwarf_eh_frame_hdr_parse(crash_dwarf_eh_frame_hdr* hdr, const crash_mobject* section,
                                   const crash_async_byteorder* byteOrder, bool is64) {
    *hdr = crash_dwarf_eh_frame_hdr();
    uint8_t header[4];
    if (crash_mobject_read(section, section->address, header, 4) != CRASH_ESUCCESS) return CRASH_EINVAL;
    if (header[0] != 1) return CRASH_ENOTSUP;
    crash_dwarf_pointer_state pointers;
    crash_dwarf_pointer_state_init(&pointers, byteOrder, is64, nullptr);
    pointers.hasDataBase = true;
    pointers.dataBase = section->address;
    uint64_t at = section->address + 4;
    uint64_t size = 0;
    int result = crash_dwarf_read_pointer(&pointers, section, at, header[1], &hdr->ehFrame, &size);
    if (result != CRASH_ESUCCESS) return result == CRASH_ENOTSUP ? result : CRASH_EINVAL;
    at += size;
    if (header[2] == CRASH_DW_EH_PE_omit || header[3] == CRASH_DW_EH_PE_omit) return CRASH_ESUCCESS;
    uint64_t count = 0;
    if (crash_dwarf_read_pointer(&pointers, section, at, header[2], &count, &size) != CRASH_ESUCCESS) {
        return CRASH_ESUCCESS;  // no table to use: the caller walks .eh_frame
    }
    at += size;
    uint32_t valueSize = tableValueSize(header[3], is64);
    if (valueSize == 0 || count == 0) return CRASH_ESUCCESS;
    uint64_t left = section->address + section->length - at;
    if (at > section->address + section->length || count > left / (2 * valueSize)) return CRASH_ESUCCESS;
    hdr->tableAddress = at;
    hdr->count = count;
    hdr->tableEncoding = header[3];
    hdr->entrySize = 2 * valueSize;
    return CRASH_ESUCCESS;
}

bool crash_dwarf_eh_frame_hdr_sorted(const crash_dwarf_eh_frame_hdr* hdr, const crash_mobject* section,
                                     const crash_async_byteorder* byteOrder, const crash_mobject* ehFrame) {
    if (hdr->tableAddress == 0) return false;
    uint64_t previous = 0;
    for (uint64_t i = 0; i < hdr->count; ++i) {
        uint64_t at = hdr->tableAddress + i * hdr->entrySize;
        uint64_t location = 0, entry = 0;
        if (!tableValue(hdr, section, byteOrder, at, section->address, &location) ||
            !tableValue(hdr, section, byteOrder, at + hdr->entrySize / 2, section->address, &entry)) {
            return false;
        }
        if ((i > 0 && location < previous) || !ehFrame->contains(entry, 4)) return false;
        previous = location;
    }
    return true;
}

int crash_dwarf_eh_frame_hdr_find_fde(const crash_dwarf_eh_frame_hdr* hdr, const crash_mobject* section,
                                      const crash_dwarf_fde_search* search, uint64_t pc, crash_dwarf_fde_info* fde,
                                      crash_dwarf_cie_info* cie) {
    if (hdr->tableAddress == 0) return CRASH_ENOTSUP;
    const crash_async_byteorder* order = search->pointers.byteOrder;
    // The last entry whose location is at or below the pc.
    uint64_t low = 0, high = hdr->count;
    while (low < high) {
        uint64_t middle = low + (high - low) / 2;
        uint64_t location = 0;
        if (!tableValue(hdr, section, order, hdr->tableAddress + middle * hdr->entrySize, section->address, &location)) {
            return CRASH_EINVAL;
        }
        if (location <= pc) low = middle + 1;
        else high = middle;
    }
    if (low == 0) return CRASH_ENOTFOUND;
    uint64_t entry = 0;
    if (!tableValue(hdr, section, order, hdr->tableAddress + (low - 1) * hdr->entrySize + hdr->entrySize / 2,
                    section->address, &entry)) {
        return CRASH_EINVAL;
    }
    int result = crash_dwarf_parse_fde(fde, cie, search->section, &search->pointers, entry, false);
    if (result != CRASH_ESUCCESS) return result;
    return fde->pcStart <= pc && pc < fde->pcEnd ? CRASH_ESUCCESS : CRASH_ENOTFOUND;
}

}  // namespace strombel::crash
