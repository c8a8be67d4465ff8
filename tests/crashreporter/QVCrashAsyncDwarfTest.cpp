// The DWARF call-frame readers, program and expression evaluator over hand-made bytes, the 32-bit
// fixture against readelf's dump of it, and damaged call-frame information that must never fault.

#include <gtest/gtest.h>
#include <elf.h>
#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncDwarfCFAState.h"
#include "platform/crash/TaskMemory.h"

using namespace quorvane;
using namespace quorvane::qvcrash::MS::async;

namespace {

const qvcrash_task_t kSelf = quorvane::platform::crash::taskSelf();
const MSqvcrash_async_byteorder_t* kHost = MSqvcrash_async_byteorder_direct();

// Bytes written at a fixed address, so pc-relative values can be computed as they are written.
struct Bytes {
    alignas(16) uint8_t data[4096] = {};
    size_t size = 0;
    uint64_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(data) + offset; }
    Bytes& u8(uint8_t v) { data[size++] = v; return *this; }
    Bytes& u32(uint32_t v) { std::memcpy(data + size, &v, 4); size += 4; return *this; }
    Bytes& u64(uint64_t v) { std::memcpy(data + size, &v, 8); size += 8; return *this; }
    Bytes& raw(std::initializer_list<uint8_t> bytes) { for (uint8_t b : bytes) u8(b); return *this; }
    Bytes& str(const char* s) { while (*s) u8(static_cast<uint8_t>(*s++)); return u8(0); }
    Bytes& uleb(uint64_t v) { do { uint8_t b = v & 0x7F; v >>= 7; u8(static_cast<uint8_t>(b | (v ? 0x80 : 0))); } while (v); return *this; }
    Bytes& sleb(int64_t v) {
        for (bool more = true; more;) {
            uint8_t b = v & 0x7F;
            v >>= 6;
            more = !(v == 0 || v == -1);
            if (more) v >>= 1;
            u8(static_cast<uint8_t>(b | (more ? 0x80 : 0)));
        }
        return *this;
    }
    void patch32(size_t offset, uint32_t v) { std::memcpy(data + offset, &v, 4); }
};

// A CIE at the current end: version 1, "augmentation", caf 1, daf -8, return column 16.
size_t cie(Bytes& b, const char* augmentation, std::initializer_list<uint8_t> augmentation_data,
           std::initializer_list<uint8_t> instructions, uint8_t version = 1) {
    const size_t start = b.size;
    b.u32(0).u32(0).u8(version).str(augmentation);
    if (version == 4) b.u8(8).u8(0);
    b.uleb(1).sleb(-8).uleb(16);
    if (augmentation[0] == 'z') b.uleb(augmentation_data.size()).raw(augmentation_data);
    b.raw(instructions);
    b.patch32(start, static_cast<uint32_t>(b.size - start - 4));
    return start;
}

// An FDE with pc-relative sdata4 addresses (encoding 0x1B) for [pc, pc + range).
size_t fde(Bytes& b, size_t cie_at, uint64_t pc, uint32_t range, std::initializer_list<uint8_t> instructions,
           bool augmented = true) {
    const size_t start = b.size;
    b.u32(0);
    b.u32(static_cast<uint32_t>(b.size - cie_at));
    b.u32(static_cast<uint32_t>(pc - b.at(b.size))).u32(range);
    if (augmented) b.uleb(0);
    b.raw(instructions);
    b.patch32(start, static_cast<uint32_t>(b.size - start - 4));
    return start;
}

struct Mapped {
    qvcrash_async_mobject_t mobj{};
    explicit Mapped(const Bytes& b, size_t length = 0) {
        EXPECT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, b.at(0), length ? length : b.size, true), QVCRASH_ESUCCESS);
    }
    ~Mapped() { MSqvcrash_async_mobject_free(&mobj); }
};

using State64 = dwarf_cfa_state<uint64_t, int64_t>;

// Runs a program (x86-64, caf 1, daf -8) over its bytes up to pc (0 = all of it).
qvcrash_error_t runProgram(State64& state, std::initializer_list<uint8_t> program, uint64_t pc, uint64_t start = 0x1000) {
    Bytes b;
    b.raw(program);
    Mapped m(b);
    qvcrash_async_dwarf_cie_info_t info{};
    info.code_alignment_factor = 1;
    info.data_alignment_factor = -8;
    info.return_address_register = 16;
    gnu_ehptr_reader<uint64_t> reader(kHost);
    return state.eval_program(&m.mobj, pc, start, &info, &reader, kHost, b.at(0), 0, b.size);
}

qvcrash_async_thread_state_t x86_64State() {
    qvcrash_async_thread_state_t s;
    MSqvcrash_async_thread_state_init(&s, QVCRASH_CPU_TYPE_X86_64);
    for (int r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) MSqvcrash_async_thread_state_set_reg(&s, r, 0x100 + r);
    return s;
}

}  // namespace

// ---- primitive readers and entries ----

TEST(QVCrashAsyncDwarf, Leb128LimitsAndPointerEncodings) {
    Bytes b;
    b.raw({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01});  // bit 63
    b.raw({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00});  // too long
    b.raw({0x7F});  // -1
    b.u32(0xFFFFFFF0u);
    Mapped m(b);
    uint64_t v, size;
    ASSERT_EQ(qvcrash_async_dwarf_read_uleb128(&m.mobj, b.at(0), 0, &v, &size), QVCRASH_ESUCCESS);
    EXPECT_EQ(v, UINT64_C(1) << 63);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(qvcrash_async_dwarf_read_uleb128(&m.mobj, b.at(10), 0, &v, &size), QVCRASH_ENOTSUP);
    int64_t s;
    ASSERT_EQ(qvcrash_async_dwarf_read_sleb128(&m.mobj, b.at(21), 0, &s, &size), QVCRASH_ESUCCESS);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(qvcrash_async_dwarf_read_uleb128(&m.mobj, b.at(0), static_cast<int64_t>(b.size), &v, &size), QVCRASH_EINVAL);

    gnu_ehptr_reader<uint64_t> reader(kHost);
    uint64_t p;
    ASSERT_EQ(reader.read(&m.mobj, b.at(22), 0, DW_EH_PE_pcrel | DW_EH_PE_sdata4, &p, &size), QVCRASH_ESUCCESS);
    EXPECT_EQ(p, b.at(22) - 16);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(reader.read(&m.mobj, b.at(22), 0, DW_EH_PE_textrel, &p, &size), QVCRASH_ENOTSUP);
    EXPECT_EQ(reader.read(&m.mobj, b.at(22), 0, DW_EH_PE_omit, &p, &size), QVCRASH_ENOTFOUND);
    EXPECT_EQ(reader.read(&m.mobj, b.at(22), 0, DW_EH_PE_udata8, &p, &size), QVCRASH_EINVAL);  // runs past the end
    gnu_ehptr_reader<uint32_t> reader32(kHost);
    uint32_t p32;
    ASSERT_EQ(reader32.read(&m.mobj, b.at(22), 0, DW_EH_PE_sdata4, &p32, &size), QVCRASH_ESUCCESS);
    EXPECT_EQ(p32, 0xFFFFFFF0u);
}

TEST(QVCrashAsyncDwarf, EntriesDecodeWithTheirAugmentations) {
    Bytes b;
    uint64_t personality = 0x1122334455667788;
    const size_t zr = cie(b, "zR", {0x1B}, {0x0C, 0x07, 0x08, 0x90, 0x01});  // def_cfa rsp+8, offset r16 cfa-8
    const uint64_t code = b.at(0) + 0x10000;
    const size_t f1 = fde(b, zr, code, 0x20, {0x41, 0x0E, 0x10});
    // zPLR: personality absolute 8 bytes, LSDA pcrel sdata4, FDE pcrel sdata4; FDE augmentation of 4 bytes.
    const size_t zplr = b.size;
    b.u32(0).u32(0).u8(1).str("zPLR").uleb(1).sleb(-8).uleb(16).uleb(11).u8(0x00).u64(personality).u8(0x1B).u8(0x1B);
    b.raw({0x0C, 0x07, 0x08});
    b.patch32(zplr, static_cast<uint32_t>(b.size - zplr - 4));
    const size_t f2 = b.size;
    b.u32(0).u32(static_cast<uint32_t>(b.size - zplr)).u32(static_cast<uint32_t>(code + 0x40 - b.at(b.size))).u32(0x10);
    b.uleb(4).u32(0xDEADBEEF).raw({0x42});
    b.patch32(f2, static_cast<uint32_t>(b.size - f2 - 4));
    b.u32(0);  // the terminator
    Mapped m(b);

    dwarf_cfi_reader reader;
    reader.init(&m.mobj, kHost, true, false);
    qvcrash_async_dwarf_fde_info_t info;
    ASSERT_EQ(reader.find_fde(0, code, &info), QVCRASH_ESUCCESS);  // pc_start is covered
    EXPECT_EQ(info.pc_start, code);
    EXPECT_EQ(info.pc_end, code + 0x20);
    EXPECT_EQ(info.cie_offset, zr);
    EXPECT_EQ(info.instructions_offset, f1 + 4 + 4 + 8 + 1);
    EXPECT_EQ(info.instructions_length, 3u);
    EXPECT_EQ(reader.find_fde(0, code + 0x20, &info), QVCRASH_ENOTFOUND);  // pc_end is not

    ASSERT_EQ(reader.find_fde(0, code + 0x45, &info), QVCRASH_ESUCCESS);
    EXPECT_EQ(info.instructions_offset, f2 + 4 + 4 + 8 + 1 + 4);  // after the skipped LSDA
    gnu_ehptr_reader<uint64_t> ptrs(kHost);
    qvcrash_async_dwarf_cie_info_t c;
    ASSERT_EQ(qvcrash_async_dwarf_cie_info_init(&c, &m.mobj, kHost, &ptrs, b.at(info.cie_offset)), QVCRASH_ESUCCESS);
    EXPECT_TRUE(c.has_eh_augmentation);
    EXPECT_TRUE(c.eh_augmentation.has_personality_address);
    EXPECT_EQ(c.eh_augmentation.personality_address, personality);
    EXPECT_EQ(c.eh_augmentation.lsda_encoding, 0x1B);
    EXPECT_EQ(c.eh_augmentation.pointer_encoding, 0x1B);
    EXPECT_EQ(c.data_alignment_factor, -8);
    EXPECT_EQ(c.initial_instructions_length, 3u);
}

TEST(QVCrashAsyncDwarf, DamagedEntriesAreRefusedWithTheirCodes) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> build;
        qvcrash_error_t expected;
    };
    const std::vector<Case> cases = {
        {"first entry of length 0", [](Bytes& b) { b.u32(0); }, QVCRASH_ENOTFOUND},
        {"CIE version 2", [](Bytes& b) { fde(b, cie(b, "zR", {0x1B}, {}, 2), b.at(0), 16, {}); }, QVCRASH_EINVAL},
        {"augmentation not starting with z", [](Bytes& b) { fde(b, cie(b, "eh", {}, {}), b.at(0), 16, {}, false); }, QVCRASH_ENOTSUP},
        {"unknown letter after z", [](Bytes& b) { fde(b, cie(b, "zRX", {0x1B, 0x55}, {}), b.at(0), 16, {}); }, QVCRASH_ESUCCESS},
        {"version 4 CIE", [](Bytes& b) { fde(b, cie(b, "zR", {0x1B}, {}, 4), b.at(0), 16, {}); }, QVCRASH_ESUCCESS},
        {"CIE pointer before the section", [](Bytes& b) { b.u32(12).u32(64).u32(0).u32(16); }, QVCRASH_EINVAL},
        {"FDE shorter than its fields", [](Bytes& b) { size_t c = cie(b, "zR", {0x1B}, {}); size_t f = fde(b, c, b.at(0), 16, {}); b.patch32(f, 6); }, QVCRASH_EINVAL},
        {"CIE shorter than its fields", [](Bytes& b) { size_t c = cie(b, "zR", {0x1B}, {}); fde(b, c, b.at(0), 16, {}); b.patch32(c, 5); }, QVCRASH_EINVAL},
        {"length past the section", [](Bytes& b) { b.u32(0x7FFFFFF0).u32(1); }, QVCRASH_EINVAL},
        {"truncated 64-bit length", [](Bytes& b) { b.u32(0xFFFFFFFF).u8(1); }, QVCRASH_EINVAL},
        {"64-bit entry with 32-bit all-ones id is an FDE", [](Bytes& b) { b.u32(0xFFFFFFFF).u64(8).u64(0xFFFFFFFF); }, QVCRASH_EINVAL},
    };
    for (const Case& c : cases) {
        Bytes b;
        c.build(b);
        Mapped m(b);
        dwarf_cfi_reader reader;
        reader.init(&m.mobj, kHost, true, c.what[0] == '6');  // the 64-bit case reads as .debug_frame
        qvcrash_async_dwarf_fde_info_t info;
        EXPECT_EQ(reader.find_fde(0, b.at(0) + 4, &info), c.expected) << c.what;
    }
}

// ---- the call-frame program ----

TEST(QVCrashAsyncDwarf, ProgramRowsHoldTheRulesOfTheirAddress) {
    State64 s;
    // CIE: def_cfa rsp+8, offset r16 at cfa-8.
    ASSERT_EQ(runProgram(s, {0x0C, 0x07, 0x08, 0x90, 0x01}, 0), QVCRASH_ESUCCESS);
    auto cfa = s.get_cfa_rule();
    EXPECT_EQ(cfa.type, DWARF_CFA_STATE_CFA_TYPE_REGISTER);
    EXPECT_EQ(cfa.regnum, 7u);
    EXPECT_EQ(cfa.offset, 8u);
    qvcrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value;
    ASSERT_TRUE(s.get_register_rule(16, &rule, &value));
    EXPECT_EQ(rule, QVCRASH_DWARF_CFA_REG_RULE_OFFSET);
    EXPECT_EQ(static_cast<int64_t>(value), -8);

    // advance 1, def_cfa_offset 16, advance 3, def_cfa_register rbp: at start + 2 the second is not reached.
    ASSERT_EQ(runProgram(s, {0x41, 0x0E, 0x10, 0x43, 0x0D, 0x06}, 0x1002), QVCRASH_ESUCCESS);
    EXPECT_EQ(s.get_cfa_rule().offset, 16u);
    EXPECT_EQ(s.get_cfa_rule().regnum, 7u);

    // remember, change, (row), restore: the rules before the change come back.
    State64 r;
    ASSERT_EQ(runProgram(r, {0x0C, 0x07, 0x08, 0x0A, 0x86, 0x02, 0x41, 0x0B}, 0x1000), QVCRASH_ESUCCESS);
    ASSERT_TRUE(r.get_register_rule(6, &rule, &value));
    EXPECT_EQ(static_cast<int64_t>(value), -16);
    State64 whole;
    ASSERT_EQ(runProgram(whole, {0x0A, 0x86, 0x02, 0x41, 0x0B}, 0), QVCRASH_ESUCCESS);
    EXPECT_FALSE(whole.get_register_rule(6, &rule, &value));

    // restore_extended of a register the initial rules never held removes only that one.
    State64 x;
    ASSERT_EQ(runProgram(x, {0x83, 0x03, 0x86, 0x02, 0x06, 0x06}, 0), QVCRASH_ESUCCESS);
    EXPECT_FALSE(x.get_register_rule(6, &rule, &value));
    EXPECT_TRUE(x.get_register_rule(3, &rule, &value));

    // A factored offset wraps like every rule value instead of overflowing.
    State64 big;
    ASSERT_EQ(runProgram(big, {0x11, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, 0), QVCRASH_ESUCCESS);
    ASSERT_TRUE(big.get_register_rule(3, &rule, &value));
    EXPECT_EQ(value, static_cast<uint64_t>(INT64_MAX) * static_cast<uint64_t>(-8));

    // DW_CFA_GNU_args_size is read past and changes no rule; DW_CFA_undefined keeps a rule of its own.
    State64 g;
    EXPECT_EQ(runProgram(g, {0x0C, 0x07, 0x08, 0x2E, 0x10, 0x07, 0x10, 0x41}, 0x1000), QVCRASH_ESUCCESS);
    EXPECT_EQ(g.get_cfa_rule().offset, 8u);
    EXPECT_TRUE(g.is_undefined(16));
    EXPECT_FALSE(g.is_undefined(6));
}

TEST(QVCrashAsyncDwarf, RememberedStatesAreBoundedAndGivenBack) {
    State64 s;
    EXPECT_EQ(runProgram(s, {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}, 0), QVCRASH_ENOMEM);  // a sixth level
    State64 e;
    EXPECT_EQ(runProgram(e, {0x0B}, 0), QVCRASH_EINVAL);  // nothing remembered

    // Cycles of remember / set / restore never run out of rule entries: popped levels give theirs back.
    State64 c;
    std::vector<uint8_t> program = {0x83, 0x01, 0x86, 0x02, 0x8C, 0x03};
    for (int i = 0; i < 300; ++i) program.insert(program.end(), {0x0A, 0x8D, 0x04, 0x8E, 0x05, 0x8F, 0x06, 0x0B});
    Bytes b;
    for (uint8_t byte : program) b.u8(byte);
    Mapped m(b);
    qvcrash_async_dwarf_cie_info_t info{};
    info.code_alignment_factor = 1;
    info.data_alignment_factor = -8;
    gnu_ehptr_reader<uint64_t> reader(kHost);
    ASSERT_EQ(c.eval_program(&m.mobj, 0, 0x1000, &info, &reader, kHost, b.at(0), 0, b.size), QVCRASH_ESUCCESS);
    EXPECT_EQ(c.get_register_count(), 3u);
    EXPECT_EQ(c.free_entry_count(), State64::kEntries - 3);

    // Removing a register touches only its own chain, with stale numbers on the free list.
    State64 t;
    ASSERT_TRUE(t.set_register(14, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, 1));
    ASSERT_TRUE(t.set_register(0, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, 2));  // same bucket
    t.remove_register(14);
    t.remove_register(14);
    EXPECT_EQ(t.get_register_count(), 1u);
    EXPECT_EQ(t.free_entry_count(), State64::kEntries - 1);
}

TEST(QVCrashAsyncDwarf, ApplyingRulesGivesTheCallersRegisters) {
    uint64_t stack[4] = {0xAAAA, 0xBBBB, 0x5555, 0x6666};  // saved rbp at CFA-16, return address at CFA-8
    const uint64_t cfa = reinterpret_cast<uintptr_t>(&stack[2]);
    auto current = x86_64State();
    MSqvcrash_async_thread_state_set_reg(&current, QVCRASH_X86_64_RBP, cfa - 16);
    State64 s;
    s.set_cfa_register(6, 16);
    s.set_register(6, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-16));
    s.set_register(16, QVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-8));
    s.set_register(0, QVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 4);  // a volatile register with a rule
    qvcrash_async_dwarf_cie_info_t info{};
    info.return_address_register = 16;
    qvcrash_async_thread_state_t next;
    ASSERT_EQ(s.apply_state(kSelf, &info, &current, kHost, &next), QVCRASH_ESUCCESS);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&next, QVCRASH_X86_64_RSP), cfa);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&next, QVCRASH_X86_64_RBP), 0xAAAAu);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&next, QVCRASH_X86_64_RIP), 0xBBBBu);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&next, QVCRASH_X86_64_RAX), cfa + 4);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&next, QVCRASH_X86_64_RBX), 0x100u + QVCRASH_X86_64_RBX);
    for (int r : {QVCRASH_X86_64_RCX, QVCRASH_X86_64_RDX, QVCRASH_X86_64_R11, QVCRASH_X86_64_RFLAGS}) {
        EXPECT_FALSE(MSqvcrash_async_thread_state_has_reg(&next, r)) << r;
    }

    State64 noRa;  // no rule for column 16, which no register holds
    noRa.set_cfa_register(7, 8);
    EXPECT_EQ(noRa.apply_state(kSelf, &info, &current, kHost, &next), QVCRASH_EINVAL);
    State64 missing;  // CFA on a register the state does not hold
    missing.set_cfa_register(3, 8);
    MSqvcrash_async_thread_state_clear_reg(&current, QVCRASH_X86_64_RBX);
    EXPECT_EQ(missing.apply_state(kSelf, &info, &current, kHost, &next), QVCRASH_ENOTFOUND);
    State64 undefined;
    EXPECT_EQ(undefined.apply_state(kSelf, &info, &current, kHost, &next), QVCRASH_EINVAL);
    // An undefined return address is the outermost frame: the caller has no IP, and that is no error.
    State64 outermost;
    outermost.set_cfa_register(7, 8);
    outermost.set_register(16, QVCRASH_DWARF_CFA_REG_RULE_UNDEFINED, 0);
    ASSERT_EQ(outermost.apply_state(kSelf, &info, &current, kHost, &next), QVCRASH_ESUCCESS);
    EXPECT_FALSE(MSqvcrash_async_thread_state_has_reg(&next, QVCRASH_X86_64_RIP));
}

// ---- expressions ----

TEST(QVCrashAsyncDwarf, ExpressionsEvaluateWithinTheirBounds) {
    uint64_t word = 0x1234;
    auto state = x86_64State();
    MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_X86_64_RSP, reinterpret_cast<uintptr_t>(&word) - 8);
    struct Case {
        const char* what;
        std::vector<uint8_t> code;
        qvcrash_error_t err;
        uint64_t result;
    };
    std::vector<uint8_t> deep;
    for (int i = 0; i < 101; ++i) deep.push_back(0x30);
    std::vector<uint8_t> fullDup(100, 0x31);
    fullDup.push_back(0x12);
    const std::vector<Case> cases = {
        {"breg7 8, deref", {0x77, 0x08, 0x06}, QVCRASH_ESUCCESS, 0x1234},
        {"divide by zero", {0x31, 0x30, 0x1B}, QVCRASH_EINVAL, 0},
        {"2 - 1", {0x32, 0x31, 0x1C}, QVCRASH_ESUCCESS, 1},
        {"unsigned compare", {0x09, 0xFF, 0x30, 0x2D}, QVCRASH_ESUCCESS, 0},
        {"arithmetic shift", {0x09, 0xF8, 0x31, 0x26}, QVCRASH_ESUCCESS, static_cast<uint64_t>(-4)},
        {"empty", {}, QVCRASH_EINVAL, 0},
        {"101 values", deep, QVCRASH_EINTERNAL, 0},
        {"dup on a full stack", fullDup, QVCRASH_EINTERNAL, 0},
        {"skip 0", {0x2F, 0x00, 0x00, 0x35}, QVCRASH_ESUCCESS, 5},
        {"bra to the end", {0x35, 0x31, 0x28, 0x01, 0x00, 0x36}, QVCRASH_ESUCCESS, 5},
        {"bra not taken", {0x30, 0x28, 0x01, 0x00, 0x36}, QVCRASH_ESUCCESS, 6},
        {"bra backwards forever stays in range", {0x31, 0x28, 0xFA, 0xFF}, QVCRASH_EINVAL, 0},
        {"skip out of range", {0x2F, 0x10, 0x00}, QVCRASH_EINVAL, 0},
        {"skip back onto itself forever", {0x2F, 0xFD, 0xFF}, QVCRASH_EINVAL, 0},
        {"deref_size 3", {0x30, 0x94, 0x03}, QVCRASH_EINVAL, 0},
        {"deref of an unmapped address", {0x30, 0x06}, QVCRASH_ENOTFOUND, 0},
        {"addr", {0x03}, QVCRASH_ENOTSUP, 0},
        {"reg5", {0x55}, QVCRASH_ENOTSUP, 0},
        {"operand past the end", {0x0C, 0x01}, QVCRASH_EINVAL, 0},
        {"pick past the stack", {0x30, 0x15, 0x01}, QVCRASH_EINVAL, 0},
        {"rot, over, swap, pick", {0x31, 0x32, 0x33, 0x17, 0x14, 0x16, 0x15, 0x02, 0x22, 0x22, 0x22, 0x22}, QVCRASH_ESUCCESS, 8},
    };
    for (const Case& c : cases) {
        Bytes b;
        for (uint8_t byte : c.code) b.u8(byte);
        b.u8(0x96);  // keeps the mapping non-empty; evaluated as a nop only when inside the length
        Mapped m(b);
        uint64_t result = 0;
        qvcrash_error_t err = qvcrash_async_dwarf_expression_eval<uint64_t, int64_t>(
            &m.mobj, kSelf, &state, kHost, b.at(0), 0, static_cast<int64_t>(c.code.size()), nullptr, 0, &result);
        EXPECT_EQ(err, c.err) << c.what;
        if (err == QVCRASH_ESUCCESS) {
            EXPECT_EQ(result, c.result) << c.what;
        }
    }
    // One initial value and an empty expression yield that value; the 32-bit form keeps 4-byte words.
    Bytes b;
    b.u8(0x96);
    Mapped m(b);
    uint64_t initial = 77, result = 0;
    EXPECT_EQ((qvcrash_async_dwarf_expression_eval<uint64_t, int64_t>(&m.mobj, kSelf, &state, kHost, b.at(0), 0, 0,
                                                                       &initial, 1, &result)),
              QVCRASH_ESUCCESS);
    EXPECT_EQ(result, 77u);
    Bytes b32;
    b32.raw({0x30, 0x94, 0x08});
    Mapped m32(b32);
    uint32_t r32;
    EXPECT_EQ((qvcrash_async_dwarf_expression_eval<uint32_t, int32_t>(&m32.mobj, kSelf, &state, kHost, b32.at(0), 0, 3,
                                                                       nullptr, 0, &r32)),
              QVCRASH_EINVAL);
}

// ---- the 32-bit fixture against readelf ----

namespace {

std::string fixturePath(const char* name) { return std::string(QUORVANE_TEST_DATA_DIR) + "/crashreporter/" + name; }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Section32 {
    uint32_t addr = 0, offset = 0, size = 0;
};

Section32 section32(std::string_view file, const char* name) {
    Elf32_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof(eh));
    auto sh = [&](unsigned i) {
        Elf32_Shdr s;
        std::memcpy(&s, file.data() + eh.e_shoff + i * sizeof(Elf32_Shdr), sizeof(s));
        return s;
    };
    const Elf32_Shdr names = sh(eh.e_shstrndx);
    for (unsigned i = 1; i < eh.e_shnum; ++i) {
        Elf32_Shdr s = sh(i);
        if (std::strcmp(file.data() + names.sh_offset + s.sh_name, name) == 0) return {s.sh_addr, s.sh_offset, s.sh_size};
    }
    return {};
}

}  // namespace

TEST(QVCrashAsyncDwarf, ThirtyTwoBitFixtureDecodesAsReadelfPrintsIt) {
    const std::string bytes = readFile(fixturePath("libqvfixture32.so"));
    // A 32-bit image's addresses fit 32 bits: its bytes go into the low 2 GiB.
    void* low = ::mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(low, MAP_FAILED);
    std::memcpy(low, bytes.data(), bytes.size());
    const std::string_view file(static_cast<const char*>(low), bytes.size());
    ASSERT_GT(file.size(), sizeof(Elf32_Ehdr));
    ASSERT_EQ(static_cast<uint8_t>(file[EI_CLASS]), ELFCLASS32);
    const Section32 eh = section32(file, ".eh_frame"), hdr = section32(file, ".eh_frame_hdr");
    ASSERT_NE(eh.size, 0u);
    ASSERT_NE(hdr.size, 0u);
    // The file's bytes stand in for the loaded image: an address here is the link address + slide.
    const uint64_t slide = reinterpret_cast<uintptr_t>(file.data()) - 0;
    ASSERT_EQ(eh.offset, eh.addr);  // the fixture's sections sit at their file offsets
    qvcrash_async_mobject_t section, table;
    ASSERT_EQ(MSqvcrash_async_mobject_init(&section, kSelf, slide + eh.addr, eh.size, true), QVCRASH_ESUCCESS);
    ASSERT_EQ(MSqvcrash_async_mobject_init(&table, kSelf, slide + hdr.addr, hdr.size, true), QVCRASH_ESUCCESS);
    dwarf_cfi_reader reader;
    reader.init(&section, kHost, false, false);

    // Every entry readelf lists, with its offset, length, CIE and range.
    const std::regex entryLine(R"(^([0-9a-f]{8}) ([0-9a-f]{8}) ([0-9a-f]{8}) (CIE|FDE cie=([0-9a-f]{8}) pc=([0-9a-f]+)\.\.([0-9a-f]+)))");
    const std::regex cieField(R"(^  (Code alignment factor|Data alignment factor|Return address column): +(-?\d+))");
    std::istringstream frames(readFile(fixturePath("libqvfixture32.frames.txt")));
    std::string line;
    size_t fdes = 0;
    qvcrash_async_dwarf_cie_info_t cie{};
    for (std::smatch m; std::getline(frames, line);) {
        if (std::regex_search(line, m, entryLine)) {
            const uint64_t at = section.task_address + std::stoull(m[1], nullptr, 16);
            if (m[4] == "CIE") {
                gnu_ehptr_reader<uint32_t> ptrs(kHost);
                ASSERT_EQ(qvcrash_async_dwarf_cie_info_init(&cie, &section, kHost, &ptrs, at), QVCRASH_ESUCCESS) << line;
                EXPECT_EQ(cie.cie_length, std::stoull(m[2], nullptr, 16));
                continue;
            }
            qvcrash_async_dwarf_fde_info_t fde;
            ASSERT_EQ(qvcrash_async_dwarf_fde_info_init<uint32_t>(&fde, &section, kHost, at, false), QVCRASH_ESUCCESS) << line;
            EXPECT_EQ(fde.fde_length, std::stoull(m[2], nullptr, 16)) << line;
            EXPECT_EQ(fde.cie_offset, std::stoull(m[5], nullptr, 16)) << line;
            EXPECT_EQ(fde.pc_start - slide, std::stoull(m[6], nullptr, 16)) << line;
            EXPECT_EQ(fde.pc_end - slide, std::stoull(m[7], nullptr, 16)) << line;
            // The search table and the linear walk find this entry for its first and last address.
            for (uint64_t pc : {fde.pc_start, fde.pc_end - 1}) {
                uint64_t found = 0;
                ASSERT_EQ(qvcrash_async_dwarf_eh_frame_hdr_search(&table, kHost, false, pc, &found), QVCRASH_ESUCCESS);
                EXPECT_EQ(found, at) << line;
                qvcrash_async_dwarf_fde_info_t walked;
                qvcrash_async_dwarf_cie_info_t itsCie{};  // decoded on the way, as the unwinder takes it
                ASSERT_EQ(reader.find_fde(0, pc, &walked, &itsCie), QVCRASH_ESUCCESS);
                EXPECT_EQ(walked.fde_offset, fde.fde_offset);
                EXPECT_EQ(itsCie.cie_length, cie.cie_length) << line;
                EXPECT_EQ(itsCie.return_address_register, cie.return_address_register) << line;
            }
            ++fdes;
        } else if (std::regex_search(line, m, cieField)) {
            const long long v = std::stoll(m[2]);
            const int64_t got = m[1] == "Code alignment factor"   ? static_cast<int64_t>(cie.code_alignment_factor)
                                : m[1] == "Data alignment factor" ? cie.data_alignment_factor
                                                                  : static_cast<int64_t>(cie.return_address_register);
            EXPECT_EQ(got, v) << line;
        }
    }
    EXPECT_EQ(fdes, 6u);

    // Every row of readelf's interpreted table: the CFA rule and each register's rule at that address.
    const char* names[] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi", "ra"};
    std::istringstream interp(readFile(fixturePath("libqvfixture32.frames-interp.txt")));
    std::vector<std::string> columns;
    bool inCie = false;
    size_t rows = 0;
    const std::regex row(R"(^([0-9a-f]{8}) (\S+)\s+(.*)$)");
    for (std::smatch m; std::getline(interp, line);) {
        if (line.rfind("   LOC", 0) == 0) {
            std::istringstream h(line);
            columns.clear();
            for (std::string c; h >> c;) columns.push_back(c);
            continue;
        }
        if (line.find(" FDE ") != std::string::npos || line.find(" CIE ") != std::string::npos) {
            inCie = line.find(" CIE ") != std::string::npos;
            columns.clear();
            continue;
        }
        if (inCie || columns.empty() || !std::regex_match(line, m, row)) continue;
        const uint64_t pc = slide + std::stoull(m[1], nullptr, 16);
        qvcrash_async_dwarf_fde_info_t fde;
        ASSERT_EQ(reader.find_fde(0, pc, &fde), QVCRASH_ESUCCESS) << line;
        gnu_ehptr_reader<uint32_t> ptrs(kHost);
        ASSERT_EQ(qvcrash_async_dwarf_cie_info_init(&cie, &section, kHost, &ptrs, section.task_address + fde.cie_offset),
                  QVCRASH_ESUCCESS);
        dwarf_cfa_state<uint32_t, int32_t> state;
        ASSERT_EQ(state.eval_program(&section, static_cast<uint32_t>(pc), static_cast<uint32_t>(fde.pc_start), &cie, &ptrs,
                                     kHost, section.task_address, cie.initial_instructions_offset,
                                     cie.initial_instructions_length),
                  QVCRASH_ESUCCESS);
        ASSERT_EQ(state.eval_program(&section, static_cast<uint32_t>(pc), static_cast<uint32_t>(fde.pc_start), &cie, &ptrs,
                                     kHost, section.task_address, fde.instructions_offset, fde.instructions_length),
                  QVCRASH_ESUCCESS);
        const auto cfa = state.get_cfa_rule();
        if (m[2] == "exp") {
            // The PLT's CFA: esp + 4, plus 4 more past the push in each entry (pc & 15 >= 11). The
            // thread state here has esp = ebp, which holds whichever numbering the registers follow.
            ASSERT_EQ(cfa.type, DWARF_CFA_STATE_CFA_TYPE_EXPRESSION) << line;
            qvcrash_async_thread_state_t regs;
            MSqvcrash_async_thread_state_init(&regs, QVCRASH_CPU_TYPE_X86);
            MSqvcrash_async_thread_state_set_reg(&regs, QVCRASH_X86_ESP, 0x1000);
            MSqvcrash_async_thread_state_set_reg(&regs, QVCRASH_X86_EBP, 0x1000);
            MSqvcrash_async_thread_state_set_reg(&regs, QVCRASH_X86_EIP, static_cast<uint32_t>(pc));
            uint32_t value = 0;
            ASSERT_EQ((qvcrash_async_dwarf_expression_eval<uint32_t, int32_t>(&section, kSelf, &regs, kHost,
                                                                               cfa.expression_address, 0,
                                                                               static_cast<int64_t>(cfa.expression_length),
                                                                               nullptr, 0, &value)),
                      QVCRASH_ESUCCESS);
            EXPECT_EQ(value, 0x1004u + ((static_cast<uint32_t>(pc) & 15) >= 11 ? 4u : 0u)) << line;
        } else {
            ASSERT_NE(cfa.type, DWARF_CFA_STATE_CFA_TYPE_EXPRESSION) << line;
            EXPECT_EQ(std::string(names[cfa.regnum]) + "+" + std::to_string(static_cast<int32_t>(cfa.offset)), m[2].str()) << line;
        }
        std::istringstream rules(m[3].str());
        for (size_t c = 2; c < columns.size(); ++c) {
            std::string expected;
            rules >> expected;
            uint32_t regnum = 0;
            while (regnum < 9 && columns[c] != names[regnum]) ++regnum;
            ASSERT_LT(regnum, 9u) << columns[c];
            qvcrash_dwarf_cfa_reg_rule_t rule;
            uint32_t value;
            const std::string got = state.get_register_rule(regnum == 8 ? cie.return_address_register : regnum, &rule, &value)
                                        ? "c" + std::to_string(static_cast<int32_t>(value))
                                        : "u";
            EXPECT_EQ(got, expected) << line << " column " << columns[c];
        }
        ++rows;
    }
    EXPECT_GT(rows, 20u);
    MSqvcrash_async_mobject_free(&section);
    MSqvcrash_async_mobject_free(&table);
    ::munmap(low, bytes.size());
}

// ---- damaged call-frame information never faults ----

TEST(QVCrashAsyncDwarf, MutatedCallFrameInformationNeverFaults) {
    // A well-formed section: CIEs with every augmentation, FDEs with expressions, remember/restore
    // and every opcode class; then 20,000 deterministic mutations of it run through the whole
    // reader: search, CIE, both programs and the application to a thread state.
    Bytes seed;
    const size_t c1 = cie(seed, "zR", {0x1B}, {0x0C, 0x07, 0x08, 0x90, 0x01});
    const uint64_t code = seed.at(0) + 0x8000;
    fde(seed, c1, code, 0x40, {0x41, 0x0E, 0x10, 0x86, 0x02, 0x0A, 0x41, 0x0D, 0x06, 0x0B, 0x10, 0x03, 0x02, 0x77, 0x08, 0x0F, 0x03, 0x77, 0x10, 0x06});
    const size_t c2 = cie(seed, "zRS", {0x1B}, {0x0C, 0x07, 0x10});
    fde(seed, c2, code + 0x40, 0x40, {0x16, 0x10, 0x04, 0x77, 0x00, 0x06, 0x00, 0x12, 0x07, 0x7E, 0x13, 0x7F, 0x15, 0x03, 0x7F, 0x14, 0x0C, 0x02, 0x09, 0x03, 0x0C, 0x07, 0x08, 0x07, 0x0C, 0x08, 0x0F});
    fde(seed, c1, code + 0x80, 0x40, {0x02, 0x01, 0x03, 0x01, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x05, 0x0D, 0x02, 0x11, 0x0E, 0x7E, 0xC6, 0x06, 0x0E});
    seed.u32(0);

    uint64_t stackWords[64];
    for (auto& w : stackWords) w = reinterpret_cast<uintptr_t>(&stackWords[32]);
    auto state = x86_64State();
    MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_X86_64_RSP, reinterpret_cast<uintptr_t>(&stackWords[16]));
    MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_X86_64_RBP, reinterpret_cast<uintptr_t>(&stackWords[32]));

    uint64_t lcg = 0x9E3779B97F4A7C15;
    auto next = [&lcg] { lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL; return lcg >> 33; };
    size_t decoded = 0, applied = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes b = seed;
        const int flips = 1 + static_cast<int>(next() % 4);
        for (int i = 0; i < flips; ++i) {
            const size_t at = next() % b.size;
            switch (next() % 3) {
                case 0: b.data[at] ^= static_cast<uint8_t>(1u << (next() % 8)); break;
                case 1: b.data[at] = static_cast<uint8_t>(next()); break;
                default: b.size = at + 1; break;  // truncation
            }
        }
        Mapped m(b);
        dwarf_cfi_reader reader;
        reader.init(&m.mobj, kHost, true, false);
        qvcrash_async_dwarf_fde_info_t f;
        const uint64_t pc = b.at(0) + (code - seed.at(0)) + next() % 0xC0;  // the copy's own addresses
        if (reader.find_fde(0, pc, &f) != QVCRASH_ESUCCESS) continue;
        gnu_ehptr_reader<uint64_t> ptrs(kHost);
        qvcrash_async_dwarf_cie_info_t c;
        if (qvcrash_async_dwarf_cie_info_init(&c, &m.mobj, kHost, &ptrs, m.mobj.task_address + f.cie_offset)) continue;
        ++decoded;
        State64 s;
        if (s.eval_program(&m.mobj, pc, f.pc_start, &c, &ptrs, kHost, m.mobj.task_address, c.initial_instructions_offset,
                           c.initial_instructions_length) ||
            s.eval_program(&m.mobj, pc, f.pc_start, &c, &ptrs, kHost, m.mobj.task_address, f.instructions_offset,
                           f.instructions_length)) {
            continue;
        }
        qvcrash_async_thread_state_t out;
        if (s.apply_state(kSelf, &c, &state, kHost, &out, &m.mobj) == QVCRASH_ESUCCESS) ++applied;
    }
    EXPECT_GT(decoded, 1000u);
    EXPECT_GT(applied, 100u);
}
