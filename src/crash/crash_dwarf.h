#pragma once

// The DWARF call-frame reader: finds the frame description entry (FDE) that
// covers a pc in an image's ".eh_frame" (through ".eh_frame_hdr"'s search table
// when it is sound) or in a ".debug_frame" handed in, parses it and its common
// information entry (CIE), runs their call-frame instructions up to the pc and
// applies the resulting rules to a thread state to get its caller's. DWARF
// expressions in those rules run on a small stack machine. Target words are 4
// or 8 bytes, as the image says. Crash-time code: no heap, every record on the
// stack, every byte read through a bounds-checked view or the safe reads.

#include <cstdint>

#include "crash/crash_async.h"
#include "crash/crash_mobject.h"
#include "crash/crash_thread_state.h"

namespace strombel::crash {

// --- Pointer encodings (DW_EH_PE) ------------------------------------------------------

inline constexpr uint8_t CRASH_DW_EH_PE_absptr = 0x00;
inline constexpr uint8_t CRASH_DW_EH_PE_uleb128 = 0x01;
inline constexpr uint8_t CRASH_DW_EH_PE_udata2 = 0x02;
inline constexpr uint8_t CRASH_DW_EH_PE_udata4 = 0x03;
inline constexpr uint8_t CRASH_DW_EH_PE_udata8 = 0x04;
inline constexpr uint8_t CRASH_DW_EH_PE_sleb128 = 0x09;
inline constexpr uint8_t CRASH_DW_EH_PE_sdata2 = 0x0A;
inline constexpr uint8_t CRASH_DW_EH_PE_sdata4 = 0x0B;
inline constexpr uint8_t CRASH_DW_EH_PE_sdata8 = 0x0C;
inline constexpr uint8_t CRASH_DW_EH_PE_pcrel = 0x10;
inline constexpr uint8_t CRASH_DW_EH_PE_textrel = 0x20;
inline constexpr uint8_t CRASH_DW_EH_PE_datarel = 0x30;
inline constexpr uint8_t CRASH_DW_EH_PE_funcrel = 0x40;
inline constexpr uint8_t CRASH_DW_EH_PE_aligned = 0x50;
inline constexpr uint8_t CRASH_DW_EH_PE_indirect = 0x80;
inline constexpr uint8_t CRASH_DW_EH_PE_omit = 0xFF;

/// What pointers are read relative to. Bases not set refuse their encodings (4).
struct crash_dwarf_pointer_state {
    const crash_async_byteorder* byteOrder = nullptr;
    bool is64 = true;
    const crash_memory_map* memory = nullptr;  // for indirect pointers
    bool hasAlignedBase = false;
    uint64_t alignedBase = 0;  // the section's address
    bool hasTextBase = false;
    uint64_t textBase = 0;
    bool hasDataBase = false;
    uint64_t dataBase = 0;
    bool hasFunctionBase = false;
    uint64_t functionBase = 0;
};

void crash_dwarf_pointer_state_init(crash_dwarf_pointer_state* state, const crash_async_byteorder* byteOrder, bool is64,
                                    const crash_memory_map* memory);

/// Reads the pointer with `encoding` at `at`: its value and the bytes it took.
/// 8 for the "omit" encoding, 4 for an encoding not known or a base not set,
/// 5 for bytes outside the view.
int crash_dwarf_read_pointer(const crash_dwarf_pointer_state* state, const crash_mobject* object, uint64_t at,
                             uint8_t encoding, uint64_t* value, uint64_t* size);

/// LEB128 numbers: 4 past 63 bits of shift, 5 for bytes outside the view.
int crash_dwarf_read_uleb128(const crash_mobject* object, uint64_t at, uint64_t* value, uint64_t* size);
int crash_dwarf_read_sleb128(const crash_mobject* object, uint64_t at, int64_t* value, uint64_t* size);

// --- CIEs and FDEs ---------------------------------------------------------------------

struct crash_dwarf_cie_info {
    uint64_t address = 0;  // where the entry begins
    uint64_t length = 0;
    uint64_t cieId = 0;
    uint8_t version = 0;
    uint8_t addressSize = 0;
    uint8_t segmentSize = 0;
    uint64_t codeAlignment = 0;
    int64_t dataAlignment = 0;
    uint64_t returnAddressRegister = 0;
    bool augmentationZ = false;
    bool hasLsdaEncoding = false;
    uint8_t lsdaEncoding = 0;
    bool hasPersonality = false;
    uint8_t personalityEncoding = 0;
    uint64_t personality = 0;
    bool hasPointerEncoding = false;
    uint8_t pointerEncoding = 0;
    bool signalFrame = false;
    uint64_t instructions = 0;  // address of the initial instructions
    uint64_t instructionsLength = 0;
};

struct crash_dwarf_fde_info {
    uint64_t address = 0;
    uint64_t length = 0;
    uint64_t cieAddress = 0;
    uint64_t pcStart = 0;
    uint64_t pcEnd = 0;
    uint64_t instructions = 0;
    uint64_t instructionsLength = 0;
};

/// Parses the CIE at `address`; 5 for damage, 4 for an augmentation not known.
int crash_dwarf_parse_cie(crash_dwarf_cie_info* cie, const crash_mobject* section,
                          const crash_dwarf_pointer_state* pointers, uint64_t address, bool debugFrame);
/// Parses the FDE at `address` and its CIE. The augmentation data of a CIE
/// whose augmentation begins with "z" is skipped by its length, so the
/// instructions begin after it.
int crash_dwarf_parse_fde(crash_dwarf_fde_info* fde, crash_dwarf_cie_info* cie, const crash_mobject* section,
                          const crash_dwarf_pointer_state* pointers, uint64_t address, bool debugFrame);

/// Searching one section for the FDE of a pc.
struct crash_dwarf_fde_search {
    const crash_mobject* section = nullptr;
    crash_dwarf_pointer_state pointers;
    bool debugFrame = false;
};

int crash_dwarf_fde_search_init(crash_dwarf_fde_search* search, const crash_mobject* section,
                                const crash_async_byteorder* byteOrder, bool is64, bool debugFrame,
                                const crash_memory_map* memory);
/// Walks the entries from `start` (an address inside the section) to the first
/// FDE covering `pc`: 0, or 8 when none does (a zero length or the section's end
/// ends the walk), 5 for damage. Entries whose CIE cannot be read are passed over.
int crash_dwarf_find_fde(const crash_dwarf_fde_search* search, uint64_t start, uint64_t pc, crash_dwarf_fde_info* fde,
                         crash_dwarf_cie_info* cie);

/// An ".eh_frame_hdr" section: its search table, when its encodings are known
/// and its entries lie inside it.
struct crash_dwarf_eh_frame_hdr {
    uint64_t ehFrame = 0;       // the ".eh_frame" it indexes
    uint64_t tableAddress = 0;  // 0: no table
    uint64_t count = 0;
    uint8_t tableEncoding = 0;
    uint32_t entrySize = 0;
};

int crash_dwarf_eh_frame_hdr_parse(crash_dwarf_eh_frame_hdr* hdr, const crash_mobject* section,
                                   const crash_async_byteorder* byteOrder, bool is64);
/// Whether the table is sorted by pc and points only into `ehFrame` (ordinary
/// context: it reads every entry once).
bool crash_dwarf_eh_frame_hdr_sorted(const crash_dwarf_eh_frame_hdr* hdr, const crash_mobject* section,
                                     const crash_async_byteorder* byteOrder, const crash_mobject* ehFrame);
/// The FDE for `pc` through the table (binary search): 0, 8 when it holds
/// none that covers the pc, 5 for damage.
int crash_dwarf_eh_frame_hdr_find_fde(const crash_dwarf_eh_frame_hdr* hdr, const crash_mobject* section,
                                      const crash_dwarf_fde_search* search, uint64_t pc, crash_dwarf_fde_info* fde,
                                      crash_dwarf_cie_info* cie);

// --- Rules -----------------------------------------------------------------------------

enum crash_dwarf_rule_kind : uint8_t {
    CRASH_DWARF_RULE_OFFSET = 0,          // saved at CFA + N
    CRASH_DWARF_RULE_VAL_OFFSET = 1,      // the value is CFA + N
    CRASH_DWARF_RULE_REGISTER = 2,        // in register R
    CRASH_DWARF_RULE_EXPRESSION = 3,      // saved at the address E computes
    CRASH_DWARF_RULE_VAL_EXPRESSION = 4,  // the value E computes
    CRASH_DWARF_RULE_SAME_VALUE = 5,
};

enum crash_dwarf_cfa_kind : uint8_t {
    CRASH_DWARF_CFA_UNDEFINED = 0,
    CRASH_DWARF_CFA_REGISTER_SIGNED = 1,    // register + signed offset
    CRASH_DWARF_CFA_REGISTER_UNSIGNED = 2,  // register + unsigned offset
    CRASH_DWARF_CFA_EXPRESSION = 3,
};

struct crash_dwarf_cfa_rule {
    uint8_t kind = CRASH_DWARF_CFA_UNDEFINED;
    uint32_t reg = 0;
    uint64_t offset = 0;      // signed or unsigned by the kind
    uint64_t expression = 0;  // address of the expression's length (ULEB128)
};

/// One register's rule. Expression rules keep the address of the expression's
/// length (ULEB128), which its bytes follow.
struct crash_dwarf_rule_entry {
    uint32_t reg;
    uint8_t kind;
    uint8_t next;  // next entry of the same bucket, kNone at the end
    uint64_t value;
};

/// The rules while instructions run: a pool of entries shared by every level
/// (the current one and up to five remembered states), chained per register
/// bucket, with a free list; a further set keeps the initial rules that
/// DW_CFA_restore goes back to.
struct crash_dwarf_cfa_state {
    static constexpr uint32_t kPoolSize = 100;
    static constexpr uint32_t kBuckets = 14;
    static constexpr uint32_t kLevels = 6;
    static constexpr uint8_t kNone = 255;
    static constexpr uint32_t kInitial = kLevels;  // the set of initial rules

    crash_dwarf_rule_entry pool[kPoolSize];
    uint8_t freeList;  // entries given back
    uint8_t unused;    // entries from here on were never handed out
    uint8_t buckets[kLevels + 1][kBuckets];
    uint32_t ruleCount[kLevels + 1];
    crash_dwarf_cfa_rule cfa[kLevels];
    bool returnAddressSigned[kLevels];     // 64-bit ARM: DW_CFA 0x2D toggles it
    bool returnAddressUndefined[kLevels];  // DW_CFA_undefined on the return address
    uint32_t level;
};

void crash_dwarf_cfa_state_init(crash_dwarf_cfa_state* state);
/// Sets `reg`'s rule at the current level; 3 when the pool is used up.
int crash_dwarf_cfa_state_set_rule(crash_dwarf_cfa_state* state, uint32_t reg, uint8_t kind, uint64_t value);
/// The rule of `reg` at the current level; false when it has none.
bool crash_dwarf_cfa_state_get_rule(const crash_dwarf_cfa_state* state, uint32_t reg, uint8_t* kind, uint64_t* value);
void crash_dwarf_cfa_state_remove_rule(crash_dwarf_cfa_state* state, uint32_t reg);
/// DW_CFA_remember_state (3 past five remembered states or with the pool used
/// up) and DW_CFA_restore_state (5 at level 0).
int crash_dwarf_cfa_state_push(crash_dwarf_cfa_state* state);
int crash_dwarf_cfa_state_pop(crash_dwarf_cfa_state* state);
/// Calls `visit` for every rule of the current level.
template <typename Visit>
void crash_dwarf_cfa_state_each_rule(const crash_dwarf_cfa_state* state, Visit&& visit) {
    for (uint32_t bucket = 0; bucket < crash_dwarf_cfa_state::kBuckets; ++bucket) {
        for (uint8_t i = state->buckets[state->level][bucket]; i != crash_dwarf_cfa_state::kNone; i = state->pool[i].next) {
            visit(state->pool[i]);
        }
    }
}

/// Runs the instructions at [instructions, +length) for `targetPc`, from
/// `startPc` (the FDE's start): the rows up to and including the one that
/// covers the target. Records the rules it starts with as the initial rules.
/// 4 for an opcode not known, 5 for damage, 3 when the pool or the levels run out.
int crash_dwarf_cfa_run(crash_dwarf_cfa_state* state, const crash_mobject* section,
                        const crash_dwarf_pointer_state* pointers, const crash_dwarf_cie_info* cie, uint64_t targetPc,
                        uint64_t startPc, uint64_t instructions, uint64_t length);

/// Applies the rules to `current`, giving its caller's frame in `next`.
/// `next->returnAddress` is false below a signal frame (a CIE with "S"), whose
/// pc is where the interrupted code stood. 2 when the return address is
/// undefined (the outermost frame).
int crash_dwarf_cfa_apply(const crash_dwarf_cfa_state* state, const crash_memory_map* memory,
                          const crash_mobject* section, const crash_dwarf_cie_info* cie,
                          const crash_async_byteorder* byteOrder, const crash_thread_state* current,
                          crash_thread_state* next);

/// The rules found for return addresses, kept for the walks of one report (a
/// report walks many threads through the same functions): rules without
/// expressions only, found again by the exact lookup pc. Cleared whenever the
/// images may have changed (each report).
struct crash_dwarf_rules_cache {
    static constexpr uint32_t kEntries = 512;
    static constexpr uint32_t kRules = 8;
    struct Entry {
        uint64_t pc;  // 0: empty
        crash_dwarf_cfa_rule cfa;
        uint64_t returnAddressRegister;
        const crash_async_byteorder* byteOrder;
        bool signalFrame;
        bool returnAddressUndefined;
        uint8_t ruleCount;
        crash_dwarf_rule_entry rules[kRules];
    };
    Entry entries[kEntries];
};

void crash_dwarf_rules_cache_clear(crash_dwarf_rules_cache* cache);
/// Keeps the rules the state left for `pc`, when they can be kept.
void crash_dwarf_rules_cache_store(crash_dwarf_rules_cache* cache, uint64_t pc, const crash_dwarf_cfa_state* state,
                                   const crash_dwarf_cie_info* cie, const crash_async_byteorder* byteOrder);
/// Applies the rules kept for `pc`: 8 when none are, else as the apply above
/// (an outermost frame answers 5).
int crash_dwarf_rules_cache_apply(const crash_dwarf_rules_cache* cache, uint64_t pc, const crash_memory_map* memory,
                                  const crash_thread_state* current, crash_thread_state* next);

// --- Expressions -------------------------------------------------------------------

/// The most operations one expression may run: a backward skip cannot hang the walk.
inline constexpr uint32_t CRASH_DWARF_EXPRESSION_MAX_OPERATIONS = 10000;

/// Evaluates the expression at [address, +length) in `object`, on a stack of 100
/// target words seeded with `initial`: the top of the stack at its end. 4 for
/// an opcode or size not known; 6 when the stack under- or overflows or a pick
/// reaches past its depth; 5 for an empty result, a division by zero, a jump
/// out of the expression or too many operations; memory reads answer their code.
int crash_dwarf_expression_evaluate(const crash_mobject* object, const crash_memory_map* memory,
                                    const crash_thread_state* state, const crash_async_byteorder* byteOrder, bool is64,
                                    uint64_t address, uint64_t length, const uint64_t* initial, uint32_t initialCount,
                                    uint64_t* result);

}  // namespace strombel::crash
