#pragma once
// The DWARF call-frame program: the rule table that the instructions of a CIE and an FDE build up
// to one pc (the canonical frame address rule and one rule per saved register), with the
// remember/restore stack, and the application of those rules to a thread state to get the
// caller's registers. Fixed-size tables on the caller's stack, no heap, no locks.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsyncDwarfCFI.h"
#include "crashreporter/capture/QVCrashAsyncDwarfExpression.h"
#include "crashreporter/capture/QVCrashAsyncThread.h"

namespace quorvane::qvcrash::MS::async {

enum qvcrash_dwarf_cfa_reg_rule_t : uint32_t {
    QVCRASH_DWARF_CFA_REG_RULE_OFFSET = 0,          // saved at CFA + N
    QVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,      // value is CFA + N
    QVCRASH_DWARF_CFA_REG_RULE_REGISTER = 2,        // value of register R
    QVCRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,      // saved at the address an expression yields
    QVCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,  // value an expression yields
    QVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,
    QVCRASH_DWARF_CFA_REG_RULE_UNDEFINED = 6,       // not recoverable; for the return address: no caller
};

inline constexpr uint64_t DWARF_CFA_STATE_REGNUM_MAX = UINT32_MAX;

enum dwarf_cfa_type_t : uint32_t {
    DWARF_CFA_STATE_CFA_TYPE_UNDEFINED = 0,
    DWARF_CFA_STATE_CFA_TYPE_EXPRESSION = 1,
    DWARF_CFA_STATE_CFA_TYPE_REGISTER = 2,
    DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED = 3,
};

template <typename machine_ptr>
struct dwarf_cfa_rule_t {
    dwarf_cfa_type_t type;
    uint32_t regnum;             // register types
    machine_ptr offset;          // register types (signed for type 3, as its two's complement)
    uint64_t expression_address;  // expression type: the block's first byte
    uint64_t expression_length;
};

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator;

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
public:
    static constexpr uint8_t kLevels = 6;
    static constexpr uint8_t kBuckets = 14;
    static constexpr uint8_t kEntries = 100;
    static constexpr uint8_t kNone = 255;

    dwarf_cfa_state();

    bool set_register(uint64_t regnum, qvcrash_dwarf_cfa_reg_rule_t rule, machine_ptr value);
    bool get_register_rule(uint64_t regnum, qvcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) const;
    void remove_register(uint64_t regnum);
    uint8_t get_register_count() const { return _register_count[_table_depth]; }
    // True when the current row marks the register undefined (DW_CFA_undefined).
    bool is_undefined(uint64_t regnum) const;

    void set_cfa_register(uint32_t regnum, machine_ptr offset);
    void set_cfa_register_signed(uint32_t regnum, machine_ptr_s offset);
    void set_cfa_expression(uint64_t address, uint64_t length);
    dwarf_cfa_rule_t<machine_ptr> get_cfa_rule() const { return _cfa_value[_table_depth]; }

    // Remembers the current level (a copy becomes current); false when six levels are in use or
    // the copy does not fit the shared entries.
    bool push_state();
    // Drops the current level, giving its entries back, and makes the remembered one current.
    bool pop_state();

    // Runs the instructions [address + offset, + length) of mobj up to the row that holds pc
    // (the whole program when pc is 0), starting at initial_location.
    qvcrash_error_t eval_program(const qvcrash_async_mobject_t* mobj, machine_ptr pc, machine_ptr initial_location,
                                 const qvcrash_async_dwarf_cie_info_t* cie,
                                 const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                 const MSqvcrash_async_byteorder_t* byteorder, uint64_t address, uint64_t offset,
                                 uint64_t length);

    // Derives the caller's registers (new_state) from thread_state with the current rules.
    // Expressions are read from section when they lie in it, else from the task; other target
    // memory through memory when given (the walk's page cache), else straight from the task.
    // A register whose rule is undefined has no value in new_state; when that is the return
    // address, new_state has no IP and the result is 0: the frame is the outermost.
    qvcrash_error_t apply_state(qvcrash_task_t task, const qvcrash_async_dwarf_cie_info_t* cie,
                                const qvcrash_async_thread_state_t* thread_state,
                                const MSqvcrash_async_byteorder_t* byteorder, qvcrash_async_thread_state_t* new_state,
                                const qvcrash_async_mobject_t* section = nullptr,
                                qvcrash_async_page_cache_t* memory = nullptr);

    // Entries on the free list (for checks that nothing leaks).
    uint8_t free_entry_count() const;

private:
    friend class dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>;
    struct entry {
        uint64_t value;
        uint32_t regnum;
        qvcrash_dwarf_cfa_reg_rule_t rule;
        uint8_t next;
    };
    void free_level(uint8_t level);
    uint8_t take_entry();  // kNone when every entry is in use

    dwarf_cfa_rule_t<machine_ptr> _cfa_value[kLevels];
    uint8_t _register_count[kLevels];
    uint8_t _table_stack[kLevels][kBuckets];
    uint8_t _table_depth;
    uint8_t _free_list;  // entries given back
    uint8_t _fresh;      // entries from here on were never used
    entry _entries[kEntries];
};

// Visits the register rules of the current level: buckets in order, each chain head to tail.
template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator {
public:
    explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state) : _state(state) {}
    bool next(uint32_t* regnum, qvcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value);

private:
    const dwarf_cfa_state<machine_ptr, machine_ptr_s>* _state;
    uint8_t _bucket = 0;
    uint8_t _cur_entry_idx = dwarf_cfa_state<machine_ptr, machine_ptr_s>::kNone;
};

extern template class dwarf_cfa_state<uint32_t, int32_t>;
extern template class dwarf_cfa_state<uint64_t, int64_t>;
extern template class dwarf_cfa_state_iterator<uint32_t, int32_t>;
extern template class dwarf_cfa_state_iterator<uint64_t, int64_t>;

}  // namespace quorvane::qvcrash::MS::async
