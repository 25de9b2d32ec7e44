#pragma once

// Lays out a Mach-O image in this process's memory, as the dynamic loader
// would have left it, for the readers that have no such image to read on
// Linux: 64- or 32-bit, native or byte-swapped; "__TEXT" with room for code,
// "__unwind_info" and "__eh_frame"; "__DWARF"/"__debug_frame"; "__DATA" with
// Objective-C 2 class and category lists, class data (realized or not) and
// method lists; a legacy "__OBJC"/"__module_info"; "__LINKEDIT" with the
// symbol and string tables (LC_SYMTAB, LC_DYSYMTAB); LC_UUID.
//
// The region is mapped first, so that every address is known while the
// content is described; `finish()` writes the header, load commands and tables.

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "crash_dwarf_builder.h"

namespace strombel::crash::testing {

class MachOBuilder {
public:
    // Offsets of the parts from the header.
    static constexpr uint64_t kCode = 0x1000, kCodeSize = 0x4000;
    static constexpr uint64_t kUnwindInfo = 0x5000, kUnwindInfoSize = 0x1000;
    static constexpr uint64_t kEhFrame = 0x6000, kEhFrameSize = 0x2000;
    static constexpr uint64_t kStrings = 0x8000, kStringsSize = 0x2000;
    static constexpr uint64_t kTextSize = 0xA000;
    static constexpr uint64_t kDwarf = 0xA000, kDebugFrameSize = 0x2000;
    static constexpr uint64_t kData = 0xC000, kDataSize = 0x4000;
    static constexpr uint64_t kObjc = 0x10000, kObjcSize = 0x2000;
    static constexpr uint64_t kLinkedit = 0x12000, kLinkeditSize = 0x4000;
    static constexpr uint64_t kImageSize = 0x16000;
    // Inside "__DATA".
    static constexpr uint64_t kClassList = kData, kCategoryList = kData + 0x200, kObjcConst = kData + 0x400,
                              kObjcData = kData + 0x1400, kHeap = kData + 0x2400;

    struct Options {
        bool is64 = true;
        bool swapped = false;
        uint32_t cpuType = 0x0100000C;  // 64-bit ARM
        uint32_t cpuSubtype = 0;
        uint64_t vmAddress = 0x100000000;  // "__TEXT"'s address in the file
        bool withUnwindInfo = true, withEhFrame = true, withDebugFrame = true;
        bool withObjc2 = true, withLegacyObjc = false, withUuid = true, withDysymtab = true;
    };

    explicit MachOBuilder(Options options) : options_(options), word_(options.is64 ? 8 : 4) {
        // Images lie low: a 32-bit image's words can only say addresses below
        // 4 GiB, and a 64-bit ARM class pointer kept in a non-pointer isa has
        // 33 bits. (Under AddressSanitizer only the first 2 GiB are free.)
        static uint64_t next = 0x40000000;
        void* region = MAP_FAILED;
        for (int attempt = 0; attempt < 256 && region == MAP_FAILED; ++attempt) {
            region = mmap(reinterpret_cast<void*>(next), kImageSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            next += 0x100000;
            if (next >= 0x7FF00000) next = 0x40000000;
        }
        if (region == MAP_FAILED) throw std::runtime_error("cannot map the image");
        base_ = static_cast<uint8_t*>(region);
        std::memset(base_, 0, kImageSize);
    }
    ~MachOBuilder() { munmap(base_, kImageSize); }
    MachOBuilder(const MachOBuilder&) = delete;
    MachOBuilder& operator=(const MachOBuilder&) = delete;

    uint64_t header() const { return reinterpret_cast<uint64_t>(base_); }
    uint64_t at(uint64_t offset) const { return header() + offset; }
    uint64_t slide() const { return header() - options_.vmAddress; }
    /// The file's (unslid) address of a part of the image.
    uint64_t fileAddress(uint64_t offset) const { return options_.vmAddress + offset; }
    const Options& options() const { return options_; }
    uint8_t* bytes(uint64_t offset) { return base_ + offset; }

    // --- Content -----------------------------------------------------------------------

    void setUnwindInfo(const std::vector<uint8_t>& bytes) { place(kUnwindInfo, kUnwindInfoSize, bytes); }
    void setEhFrame(const std::vector<uint8_t>& bytes) { place(kEhFrame, kEhFrameSize, bytes); }
    void setDebugFrame(const std::vector<uint8_t>& bytes) { place(kDwarf, kDebugFrameSize, bytes); }
    void setUuid(const uint8_t uuid[16]) { std::memcpy(uuid_, uuid, 16); }

    /// A symbol at `offset` from the header; external ones go in LC_DYSYMTAB's
    /// external-defined range, the others in its local range.
    void symbol(const std::string& name, uint64_t offset, bool external = true, uint8_t type = 0x0F) {
        symbols_.push_back({name, fileAddress(offset), external, type});
    }
    /// A symbol with its value as given (unslid).
    void symbolAtValue(const std::string& name, uint64_t value, bool external = true, uint8_t type = 0x0F) {
        symbols_.push_back({name, value, external, type});
    }

    struct Method {
        std::string selector;
        uint64_t implementation;  // its address
    };
    struct Class {
        std::string name;
        std::vector<Method> instanceMethods;
        std::vector<Method> classMethods;
        bool realized = true;
    };
    struct Category {
        size_t classIndex;
        std::string name;
        std::vector<Method> instanceMethods;
        std::vector<Method> classMethods;
    };
    void objcClass(const Class& c) { classes_.push_back(c); }
    void objcCategory(const Category& c) { categories_.push_back(c); }

    /// Writes the header, load commands, tables and metadata. Call once.
    void finish() {
        writeStrings();
        if (options_.withObjc2) writeObjc2();
        if (options_.withLegacyObjc) writeLegacyObjc();
        writeSymbols();
        writeLoadCommands();
    }

    /// The address of a name placed in "__TEXT" (class names, selectors).
    uint64_t string(const std::string& text) {
        for (auto& [value, address] : strings_) {
            if (value == text) return address;
        }
        if (stringsUsed_ + text.size() + 1 > kStringsSize) throw std::runtime_error("no room for names");
        uint64_t address = at(kStrings + stringsUsed_);
        std::memcpy(base_ + kStrings + stringsUsed_, text.c_str(), text.size() + 1);
        stringsUsed_ += text.size() + 1;
        strings_.push_back({text, address});
        return address;
    }

private:
    struct Symbol {
        std::string name;
        uint64_t value;
        bool external;
        uint8_t type;
    };

    void place(uint64_t offset, uint64_t room, const std::vector<uint8_t>& bytes) {
        if (bytes.size() > room) throw std::runtime_error("a section larger than its room");
        std::memcpy(base_ + offset, bytes.data(), bytes.size());
        sizes_[offset] = bytes.size();
    }
    uint64_t sizeOf(uint64_t offset) const {
        auto found = sizes_.find(offset);
        return found == sizes_.end() ? 0 : found->second;
    }

    // Values in the image's byte order.
    void put32(uint64_t offset, uint64_t value) {
        uint32_t v = static_cast<uint32_t>(value);
        if (options_.swapped) v = __builtin_bswap32(v);
        std::memcpy(base_ + offset, &v, 4);
    }
    void put16(uint64_t offset, uint64_t value) {
        uint16_t v = static_cast<uint16_t>(value);
        if (options_.swapped) v = __builtin_bswap16(v);
        std::memcpy(base_ + offset, &v, 2);
    }
    void put64(uint64_t offset, uint64_t value) {
        if (options_.swapped) value = __builtin_bswap64(value);
        std::memcpy(base_ + offset, &value, 8);
    }
    void putWord(uint64_t offset, uint64_t value) {
        if (word_ == 8) put64(offset, value);
        else put32(offset, value);
    }

    void writeStrings() {
        for (const Class& c : classes_) {
            string(c.name);
            for (const Method& m : c.instanceMethods) string(m.selector);
            for (const Method& m : c.classMethods) string(m.selector);
        }
        for (const Category& c : categories_) {
            string(c.name);
            for (const Method& m : c.instanceMethods) string(m.selector);
            for (const Method& m : c.classMethods) string(m.selector);
        }
    }

    // A method list at `offset` (Objective-C 2: entry size, count; legacy:
    // obsolete word, count); its address, or 0 for no methods.
    uint64_t methodList(uint64_t* cursor, const std::vector<Method>& methods, bool objc2) {
        if (methods.empty()) return 0;
        uint64_t offset = *cursor;
        uint64_t first = 0;
        if (objc2) {
            put32(offset, 3 * word_ | 3);  // the low bits are flags
            put32(offset + 4, methods.size());
            first = offset + 8;
        } else {
            putWord(offset, 0);
            put32(offset + word_, methods.size());
            first = offset + 2 * word_;
        }
        for (size_t i = 0; i < methods.size(); ++i) {
            uint64_t entry = first + i * 3 * word_;
            putWord(entry, string(methods[i].selector));
            putWord(entry + word_, string("v16@0:8"));
            putWord(entry + 2 * word_, methods[i].implementation);
        }
        *cursor = first + methods.size() * 3 * word_;
        return at(offset);
    }

    // Class, read-write and read-only data; the class's address.
    uint64_t writeClass2(uint64_t* objcData, uint64_t* objcConst, uint64_t* heap, const std::string& name,
                         const std::vector<Method>& methods, bool realized, uint64_t isa) {
        uint64_t readOnly = *objcConst;
        uint64_t nameAt = readOnly + (word_ == 8 ? 24 : 16);
        *objcConst = nameAt + 2 * word_;
        uint64_t methodsAddress = methodList(objcConst, methods, true);
        put32(readOnly, 0);
        putWord(nameAt, string(name));
        putWord(nameAt + word_, methodsAddress);
        *objcConst = (*objcConst + 15) / 16 * 16;
        uint64_t data = at(readOnly);
        if (realized) {
            // The runtime's read-write data, on its heap: flags, version, the read-only data.
            uint64_t readWrite = *heap;
            put32(readWrite, 0x80000000u);
            put32(readWrite + 4, 7);
            putWord(readWrite + 8, at(readOnly));
            *heap += 64;
            data = at(readWrite);
        }
        uint64_t classAddress = *objcData;
        putWord(classAddress, isa);
        putWord(classAddress + 4 * word_, data | (realized ? 1 : 0));  // low bits are flags
        *objcData += 5 * word_;
        *objcData = (*objcData + 15) / 16 * 16;
        return at(classAddress);
    }

    void writeObjc2() {
        uint64_t objcData = kObjcData, objcConst = kObjcConst, heap = kHeap;
        std::vector<uint64_t> classAddresses;
        for (const Class& c : classes_) {
            uint64_t metaclass = writeClass2(&objcData, &objcConst, &heap, c.name, c.classMethods, c.realized, 0);
            // 64-bit ARM keeps flags beside the pointer in a non-pointer isa.
            uint64_t isa = options_.cpuType == 0x0100000C ? metaclass | (options_.is64 ? 0x7000000000000001ull : 1) : metaclass;
            classAddresses.push_back(writeClass2(&objcData, &objcConst, &heap, c.name, c.instanceMethods, c.realized, isa));
        }
        for (size_t i = 0; i < classAddresses.size(); ++i) putWord(kClassList + i * word_, classAddresses[i]);
        sizes_[kClassList] = classAddresses.size() * word_;
        for (size_t i = 0; i < categories_.size(); ++i) {
            const Category& c = categories_[i];
            uint64_t category = objcConst;
            objcConst += 6 * word_;
            uint64_t instance = methodList(&objcConst, c.instanceMethods, true);
            uint64_t klass = methodList(&objcConst, c.classMethods, true);
            putWord(category, string(c.name));
            putWord(category + word_, classAddresses.at(c.classIndex));
            putWord(category + 2 * word_, instance);
            putWord(category + 3 * word_, klass);
            objcConst = (objcConst + 15) / 16 * 16;
            putWord(kCategoryList + i * word_, at(category));
        }
        sizes_[kCategoryList] = categories_.size() * word_;
        sizes_[kObjcConst] = objcConst - kObjcConst;
        sizes_[kObjcData] = objcData - kObjcData;
        if (objcConst > kObjcData || objcData > kHeap || heap > kData + kDataSize) {
            throw std::runtime_error("no room for the metadata");
        }
    }

    void writeLegacyObjc() {
        // One module whose symbol table defines every class; classes and
        // method lists follow the modules in "__OBJC".
        uint64_t module = kObjc;
        uint64_t cursor = kObjc + 4 * word_;
        uint64_t symtab = cursor;
        cursor += 2 * word_ + 4;
        cursor = (cursor + word_ - 1) / word_ * word_;
        uint64_t definitions = cursor;
        cursor += classes_.size() * word_;
        put16(symtab + 2 * word_, classes_.size());
        put16(symtab + 2 * word_ + 2, 0);
        for (size_t i = 0; i < classes_.size(); ++i) {
            const Class& c = classes_[i];
            uint64_t meta = cursor;
            uint64_t klass = cursor + 10 * word_;
            cursor += 20 * word_;
            uint64_t instanceMethods = methodList(&cursor, c.instanceMethods, false);
            uint64_t classMethods = methodList(&cursor, c.classMethods, false);
            putWord(meta + 2 * word_, string(c.name));
            putWord(meta + 7 * word_, classMethods);
            putWord(klass, at(meta));
            putWord(klass + 2 * word_, string(c.name));
            putWord(klass + 7 * word_, instanceMethods);
            putWord(definitions + i * word_, at(klass));
        }
        put32(module, 7);
        put32(module + word_, 4 * word_);
        putWord(module + 2 * word_, string("module"));
        putWord(module + 3 * word_, at(symtab));
        sizes_[kObjc] = 4 * word_;
        if (cursor > kObjc + kObjcSize) throw std::runtime_error("no room for the legacy metadata");
    }

    void writeSymbols() {
        // External-defined symbols first, then locals; the string table after.
        std::vector<const Symbol*> ordered;
        for (const Symbol& s : symbols_) {
            if (s.external) ordered.push_back(&s);
        }
        externalCount_ = ordered.size();
        for (const Symbol& s : symbols_) {
            if (!s.external) ordered.push_back(&s);
        }
        uint64_t entrySize = options_.is64 ? 16 : 12;
        symbolTable_ = kLinkedit;
        stringTable_ = kLinkedit + ordered.size() * entrySize;
        uint64_t strings = stringTable_;
        base_[strings++] = ' ';  // index 0 is the empty name
        base_[strings++] = 0;
        for (size_t i = 0; i < ordered.size(); ++i) {
            uint64_t entry = symbolTable_ + i * entrySize;
            put32(entry, strings - stringTable_);
            base_[entry + 4] = ordered[i]->type;
            base_[entry + 5] = 1;
            put16(entry + 6, 0);
            putWord(entry + 8, ordered[i]->value);
            std::memcpy(base_ + strings, ordered[i]->name.c_str(), ordered[i]->name.size() + 1);
            strings += ordered[i]->name.size() + 1;
        }
        symbolCount_ = ordered.size();
        stringSize_ = strings - stringTable_;
        if (strings > kLinkedit + kLinkeditSize) throw std::runtime_error("no room for the symbols");
    }

    // --- Load commands --------------------------------------------------------------

    struct Section {
        const char* name;
        uint64_t offset;
        uint64_t size;
    };

    uint64_t segment(uint64_t at, const char* name, uint64_t offset, uint64_t size, const std::vector<Section>& sections) {
        uint64_t header = options_.is64 ? 72 : 56;
        uint64_t record = options_.is64 ? 80 : 68;
        uint64_t commandSize = header + sections.size() * record;
        put32(at, options_.is64 ? 0x19 : 0x1);
        put32(at + 4, commandSize);
        std::strncpy(reinterpret_cast<char*>(base_ + at + 8), name, 16);
        uint64_t fields = at + 24;
        if (options_.is64) {
            put64(fields, fileAddress(offset));
            put64(fields + 8, size);
            put64(fields + 16, offset);  // file offset = offset from the header
            put64(fields + 24, size);
            put32(fields + 32, 7);
            put32(fields + 36, 5);
            put32(fields + 40, sections.size());
        } else {
            put32(fields, fileAddress(offset));
            put32(fields + 4, size);
            put32(fields + 8, offset);
            put32(fields + 12, size);
            put32(fields + 16, 7);
            put32(fields + 20, 5);
            put32(fields + 24, sections.size());
        }
        for (size_t i = 0; i < sections.size(); ++i) {
            uint64_t s = at + header + i * record;
            std::strncpy(reinterpret_cast<char*>(base_ + s), sections[i].name, 16);
            std::strncpy(reinterpret_cast<char*>(base_ + s + 16), name, 16);
            if (options_.is64) {
                put64(s + 32, fileAddress(sections[i].offset));
                put64(s + 40, sections[i].size);
                put32(s + 48, sections[i].offset);
            } else {
                put32(s + 32, fileAddress(sections[i].offset));
                put32(s + 36, sections[i].size);
                put32(s + 40, sections[i].offset);
            }
        }
        ++commandCount_;
        return at + commandSize;
    }

    void writeLoadCommands() {
        uint64_t headerSize = options_.is64 ? 32 : 28;
        uint64_t at = headerSize;
        std::vector<Section> text = {{"__text", kCode, kCodeSize}};
        if (options_.withUnwindInfo) text.push_back({"__unwind_info", kUnwindInfo, sizeOf(kUnwindInfo)});
        if (options_.withEhFrame) text.push_back({"__eh_frame", kEhFrame, sizeOf(kEhFrame)});
        text.push_back({"__objc_methname", kStrings, stringsUsed_ ? stringsUsed_ : 1});
        at = segment(at, "__TEXT", 0, kTextSize, text);
        if (options_.withDebugFrame) at = segment(at, "__DWARF", kDwarf, kDebugFrameSize, {{"__debug_frame", kDwarf, sizeOf(kDwarf)}});
        if (options_.withObjc2) {
            std::vector<Section> data;
            if (sizeOf(kClassList)) data.push_back({"__objc_classlist", kClassList, sizeOf(kClassList)});
            if (sizeOf(kCategoryList)) data.push_back({"__objc_catlist", kCategoryList, sizeOf(kCategoryList)});
            if (sizeOf(kObjcConst)) data.push_back({"__objc_const", kObjcConst, sizeOf(kObjcConst)});
            if (sizeOf(kObjcData)) data.push_back({"__objc_data", kObjcData, sizeOf(kObjcData)});
            at = segment(at, "__DATA", kData, kDataSize, data);
        }
        if (options_.withLegacyObjc) at = segment(at, "__OBJC", kObjc, kObjcSize, {{"__module_info", kObjc, sizeOf(kObjc)}});
        at = segment(at, "__LINKEDIT", kLinkedit, kLinkeditSize, {});
        // LC_SYMTAB: symbol offset, count, string offset, size (file offsets).
        put32(at, 0x2);
        put32(at + 4, 24);
        put32(at + 8, symbolTable_);
        put32(at + 12, symbolCount_);
        put32(at + 16, stringTable_);
        put32(at + 20, stringSize_);
        at += 24;
        ++commandCount_;
        if (options_.withDysymtab) {
            put32(at, 0xB);
            put32(at + 4, 80);
            put32(at + 8, externalCount_);                 // ilocalsym
            put32(at + 12, symbolCount_ - externalCount_);  // nlocalsym
            put32(at + 16, 0);                              // iextdefsym
            put32(at + 20, externalCount_);                 // nextdefsym
            at += 80;
            ++commandCount_;
        }
        if (options_.withUuid) {
            put32(at, 0x1B);
            put32(at + 4, 24);
            std::memcpy(base_ + at + 8, uuid_, 16);
            at += 24;
            ++commandCount_;
        }
        if (at > kCode) throw std::runtime_error("no room for the load commands");
        put32(0, options_.is64 ? 0xFEEDFACF : 0xFEEDFACE);
        put32(4, options_.cpuType);
        put32(8, options_.cpuSubtype);
        put32(12, 6);  // a dynamic library
        put32(16, commandCount_);
        put32(20, at - headerSize);
        put32(24, 0);
    }

    Options options_;
    uint64_t word_;
    uint8_t* base_ = nullptr;
    uint8_t uuid_[16] = {0x5A, 0x17, 0x0B, 0xE1, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};
    std::vector<Symbol> symbols_;
    std::vector<Class> classes_;
    std::vector<Category> categories_;
    std::vector<std::pair<std::string, uint64_t>> strings_;
    uint64_t stringsUsed_ = 0;
    std::map<uint64_t, uint64_t> sizes_;
    uint64_t symbolTable_ = 0, stringTable_ = 0, symbolCount_ = 0, stringSize_ = 0, externalCount_ = 0;
    uint32_t commandCount_ = 0;
};

/// "__unwind_info" in the host's byte order: common encodings, one first-level
/// entry per page of entries plus the sentinel, regular or compressed pages.
class UnwindInfoBuilder {
public:
    struct Entry {
        uint32_t functionOffset;  // from the image's header
        uint32_t encoding;
    };
    /// Pages of sorted entries; each page regular or compressed.
    struct Page {
        std::vector<Entry> entries;
        bool compressed = false;
        std::vector<uint32_t> ownEncodings;  // compressed pages: after the common ones
    };

    std::vector<uint32_t> common;
    std::vector<Page> pages;
    uint32_t sentinel = 0xFFFFFF;  // the function offset that closes the last page

    std::vector<uint8_t> build() const {
        Bytes out;
        uint32_t headerSize = 28;
        uint32_t commonOffset = headerSize;
        uint32_t indexOffset = commonOffset + 4 * static_cast<uint32_t>(common.size());
        uint32_t indexCount = static_cast<uint32_t>(pages.size()) + 1;
        uint32_t pagesOffset = indexOffset + 12 * indexCount;
        out.u32(1).u32(commonOffset).u32(common.size()).u32(0).u32(0).u32(indexOffset).u32(indexCount);
        for (uint32_t encoding : common) out.u32(encoding);
        // Page bodies, laid out after the index.
        Bytes body;
        std::vector<uint32_t> pageOffsets;
        for (const Page& page : pages) {
            pageOffsets.push_back(pagesOffset + static_cast<uint32_t>(body.size()));
            if (!page.compressed) {
                body.u32(2).u16(8).u16(page.entries.size());
                for (const Entry& e : page.entries) body.u32(e.functionOffset).u32(e.encoding);
            } else {
                uint32_t base = page.entries.front().functionOffset;
                uint16_t entriesAt = 12;
                uint16_t encodingsAt = static_cast<uint16_t>(entriesAt + 4 * page.entries.size());
                body.u32(3).u16(entriesAt).u16(page.entries.size()).u16(encodingsAt).u16(page.ownEncodings.size());
                for (const Entry& e : page.entries) {
                    uint32_t index = 0;
                    bool found = false;
                    for (uint32_t i = 0; i < common.size() && !found; ++i) {
                        if (common[i] == e.encoding) index = i, found = true;
                    }
                    for (uint32_t i = 0; i < page.ownEncodings.size() && !found; ++i) {
                        if (page.ownEncodings[i] == e.encoding) index = static_cast<uint32_t>(common.size()) + i, found = true;
                    }
                    body.u32((index << 24) | (e.functionOffset - base));
                }
                for (uint32_t encoding : page.ownEncodings) body.u32(encoding);
            }
            body.align(4);
        }
        for (size_t i = 0; i < pages.size(); ++i) out.u32(pages[i].entries.front().functionOffset).u32(pageOffsets[i]).u32(0);
        out.u32(sentinel).u32(0).u32(0);
        out.raw(body.data());
        return out.data();
    }
};

}  // namespace strombel::crash::testing
