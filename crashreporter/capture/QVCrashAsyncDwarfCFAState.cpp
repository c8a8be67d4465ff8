#include "crashreporter/capture/QVCrashAsyncDwarfCFAState.h"

namespace quorvane::qvcrash::MS::async {

template <typename P, typename S>
dwarf_cfa_state<P, S>::dwarf_cfa_state() {
    _table_depth = 0;
    for (uint8_t level = 0; level < kLevels; ++level) {
        _cfa_value[level] = {};
        _register_count[level] = 0;
        for (uint8_t b = 0; b < kBuckets; ++b) _table_stack[level][b] = kNone;
    }
    // Every entry is free: those given back are reused first (most recent first), then the ones
    // never used, in index order.
    _free_list = kNone;
    _fresh = 0;
}

template <typename P, typename S>
uint8_t dwarf_cfa_state<P, S>::take_entry() {
    if (_free_list != kNone) {
        const uint8_t index = _free_list;
        _free_list = _entries[index].next;
        return index;
    }
    return _fresh < kEntries ? _fresh++ : kNone;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::set_register(uint64_t regnum, qvcrash_dwarf_cfa_reg_rule_t rule, P value) {
    if (regnum > DWARF_CFA_STATE_REGNUM_MAX) return false;
    uint8_t* link = &_table_stack[_table_depth][regnum % kBuckets];
    while (*link != kNone) {
        entry& e = _entries[*link];
        if (e.regnum == regnum) {
            e.rule = rule;
            e.value = value;
            return true;
        }
        link = &e.next;
    }
    const uint8_t index = take_entry();
    if (index == kNone) return false;
    _entries[index] = {value, static_cast<uint32_t>(regnum), rule, kNone};
    *link = index;
    _register_count[_table_depth]++;
    return true;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::get_register_rule(uint64_t regnum, qvcrash_dwarf_cfa_reg_rule_t* rule, P* value) const {
    if (regnum > DWARF_CFA_STATE_REGNUM_MAX) return false;
    for (uint8_t i = _table_stack[_table_depth][regnum % kBuckets]; i != kNone; i = _entries[i].next) {
        if (_entries[i].regnum == regnum) {
            *rule = _entries[i].rule;
            *value = static_cast<P>(_entries[i].value);
            return true;
        }
    }
    return false;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::is_undefined(uint64_t regnum) const {
    qvcrash_dwarf_cfa_reg_rule_t rule;
    P value;
    return get_register_rule(regnum, &rule, &value) && rule == QVCRASH_DWARF_CFA_REG_RULE_UNDEFINED;
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::remove_register(uint64_t regnum) {
    if (regnum > DWARF_CFA_STATE_REGNUM_MAX) return;
    uint8_t* link = &_table_stack[_table_depth][regnum % kBuckets];
    while (*link != kNone) {
        const uint8_t index = *link;
        if (_entries[index].regnum != regnum) {
            link = &_entries[index].next;
            continue;
        }
        *link = _entries[index].next;  // unlink, and go on with the entry that followed
        _entries[index].next = _free_list;
        _free_list = index;
        _register_count[_table_depth]--;
    }
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_register(uint32_t regnum, P offset) {
    _cfa_value[_table_depth] = {DWARF_CFA_STATE_CFA_TYPE_REGISTER, regnum, offset, 0, 0};
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_register_signed(uint32_t regnum, S offset) {
    _cfa_value[_table_depth] = {DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED, regnum, static_cast<P>(offset), 0, 0};
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_expression(uint64_t address, uint64_t length) {
    _cfa_value[_table_depth] = {DWARF_CFA_STATE_CFA_TYPE_EXPRESSION, 0, 0, address, length};
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::free_level(uint8_t level) {
    for (uint8_t b = 0; b < kBuckets; ++b) {
        uint8_t i = _table_stack[level][b];
        while (i != kNone) {
            const uint8_t next = _entries[i].next;
            _entries[i].next = _free_list;
            _free_list = i;
            i = next;
        }
        _table_stack[level][b] = kNone;
    }
    _register_count[level] = 0;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::push_state() {
    if (_table_depth + 1 >= kLevels) return false;
    const uint8_t from = _table_depth;
    const uint8_t to = static_cast<uint8_t>(from + 1);
    _cfa_value[to] = _cfa_value[from];
    _register_count[to] = 0;
    for (uint8_t b = 0; b < kBuckets; ++b) {
        _table_stack[to][b] = kNone;
        uint8_t* tail = &_table_stack[to][b];
        for (uint8_t i = _table_stack[from][b]; i != kNone; i = _entries[i].next) {
            const uint8_t copy = take_entry();
            if (copy == kNone) {
                free_level(to);
                return false;
            }
            _entries[copy] = _entries[i];
            _entries[copy].next = kNone;
            *tail = copy;
            tail = &_entries[copy].next;
            _register_count[to]++;
        }
    }
    _table_depth = to;
    return true;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::pop_state() {
    if (_table_depth == 0) return false;
    free_level(_table_depth);
    _table_depth--;
    return true;
}

template <typename P, typename S>
uint8_t dwarf_cfa_state<P, S>::free_entry_count() const {
    uint8_t n = static_cast<uint8_t>(kEntries - _fresh);
    for (uint8_t i = _free_list; i != kNone && n < kEntries; i = _entries[i].next) ++n;
    return n;
}

template <typename P, typename S>
bool dwarf_cfa_state_iterator<P, S>::next(uint32_t* regnum, qvcrash_dwarf_cfa_reg_rule_t* rule, P* value) {
    using state_t = dwarf_cfa_state<P, S>;
    const uint8_t depth = _state->_table_depth;
    if (_cur_entry_idx != state_t::kNone) _cur_entry_idx = _state->_entries[_cur_entry_idx].next;
    while (_cur_entry_idx == state_t::kNone) {
        if (_bucket >= state_t::kBuckets) return false;
        _cur_entry_idx = _state->_table_stack[depth][_bucket++];
    }
    const auto& e = _state->_entries[_cur_entry_idx];
    *regnum = e.regnum;
    *rule = e.rule;
    *value = static_cast<P>(e.value);
    return true;
}

// ---- the program ----

template <typename P, typename S>
qvcrash_error_t dwarf_cfa_state<P, S>::eval_program(const qvcrash_async_mobject_t* mobj, P pc, P initial_location,
                                                    const qvcrash_async_dwarf_cie_info_t* cie,
                                                    const gnu_ehptr_reader<P>* ptr_reader,
                                                    const MSqvcrash_async_byteorder_t* byteorder, uint64_t address,
                                                    uint64_t offset, uint64_t length) {
    // DW_CFA_restore goes back to the rules in force before this program.
    dwarf_cfa_state<P, S> initial;
    {
        dwarf_cfa_state_iterator<P, S> it(this);
        uint32_t regnum;
        qvcrash_dwarf_cfa_reg_rule_t rule;
        P value;
        while (it.next(&regnum, &rule, &value)) {
            if (!initial.set_register(regnum, rule, value)) {
                QVCRASH_DEBUG("Hit register allocation limit while saving initial state");
                return QVCRASH_ENOMEM;
            }
        }
    }

    const uint8_t set_loc_encoding = cie->has_eh_augmentation && cie->eh_augmentation.has_pointer_encoding
                                         ? cie->eh_augmentation.pointer_encoding
                                         : static_cast<uint8_t>(DW_EH_PE_absptr);
    if (!MSqvcrash_async_address_apply_offset(address, static_cast<int64_t>(offset), nullptr) ||
        static_cast<int64_t>(offset) < 0) {
        QVCRASH_DEBUG("Offset overflows base address");
        return QVCRASH_EINVAL;
    }
    dwarf_opcode_stream stream;
    qvcrash_error_t err =
        stream.init(mobj, byteorder, address, static_cast<int64_t>(offset), static_cast<int64_t>(length));
    if (err != QVCRASH_ESUCCESS) return err;

    const uint64_t caf = cie->code_alignment_factor;
    const int64_t daf = cie->data_alignment_factor;
    // A signed operand times the data alignment factor, wrapping like every rule value.
    auto factored = [daf](int64_t value) {
        return static_cast<int64_t>(static_cast<uint64_t>(value) * static_cast<uint64_t>(daf));
    };
    P location = initial_location;
    if (pc != 0 && location > pc) return QVCRASH_ESUCCESS;

    auto read_reg = [&](uint64_t* reg) -> qvcrash_error_t {
        if (!stream.read_uleb128(reg)) {
            QVCRASH_DEBUG("Read of ULEB128 value failed");
            return QVCRASH_EINVAL;
        }
        if (*reg > DWARF_CFA_STATE_REGNUM_MAX) {
            QVCRASH_DEBUG("Register number %llu exceeds DWARF_CFA_STATE_REGNUM_MAX", static_cast<unsigned long long>(*reg));
            return QVCRASH_ENOTSUP;
        }
        return QVCRASH_ESUCCESS;
    };
    auto read_u = [&](uint64_t* v) -> qvcrash_error_t {
        if (stream.read_uleb128(v)) return QVCRASH_ESUCCESS;
        QVCRASH_DEBUG("Read of ULEB128 value failed");
        return QVCRASH_EINVAL;
    };
    auto read_s = [&](int64_t* v) -> qvcrash_error_t {
        if (stream.read_sleb128(v)) return QVCRASH_ESUCCESS;
        QVCRASH_DEBUG("Read of SLEB128 value failed");
        return QVCRASH_EINVAL;
    };
    auto set_rule = [&](uint64_t reg, qvcrash_dwarf_cfa_reg_rule_t rule, P value) -> qvcrash_error_t {
        if (set_register(reg, rule, value)) return QVCRASH_ESUCCESS;
        QVCRASH_DEBUG("Exhausted available register slots while evaluating CFA opcodes");
        return QVCRASH_ENOMEM;
    };
    auto restore = [&](uint64_t reg) -> qvcrash_error_t {
        qvcrash_dwarf_cfa_reg_rule_t rule;
        P value;
        if (initial.get_register_rule(reg, &rule, &value)) return set_rule(reg, rule, value);
        remove_register(reg);
        return QVCRASH_ESUCCESS;
    };
    // A length-prefixed block: its first byte's address; the stream moves past it.
    auto block = [&](uint64_t* block_address, uint64_t* block_length, const char* what) -> qvcrash_error_t {
        if ((err = read_u(block_length))) return err;
        if (*block_length > static_cast<uint64_t>(INT64_MAX)) {
            QVCRASH_DEBUG("DWARF expression length exceeds QV_VM_SIZE_MAX/QV_VM_OFF_MAX in DW_CFA_def_cfa_expression operand");
            return QVCRASH_ENOTSUP;
        }
        *block_address = stream.position_address();
        if (!stream.skip(static_cast<int64_t>(*block_length))) {
            // A block that runs past the program would be read again as instructions.
            QVCRASH_DEBUG("%s block of %llu bytes runs past the end of the instructions", what,
                          static_cast<unsigned long long>(*block_length));
            return QVCRASH_EINVAL;
        }
        return QVCRASH_ESUCCESS;
    };
    auto needs_register_cfa = [&]() -> qvcrash_error_t {
        const auto type = _cfa_value[_table_depth].type;
        if (type == DWARF_CFA_STATE_CFA_TYPE_REGISTER || type == DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED) {
            return QVCRASH_ESUCCESS;
        }
        QVCRASH_DEBUG("DW_CFA_def_cfa_register emitted for a non-register CFA rule state");
        return QVCRASH_EINVAL;
    };

    while (!stream.at_end()) {
        uint8_t opcode;
        if (!stream.read_intU(&opcode)) return QVCRASH_EINVAL;
        const uint8_t operand = opcode & 0x3F;
        uint64_t reg, u, reg2;
        int64_t s;
        switch (opcode & 0xC0) {
            case 0x40:  // DW_CFA_advance_loc
                location = static_cast<P>(location + operand * caf);
                goto next;
            case 0x80:  // DW_CFA_offset
                if ((err = read_u(&u))) return err;
                if ((err = set_rule(operand, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<P>(u * static_cast<uint64_t>(daf))))) return err;
                goto next;
            case 0xC0:  // DW_CFA_restore
                if ((err = restore(operand))) return err;
                goto next;
            default: break;
        }
        switch (opcode) {
            case 0x00: break;  // DW_CFA_nop
            case 0x01: {       // DW_CFA_set_loc
                if (cie->segment_size != 0) {
                    QVCRASH_DEBUG("Segment support has not been implemented");
                    return QVCRASH_ENOTSUP;
                }
                P target;
                if (!stream.read_gnueh_ptr(ptr_reader, set_loc_encoding, &target)) {
                    QVCRASH_DEBUG("DW_CFA_set_loc failed to read the target pointer value");
                    return QVCRASH_EINVAL;
                }
                location = target;
                break;
            }
            case 0x02: {
                uint8_t delta;
                if (!stream.read_intU(&delta)) return QVCRASH_EINVAL;
                location = static_cast<P>(location + delta * caf);
                break;
            }
            case 0x03: {
                uint16_t delta;
                if (!stream.read_intU(&delta)) return QVCRASH_EINVAL;
                location = static_cast<P>(location + delta * caf);
                break;
            }
            case 0x04: {
                uint32_t delta;
                if (!stream.read_intU(&delta)) return QVCRASH_EINVAL;
                location = static_cast<P>(location + delta * caf);
                break;
            }
            case 0x05:  // DW_CFA_offset_extended
                if ((err = read_reg(&reg)) || (err = read_u(&u))) return err;
                if ((err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<P>(u * static_cast<uint64_t>(daf))))) return err;
                break;
            case 0x06:  // DW_CFA_restore_extended
                if ((err = read_reg(&reg)) || (err = restore(reg))) return err;
                break;
            case 0x07:  // DW_CFA_undefined
                if ((err = read_reg(&reg)) || (err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_UNDEFINED, 0))) return err;
                break;
            case 0x08:  // DW_CFA_same_value
                if ((err = read_reg(&reg)) || (err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0))) return err;
                break;
            case 0x09:  // DW_CFA_register
                if ((err = read_reg(&reg)) || (err = read_reg(&reg2))) return err;
                if ((err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_REGISTER, static_cast<P>(reg2)))) return err;
                break;
            case 0x0A:  // DW_CFA_remember_state
                if (!push_state()) {
                    QVCRASH_DEBUG("DW_CFA_remember_state exeeded the allocated CFA stack size");
                    return QVCRASH_ENOMEM;
                }
                break;
            case 0x0B:  // DW_CFA_restore_state
                if (!pop_state()) {
                    QVCRASH_DEBUG("DW_CFA_restore_state was issued on an empty CFA stack");
                    return QVCRASH_EINVAL;
                }
                break;
            case 0x0C:  // DW_CFA_def_cfa
                if ((err = read_reg(&reg)) || (err = read_u(&u))) return err;
                set_cfa_register(static_cast<uint32_t>(reg), static_cast<P>(u));
                break;
            case 0x0D: {  // DW_CFA_def_cfa_register
                if ((err = read_reg(&reg)) || (err = needs_register_cfa())) return err;
                _cfa_value[_table_depth].regnum = static_cast<uint32_t>(reg);
                break;
            }
            case 0x0E:  // DW_CFA_def_cfa_offset
                if ((err = read_u(&u)) || (err = needs_register_cfa())) return err;
                set_cfa_register(_cfa_value[_table_depth].regnum, static_cast<P>(u));
                break;
            case 0x0F: {  // DW_CFA_def_cfa_expression
                uint64_t at, len;
                if ((err = block(&at, &len, "DW_CFA_def_cfa_expression"))) return err;
                set_cfa_expression(at, len);
                break;
            }
            case 0x10:    // DW_CFA_expression
            case 0x16: {  // DW_CFA_val_expression
                if ((err = read_reg(&reg))) return err;
                const uint64_t length_field = stream.position_address();
                uint64_t at, len;
                if ((err = block(&at, &len, "DW_CFA_expression"))) return err;
                if ((err = set_rule(reg,
                                    opcode == 0x10 ? QVCRASH_DWARF_CFA_REG_RULE_EXPRESSION
                                                   : QVCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION,
                                    static_cast<P>(length_field)))) {
                    return err;
                }
                break;
            }
            case 0x11:  // DW_CFA_offset_extended_sf
                if ((err = read_reg(&reg)) || (err = read_s(&s))) return err;
                if ((err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<P>(factored(s))))) return err;
                break;
            case 0x12:  // DW_CFA_def_cfa_sf
                if ((err = read_reg(&reg)) || (err = read_s(&s))) return err;
                set_cfa_register_signed(static_cast<uint32_t>(reg), static_cast<S>(factored(s)));
                break;
            case 0x13:  // DW_CFA_def_cfa_offset_sf
                if ((err = read_s(&s)) || (err = needs_register_cfa())) return err;
                set_cfa_register_signed(_cfa_value[_table_depth].regnum, static_cast<S>(factored(s)));
                break;
            case 0x14:  // DW_CFA_val_offset
                if ((err = read_reg(&reg)) || (err = read_u(&u))) return err;
                if ((err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, static_cast<P>(u * static_cast<uint64_t>(daf))))) return err;
                break;
            case 0x15:  // DW_CFA_val_offset_sf
                if ((err = read_reg(&reg)) || (err = read_s(&s))) return err;
                if ((err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, static_cast<P>(factored(s))))) return err;
                break;
            case 0x2E:  // DW_CFA_GNU_args_size: the bytes of arguments pushed at this point, which
                        // matter only to code that lands in a handler; a walk reads past it.
                if ((err = read_u(&u))) return err;
                break;
            case 0x2F:  // DW_CFA_GNU_negative_offset_extended
                if ((err = read_reg(&reg)) || (err = read_u(&u))) return err;
                if ((err = set_rule(reg, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<P>(0 - u * static_cast<uint64_t>(daf))))) return err;
                break;
            default:
                QVCRASH_DEBUG("Unsupported opcode 0x%hhx", opcode);
                return QVCRASH_ENOTSUP;
        }
    next:
        if (pc != 0 && location > pc) return QVCRASH_ESUCCESS;
    }
    return QVCRASH_ESUCCESS;
}

// ---- applying the rules ----

namespace {

// An expression at [address, + length) of the target, through section when it holds the range,
// else through a mapping made for the call.
template <typename P, typename S>
qvcrash_error_t evalExpression(qvcrash_task_t task, const qvcrash_async_mobject_t* section,
                               const qvcrash_async_thread_state_t* state, const MSqvcrash_async_byteorder_t* byteorder,
                               uint64_t address, uint64_t length, const P* initial, size_t initial_count, P* result) {
    if (length > static_cast<uint64_t>(INT64_MAX)) return QVCRASH_EINVAL;
    if (section != nullptr && qvcrash_async_mobject_remap_address(section, address, 0, static_cast<size_t>(length))) {
        return qvcrash_async_dwarf_expression_eval<P, S>(section, task, state, byteorder, address, 0,
                                                         static_cast<int64_t>(length), initial, initial_count, result);
    }
    qvcrash_async_mobject_t mobj;
    qvcrash_error_t err = MSqvcrash_async_mobject_init(&mobj, task, address, length, true);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Could not map CFA expression range");
        return err;
    }
    err = qvcrash_async_dwarf_expression_eval<P, S>(&mobj, task, state, byteorder, address, 0,
                                                    static_cast<int64_t>(length), initial, initial_count, result);
    MSqvcrash_async_mobject_free(&mobj);
    return err;
}

// Target memory through the walk's page cache when there is one, else straight from the task.
qvcrash_error_t readTarget(qvcrash_task_t task, qvcrash_async_page_cache_t* memory, uint64_t address, void* dest,
                           size_t length) {
    return memory != nullptr ? MSqvcrash_async_page_cache_read(memory, address, 0, dest, length)
                             : MSqvcrash_async_task_memcpy(task, address, 0, dest, length);
}

template <typename P>
qvcrash_error_t readWord(qvcrash_task_t task, qvcrash_async_page_cache_t* memory,
                         const MSqvcrash_async_byteorder_t* byteorder, uint64_t address, uint64_t* value) {
    P word;
    qvcrash_error_t err = readTarget(task, memory, address, &word, sizeof(word));
    if (err != QVCRASH_ESUCCESS) return err;
    *value = sizeof(P) == 8 ? byteorder->swap64(static_cast<uint64_t>(word))
                            : byteorder->swap32(static_cast<uint32_t>(word));
    return QVCRASH_ESUCCESS;
}

// A copy of the stack range that holds a frame's offset(N) save slots.
struct SaveWindow {
    static constexpr uint64_t kMaxSpan = 512;
    uint8_t bytes[kMaxSpan];
    uint64_t start = 0;
    uint64_t length = 0;  // 0 = no copy: read each slot from the task

    template <typename P, typename S>
    void prepare(const dwarf_cfa_state<P, S>* state, qvcrash_task_t task, qvcrash_async_page_cache_t* memory, P cfa,
                 uint64_t word) {
        uint64_t low = UINT64_MAX, high = 0;
        dwarf_cfa_state_iterator<P, S> it(state);
        uint32_t regnum;
        qvcrash_dwarf_cfa_reg_rule_t rule;
        P value;
        while (it.next(&regnum, &rule, &value)) {
            if (rule != QVCRASH_DWARF_CFA_REG_RULE_OFFSET) continue;
            const uint64_t slot = static_cast<P>(cfa + value);
            if (slot < low) low = slot;
            if (slot > high) high = slot;
        }
        if (low > high || high - low > kMaxSpan - word || high > UINT64_MAX - word) return;
        if (readTarget(task, memory, low, bytes, high - low + word) != QVCRASH_ESUCCESS) return;
        start = low;
        length = high - low + word;
    }

    bool read(uint64_t address, uint64_t word, const MSqvcrash_async_byteorder_t* byteorder, uint64_t* value) const {
        if (length == 0 || address < start || address - start > length - word) return false;
        if (word == 4) {
            uint32_t v;
            qvcrash_async_memcpy(&v, bytes + (address - start), 4);
            *value = byteorder->swap32(v);
        } else {
            uint64_t v;
            qvcrash_async_memcpy(&v, bytes + (address - start), 8);
            *value = byteorder->swap64(v);
        }
        return true;
    }
};

}  // namespace

template <typename P, typename S>
qvcrash_error_t dwarf_cfa_state<P, S>::apply_state(qvcrash_task_t task, const qvcrash_async_dwarf_cie_info_t* cie,
                                                   const qvcrash_async_thread_state_t* thread_state,
                                                   const MSqvcrash_async_byteorder_t* byteorder,
                                                   qvcrash_async_thread_state_t* new_state,
                                                   const qvcrash_async_mobject_t* section,
                                                   qvcrash_async_page_cache_t* memory) {
    MSqvcrash_async_thread_state_copy(new_state, thread_state);
    MSqvcrash_async_thread_state_clear_volatile_regs(new_state);
    MSqvcrash_async_thread_state_clear_reg(new_state, QVCRASH_REG_IP);

    const dwarf_cfa_rule_t<P> cfa_rule = get_cfa_rule();
    P cfa;
    qvcrash_error_t err;
    switch (cfa_rule.type) {
        case DWARF_CFA_STATE_CFA_TYPE_REGISTER:
        case DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED: {
            qvcrash_regnum_t regnum;
            if (!MSqvcrash_async_thread_state_map_dwarf_to_reg(thread_state, cfa_rule.regnum, &regnum)) {
                QVCRASH_DEBUG("CFA rule references an unsupported DWARF register: 0x%x", cfa_rule.regnum);
                return QVCRASH_ENOTSUP;
            }
            if (!MSqvcrash_async_thread_state_has_reg(thread_state, regnum)) {
                QVCRASH_DEBUG("CFA rule references a register that is not available from the current thread state: %s",
                              MSqvcrash_async_thread_state_get_reg_name(thread_state, regnum));
                return QVCRASH_ENOTFOUND;
            }
            cfa = static_cast<P>(MSqvcrash_async_thread_state_get_reg(thread_state, regnum) + cfa_rule.offset);
            break;
        }
        case DWARF_CFA_STATE_CFA_TYPE_EXPRESSION:
            err = evalExpression<P, S>(task, section, thread_state, byteorder, cfa_rule.expression_address,
                                       cfa_rule.expression_length, nullptr, 0, &cfa);
            if (err != QVCRASH_ESUCCESS) {
                QVCRASH_DEBUG(sizeof(P) == 8 ? "CFA eval_64 failed" : "CFA eval_32 failed");
                return err;
            }
            break;
        default:
            QVCRASH_DEBUG("No canonical frame address specified in the CFA state; can't apply state");
            return QVCRASH_EINVAL;
    }
    MSqvcrash_async_thread_state_set_reg(new_state, QVCRASH_REG_SP, cfa);

    const uint64_t greg_size = MSqvcrash_async_thread_state_get_greg_size(thread_state);
    // The save slots of a frame lie close together around the CFA: read them in one piece when
    // they do, so a frame costs one read of the task's memory rather than one per register.
    SaveWindow window;
    window.prepare<P, S>(this, task, memory, cfa, greg_size);

    dwarf_cfa_state_iterator<P, S> it(this);
    uint32_t dwarf_reg;
    qvcrash_dwarf_cfa_reg_rule_t rule;
    P value;
    while (it.next(&dwarf_reg, &rule, &value)) {
        qvcrash_regnum_t target;
        if (rule == QVCRASH_DWARF_CFA_REG_RULE_UNDEFINED) {
            // Not recoverable in the caller; an undefined return address leaves the caller no IP.
            if (MSqvcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &target)) {
                MSqvcrash_async_thread_state_clear_reg(new_state, target);
            }
            continue;
        }
        if (!MSqvcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &target)) {
            if (dwarf_reg != cie->return_address_register) {
                QVCRASH_DEBUG("Register rule references an unsupported DWARF register: 0x%llx",
                              static_cast<unsigned long long>(dwarf_reg));
                return QVCRASH_EINVAL;
            }
            target = QVCRASH_REG_IP;
        }
        uint64_t result = 0;
        switch (rule) {
            case QVCRASH_DWARF_CFA_REG_RULE_OFFSET:
                if (window.read(static_cast<P>(cfa + value), greg_size, byteorder, &result)) {
                    err = QVCRASH_ESUCCESS;
                } else {
                    err = greg_size == 4 ? readWord<uint32_t>(task, memory, byteorder, static_cast<P>(cfa + value), &result)
                                         : readWord<uint64_t>(task, memory, byteorder, static_cast<P>(cfa + value), &result);
                }
                if (err != QVCRASH_ESUCCESS) {
                    QVCRASH_DEBUG("Failed to read offset(N) register value: %d", static_cast<int>(err));
                    return err;
                }
                break;
            case QVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET: result = static_cast<P>(cfa + value); break;
            case QVCRASH_DWARF_CFA_REG_RULE_REGISTER: {
                qvcrash_regnum_t source;
                if (!MSqvcrash_async_thread_state_map_dwarf_to_reg(thread_state, value, &source)) {
                    QVCRASH_DEBUG("Register rule references an unsupported DWARF register: 0x%llx",
                                  static_cast<unsigned long long>(value));
                    return QVCRASH_EINVAL;
                }
                if (!MSqvcrash_async_thread_state_has_reg(thread_state, source)) {
                    QVCRASH_DEBUG("Register rule references a register that is not available from the current thread state: %s",
                                  MSqvcrash_async_thread_state_get_reg_name(thread_state, source));
                    return QVCRASH_ENOTFOUND;
                }
                result = MSqvcrash_async_thread_state_get_reg(thread_state, source);
                break;
            }
            case QVCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
            case QVCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
                uint64_t length, size;
                if (section != nullptr &&
                    qvcrash_async_dwarf_read_uleb128(section, value, 0, &length, &size) == QVCRASH_ESUCCESS) {
                    // read from the section
                } else if (qvcrash_async_dwarf_read_task_uleb128(task, value, 0, &length, &size) != QVCRASH_ESUCCESS) {
                    QVCRASH_DEBUG("Failed to read uleb128 length header for rule expression");
                    return QVCRASH_EINVAL;
                }
                uint64_t start;
                if (!MSqvcrash_async_address_apply_offset(value, static_cast<int64_t>(size), &start)) {
                    QVCRASH_DEBUG("Overflow applying the ULEB128 length to our expression base address");
                    return QVCRASH_EINVAL;
                }
                P expression_result;
                err = evalExpression<P, S>(task, section, thread_state, byteorder, start, length, &cfa, 1,
                                           &expression_result);
                if (err != QVCRASH_ESUCCESS) {
                    QVCRASH_DEBUG(sizeof(P) == 8 ? "CFA eval_64 failed" : "CFA eval_32 failed");
                    return err;
                }
                if (rule == QVCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION) {
                    result = expression_result;
                } else {
                    err = greg_size == 4 ? readWord<uint32_t>(task, memory, byteorder, expression_result, &result)
                                         : readWord<uint64_t>(task, memory, byteorder, expression_result, &result);
                    if (err != QVCRASH_ESUCCESS) {
                        QVCRASH_DEBUG("Failed to read register value from expression result: %d", static_cast<int>(err));
                        return err;
                    }
                }
                break;
            }
            case QVCRASH_DWARF_CFA_REG_RULE_UNDEFINED: break;  // handled above
            case QVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
                if (!MSqvcrash_async_thread_state_has_reg(thread_state, target)) {
                    QVCRASH_DEBUG("Same-value rule references a register that is not available from the current thread state");
                    return QVCRASH_ENOTFOUND;
                }
                result = MSqvcrash_async_thread_state_get_reg(thread_state, target);
                break;
        }
        MSqvcrash_async_thread_state_set_reg(new_state, target, result);
        if (dwarf_reg == cie->return_address_register && target != QVCRASH_REG_IP) {
            MSqvcrash_async_thread_state_set_reg(new_state, QVCRASH_REG_IP, result);
        }
    }

    if (MSqvcrash_async_thread_state_has_reg(new_state, QVCRASH_REG_IP)) return QVCRASH_ESUCCESS;
    if (is_undefined(cie->return_address_register)) return QVCRASH_ESUCCESS;  // the outermost frame
    qvcrash_regnum_t ra;
    if (!MSqvcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie->return_address_register, &ra)) {
        QVCRASH_DEBUG("Return address register value references an unsupported DWARF register: 0x%llx",
                      static_cast<unsigned long long>(cie->return_address_register));
        return QVCRASH_EINVAL;
    }
    if (!MSqvcrash_async_thread_state_has_reg(thread_state, ra)) {
        QVCRASH_DEBUG("CIE return_address_register references a register that is not available from the current thread state: %s",
                      MSqvcrash_async_thread_state_get_reg_name(thread_state, ra));
        return QVCRASH_EINVAL;
    }
    MSqvcrash_async_thread_state_set_reg(new_state, QVCRASH_REG_IP, MSqvcrash_async_thread_state_get_reg(thread_state, ra));
    return QVCRASH_ESUCCESS;
}

template class dwarf_cfa_state<uint32_t, int32_t>;
template class dwarf_cfa_state<uint64_t, int64_t>;
template class dwarf_cfa_state_iterator<uint32_t, int32_t>;
template class dwarf_cfa_state_iterator<uint64_t, int64_t>;

}  // namespace quorvane::qvcrash::MS::async
