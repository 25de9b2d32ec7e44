#include "crash/crash_objc.h"

#include <sys/mman.h>

namespace strombel::crash {

namespace {

constexpr uint32_t kRealized = 1u << 31;      // class read-write data: realized
constexpr uint32_t kCopiedReadOnly = 1u << 27;  // its read-only data is a copy on the heap
constexpr uint32_t kNameSize = 256;
// Bounds on the work damaged counts can ask for: methods in one list, and
// classes, categories and methods met in one enumeration.
constexpr uint32_t kMaximumMethods = 1u << 16;
constexpr uint32_t kEnumerationBudget = 1u << 18;
constexpr uint64_t kCacheBytes = crash_objc_cache::kClassCacheEntries * 2 * sizeof(uint64_t);
// A visitor that has seen what it wanted stops the whole enumeration.
constexpr int kStopped = -1;

// One method as the enumeration meets it.
struct Method {
    bool isClassMethod;
    uint64_t className;  // address of the class's name
    uint64_t selector;   // address of the selector's name
    uint64_t implementation;
};

struct Reader {
    const crash_macho_image* image;
    const crash_memory_map* memory;
    crash_objc_cache* cache;
    uint32_t word;
    mutable uint32_t budget = kEnumerationBudget;

    // False once the enumeration has done all the work it may.
    bool spend(uint64_t units) const {
        if (units > budget) return false;
        budget -= static_cast<uint32_t>(units);
        return true;
    }

    bool readWord(uint64_t address, uint64_t* value) const {
        return crash_async_read_word(memory, image->byteOrder, address, image->is64, value) == CRASH_ESUCCESS;
    }
    bool readUint32(uint64_t address, uint32_t* value) const {
        return crash_async_read_uint32(memory, image->byteOrder, address, 0, value) == CRASH_ESUCCESS;
    }
    bool readUint16(uint64_t address, uint16_t* value) const {
        return crash_async_read_uint16(memory, image->byteOrder, address, 0, value) == CRASH_ESUCCESS;
    }
    // A word of a mapped section, or of memory anywhere when `object` is not given.
    bool readWordIn(const crash_mobject* object, uint64_t address, uint64_t* value) const {
        if (object && object->contains(address, word)) {
            return crash_mobject_read_word(object, image->byteOrder, address, image->is64, value) == CRASH_ESUCCESS;
        }
        return readWord(address, value);
    }
};

// Calls `visit` for each method of the list at `list`: {entry size and flags,
// count, entries {name, types, implementation}}.
template <typename Visit>
int eachMethod(const Reader& r, uint64_t list, bool isClassMethod, uint64_t className, Visit&& visit, bool objc2) {
    if (list == 0) return CRASH_ESUCCESS;
    uint64_t entrySize = 3 * r.word, count = 0, first = 0;
    if (objc2) {
        uint32_t sizeAndFlags = 0, count32 = 0;
        if (!r.readUint32(list, &sizeAndFlags) || !r.readUint32(list + 4, &count32)) return CRASH_EINVALID_DATA;
        entrySize = sizeAndFlags & ~3u;
        count = count32;
        first = list + 8;
    } else {
        uint32_t count32 = 0;
        if (!r.readUint32(list + r.word, &count32)) return CRASH_EINVALID_DATA;
        count = count32;
        first = list + 2 * r.word;
    }
    if (entrySize < 3 * r.word || count > kMaximumMethods || !r.spend(count + 1)) return CRASH_EINVALID_DATA;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t entry = first + i * entrySize;
        Method method{isClassMethod, className, 0, 0};
        if (!r.readWord(entry, &method.selector) || !r.readWord(entry + 2 * r.word, &method.implementation)) {
            return CRASH_EINVALID_DATA;
        }
        if (!visit(method)) return kStopped;
    }
    return CRASH_ESUCCESS;
}

// An Objective-C 2 class's read-only data: from the cache, or from its
// read-write data when the class is realized (8 when it is not).
int classReadOnlyData(const Reader& r, uint64_t classAddress, uint64_t* readOnly) {
    uint64_t data = 0;
    if (!r.readWord(classAddress + 4 * r.word, &data)) return CRASH_EINVALID_DATA;
    uint64_t readWrite = data & ~uint64_t{3};
    uint64_t* cache = r.cache->classCache;
    uint64_t slot = (readWrite >> 2) % crash_objc_cache::kClassCacheEntries;
    if (cache && cache[2 * slot] == readWrite && readWrite != 0) {
        *readOnly = cache[2 * slot + 1];
        return CRASH_ESUCCESS;
    }
    uint32_t flags = 0;
    if (!r.readUint32(readWrite, &flags)) return CRASH_EINVALID_DATA;
    if (!(flags & kRealized)) return CRASH_ENOTFOUND;
    // The pointer to the read-only data: in "__objc_const" when it was not
    // copied and lies in the image, else wherever the runtime put it.
    const crash_mobject* constants = !(flags & kCopiedReadOnly) && r.cache->hasConst ? &r.cache->objcConst : nullptr;
    if (!r.readWordIn(constants, readWrite + 8, readOnly)) return CRASH_EINVALID_DATA;
    if (!cache) {
        void* region = mmap(nullptr, kCacheBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region != MAP_FAILED) r.cache->classCache = cache = static_cast<uint64_t*>(region);
    }
    if (cache) {
        cache[2 * slot] = readWrite;
        cache[2 * slot + 1] = *readOnly;
    }
    return CRASH_ESUCCESS;
}

// The read-only data's name and base methods.
bool readOnlyFields(const Reader& r, uint64_t readOnly, uint64_t* name, uint64_t* methods) {
    // flags, instanceStart, instanceSize (and a reserved word on 64-bit), ivarLayout, name, baseMethods
    uint64_t nameAt = readOnly + (r.image->is64 ? 24 : 16);
    const crash_mobject* constants = r.cache->hasConst ? &r.cache->objcConst : nullptr;
    return r.readWordIn(constants, nameAt, name) && r.readWordIn(constants, nameAt + r.word, methods);
}

template <typename Visit>
int visitClass2(const Reader& r, uint64_t classAddress, bool isMeta, uint64_t* className, Visit&& visit) {
    uint64_t readOnly = 0;
    int result = classReadOnlyData(r, classAddress, &readOnly);
    if (result != CRASH_ESUCCESS) return result;
    uint64_t name = 0, methods = 0;
    if (!readOnlyFields(r, readOnly, &name, &methods)) return CRASH_EINVALID_DATA;
    if (!isMeta) *className = name;
    return eachMethod(r, methods, isMeta, *className, visit, true);
}

uint64_t metaclassOf(const Reader& r, uint64_t isa) {
    // 64-bit ARM keeps more than the pointer in an isa with bit 0 set.
    if (crash_macho_image_cpu_type(r.image) == 0x0100000C && (isa & 1)) {
        return r.image->is64 ? isa & 0x1FFFFFFF8ull : isa & ~uint64_t{7};
    }
    return isa;
}

template <typename Visit>
int enumerateObjc2(const Reader& r, Visit&& visit) {
    crash_objc_cache* cache = r.cache;
    if (cache->hasClassList) {
        for (uint64_t at = cache->classList.address; at + r.word <= cache->classList.address + cache->classList.length;
             at += r.word) {
            uint64_t classAddress = 0, isa = 0, className = 0;
            if (!r.spend(1) || !r.readWordIn(&cache->classList, at, &classAddress)) return CRASH_EINVALID_DATA;
            int result = visitClass2(r, classAddress, false, &className, visit);
            if (result == CRASH_ENOTFOUND) continue;  // not realized: passed over
            if (result != CRASH_ESUCCESS) return result;
            if (!r.readWord(classAddress, &isa)) return CRASH_EINVALID_DATA;
            result = visitClass2(r, metaclassOf(r, isa), true, &className, visit);
            if (result != CRASH_ESUCCESS && result != CRASH_ENOTFOUND) return result;
        }
    }
    if (cache->hasCategoryList) {
        for (uint64_t at = cache->categoryList.address;
             at + r.word <= cache->categoryList.address + cache->categoryList.length; at += r.word) {
            uint64_t category = 0, classAddress = 0, instanceMethods = 0, classMethods = 0;
            if (!r.spend(1) || !r.readWordIn(&cache->categoryList, at, &category) || !r.readWord(category + r.word, &classAddress) ||
                !r.readWord(category + 2 * r.word, &instanceMethods) || !r.readWord(category + 3 * r.word, &classMethods)) {
                return CRASH_EINVALID_DATA;
            }
            // The methods go under their class's name.
            uint64_t readOnly = 0, className = 0, ignored = 0;
            int result = classReadOnlyData(r, classAddress, &readOnly);
            if (result == CRASH_ENOTFOUND) continue;
            if (result != CRASH_ESUCCESS) return result;
            if (!readOnlyFields(r, readOnly, &className, &ignored)) return CRASH_EINVALID_DATA;
            result = eachMethod(r, instanceMethods, false, className, visit, true);
            if (result == CRASH_ESUCCESS) result = eachMethod(r, classMethods, true, className, visit, true);
            if (result != CRASH_ESUCCESS) return result;
        }
    }
    return CRASH_ESUCCESS;
}

// The legacy runtime: modules -> symbol tables -> classes and metaclasses.
template <typename Visit>
int enumerateLegacy(const Reader& r, const crash_mobject& modules, Visit&& visit) {
    uint64_t moduleSize = 4 * r.word;  // version, size, name, symbol table
    for (uint64_t at = modules.address; at + moduleSize <= modules.address + modules.length; at += moduleSize) {
        uint64_t symtab = 0;
        if (!r.spend(1) || !r.readWordIn(&modules, at + 3 * r.word, &symtab)) return CRASH_EINVALID_DATA;
        if (symtab == 0) continue;
        uint16_t classCount = 0;
        if (!r.readUint16(symtab + 2 * r.word, &classCount)) return CRASH_EINVALID_DATA;
        uint64_t definitions = symtab + 2 * r.word + 4;
        definitions = (definitions + r.word - 1) / r.word * r.word;
        for (uint16_t i = 0; i < classCount; ++i) {
            uint64_t classAddress = 0, name = 0, methods = 0, isa = 0, metaMethods = 0;
            if (!r.spend(1) || !r.readWord(definitions + i * r.word, &classAddress) || !r.readWord(classAddress + 2 * r.word, &name) ||
                !r.readWord(classAddress + 7 * r.word, &methods) || !r.readWord(classAddress, &isa) ||
                !r.readWord(isa + 7 * r.word, &metaMethods)) {
                return CRASH_EINVALID_DATA;
            }
            int result = eachMethod(r, methods, false, name, visit, false);
            if (result == CRASH_ESUCCESS) result = eachMethod(r, metaMethods, true, name, visit, false);
            if (result != CRASH_ESUCCESS) return result;
        }
    }
    return CRASH_ESUCCESS;
}

template <typename Visit>
int enumerate(const Reader& r, Visit&& visit) {
    crash_objc_cache* cache = r.cache;
    if (cache->image != r.image) {
        // The sections are the last image's: another image maps its own.
        cache->image = r.image;
        cache->objc2 = false;
        cache->hasConst = cache->hasClassList = cache->hasCategoryList = cache->hasData = false;
    }
    if (!cache->objc2) {
        crash_mobject modules;
        int result = crash_macho_map_section(r.image, r.memory, "__OBJC", "__module_info", &modules);
        if (result == CRASH_ESUCCESS) return enumerateLegacy(r, modules, visit);
        if (result != CRASH_ENOTFOUND) return CRASH_EINVALID_DATA;
        cache->hasConst = crash_macho_map_section(r.image, r.memory, "__DATA", "__objc_const", &cache->objcConst) ==
                          CRASH_ESUCCESS;
        cache->hasClassList = crash_macho_map_section(r.image, r.memory, "__DATA", "__objc_classlist",
                                                      &cache->classList) == CRASH_ESUCCESS;
        cache->hasCategoryList = crash_macho_map_section(r.image, r.memory, "__DATA", "__objc_catlist",
                                                         &cache->categoryList) == CRASH_ESUCCESS;
        cache->hasData = crash_macho_map_section(r.image, r.memory, "__DATA", "__objc_data", &cache->objcData) ==
                         CRASH_ESUCCESS;
        if (!cache->hasClassList && !cache->hasCategoryList) return CRASH_ENOTFOUND;
        cache->objc2 = true;
    }
    return enumerateObjc2(r, visit);
}

// A name at `address` anywhere in memory, cut to 255 bytes.
void readName(const Reader& r, uint64_t address, char* buffer) {
    crash_mobject object;
    // A view as long as the memory lets it be: names end well before.
    if (crash_mobject_init(&object, r.memory, address, 4096, false) != CRASH_ESUCCESS ||
        crash_macho_read_string(&object, address, buffer, kNameSize) != CRASH_ESUCCESS) {
        buffer[0] = '\0';
    }
}

}  // namespace

void crash_objc_cache_init(crash_objc_cache* cache) { *cache = crash_objc_cache(); }

void crash_objc_cache_free(crash_objc_cache* cache) {
    if (cache->classCache) munmap(cache->classCache, kCacheBytes);
    *cache = crash_objc_cache();
}

int crash_objc_method_lookup(const crash_macho_image* image, const crash_memory_map* memory, crash_objc_cache* cache,
                             uint64_t pc, crash_objc_method_callback callback, void* context) {
    if (!cache) return CRASH_EACCESS;
    Reader r{image, memory, cache, image->is64 ? 8u : 4u};
    // First pass: the greatest implementation at or below the pc.
    bool found = false;
    uint64_t best = 0;
    int result = enumerate(r, [&](const Method& method) {
        if (method.implementation <= pc && (!found || method.implementation > best)) {
            best = method.implementation;
            found = true;
        }
        return true;
    });
    if (result != CRASH_ESUCCESS) return result;
    if (!found) return CRASH_ENOTFOUND;
    // Second pass: the first method with exactly that implementation.
    Method chosen{};
    bool have = false;
    result = enumerate(r, [&](const Method& method) {
        if (method.implementation != best) return true;
        chosen = method;
        have = true;
        return false;
    });
    if (result != CRASH_ESUCCESS && result != kStopped) return result;
    if (!have) return CRASH_ENOTFOUND;
    char className[kNameSize], selector[kNameSize];
    readName(r, chosen.className, className);
    readName(r, chosen.selector, selector);
    callback(chosen.isClassMethod, className, selector, chosen.implementation, context);
    return CRASH_ESUCCESS;
}

}  // namespace strombel::crash
