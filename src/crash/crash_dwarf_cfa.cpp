// The rules of a frame: running call-frame instructions, and applying the
// rules they leave to a thread state.

#include "crash/crash_dwarf.h"

namespace strombel::crash {

using State = crash_dwarf_cfa_state;

void crash_dwarf_cfa_state_init(State* state) {
    // The pool hands out its entries in order first, then those given back.
    state->freeList = State::kNone;
    state->unused = 0;
    for (auto& level : state->buckets) {
        for (uint8_t& head : level) head = State::kNone;
    }
    for (uint32_t& count : state->ruleCount) count = 0;
    for (uint32_t i = 0; i < State::kLevels; ++i) {
        state->cfa[i] = crash_dwarf_cfa_rule();
        state->returnAddressSigned[i] = false;
        state->returnAddressUndefined[i] = false;
    }
    state->level = 0;
}

namespace {

int setRuleAt(State* state, uint32_t level, uint32_t reg, uint8_t kind, uint64_t value) {
    uint8_t* head = &state->buckets[level][reg % State::kBuckets];
    for (uint8_t i = *head; i != State::kNone; i = state->pool[i].next) {
        if (state->pool[i].reg == reg) {
            state->pool[i].kind = kind;
            state->pool[i].value = value;
            return CRASH_ESUCCESS;
        }
    }
    uint8_t entry = state->freeList;
    if (entry != State::kNone) {
        state->freeList = state->pool[entry].next;
    } else if (state->unused < State::kPoolSize) {
        entry = state->unused++;
    } else {
        return CRASH_ENOMEM;
    }
    state->pool[entry] = {reg, kind, *head, value};
    *head = entry;
    state->ruleCount[level] += 1;
    return CRASH_ESUCCESS;
}

bool getRuleAt(const State* state, uint32_t level, uint32_t reg, uint8_t* kind, uint64_t* value) {
    for (uint8_t i = state->buckets[level][reg % State::kBuckets]; i != State::kNone; i = state->pool[i].next) {
        if (state->pool[i].reg == reg) {
            *kind = state->pool[i].kind;
            *value = state->pool[i].value;
            return true;
        }
    }
    return false;
}

void removeRuleAt(State* state, uint32_t level, uint32_t reg) {
    uint8_t* link = &state->buckets[level][reg % State::kBuckets];
    while (*link != State::kNone) {
        uint8_t entry = *link;
        if (state->pool[entry].reg == reg) {
            *link = state->pool[entry].next;
            state->pool[entry].next = state->freeList;
            state->freeList = entry;
            state->ruleCount[level] -= 1;
            return;
        }
        link = &state->pool[entry].next;
    }
}

void clearLevel(State* state, uint32_t level) {
    for (uint8_t& head : state->buckets[level]) {
        while (head != State::kNone) {
            uint8_t entry = head;
            head = state->pool[entry].next;
            state->pool[entry].next = state->freeList;
            state->freeList = entry;
        }
    }
    state->ruleCount[level] = 0;
}

int copyLevel(State* state, uint32_t from, uint32_t to) {
    clearLevel(state, to);
    for (uint8_t& head : state->buckets[from]) {
        for (uint8_t i = head; i != State::kNone; i = state->pool[i].next) {
            int result = setRuleAt(state, to, state->pool[i].reg, state->pool[i].kind, state->pool[i].value);
            if (result != CRASH_ESUCCESS) return result;
        }
    }
    return CRASH_ESUCCESS;
}

}  // namespace

int crash_dwarf_cfa_state_set_rule(State* state, uint32_t reg, uint8_t kind, uint64_t value) {
    return setRuleAt(state, state->level, reg, kind, value);
}

bool crash_dwarf_cfa_state_get_rule(const State* state, uint32_t reg, uint8_t* kind, uint64_t* value) {
    return getRuleAt(state, state->level, reg, kind, value);
}

void crash_dwarf_cfa_state_remove_rule(State* state, uint32_t reg) { removeRuleAt(state, state->level, reg); }

int crash_dwarf_cfa_state_push(State* state) {
    if (state->level + 1 >= State::kLevels) return CRASH_ENOMEM;
    int result = copyLevel(state, state->level, state->level + 1);
    if (result != CRASH_ESUCCESS) {
        clearLevel(state, state->level + 1);
        return result;
    }
    state->cfa[state->level + 1] = state->cfa[state->level];
    state->returnAddressSigned[state->level + 1] = state->returnAddressSigned[state->level];
    state->returnAddressUndefined[state->level + 1] = state->returnAddressUndefined[state->level];
    state->level += 1;
    return CRASH_ESUCCESS;
}

int crash_dwarf_cfa_state_pop(State* state) {
    if (state->level == 0) return CRASH_EINVAL;
    clearLevel(state, state->level);
    state->level -= 1;
    return CRASH_ESUCCESS;
}

// --- Running instructions --------------------------------------------------------------

int crash_dwarf_cfa_run(State* state, const crash_mobject* section, const crash_dwarf_pointer_state* pointers,
                        const crash_dwarf_cie_info* cie, uint64_t targetPc, uint64_t startPc, uint64_t instructions,
                        uint64_t length) {
    if (length > 0 && !section->contains(instructions, length)) return CRASH_EINVAL;
    const crash_async_byteorder* order = pointers->byteOrder;
    // DW_CFA_restore goes back to the rules the instructions start with.
    int copied = copyLevel(state, state->level, State::kInitial);
    if (copied != CRASH_ESUCCESS) return copied;

    uint64_t end = instructions + length;
    uint64_t at = instructions;
    uint64_t location = startPc;
    crash_dwarf_pointer_state fdePointers = *pointers;
    fdePointers.hasFunctionBase = true;
    fdePointers.functionBase = startPc;

    // Operands, read inside the instructions only.
    auto uleb = [&](uint64_t* value) {
        uint64_t size = 0;
        if (at >= end || crash_dwarf_read_uleb128(section, at, value, &size) != CRASH_ESUCCESS || size > end - at) return false;
        at += size;
        return true;
    };
    auto sleb = [&](int64_t* value) {
        uint64_t size = 0;
        if (at >= end || crash_dwarf_read_sleb128(section, at, value, &size) != CRASH_ESUCCESS || size > end - at) return false;
        at += size;
        return true;
    };
    auto fixed = [&](uint32_t size, uint64_t* value) {
        if (size > end - at || crash_mobject_read_sized(section, order, at, size, value) != CRASH_ESUCCESS) return false;
        at += size;
        return true;
    };
    // An expression operand: its length's address, the whole block inside the instructions.
    auto block = [&](uint64_t* address) {
        *address = at;
        uint64_t blockLength = 0;
        if (!uleb(&blockLength) || blockLength > end - at) return false;
        at += blockLength;
        return true;
    };
    auto advance = [&](uint64_t delta) {
        uint64_t step = delta * cie->codeAlignment;
        if (cie->codeAlignment != 0 && step / cie->codeAlignment != delta) return false;
        if (step > UINT64_MAX - location) return false;
        location += step;
        return true;
    };
    auto setRule = [&](uint64_t reg, uint8_t kind, uint64_t value) -> int {
        if (reg > UINT32_MAX) return CRASH_EINVAL;
        if (reg == cie->returnAddressRegister) state->returnAddressUndefined[state->level] = false;
        return crash_dwarf_cfa_state_set_rule(state, static_cast<uint32_t>(reg), kind, value);
    };
    // Wraps like the target's own arithmetic instead of overflowing.
    auto factored = [&](int64_t value) { return static_cast<uint64_t>(value) * static_cast<uint64_t>(cie->dataAlignment); };
    auto restore = [&](uint64_t reg) -> int {
        if (reg > UINT32_MAX) return CRASH_EINVAL;
        uint8_t kind = 0;
        uint64_t value = 0;
        if (getRuleAt(state, State::kInitial, static_cast<uint32_t>(reg), &kind, &value)) {
            return crash_dwarf_cfa_state_set_rule(state, static_cast<uint32_t>(reg), kind, value);
        }
        crash_dwarf_cfa_state_remove_rule(state, static_cast<uint32_t>(reg));
        return CRASH_ESUCCESS;
    };

    while (at < end && location <= targetPc) {
        uint8_t opcode = 0;
        if (crash_mobject_read_uint8(section, at, &opcode) != CRASH_ESUCCESS) return CRASH_EINVAL;
        at += 1;
        uint64_t reg = 0, operand = 0;
        int64_t signedOperand = 0;
        int result = CRASH_ESUCCESS;
        crash_dwarf_cfa_rule& cfa = state->cfa[state->level];
        switch (opcode & 0xC0) {
            case 0x40:
                if (!advance(opcode & 0x3F)) return CRASH_EINVAL;
                continue;
            case 0x80:
                if (!uleb(&operand)) return CRASH_EINVAL;
                result = setRule(opcode & 0x3F, CRASH_DWARF_RULE_OFFSET, factored(static_cast<int64_t>(operand)));
                if (result != CRASH_ESUCCESS) return result;
                continue;
            case 0xC0:
                result = restore(opcode & 0x3F);
                if (result != CRASH_ESUCCESS) return result;
                continue;
            default: break;
        }
        switch (opcode) {
            case 0x00: break;  // nop
            case 0x01: {       // set_loc
                if (cie->segmentSize != 0) return CRASH_ENOTSUP;
                uint8_t encoding = cie->hasPointerEncoding ? cie->pointerEncoding : CRASH_DW_EH_PE_absptr;
                uint64_t size = 0;
                result = crash_dwarf_read_pointer(&fdePointers, section, at, encoding, &location, &size);
                if (result != CRASH_ESUCCESS) return result == CRASH_ENOTSUP ? result : CRASH_EINVAL;
                if (size > end - at) return CRASH_EINVAL;
                at += size;
                break;
            }
            case 0x02:
            case 0x03:
            case 0x04:  // advance_loc1, 2, 4
                if (!fixed(opcode == 0x02 ? 1 : opcode == 0x03 ? 2 : 4, &operand) || !advance(operand)) return CRASH_EINVAL;
                break;
            case 0x05:  // offset_extended
                if (!uleb(&reg) || !uleb(&operand)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_OFFSET, factored(static_cast<int64_t>(operand)));
                break;
            case 0x06:  // restore_extended
                if (!uleb(&reg)) return CRASH_EINVAL;
                result = restore(reg);
                break;
            case 0x07:  // undefined
                if (!uleb(&reg)) return CRASH_EINVAL;
                if (reg <= UINT32_MAX) crash_dwarf_cfa_state_remove_rule(state, static_cast<uint32_t>(reg));
                if (reg == cie->returnAddressRegister) state->returnAddressUndefined[state->level] = true;
                break;
            case 0x08:  // same_value
                if (!uleb(&reg)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_SAME_VALUE, 0);
                break;
            case 0x09:  // register
                if (!uleb(&reg) || !uleb(&operand)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_REGISTER, operand);
                break;
            case 0x0A: result = crash_dwarf_cfa_state_push(state); break;
            case 0x0B: result = crash_dwarf_cfa_state_pop(state); break;
            case 0x0C:  // def_cfa
                if (!uleb(&reg) || !uleb(&operand) || reg > UINT32_MAX) return CRASH_EINVAL;
                cfa = {CRASH_DWARF_CFA_REGISTER_UNSIGNED, static_cast<uint32_t>(reg), operand, 0};
                break;
            case 0x0D:  // def_cfa_register
                if (!uleb(&reg) || reg > UINT32_MAX) return CRASH_EINVAL;
                if (cfa.kind != CRASH_DWARF_CFA_REGISTER_SIGNED) {
                    if (cfa.kind != CRASH_DWARF_CFA_REGISTER_UNSIGNED) cfa.offset = 0;
                    cfa.kind = CRASH_DWARF_CFA_REGISTER_UNSIGNED;
                }
                cfa.reg = static_cast<uint32_t>(reg);
                break;
            case 0x0E:  // def_cfa_offset
                if (!uleb(&operand)) return CRASH_EINVAL;
                if (cfa.kind == CRASH_DWARF_CFA_EXPRESSION || cfa.kind == CRASH_DWARF_CFA_UNDEFINED) cfa.reg = 0;
                cfa.kind = CRASH_DWARF_CFA_REGISTER_UNSIGNED;
                cfa.offset = operand;
                break;
            case 0x0F:  // def_cfa_expression
                if (!block(&operand)) return CRASH_EINVAL;
                cfa = {CRASH_DWARF_CFA_EXPRESSION, 0, 0, operand};
                break;
            case 0x10:  // expression
                if (!uleb(&reg) || !block(&operand)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_EXPRESSION, operand);
                break;
            case 0x11:  // offset_extended_sf
                if (!uleb(&reg) || !sleb(&signedOperand)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_OFFSET, factored(signedOperand));
                break;
            case 0x12:  // def_cfa_sf
                if (!uleb(&reg) || !sleb(&signedOperand) || reg > UINT32_MAX) return CRASH_EINVAL;
                cfa = {CRASH_DWARF_CFA_REGISTER_SIGNED, static_cast<uint32_t>(reg), factored(signedOperand), 0};
                break;
            case 0x13:  // def_cfa_offset_sf
                if (!sleb(&signedOperand)) return CRASH_EINVAL;
                if (cfa.kind == CRASH_DWARF_CFA_EXPRESSION || cfa.kind == CRASH_DWARF_CFA_UNDEFINED) cfa.reg = 0;
                cfa.kind = CRASH_DWARF_CFA_REGISTER_SIGNED;
                cfa.offset = factored(signedOperand);
                break;
            case 0x14:  // val_offset
                if (!uleb(&reg) || !uleb(&operand)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_VAL_OFFSET, factored(static_cast<int64_t>(operand)));
                break;
            case 0x15:  // val_offset_sf
                if (!uleb(&reg) || !sleb(&signedOperand)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_VAL_OFFSET, factored(signedOperand));
                break;
            case 0x16:  // val_expression
                if (!uleb(&reg) || !block(&operand)) return CRASH_EINVAL;
                result = setRule(reg, CRASH_DWARF_RULE_VAL_EXPRESSION, operand);
                break;
            case 0x2D:  // 64-bit ARM: the return address is signed from here on, or no longer
                state->returnAddressSigned[state->level] = !state->returnAddressSigned[state->level];
                break;
            case 0x2E:  // GNU_args_size: stack arguments of a call, nothing the caller's frame needs
                if (!uleb(&operand)) return CRASH_EINVAL;
                break;
            default: return CRASH_ENOTSUP;
        }
        if (result != CRASH_ESUCCESS) return result;
    }
    return CRASH_ESUCCESS;
}

// --- Applying the rules -----------------------------------------------------------------

namespace {

// 64-bit ARM vector registers v0-v31 (DWARF 64-95): d8-d15 are callee-saved and
// their rules are common, but the thread state keeps no vector registers.
bool isUntrackedVectorRegister(const crash_thread_state* state, uint64_t dwarf) {
    return state->kind == CRASH_THREAD_STATE_ARM64 && dwarf >= 64 && dwarf <= 95;
}

}  // namespace

namespace {

// Applies a CFA rule and the register rules that `eachRule` enumerates; the
// state's rules and a cached copy of them go through here alike.
template <typename EachRule>
int applyRules(const crash_dwarf_cfa_rule& rule, EachRule&& eachRule, uint64_t returnAddressRegister, bool signalFrame,
               bool returnAddressUndefined, const crash_memory_map* memory, const crash_mobject* section,
               const crash_async_byteorder* byteOrder, const crash_thread_state* current, crash_thread_state* next) {
    bool is64 = current->registerSize == 8;
    *next = *current;
    crash_thread_state_clear_volatile(next, true);

    // The canonical frame address.
    uint64_t cfa = 0;
    switch (rule.kind) {
        case CRASH_DWARF_CFA_UNDEFINED: return CRASH_EINVAL;
        case CRASH_DWARF_CFA_REGISTER_SIGNED:
        case CRASH_DWARF_CFA_REGISTER_UNSIGNED: {
            uint32_t reg = 0;
            if (!crash_thread_state_map_from_dwarf(current, rule.reg, &reg)) return CRASH_ENOTSUP;
            if (!crash_thread_state_is_valid(current, reg)) return CRASH_ENOTFOUND;
            uint64_t base = crash_thread_state_get(current, reg);
            if (rule.kind == CRASH_DWARF_CFA_REGISTER_SIGNED) {
                if (!crash_async_address_add(base, static_cast<int64_t>(rule.offset), &cfa)) return CRASH_EINVAL;
            } else {
                if (rule.offset > UINT64_MAX - base) return CRASH_EINVAL;
                cfa = base + rule.offset;
            }
            break;
        }
        case CRASH_DWARF_CFA_EXPRESSION: {
            uint64_t length = 0, size = 0;
            if (crash_dwarf_read_uleb128(section, rule.expression, &length, &size) != CRASH_ESUCCESS) return CRASH_EINVAL;
            int result = crash_dwarf_expression_evaluate(section, memory, current, byteOrder, is64, rule.expression + size,
                                                         length, nullptr, 0, &cfa);
            if (result != CRASH_ESUCCESS) return result;
            break;
        }
        default: return CRASH_EINVAL;
    }
    if (!is64) cfa &= 0xFFFFFFFFu;
    crash_thread_state_set(next, CRASH_REG_SP, cfa);

    // Every register with a rule.
    bool pcSet = false;
    uint64_t pc = 0;
    int failure = CRASH_ESUCCESS;
    eachRule([&](const crash_dwarf_rule_entry& entry) {
        if (failure != CRASH_ESUCCESS) return;
        bool isReturnAddress = entry.reg == returnAddressRegister;
        uint32_t reg = 0;
        bool mapped = crash_thread_state_map_from_dwarf(current, entry.reg, &reg);
        if (!mapped && !isReturnAddress) {
            if (!isUntrackedVectorRegister(current, entry.reg)) failure = CRASH_EINVAL;
            return;
        }
        uint64_t value = 0;
        switch (entry.kind) {
            case CRASH_DWARF_RULE_OFFSET:
            case CRASH_DWARF_RULE_VAL_OFFSET: {
                uint64_t address = 0;
                if (!crash_async_address_add(cfa, static_cast<int64_t>(entry.value), &address)) {
                    failure = CRASH_EINVAL;
                    return;
                }
                if (entry.kind == CRASH_DWARF_RULE_VAL_OFFSET) {
                    value = address;
                } else if (crash_async_read_word(memory, byteOrder, address, is64, &value) != CRASH_ESUCCESS) {
                    failure = CRASH_EINVAL;
                    return;
                }
                break;
            }
            case CRASH_DWARF_RULE_REGISTER: {
                uint32_t from = 0;
                if (!crash_thread_state_map_from_dwarf(current, entry.value, &from)) {
                    failure = CRASH_EINVAL;
                    return;
                }
                if (!crash_thread_state_is_valid(current, from)) {
                    failure = CRASH_ENOTFOUND;
                    return;
                }
                value = crash_thread_state_get(current, from);
                break;
            }
            case CRASH_DWARF_RULE_EXPRESSION:
            case CRASH_DWARF_RULE_VAL_EXPRESSION: {
                uint64_t length = 0, size = 0;
                if (crash_dwarf_read_uleb128(section, entry.value, &length, &size) != CRASH_ESUCCESS) {
                    failure = CRASH_EINVAL;
                    return;
                }
                int result = crash_dwarf_expression_evaluate(section, memory, current, byteOrder, is64, entry.value + size,
                                                             length, &cfa, 1, &value);
                if (result != CRASH_ESUCCESS) {
                    failure = result;
                    return;
                }
                if (entry.kind == CRASH_DWARF_RULE_EXPRESSION &&
                    crash_async_read_word(memory, byteOrder, value, is64, &value) != CRASH_ESUCCESS) {
                    failure = CRASH_EINVAL;
                    return;
                }
                break;
            }
            case CRASH_DWARF_RULE_SAME_VALUE: {
                uint32_t from = mapped ? reg : CRASH_REG_PC;
                if (!crash_thread_state_is_valid(current, from)) {
                    failure = CRASH_ENOTFOUND;
                    return;
                }
                value = crash_thread_state_get(current, from);
                break;
            }
            default: failure = CRASH_EINVAL; return;
        }
        if (mapped) crash_thread_state_set(next, reg, value);
        if (isReturnAddress) {
            pc = value;
            pcSet = true;
        }
    });
    if (failure != CRASH_ESUCCESS) return failure;

    if (!pcSet) {
        // The outermost frame says so by leaving its return address undefined.
        if (returnAddressUndefined) return CRASH_ENOTFOUND;
        uint32_t reg = 0;
        if (!crash_thread_state_map_from_dwarf(current, returnAddressRegister, &reg) ||
            !crash_thread_state_is_valid(current, reg)) {
            return CRASH_EINVAL;
        }
        pc = crash_thread_state_get(current, reg);
    }
    crash_thread_state_set(next, CRASH_REG_PC, crash_thread_state_strip_return_address(current, pc));
    // Below a signal frame the pc is where the interrupted code stood.
    next->returnAddress = !signalFrame;
    return CRASH_ESUCCESS;
}

}  // namespace

int crash_dwarf_cfa_apply(const State* state, const crash_memory_map* memory, const crash_mobject* section,
                          const crash_dwarf_cie_info* cie, const crash_async_byteorder* byteOrder,
                          const crash_thread_state* current, crash_thread_state* next) {
    return applyRules(
        state->cfa[state->level], [state](auto&& visit) { crash_dwarf_cfa_state_each_rule(state, visit); },
        cie->returnAddressRegister, cie->signalFrame, state->returnAddressUndefined[state->level], memory, section,
        byteOrder, current, next);
}

// --- The rules cache -----------------------------------------------------------------------

namespace {

uint32_t cacheSlot(uint64_t pc) {
    uint64_t mixed = pc * 0x9E3779B97F4A7C15ull;
    return static_cast<uint32_t>(mixed >> 40) % crash_dwarf_rules_cache::kEntries;
}

}  // namespace

void crash_dwarf_rules_cache_clear(crash_dwarf_rules_cache* cache) {
    for (auto& entry : cache->entries) entry.pc = 0;
}

void crash_dwarf_rules_cache_store(crash_dwarf_rules_cache* cache, uint64_t pc, const State* state,
                                   const crash_dwarf_cie_info* cie, const crash_async_byteorder* byteOrder) {
    uint32_t level = state->level;
    const crash_dwarf_cfa_rule& cfa = state->cfa[level];
    // Only what needs no section: no expressions, a handful of rules.
    if (pc == 0 || cfa.kind == CRASH_DWARF_CFA_EXPRESSION || cfa.kind == CRASH_DWARF_CFA_UNDEFINED ||
        state->ruleCount[level] > crash_dwarf_rules_cache::kRules) {
        return;
    }
    crash_dwarf_rules_cache::Entry& entry = cache->entries[cacheSlot(pc)];
    uint32_t count = 0;
    bool cacheable = true;
    crash_dwarf_cfa_state_each_rule(state, [&](const crash_dwarf_rule_entry& rule) {
        if (rule.kind == CRASH_DWARF_RULE_EXPRESSION || rule.kind == CRASH_DWARF_RULE_VAL_EXPRESSION) cacheable = false;
        if (cacheable) entry.rules[count++] = rule;
    });
    if (!cacheable) {
        entry.pc = 0;
        return;
    }
    entry.pc = pc;
    entry.cfa = cfa;
    entry.ruleCount = static_cast<uint8_t>(count);
    entry.returnAddressRegister = cie->returnAddressRegister;
    entry.signalFrame = cie->signalFrame;
    entry.returnAddressUndefined = state->returnAddressUndefined[level];
    entry.byteOrder = byteOrder;
}

int crash_dwarf_rules_cache_apply(const crash_dwarf_rules_cache* cache, uint64_t pc, const crash_memory_map* memory,
                                  const crash_thread_state* current, crash_thread_state* next) {
    const crash_dwarf_rules_cache::Entry& entry = cache->entries[cacheSlot(pc)];
    if (pc == 0 || entry.pc != pc) return CRASH_ENOTFOUND;
    int result = applyRules(
        entry.cfa,
        [&entry](auto&& visit) {
            for (uint32_t i = 0; i < entry.ruleCount; ++i) visit(entry.rules[i]);
        },
        entry.returnAddressRegister, entry.signalFrame, entry.returnAddressUndefined, memory, nullptr, entry.byteOrder,
        current, next);
    // A failure is the frame's own, as it would have been uncached.
    return result == CRASH_ENOTFOUND ? CRASH_EINVAL : result;
}

}  // namespace strombel::crash
