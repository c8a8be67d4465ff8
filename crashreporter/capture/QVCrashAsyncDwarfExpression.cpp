#include "crashreporter/capture/QVCrashAsyncDwarfExpression.h"

namespace quorvane::qvcrash::MS::async {

qvcrash_error_t dwarf_opcode_stream::init(const qvcrash_async_mobject_t* mobj,
                                          const MSqvcrash_async_byteorder_t* byteorder, uint64_t address,
                                          int64_t offset, int64_t length) {
    _mobj = mobj;
    _byteorder = byteorder;
    if (!MSqvcrash_async_address_apply_offset(address, offset, &_start)) {
        QVCRASH_DEBUG("Offset overflows base address");
        return QVCRASH_EINVAL;
    }
    if (length < 0 || !MSqvcrash_async_address_apply_offset(_start, length, &_end)) {
        QVCRASH_DEBUG("Length overflows base address");
        return QVCRASH_EINVAL;
    }
    void* local = qvcrash_async_mobject_remap_address(mobj, _start, 0, static_cast<size_t>(length));
    if (local == nullptr) {
        QVCRASH_DEBUG("Could not map the DWARF instructions; range falls outside mapped pages");
        return QVCRASH_EINVAL;
    }
    _local_start = reinterpret_cast<uintptr_t>(local);
    _local_end = _local_start + static_cast<uintptr_t>(length);
    _position = _local_start;
    return QVCRASH_ESUCCESS;
}

// LEB128 operands are decoded straight from the stream's range, which init has checked.
bool dwarf_opcode_stream::read_leb128(bool is_signed, uint64_t* value) {
    const uintptr_t available = _local_end - _position;
    uint64_t size;
    const qvcrash_error_t err = qvcrash_async_dwarf_decode_leb128(
        [&](uint64_t i, uint8_t* byte) {
            if (i >= available) return false;
            *byte = reinterpret_cast<const uint8_t*>(_position)[i];
            return true;
        },
        is_signed, value, &size);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG(is_signed ? "SLEB128 value extends past end of opstream" : "ULEB128 value extends past end of opstream");
        return false;
    }
    _position += size;
    return true;
}

bool dwarf_opcode_stream::read_uleb128(uint64_t* value) { return read_leb128(false, value); }

bool dwarf_opcode_stream::read_sleb128(int64_t* value) {
    uint64_t v;
    if (!read_leb128(true, &v)) return false;
    *value = static_cast<int64_t>(v);
    return true;
}

bool dwarf_opcode_stream::skip(int64_t offset) {
    const int64_t at = static_cast<int64_t>(_position - _local_start);
    int64_t target;
    if (__builtin_add_overflow(at, offset, &target)) return false;
    if (target < 0 || static_cast<uint64_t>(target) > _local_end - _local_start) return false;
    _position = _local_start + static_cast<uintptr_t>(target);
    return true;
}

namespace {

constexpr size_t kStackLimit = 100;
constexpr size_t kStepLimit = 10000;

template <typename machine_ptr>
struct ExpressionStack {
    machine_ptr values[kStackLimit];
    size_t count = 0;

    bool push(machine_ptr v) {
        if (count == kStackLimit) {
            QVCRASH_DEBUG("Hit stack limit; cannot push further values");
            return false;
        }
        values[count++] = v;
        return true;
    }
    bool pop(machine_ptr* v) {
        if (count == 0) {
            QVCRASH_DEBUG("Pop on an empty stack");
            return false;
        }
        *v = values[--count];
        return true;
    }
};

template <typename machine_ptr>
qvcrash_error_t readRegister(const qvcrash_async_thread_state_t* state, uint64_t dwarf_reg, machine_ptr* value) {
    qvcrash_regnum_t regnum;
    if (!MSqvcrash_async_thread_state_map_dwarf_to_reg(state, dwarf_reg, &regnum)) {
        QVCRASH_DEBUG("Unsupported DWARF register value of 0x%llx", static_cast<unsigned long long>(dwarf_reg));
        return QVCRASH_ENOTSUP;
    }
    if (!MSqvcrash_async_thread_state_has_reg(state, regnum)) {
        QVCRASH_DEBUG("Register value of %s unavailable in the current frame.",
                      MSqvcrash_async_thread_state_get_reg_name(state, regnum));
        return QVCRASH_ENOTFOUND;
    }
    *value = static_cast<machine_ptr>(MSqvcrash_async_thread_state_get_reg(state, regnum));
    return QVCRASH_ESUCCESS;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
qvcrash_error_t qvcrash_async_dwarf_expression_eval(const qvcrash_async_mobject_t* mobj, qvcrash_task_t task,
                                                   const qvcrash_async_thread_state_t* thread_state,
                                                   const MSqvcrash_async_byteorder_t* byteorder, uint64_t address,
                                                   int64_t offset, int64_t length, const machine_ptr* initial_state,
                                                   size_t initial_count, machine_ptr* result) {
    constexpr unsigned kBits = sizeof(machine_ptr) * 8;
    dwarf_opcode_stream stream;
    qvcrash_error_t err = stream.init(mobj, byteorder, address, offset, length);
    if (err != QVCRASH_ESUCCESS) return err;

    ExpressionStack<machine_ptr> stack;
    for (size_t i = 0; i < initial_count; ++i) {
        if (!stack.push(initial_state[i])) return QVCRASH_EINTERNAL;
    }

#define QV_PUSH(v)                                         \
    do {                                                   \
        if (!stack.push(static_cast<machine_ptr>(v))) return QVCRASH_EINTERNAL; \
    } while (0)
#define QV_POP(v)                                          \
    do {                                                   \
        if (!stack.pop(&(v))) return QVCRASH_EINTERNAL;    \
    } while (0)
#define QV_OPERAND(type, v)                                \
    type v;                                                \
    do {                                                   \
        if (!stream.read_intU(&v)) return QVCRASH_EINVAL;  \
    } while (0)

    auto deref = [&](machine_ptr at, uint8_t size, const char* what, machine_ptr* out) -> qvcrash_error_t {
        uint64_t value = 0;
        qvcrash_error_t rerr = MSqvcrash_async_task_memcpy(task, at, 0, &value, size);
        if (rerr != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("%s referenced an invalid target address 0x%llx", what, static_cast<unsigned long long>(at));
            return rerr;
        }
        if (size == 2) value = byteorder->swap16(static_cast<uint16_t>(value));
        if (size == 4) value = byteorder->swap32(static_cast<uint32_t>(value));
        if (size == 8) value = byteorder->swap64(value);
        *out = static_cast<machine_ptr>(value);
        return QVCRASH_ESUCCESS;
    };

    // Backward jumps can make an expression loop forever; no real expression runs this long.
    size_t steps = 0;
    while (!stream.at_end()) {
        if (++steps > kStepLimit) {
            QVCRASH_DEBUG("Expression exceeded %zu operations", kStepLimit);
            return QVCRASH_EINVAL;
        }
        uint8_t opcode;
        if (!stream.read_intU(&opcode)) return QVCRASH_EINVAL;
        machine_ptr a, b, c;
        if (opcode >= 0x30 && opcode <= 0x4F) {  // DW_OP_lit0 ... DW_OP_lit31
            QV_PUSH(opcode - 0x30);
            continue;
        }
        if (opcode >= 0x70 && opcode <= 0x8F) {  // DW_OP_breg0 ... DW_OP_breg31
            int64_t displacement;
            if (!stream.read_sleb128(&displacement)) {
                QVCRASH_DEBUG("Read of SLEB128 value failed");
                return QVCRASH_EINVAL;
            }
            if ((err = readRegister(thread_state, opcode - 0x70u, &a))) return err;
            QV_PUSH(a + static_cast<machine_ptr>(displacement));
            continue;
        }
        switch (opcode) {
            case 0x06:  // DW_OP_deref
                QV_POP(a);
                if ((err = deref(a, sizeof(machine_ptr), "DW_OP_deref", &b))) return err;
                QV_PUSH(b);
                break;
            case 0x08: { QV_OPERAND(uint8_t, v); QV_PUSH(v); break; }
            case 0x09: { QV_OPERAND(int8_t, v); QV_PUSH(static_cast<machine_ptr_s>(v)); break; }
            case 0x0A: { QV_OPERAND(uint16_t, v); QV_PUSH(v); break; }
            case 0x0B: { QV_OPERAND(int16_t, v); QV_PUSH(static_cast<machine_ptr_s>(v)); break; }
            case 0x0C: { QV_OPERAND(uint32_t, v); QV_PUSH(v); break; }
            case 0x0D: { QV_OPERAND(int32_t, v); QV_PUSH(static_cast<machine_ptr_s>(v)); break; }
            case 0x0E: { QV_OPERAND(uint64_t, v); QV_PUSH(v); break; }
            case 0x0F: { QV_OPERAND(int64_t, v); QV_PUSH(static_cast<machine_ptr_s>(v)); break; }
            case 0x10: {  // DW_OP_constu
                uint64_t v;
                if (!stream.read_uleb128(&v)) {
                    QVCRASH_DEBUG("Read of ULEB128 value failed");
                    return QVCRASH_EINVAL;
                }
                QV_PUSH(v);
                break;
            }
            case 0x11: {  // DW_OP_consts
                int64_t v;
                if (!stream.read_sleb128(&v)) {
                    QVCRASH_DEBUG("Read of SLEB128 value failed");
                    return QVCRASH_EINVAL;
                }
                QV_PUSH(v);
                break;
            }
            case 0x12:  // DW_OP_dup
                if (stack.count == 0) {
                    QVCRASH_DEBUG("DW_OP_dup on an empty stack");
                    return QVCRASH_EINVAL;
                }
                QV_PUSH(stack.values[stack.count - 1]);
                break;
            case 0x13:  // DW_OP_drop
                if (stack.count == 0) {
                    QVCRASH_DEBUG("DW_OP_drop on an empty stack");
                    return QVCRASH_EINVAL;
                }
                stack.count--;
                break;
            case 0x14:  // DW_OP_over
                if (stack.count < 2) {
                    QVCRASH_DEBUG("DW_OP_over on stack with < 2 elements");
                    return QVCRASH_EINVAL;
                }
                QV_PUSH(stack.values[stack.count - 2]);
                break;
            case 0x15: {  // DW_OP_pick
                QV_OPERAND(uint8_t, index);
                if (index >= stack.count) {
                    QVCRASH_DEBUG("DW_OP_pick on invalid index");
                    return QVCRASH_EINVAL;
                }
                QV_PUSH(stack.values[stack.count - 1 - index]);
                break;
            }
            case 0x16:  // DW_OP_swap
                if (stack.count < 2) {
                    QVCRASH_DEBUG("DW_OP_swap on stack with < 2 elements");
                    return QVCRASH_EINVAL;
                }
                a = stack.values[stack.count - 1];
                stack.values[stack.count - 1] = stack.values[stack.count - 2];
                stack.values[stack.count - 2] = a;
                break;
            case 0x17:  // DW_OP_rot
                if (stack.count < 3) {
                    QVCRASH_DEBUG("DW_OP_rot on stack with < 3 elements");
                    return QVCRASH_EINVAL;
                }
                a = stack.values[stack.count - 1];
                stack.values[stack.count - 1] = stack.values[stack.count - 2];
                stack.values[stack.count - 2] = stack.values[stack.count - 3];
                stack.values[stack.count - 3] = a;
                break;
            case 0x18:  // DW_OP_xderef
                if (stack.count < 2) {
                    QVCRASH_DEBUG("DW_OP_xderef on stack with < 2 elements");
                    return QVCRASH_EINVAL;
                }
                QV_POP(a);
                stack.count--;  // the address space
                if ((err = deref(a, sizeof(machine_ptr), "DW_OP_deref", &b))) return err;
                QV_PUSH(b);
                break;
            case 0x19:  // DW_OP_abs
                QV_POP(a);
                QV_PUSH(static_cast<machine_ptr_s>(a) < 0 ? static_cast<machine_ptr>(0) - a : a);
                break;
            case 0x1F: QV_POP(a); QV_PUSH(static_cast<machine_ptr>(0) - a); break;  // DW_OP_neg
            case 0x20: QV_POP(a); QV_PUSH(~a); break;                                // DW_OP_not
            case 0x23: {                                                             // DW_OP_plus_uconst
                uint64_t v;
                if (!stream.read_uleb128(&v)) {
                    QVCRASH_DEBUG("Read of ULEB128 value failed");
                    return QVCRASH_EINVAL;
                }
                QV_POP(a);
                QV_PUSH(a + static_cast<machine_ptr>(v));
                break;
            }
            case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E: case 0x21: case 0x22: case 0x24:
            case 0x25: case 0x26: case 0x27: case 0x29: case 0x2A: case 0x2B: case 0x2C: case 0x2D: case 0x2E: {
                QV_POP(b);
                QV_POP(a);
                const unsigned shift = static_cast<unsigned>(b % kBits);
                switch (opcode) {
                    case 0x1A: c = a & b; break;
                    case 0x1B:
                        if (b == 0) {
                            QVCRASH_DEBUG("DW_OP_div attempted divide by zero");
                            return QVCRASH_EINVAL;
                        }
                        c = a / b;
                        break;
                    case 0x1C: c = a - b; break;
                    case 0x1D:
                        if (b == 0) {
                            QVCRASH_DEBUG("DW_OP_mod attempted divide by zero");
                            return QVCRASH_EINVAL;
                        }
                        c = a % b;
                        break;
                    case 0x1E: c = a * b; break;
                    case 0x21: c = a | b; break;
                    case 0x22: c = a + b; break;
                    case 0x24: c = static_cast<machine_ptr>(a << shift); break;
                    case 0x25: c = a >> shift; break;
                    case 0x26: c = static_cast<machine_ptr>(static_cast<machine_ptr_s>(a) >> shift); break;
                    case 0x27: c = a ^ b; break;
                    case 0x29: c = a == b; break;
                    case 0x2A: c = a >= b; break;
                    case 0x2B: c = a > b; break;
                    case 0x2C: c = a <= b; break;
                    case 0x2D: c = a < b; break;
                    default: c = a != b; break;
                }
                QV_PUSH(c);
                break;
            }
            case 0x28:    // DW_OP_bra
            case 0x2F: {  // DW_OP_skip
                QV_OPERAND(int16_t, jump);
                if (opcode == 0x28) {
                    QV_POP(a);
                    if (a == 0) break;
                }
                if (!stream.skip(jump)) {
                    QVCRASH_DEBUG(opcode == 0x28 ? "DW_OP_bra offset %hd falls outside of opcode range"
                                                 : "DW_OP_skip offset %hd falls outside of opcode range",
                                  jump);
                    return QVCRASH_EINVAL;
                }
                break;
            }
            case 0x92: {  // DW_OP_bregx
                uint64_t reg;
                int64_t displacement;
                if (!stream.read_uleb128(&reg)) {
                    QVCRASH_DEBUG("Read of ULEB128 value failed");
                    return QVCRASH_EINVAL;
                }
                if (!stream.read_sleb128(&displacement)) {
                    QVCRASH_DEBUG("Read of SLEB128 value failed");
                    return QVCRASH_EINVAL;
                }
                if ((err = readRegister(thread_state, reg, &a))) return err;
                QV_PUSH(a + static_cast<machine_ptr>(displacement));
                break;
            }
            case 0x94:    // DW_OP_deref_size
            case 0x95: {  // DW_OP_xderef_size
                QV_OPERAND(uint8_t, size);
                if (size > sizeof(machine_ptr)) {
                    QVCRASH_DEBUG("DW_OP_deref_size specified a size larger than the native machine word");
                    return QVCRASH_EINVAL;
                }
                if (size != 1 && size != 2 && size != 4 && size != 8) {
                    QVCRASH_DEBUG("DW_OP_deref_size specified an unsupported size of %hhu", size);
                    return QVCRASH_EINVAL;
                }
                if (opcode == 0x95 && stack.count < 2) {
                    QVCRASH_DEBUG("DW_OP_xderef_size on stack with < 2 elements");
                    return QVCRASH_EINVAL;
                }
                QV_POP(a);
                if (opcode == 0x95) stack.count--;
                if ((err = deref(a, size, "DW_OP_deref_size", &b))) return err;
                QV_PUSH(b);
                break;
            }
            case 0x96: break;  // DW_OP_nop
            default:
                QVCRASH_DEBUG("Unsupported opcode 0x%hhx", opcode);
                return QVCRASH_ENOTSUP;
        }
    }
#undef QV_PUSH
#undef QV_POP
#undef QV_OPERAND

    if (!stack.pop(result)) {
        QVCRASH_DEBUG("Expression did not provide a result value.");
        return QVCRASH_EINVAL;
    }
    return QVCRASH_ESUCCESS;
}

template qvcrash_error_t qvcrash_async_dwarf_expression_eval<uint32_t, int32_t>(
    const qvcrash_async_mobject_t*, qvcrash_task_t, const qvcrash_async_thread_state_t*,
    const MSqvcrash_async_byteorder_t*, uint64_t, int64_t, int64_t, const uint32_t*, size_t, uint32_t*);
template qvcrash_error_t qvcrash_async_dwarf_expression_eval<uint64_t, int64_t>(
    const qvcrash_async_mobject_t*, qvcrash_task_t, const qvcrash_async_thread_state_t*,
    const MSqvcrash_async_byteorder_t*, uint64_t, int64_t, int64_t, const uint64_t*, size_t, uint64_t*);

}  // namespace quorvane::qvcrash::MS::async
