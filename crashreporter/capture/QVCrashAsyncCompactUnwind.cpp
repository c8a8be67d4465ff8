#include "crashreporter/capture/QVCrashAsyncCompactUnwind.h"

#include "crashreporter/capture/QVCrashAsyncDwarfUnwind.h"
#include "crashreporter/capture/QVCrashAsyncMachOFile.h"

namespace quorvane {

namespace {

constexpr uint32_t kModeMask = 0x0F000000;
constexpr uint32_t kSecondLevelRegular = 2;
constexpr uint32_t kSecondLevelCompressed = 3;

// Reads the 32-bit word at offset of the section: false when it is not inside.
bool word32(const qvcrash_async_cfe_reader_t* reader, uint64_t offset, uint32_t* out) {
    return MSqvcrash_async_mobject_read_uint32(reader->mobj, reader->byteorder, reader->mobj->task_address,
                                               (int64_t)offset, out) == QVCRASH_ESUCCESS;
}

bool word16(const qvcrash_async_cfe_reader_t* reader, uint64_t offset, uint16_t* out) {
    return MSqvcrash_async_mobject_read_uint16(reader->mobj, reader->byteorder, reader->mobj->task_address,
                                               (int64_t)offset, out) == QVCRASH_ESUCCESS;
}

bool inside(const qvcrash_async_cfe_reader_t* reader, uint64_t offset, uint64_t length) {
    return qvcrash_async_mobject_remap_address(reader->mobj, reader->mobj->task_address, (int64_t)offset,
                                               static_cast<size_t>(length)) != nullptr;
}

// Bisection over count sorted keys for the last one at or below pc; false when there is none.
// keyAt reads key i (the tables have been verified to be inside the section).
template <typename KeyAt>
bool bisect(uint32_t count, uint64_t pc, KeyAt keyAt, uint32_t* found) {
    if (count == 0) return false;
    int64_t low = 0, high = (int64_t)count - 1;
    while (high >= low) {
        const int64_t mid = (low + high) / 2;
        const uint64_t key = keyAt((uint32_t)mid);
        if (key < pc) {
            if (mid == high || keyAt((uint32_t)mid + 1) > pc) {
                *found = (uint32_t)mid;
                return true;
            }
            low = mid + 1;
        } else if (key > pc) {
            if (mid == 0) return false;
            high = mid - 1;
        } else {
            *found = (uint32_t)mid;
            return true;
        }
    }
    return false;
}

bool isX86(uint32_t cpu_type) { return cpu_type == QVCRASH_CPU_TYPE_X86 || cpu_type == QVCRASH_CPU_TYPE_X86_64; }

qvcrash_error_t mapSlot(uint32_t compact, uint32_t cpu_type, uint32_t* out) {
    qvcrash_error_t err = qvcrash_async_map_register_name(compact, out, cpu_type);
    if (err != QVCRASH_ESUCCESS) QVCRASH_DEBUG("Failed to map register value of %x", compact);
    return err;
}

// The permuted register list of a frameless encoding.
qvcrash_error_t decodeFramelessRegisters(qvcrash_async_cfe_entry_t* entry, uint32_t encoding) {
    const uint32_t count = (encoding >> 10) & 0x7;
    uint32_t compact[6];
    qvcrash_error_t err = MSqvcrash_async_cfe_register_decode(encoding & 0x3FF, count, compact);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to decode register list: %d", (int)err);
        return err;
    }
    entry->register_count = count;
    for (uint32_t i = 0; i < count; ++i) {
        if ((err = mapSlot(compact[i], entry->cpu_type, &entry->register_list[i])) != QVCRASH_ESUCCESS) return err;
    }
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t initX86(qvcrash_async_cfe_entry_t* entry, uint32_t encoding) {
    const bool x64 = entry->cpu_type == QVCRASH_CPU_TYPE_X86_64;
    switch ((encoding & kModeMask) >> 24) {
        case 0: entry->type = QVCRASH_ASYNC_CFE_TYPE_NONE; return QVCRASH_ESUCCESS;
        case 1: {
            entry->type = QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR;
            entry->stack_offset = -(int64_t)(x64 ? (encoding >> 13) & 0x7F8 : (encoding >> 14) & 0x3FC);
            const uint32_t regs = encoding & 0x7FFF;
            uint32_t i = 0;
            for (; i < QVCRASH_ASYNC_CFE_SAVED_REGISTER_MAX && (regs >> (3 * i)) != 0; ++i) {
                qvcrash_error_t err = mapSlot((regs >> (3 * i)) & 0x7, entry->cpu_type, &entry->register_list[i]);
                if (err != QVCRASH_ESUCCESS) return err;
            }
            entry->register_count = i;
            return QVCRASH_ESUCCESS;
        }
        case 2:
            entry->type = QVCRASH_ASYNC_CFE_TYPE_FRAME_IMMD;
            entry->stack_offset = x64 ? (encoding >> 13) & 0x7F8 : (encoding >> 14) & 0x3FC;
            return decodeFramelessRegisters(entry, encoding);
        case 3:
            entry->type = QVCRASH_ASYNC_CFE_TYPE_FRAME_INDIRECT;
            entry->stack_offset = (encoding >> 16) & 0xFF;
            entry->stack_adjust = x64 ? (encoding >> 10) & 0x38 : (encoding >> 11) & 0x1C;
            return decodeFramelessRegisters(entry, encoding);
        case 4:
            entry->type = QVCRASH_ASYNC_CFE_TYPE_DWARF;
            entry->stack_offset = encoding & 0xFFFFFF;
            return QVCRASH_ESUCCESS;
        default:
            QVCRASH_DEBUG("Unexpected entry mode of %x", (encoding & kModeMask) >> 24);
            return QVCRASH_ENOTSUP;
    }
}

// ARM64 encodings are decoded for completeness; the thread state has no ARM64 registers, so
// they are never applied.
qvcrash_error_t initArm64(qvcrash_async_cfe_entry_t* entry, uint32_t encoding) {
    const uint32_t mode = (encoding & kModeMask) >> 24;
    if (mode == 0) {
        entry->type = QVCRASH_ASYNC_CFE_TYPE_NONE;
        return QVCRASH_ESUCCESS;
    }
    if (mode == 3) {
        entry->type = QVCRASH_ASYNC_CFE_TYPE_DWARF;
        entry->stack_offset = encoding & 0xFFFFFF;
        return QVCRASH_ESUCCESS;
    }
    if (mode != 2 && mode != 4) {
        QVCRASH_DEBUG("Unexpected entry mode of %x", mode);
        return QVCRASH_ENOTSUP;
    }
    static constexpr struct { uint32_t bit, first, second; } kPairs[] = {
        {0x10, 31, 30}, {0x8, 29, 28}, {0x4, 27, 26}, {0x2, 25, 24}, {0x1, 23, 22}};
    uint32_t count = 0;
    for (const auto& pair : kPairs) {
        if ((encoding & pair.bit) == 0) continue;
        entry->register_list[count++] = pair.first;
        entry->register_list[count++] = pair.second;
    }
    entry->register_count = count;
    if (mode == 2) {
        entry->type = QVCRASH_ASYNC_CFE_TYPE_FRAME_IMMD;
        entry->stack_offset = (encoding >> 8) & 0xFFF0;
        entry->return_address_register = 32;
    } else {
        entry->type = QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR;
        entry->stack_offset = -8 * (int64_t)count;
    }
    return QVCRASH_ESUCCESS;
}

// Reads one word of the frame's width at address.
qvcrash_error_t readWord(qvcrash_task_t task, uint64_t address, uint64_t width, uint64_t* out) {
    if (width == 4) {
        uint32_t v = 0;
        qvcrash_error_t err = MSqvcrash_async_task_memcpy(task, address, 0, &v, sizeof(v));
        *out = v;
        return err;
    }
    return MSqvcrash_async_task_memcpy(task, address, 0, out, sizeof(*out));
}

}  // namespace

// ---- the section ----

qvcrash_error_t MSqvcrash_async_cfe_reader_init(qvcrash_async_cfe_reader_t* reader, const qvcrash_async_mobject_t* mobj,
                                                uint32_t cpu_type) {
    reader->mobj = mobj;
    reader->cpu_type = cpu_type;
    reader->byteorder = MSqvcrash_async_byteorder_direct();
    if (!isX86(cpu_type) && cpu_type != QVCRASH_CPU_TYPE_ARM64) {
        QVCRASH_DEBUG("Unsupported CPU type: %u", cpu_type);
        return QVCRASH_ENOTSUP;
    }
    const void* header = qvcrash_async_mobject_remap_address(mobj, mobj->task_address, 0, sizeof(reader->header));
    if (header == nullptr) {
        QVCRASH_DEBUG("Could not map the unwind info section header");
        return QVCRASH_EINVAL;
    }
    qvcrash_async_memcpy(&reader->header, header, sizeof(reader->header));
    if (reader->header.version != 1) {
        QVCRASH_DEBUG("Unsupported CFE version: %u", reader->header.version);
        return QVCRASH_ENOTSUP;
    }
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t MSqvcrash_async_cfe_reader_find_pc(const qvcrash_async_cfe_reader_t* reader, uint64_t pc,
                                                   uint32_t* function_offset, uint32_t* encoding) {
    const auto& h = reader->header;
    if (!inside(reader, h.common_encodings_offset, (uint64_t)h.common_encodings_count * 4)) {
        QVCRASH_DEBUG("The declared common table lies outside the mapped CFE range");
        return QVCRASH_EINVAL;
    }
    if (h.index_count == 0) {
        QVCRASH_DEBUG("CFE index contains no entries");
        return QVCRASH_ENOTFOUND;
    }
    // The last index entry is a sentinel that only ends the range of the one before it.
    const uint32_t indexCount = h.index_count - 1;
    if (!inside(reader, h.index_offset, (uint64_t)indexCount * 12)) {
        QVCRASH_DEBUG("The declared entries table lies outside the mapped CFE range");
        return QVCRASH_EINVAL;
    }
    uint32_t first = 0;
    auto firstKey = [&](uint32_t i) {
        uint32_t v = 0;
        word32(reader, h.index_offset + (uint64_t)i * 12, &v);
        return (uint64_t)v;
    };
    if (!bisect(indexCount, pc, firstKey, &first)) {
        QVCRASH_DEBUG("Could not find a first level CFE entry for pc=%llx", (unsigned long long)pc);
        return QVCRASH_ENOTFOUND;
    }
    const uint64_t entryAt = h.index_offset + (uint64_t)first * 12;
    uint32_t firstFunction = 0, page = 0, kind = 0;
    word32(reader, entryAt, &firstFunction);
    word32(reader, entryAt + 4, &page);
    if (!word32(reader, page, &kind)) {
        QVCRASH_DEBUG("The second-level page header lies outside the mapped CFE range");
        return QVCRASH_EINVAL;
    }

    if (kind == kSecondLevelRegular) {
        uint16_t entriesAt = 0, count = 0;
        if (!inside(reader, page, 8) || !word16(reader, (uint64_t)page + 4, &entriesAt) ||
            !word16(reader, (uint64_t)page + 6, &count)) {
            QVCRASH_DEBUG("The second-level page header lies outside the mapped CFE range");
            return QVCRASH_EINVAL;
        }
        const uint64_t entries = (uint64_t)page + entriesAt;
        if (!inside(reader, entries, (uint64_t)count * 8)) {
            QVCRASH_DEBUG("CFE entries table lies outside the mapped CFE range");
            return QVCRASH_EINVAL;
        }
        auto key = [&](uint32_t i) {
            uint32_t v = 0;
            word32(reader, entries + (uint64_t)i * 8, &v);
            return (uint64_t)v;
        };
        uint32_t found = 0;
        if (!bisect(count, pc, key, &found)) {
            QVCRASH_DEBUG("Could not find a second level regular CFE entry for pc=%llx", (unsigned long long)pc);
            return QVCRASH_ENOTFOUND;
        }
        word32(reader, entries + (uint64_t)found * 8, function_offset);
        word32(reader, entries + (uint64_t)found * 8 + 4, encoding);
        return QVCRASH_ESUCCESS;
    }

    if (kind == kSecondLevelCompressed) {
        uint16_t entriesAt = 0, count = 0, encodingsAt = 0, encodingsCount = 0;
        if (!inside(reader, page, 12) || !word16(reader, (uint64_t)page + 4, &entriesAt) ||
            !word16(reader, (uint64_t)page + 6, &count) || !word16(reader, (uint64_t)page + 8, &encodingsAt) ||
            !word16(reader, (uint64_t)page + 10, &encodingsCount)) {
            QVCRASH_DEBUG("The second-level page header lies outside the mapped CFE range");
            return QVCRASH_EINVAL;
        }
        const uint64_t entries = (uint64_t)page + entriesAt;
        if (!inside(reader, entries, (uint64_t)count * 4)) {
            QVCRASH_DEBUG("CFE entries table lies outside the mapped CFE range");
            return QVCRASH_EINVAL;
        }
        auto entryAtIndex = [&](uint32_t i) {
            uint32_t v = 0;
            word32(reader, entries + (uint64_t)i * 4, &v);
            return v;
        };
        auto key = [&](uint32_t i) { return (uint64_t)(uint32_t)((entryAtIndex(i) & 0xFFFFFF) + firstFunction); };
        uint32_t found = 0;
        if (!bisect(count, pc, key, &found)) {
            QVCRASH_DEBUG("Could not find a second level compressed CFE entry for pc=%llx", (unsigned long long)pc);
            return QVCRASH_ENOTFOUND;
        }
        const uint32_t entry = entryAtIndex(found);
        *function_offset = (uint32_t)((entry & 0xFFFFFF) + firstFunction);
        const uint32_t index = entry >> 24;
        if (index < h.common_encodings_count) {
            word32(reader, h.common_encodings_offset + (uint64_t)index * 4, encoding);
            return QVCRASH_ESUCCESS;
        }
        const uint64_t pageEncodings = (uint64_t)page + encodingsAt;
        if (!inside(reader, pageEncodings, (uint64_t)encodingsCount * 4)) {
            QVCRASH_DEBUG("CFE compressed encodings table lies outside the mapped CFE range");
            return QVCRASH_EINVAL;
        }
        const uint8_t local = (uint8_t)(index - h.common_encodings_count);
        if (local >= encodingsCount) {
            QVCRASH_DEBUG("Encoding index lies outside the second level encoding table");
            return QVCRASH_EINVAL;
        }
        word32(reader, pageEncodings + (uint64_t)local * 4, encoding);
        return QVCRASH_ESUCCESS;
    }

    QVCRASH_DEBUG("Unsupported second-level CFE table kind: 0x%x at 0x%x", kind, page);
    return QVCRASH_EINVAL;
}

void MSqvcrash_async_cfe_reader_free(qvcrash_async_cfe_reader_t*) {}

// ---- registers ----

qvcrash_error_t MSqvcrash_async_cfe_register_decode(uint32_t permutation, uint32_t count, uint32_t* registers) {
    if (count > 6) {
        QVCRASH_DEBUG("Register permutation decoding attempted with an unsupported count of %u", count);
        return QVCRASH_EINVAL;
    }
    const uint32_t p = permutation;
    uint32_t digits[6] = {};
    switch (count) {
        case 6:
        case 5:
            digits[0] = p / 120;
            digits[1] = (p % 120) / 24;
            digits[2] = (p % 24) / 6;
            digits[3] = (p % 6) / 2;
            digits[4] = p % 2;
            digits[5] = 0;
            break;
        case 4:
            digits[0] = p / 60;
            digits[1] = (p % 60) / 12;
            digits[2] = (p % 12) / 3;
            digits[3] = p % 3;
            break;
        case 3:
            digits[0] = p / 20;
            digits[1] = (p % 20) / 4;
            digits[2] = p % 4;
            break;
        case 2:
            digits[0] = p / 5;
            digits[1] = p % 5;
            break;
        case 1: digits[0] = p; break;
        default: break;
    }
    bool used[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        // The (digit + 1)-th smallest compact number not yet used.
        uint32_t remaining = digits[i], chosen = 0;
        for (uint32_t r = 1; r <= 6; ++r) {
            if (used[r]) continue;
            if (remaining == 0) {
                chosen = r;
                break;
            }
            --remaining;
        }
        if (chosen == 0) {
            QVCRASH_DEBUG("Register permutation digit %u selects no remaining register", digits[i]);
            return QVCRASH_EINVAL;
        }
        used[chosen] = true;
        registers[i] = chosen;
    }
    return QVCRASH_ESUCCESS;
}

uint32_t MSqvcrash_async_cfe_register_encode(const uint32_t* registers, uint32_t count) {
    if (count > 6) {
        QVCRASH_DEBUG("Register permutation encoding attempted with an unsupported count of %u", count);
        return 0;
    }
    uint32_t r[6] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t smaller = 0;
        for (uint32_t j = 0; j < i; ++j) smaller += registers[j] < registers[i] ? 1 : 0;
        r[i] = registers[i] - 1 - smaller;
    }
    switch (count) {
        case 1: return r[0];
        case 2: return 5 * r[0] + r[1];
        case 3: return 20 * r[0] + 4 * r[1] + r[2];
        case 4: return 60 * r[0] + 12 * r[1] + 3 * r[2] + r[3];
        case 5:
        case 6: return 120 * r[0] + 24 * r[1] + 6 * r[2] + 2 * r[3] + r[4];
        default: return 0;
    }
}

qvcrash_error_t qvcrash_async_map_register_name(uint32_t compact, uint32_t* regnum, uint32_t cpu_type) {
    static constexpr uint32_t kX86_64[] = {QVCRASH_ASYNC_CFE_REG_NONE, QVCRASH_X86_64_RBX, QVCRASH_X86_64_R12,
                                           QVCRASH_X86_64_R13,        QVCRASH_X86_64_R14, QVCRASH_X86_64_R15,
                                           QVCRASH_X86_64_RBP};
    static constexpr uint32_t kX86[] = {QVCRASH_ASYNC_CFE_REG_NONE, QVCRASH_X86_EBX, QVCRASH_X86_ECX, QVCRASH_X86_EDX,
                                        QVCRASH_X86_EDI,            QVCRASH_X86_ESI, QVCRASH_X86_EBP};
    if (compact > 6) {
        QVCRASH_DEBUG("Requested register mapping for unknown register %d", (int)compact);
        return QVCRASH_EINVAL;
    }
    if (cpu_type == QVCRASH_CPU_TYPE_X86_64) *regnum = kX86_64[compact];
    else if (cpu_type == QVCRASH_CPU_TYPE_X86) *regnum = kX86[compact];
    else {
        QVCRASH_DEBUG("Requested register mapping for unknown cpu type %u", cpu_type);
        return QVCRASH_ENOTSUP;
    }
    return QVCRASH_ESUCCESS;
}

// ---- entries ----

qvcrash_error_t MSqvcrash_async_cfe_entry_init(qvcrash_async_cfe_entry_t* entry, uint32_t cpu_type, uint32_t encoding) {
    qvcrash_async_memset(entry, 0, sizeof(*entry));
    entry->cpu_type = cpu_type;
    entry->return_address_register = QVCRASH_ASYNC_CFE_REG_NONE;
    if (isX86(cpu_type)) return initX86(entry, encoding);
    if (cpu_type == QVCRASH_CPU_TYPE_ARM64) return initArm64(entry, encoding);
    QVCRASH_DEBUG("Unsupported CPU type: %u", cpu_type);
    return QVCRASH_ENOTSUP;
}

void MSqvcrash_async_cfe_entry_free(qvcrash_async_cfe_entry_t*) {}

qvcrash_async_cfe_type_t MSqvcrash_async_cfe_entry_type(const qvcrash_async_cfe_entry_t* entry) { return entry->type; }
int64_t MSqvcrash_async_cfe_entry_stack_offset(const qvcrash_async_cfe_entry_t* entry) { return entry->stack_offset; }
uint32_t MSqvcrash_async_cfe_entry_stack_adjust(const qvcrash_async_cfe_entry_t* entry) { return entry->stack_adjust; }
uint32_t MSqvcrash_async_cfe_entry_return_address_register(const qvcrash_async_cfe_entry_t* entry) {
    return entry->return_address_register;
}
uint32_t MSqvcrash_async_cfe_entry_register_count(const qvcrash_async_cfe_entry_t* entry) {
    return entry->register_count;
}
void MSqvcrash_async_cfe_entry_register_list(const qvcrash_async_cfe_entry_t* entry, uint32_t* register_list) {
    for (uint32_t i = 0; i < entry->register_count; ++i) register_list[i] = entry->register_list[i];
}

qvcrash_error_t MSqvcrash_async_cfe_entry_apply(qvcrash_task_t task, uint64_t function_address,
                                                const qvcrash_async_thread_state_t* thread_state,
                                                const qvcrash_async_cfe_entry_t* entry,
                                                qvcrash_async_thread_state_t* new_thread_state) {
    // The thread state has x86 registers only.
    if (!isX86(entry->cpu_type)) return QVCRASH_ENOTSUP;
    const uint64_t width = MSqvcrash_async_thread_state_get_greg_size(thread_state);
    const size_t regCount = MSqvcrash_async_thread_state_get_reg_count(thread_state);
    MSqvcrash_async_thread_state_copy(new_thread_state, thread_state);
    MSqvcrash_async_thread_state_clear_volatile_regs(new_thread_state);

    uint64_t saveBase = 0;
    qvcrash_error_t err;
    switch (entry->type) {
        case QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR: {
            if (!MSqvcrash_async_thread_state_has_reg(thread_state, QVCRASH_REG_FP)) {
                QVCRASH_DEBUG("Can't apply FRAME_PTR unwind type without a valid frame pointer");
                return QVCRASH_ENOTFOUND;
            }
            const uint64_t fp = MSqvcrash_async_thread_state_get_reg(thread_state, QVCRASH_REG_FP);
            saveBase = fp + (uint64_t)entry->stack_offset;
            if (UINT64_MAX - fp < 2 * width) {
                QVCRASH_DEBUG("Current frame pointer falls outside of addressable bounds");
                return QVCRASH_EINVAL;
            }
            uint64_t callerFp = 0, callerIp = 0;
            if ((err = readWord(task, fp, width, &callerFp)) != QVCRASH_ESUCCESS ||
                (err = readWord(task, fp + width, width, &callerIp)) != QVCRASH_ESUCCESS) {
                QVCRASH_DEBUG("Failed to read frame data at address 0x%llx: %d", (unsigned long long)fp, (int)err);
                return err;
            }
            MSqvcrash_async_thread_state_set_reg(new_thread_state, QVCRASH_REG_SP, fp + 2 * width);
            MSqvcrash_async_thread_state_set_reg(new_thread_state, QVCRASH_REG_FP, callerFp);
            MSqvcrash_async_thread_state_set_reg(new_thread_state, QVCRASH_REG_IP, callerIp);
            break;
        }
        case QVCRASH_ASYNC_CFE_TYPE_FRAME_IMMD:
        case QVCRASH_ASYNC_CFE_TYPE_FRAME_INDIRECT: {
            if (!MSqvcrash_async_thread_state_has_reg(thread_state, QVCRASH_REG_SP)) {
                QVCRASH_DEBUG("Can't apply FRAME_IMMD unwind type without a valid stack pointer");
                return QVCRASH_ENOTFOUND;
            }
            uint64_t stackSize = (uint64_t)entry->stack_offset;
            if (entry->type == QVCRASH_ASYNC_CFE_TYPE_FRAME_INDIRECT) {
                uint32_t immediate = 0;
                err = MSqvcrash_async_task_memcpy(task, function_address, entry->stack_offset, &immediate,
                                                  sizeof(immediate));
                if (err != QVCRASH_ESUCCESS) {
                    QVCRASH_DEBUG("Failed to read indirect stack size from 0x%llx + 0x%llx: %d",
                                  (unsigned long long)function_address, (unsigned long long)entry->stack_offset,
                                  (int)err);
                    return err;
                }
                stackSize = (uint32_t)(immediate + entry->stack_adjust);
            }
            const uint64_t sp = MSqvcrash_async_thread_state_get_reg(thread_state, QVCRASH_REG_SP) + stackSize;
            const uint64_t savedBytes = (uint64_t)entry->register_count * width;
            if (entry->return_address_register == QVCRASH_ASYNC_CFE_REG_NONE) {
                uint64_t ip = 0;
                if ((err = readWord(task, sp - width, width, &ip)) != QVCRASH_ESUCCESS) {
                    QVCRASH_DEBUG("Failed to read return address from 0x%llx: %d", (unsigned long long)(sp - width),
                                  (int)err);
                    return err;
                }
                MSqvcrash_async_thread_state_set_reg(new_thread_state, QVCRASH_REG_IP, ip);
                saveBase = sp - width - savedBytes;
            } else {
                const uint32_t ra = entry->return_address_register;
                if (ra >= regCount || !MSqvcrash_async_thread_state_has_reg(thread_state, (qvcrash_regnum_t)ra)) {
                    QVCRASH_DEBUG("The specified return_address_register '%s' is not available",
                                  ra < regCount ? MSqvcrash_async_thread_state_get_reg_name(thread_state, (qvcrash_regnum_t)ra)
                                                : "unknown");
                    return QVCRASH_ENOTFOUND;
                }
                MSqvcrash_async_thread_state_set_reg(new_thread_state, QVCRASH_REG_IP,
                                                     MSqvcrash_async_thread_state_get_reg(thread_state, (qvcrash_regnum_t)ra));
                saveBase = sp - savedBytes;
            }
            MSqvcrash_async_thread_state_set_reg(new_thread_state, QVCRASH_REG_SP, sp);
            break;
        }
        case QVCRASH_ASYNC_CFE_TYPE_DWARF:
        case QVCRASH_ASYNC_CFE_TYPE_NONE:
        default: return QVCRASH_ENOTSUP;
    }

    for (uint32_t i = 0; i < entry->register_count; ++i) {
        const uint32_t reg = entry->register_list[i];
        if (reg == QVCRASH_ASYNC_CFE_REG_NONE) continue;  // an empty slot still takes its word
        if (reg >= regCount) return QVCRASH_EINVAL;
        uint64_t value = 0;
        if ((err = readWord(task, saveBase + i * width, width, &value)) != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("Failed to read register data for index %s: %d",
                          MSqvcrash_async_thread_state_get_reg_name(thread_state, (qvcrash_regnum_t)reg), (int)err);
            return err;
        }
        MSqvcrash_async_thread_state_set_reg(new_thread_state, (qvcrash_regnum_t)reg, value);
    }
    // The caller's pc follows its call.
    new_thread_state->ip_is_return_address = true;
    return QVCRASH_ESUCCESS;
}

// ---- the frame reader ----

qvframe_error_t MSqvframe_cursor_read_compact_unwind(qvcrash_async_page_cache_t* memory, qvcrash_async_image_list_t* image_list,
                                                     const qvcrash_async_thread_state_t* current_frame,
                                                     const qvcrash_async_thread_state_t*,
                                                     qvcrash_async_thread_state_t* next_frame) {
    if (!MSqvcrash_async_thread_state_has_reg(current_frame, QVCRASH_REG_IP)) {
        QVCRASH_DEBUG("Frame is missing a valid IP register, skipping compact unwind encoding");
        return QVFRAME_EBADFRAME;
    }
    if (image_list == nullptr) return QVFRAME_ENOTSUP;
    // A return address is looked up at the call before it: a call that ends a function would
    // otherwise be taken for the start of the next one.
    const uint64_t pc = MSqvcrash_async_thread_state_lookup_pc(
        current_frame, MSqvcrash_async_thread_state_get_reg(current_frame, QVCRASH_REG_IP));

    MSqvcrash_nasync_image_list_set_reading(image_list, true);
    qvframe_error_t result = QVFRAME_ENOTSUP;
    qvcrash_async_macho_t* image = MSqvcrash_nasync_image_list_find_image_for_address(image_list, pc);
    qvcrash_async_mobject_t section;
    qvcrash_error_t err;
    if (image == nullptr) {
        QVCRASH_DEBUG("Could not find a loaded image for the current frame pc: 0x%llx", (unsigned long long)pc);
    } else if ((err = MSqvcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section)) !=
               QVCRASH_ESUCCESS) {
        if (err != QVCRASH_ENOTFOUND) {
            QVCRASH_DEBUG("Could not map the compact unwind info section for image %s: %d", image->name, (int)err);
        }
    } else {
        qvcrash_async_cfe_reader_t reader;
        qvcrash_async_cfe_entry_t entry;
        uint32_t functionOffset = 0, encoding = 0;
        if ((err = MSqvcrash_async_cfe_reader_init(&reader, &section, MSqvcrash_async_macho_cpu_type(image))) !=
            QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("Could not parse the compact unwind info section for image '%s': %d", image->name, (int)err);
            result = QVFRAME_EINVAL;
        } else if ((err = MSqvcrash_async_cfe_reader_find_pc(&reader, pc - image->header_addr, &functionOffset,
                                                             &encoding)) != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("Did not find CFE entry for PC 0x%llx: %d", (unsigned long long)pc, (int)err);
        } else if ((err = MSqvcrash_async_cfe_entry_init(&entry, reader.cpu_type, encoding)) != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("Could not decode CFE encoding 0x%x for PC 0x%llx: %d", encoding, (unsigned long long)pc,
                          (int)err);
        } else if (entry.type == QVCRASH_ASYNC_CFE_TYPE_NONE) {
            result = QVFRAME_ENOFRAME;
        } else if (UINT64_MAX - image->header_addr < functionOffset) {
            QVCRASH_DEBUG("The provided function base (0x%llx) plus header address (0x%llx) will overflow qv_vm_address_t",
                          (unsigned long long)functionOffset, (unsigned long long)image->header_addr);
            result = QVFRAME_EINVAL;
        } else if ((err = MSqvcrash_async_cfe_entry_apply(memory->task, image->header_addr + functionOffset, current_frame,
                                                          &entry, next_frame)) != QVCRASH_ESUCCESS) {
            // DWARF entries end here too: the DWARF reader is next in the cursor's list.
            QVCRASH_DEBUG("Failed to apply CFE encoding 0x%x for PC 0x%llx: %d", encoding, (unsigned long long)pc,
                          (int)err);
            result = QVFRAME_ENOFRAME;
        } else {
            result = QVFRAME_ESUCCESS;
        }
        MSqvcrash_async_mobject_free(&section);
    }
    MSqvcrash_nasync_image_list_set_reading(image_list, false);
    return result;
}

}  // namespace quorvane
