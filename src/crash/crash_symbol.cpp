#include "crash/crash_symbol.h"

namespace strombel::crash {

namespace {

struct Candidate {
    bool found = false;
    uint64_t start = 0;
    char name[CRASH_SYMBOL_NAME_MAX + 1];
};

void fromSymbolTable(uint64_t address, const char* name, void* context) {
    auto* candidate = static_cast<Candidate*>(context);
    candidate->found = true;
    candidate->start = address;
    crash_async_strlcpy(candidate->name, name, sizeof candidate->name);
    crash_utf8_cut(candidate->name, CRASH_SYMBOL_NAME_MAX);
}

struct MethodFound {
    bool found = false;
    bool isClassMethod = false;
    uint64_t implementation = 0;
    char name[CRASH_SYMBOL_NAME_MAX + 2];  // one byte past the limit shows a split character
};

// "+[Class selector]" or "-[Class selector]", cut to 255 bytes.
void fromMethod(bool isClassMethod, const char* className, const char* selector, uint64_t implementation, void* context) {
    auto* method = static_cast<MethodFound*>(context);
    method->found = true;
    method->isClassMethod = isClassMethod;
    method->implementation = implementation;
    size_t length = 0;
    const size_t room = sizeof method->name - 1;
    auto append = [&](const char* text) {
        for (; *text && length < room; ++text) method->name[length++] = *text;
    };
    append(isClassMethod ? "+[" : "-[");
    append(className);
    append(" ");
    append(selector);
    append("]");
    method->name[length] = '\0';
    crash_utf8_cut(method->name, CRASH_SYMBOL_NAME_MAX);
}

}  // namespace

int crash_find_symbol(const crash_macho_image* image, const crash_memory_map* memory, uint32_t strategy,
                      crash_objc_cache* cache, uint64_t pc, crash_symbol_callback callback, void* context) {
    Candidate candidate;
    int tableResult = CRASH_ENOTFOUND;
    bool anySucceeded = false;
    if (strategy & 1) {
        tableResult = crash_macho_find_symbol_by_pc(image, memory, pc, fromSymbolTable, &candidate);
        anySucceeded = tableResult == CRASH_ESUCCESS;
    }
    if (strategy & 2) {
        MethodFound method;
        if (crash_objc_method_lookup(image, memory, cache, pc, fromMethod, &method) == CRASH_ESUCCESS) {
            anySucceeded = true;
            // A method whose implementation is not below the symbol's start is nearer the pc.
            if (method.found && (!candidate.found || method.implementation >= candidate.start)) {
                candidate.found = true;
                candidate.start = method.implementation;
                crash_async_strlcpy(candidate.name, method.name, sizeof candidate.name);
            }
        }
    }
    if (!anySucceeded) return tableResult;
    if (!candidate.found) return CRASH_EINTERNAL;
    callback(candidate.start, candidate.name, context);
    return CRASH_ESUCCESS;
}

}  // namespace strombel::crash
