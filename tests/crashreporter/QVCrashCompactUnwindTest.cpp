// The compact unwind reader: encodings decoded and applied to synthetic stacks (the caller's
// registers worked out by hand from the function's prologue), the section's lookup over
// compressed pages (linked) and regular pages (by hand), and the cursor walking a linked call
// chain and handing a DWARF-mode entry to the DWARF reader.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncCompactUnwind.h"
#include "crashreporter/capture/QVCrashAsyncImageList.h"
#include "tests/crashreporter/MachOFixtures.h"

using namespace quorvane;

using namespace machofixtures;

namespace {

const qvcrash_task_t kSelf = quorvane::platform::crash::taskSelf();
constexpr uint32_t kX64 = QVCRASH_CPU_TYPE_X86_64;
constexpr uint32_t NONE = QVCRASH_ASYNC_CFE_REG_NONE;

qvcrash_async_thread_state_t state64(std::map<qvcrash_regnum_t, uint64_t> regs) {
    qvcrash_async_thread_state_t s;
    MSqvcrash_async_thread_state_init(&s, kX64);
    for (auto [r, v] : regs) MSqvcrash_async_thread_state_set_reg(&s, r, v);
    return s;
}

uint64_t reg(const qvcrash_async_thread_state_t& s, qvcrash_regnum_t r) {
    return MSqvcrash_async_thread_state_has_reg(&s, r) ? MSqvcrash_async_thread_state_get_reg(&s, r) : ~0ULL;
}

uint64_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace

TEST(QVCrashCompactUnwind, DecodesAndEncodesRegisterPermutations) {
    uint32_t regs[6];
    ASSERT_EQ(MSqvcrash_async_cfe_register_decode(0, 3, regs), QVCRASH_ESUCCESS);
    EXPECT_EQ((std::vector<uint32_t>{regs, regs + 3}), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(MSqvcrash_async_cfe_register_decode(0, 7, regs), QVCRASH_EINVAL);
    EXPECT_EQ(MSqvcrash_async_cfe_register_decode(6, 1, regs), QVCRASH_EINVAL);  // no seventh register
    EXPECT_EQ(MSqvcrash_async_cfe_register_decode(0, 0, regs), QVCRASH_ESUCCESS);

    // Every ordered choice of 1 to 6 distinct registers survives encoding and decoding.
    for (uint32_t count = 1; count <= 6; ++count) {
        std::vector<uint32_t> pick(count);
        std::function<void(uint32_t, uint32_t)> choose = [&](uint32_t at, uint32_t used) {
            if (at == count) {
                const uint32_t permutation = MSqvcrash_async_cfe_register_encode(pick.data(), count);
                ASSERT_LT(permutation, 1u << 10);
                uint32_t back[6];
                ASSERT_EQ(MSqvcrash_async_cfe_register_decode(permutation, count, back), QVCRASH_ESUCCESS);
                ASSERT_EQ((std::vector<uint32_t>{back, back + count}), pick) << permutation;
                return;
            }
            for (uint32_t r = 1; r <= 6; ++r) {
                if (used & (1u << r)) continue;
                pick[at] = r;
                choose(at + 1, used | (1u << r));
            }
        };
        choose(0, 0);
    }
}

TEST(QVCrashCompactUnwind, DecodesEveryModeOfEachProcessor) {
    struct Case {
        uint32_t cpu, encoding;
        qvcrash_error_t err;
        qvcrash_async_cfe_type_t type;
        int64_t offset;
        uint32_t adjust, ra;
        std::vector<uint32_t> regs;
    } cases[] = {
        {kX64, 0x00000000, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_NONE, 0, 0, NONE, {}},
        // rbp frame, saved registers 2 words below rbp: rbx (1) then r14 (4).
        {kX64, 0x01020021, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR, -16, 0, NONE,
         {QVCRASH_X86_64_RBX, QVCRASH_X86_64_R14}},
        // Register field 8: slot 0 empty, slot 1 rbx.
        {kX64, 0x01010008, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR, -8, 0, NONE, {NONE, QVCRASH_X86_64_RBX}},
        // 48 bytes of stack; two registers, permutation 2: rbx, r14.
        {kX64, 0x02060802, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_IMMD, 48, 0, NONE,
         {QVCRASH_X86_64_RBX, QVCRASH_X86_64_R14}},
        // Size at offset 4 of the code, 16 more bytes; one register: rbx.
        {kX64, 0x03044400, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_INDIRECT, 4, 16, NONE, {QVCRASH_X86_64_RBX}},
        {kX64, 0x04001234, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_DWARF, 0x1234, 0, NONE, {}},
        {kX64, 0x05000000, QVCRASH_ENOTSUP},
        {kX64, 0x02000406, QVCRASH_EINVAL},  // one register, digit 6: there is no seventh
        // x86: ebp frame at -8 with ebx, ecx (4-byte words).
        {QVCRASH_CPU_TYPE_X86, 0x01020011, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR, -8, 0, NONE,
         {QVCRASH_X86_EBX, QVCRASH_X86_ECX}},
        {QVCRASH_CPU_TYPE_X86, 0x02030400, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_IMMD, 12, 0, NONE,
         {QVCRASH_X86_EBX}},
        {QVCRASH_CPU_TYPE_X86, 0x0308E400, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_INDIRECT, 8, 28, NONE,
         {QVCRASH_X86_EBX}},
        // ARM64: a frameless function with x19/x20 saved, return address in lr (32).
        {QVCRASH_CPU_TYPE_ARM64, 0x02001001, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_IMMD, 16, 0, 32, {23, 22}},
        {QVCRASH_CPU_TYPE_ARM64, 0x04000012, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR, -32, 0, NONE,
         {31, 30, 25, 24}},
        {QVCRASH_CPU_TYPE_ARM64, 0x03000040, QVCRASH_ESUCCESS, QVCRASH_ASYNC_CFE_TYPE_DWARF, 0x40, 0, NONE, {}},
        {QVCRASH_CPU_TYPE_ARM64, 0x01000000, QVCRASH_ENOTSUP},
        {18, 0x01000000, QVCRASH_ENOTSUP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.cpu << " 0x" << c.encoding);
        qvcrash_async_cfe_entry_t entry;
        ASSERT_EQ(MSqvcrash_async_cfe_entry_init(&entry, c.cpu, c.encoding), c.err);
        if (c.err != QVCRASH_ESUCCESS) continue;
        EXPECT_EQ(MSqvcrash_async_cfe_entry_type(&entry), c.type);
        EXPECT_EQ(MSqvcrash_async_cfe_entry_stack_offset(&entry), c.offset);
        EXPECT_EQ(MSqvcrash_async_cfe_entry_stack_adjust(&entry), c.adjust);
        EXPECT_EQ(MSqvcrash_async_cfe_entry_return_address_register(&entry), c.ra);
        std::vector<uint32_t> regs(MSqvcrash_async_cfe_entry_register_count(&entry));
        MSqvcrash_async_cfe_entry_register_list(&entry, regs.data());
        EXPECT_EQ(regs, c.regs);
    }
}

// Each encoding applied to a stack laid out as its function's prologue leaves it; the expected
// registers are worked out from that layout.
TEST(QVCrashCompactUnwind, AppliesEachEncodingToAThreadState) {
    std::vector<uint64_t> stack(1024, 0);
    uint64_t* s = stack.data() + 512;  // the current stack pointer
    const uint64_t sp = addr(s);
    // Code of a function whose stack size is the immediate at offset 4 (subq $5008, %rsp).
    const uint8_t code[] = {0x53, 0x48, 0x81, 0xEC, 0x90, 0x13, 0x00, 0x00};

    struct Case {
        const char* what;
        uint32_t encoding;
        std::map<qvcrash_regnum_t, uint64_t> current;
        std::vector<std::pair<int, uint64_t>> stackWords;  // index from sp, value
        std::map<qvcrash_regnum_t, uint64_t> expected;
        qvcrash_error_t err = QVCRASH_ESUCCESS;
    } cases[] = {
        // push rbp; mov rsp,rbp; push r14; push rbx: rbp = sp + 16.
        {"frame based", 0x01020021, {{QVCRASH_REG_SP, sp}, {QVCRASH_REG_FP, sp + 16}, {QVCRASH_X86_64_RAX, 9}},
         {{0, 0xB0}, {1, 0xE0}, {2, 0xF00D}, {3, 0x4000}},
         {{QVCRASH_REG_IP, 0x4000}, {QVCRASH_REG_FP, 0xF00D}, {QVCRASH_REG_SP, sp + 32}, {QVCRASH_X86_64_RBX, 0xB0},
          {QVCRASH_X86_64_R14, 0xE0}, {QVCRASH_X86_64_RAX, ~0ULL}}},
        // Slot 0 empty, rbx in slot 1: one word below rbp.
        {"frame based, empty slot", 0x01020008, {{QVCRASH_REG_SP, sp}, {QVCRASH_REG_FP, sp + 16}},
         {{1, 0xB1}, {2, 0xF00D}, {3, 0x4001}},
         {{QVCRASH_REG_IP, 0x4001}, {QVCRASH_REG_FP, 0xF00D}, {QVCRASH_REG_SP, sp + 32}, {QVCRASH_X86_64_RBX, 0xB1}}},
        // push r14; push rbx; sub $24: rbx at sp+24, r14 at sp+32, return address at sp+40.
        {"frameless immediate", 0x02060802, {{QVCRASH_REG_SP, sp}, {QVCRASH_REG_FP, 0xAB}},
         {{3, 0xB2}, {4, 0xE2}, {5, 0x4002}},
         {{QVCRASH_REG_IP, 0x4002}, {QVCRASH_REG_SP, sp + 48}, {QVCRASH_REG_FP, 0xAB}, {QVCRASH_X86_64_RBX, 0xB2},
          {QVCRASH_X86_64_R14, 0xE2}}},
        // A leaf: the return address is at the stack pointer.
        {"frameless, size 8, no registers", 0x02010000, {{QVCRASH_REG_SP, sp}}, {{0, 0x4003}},
         {{QVCRASH_REG_IP, 0x4003}, {QVCRASH_REG_SP, sp + 8}}},
        // push rbx; sub $5008: rbx at sp+5008, return address at sp+5016.
        {"frameless indirect", 0x03044400, {{QVCRASH_REG_SP, sp}}, {{5008 / 8, 0xB3}, {5016 / 8, 0x4004}},
         {{QVCRASH_REG_IP, 0x4004}, {QVCRASH_REG_SP, sp + 5024}, {QVCRASH_X86_64_RBX, 0xB3}}},
        {"frame based without a frame pointer", 0x01020021, {{QVCRASH_REG_SP, sp}}, {}, {}, QVCRASH_ENOTFOUND},
        {"frameless without a stack pointer", 0x02060802, {{QVCRASH_REG_FP, sp}}, {}, {}, QVCRASH_ENOTFOUND},
        {"frame pointer at the top of memory", 0x01020021, {{QVCRASH_REG_SP, sp}, {QVCRASH_REG_FP, ~0ULL - 8}}, {}, {},
         QVCRASH_EINVAL},
        {"a DWARF entry", 0x04000010, {{QVCRASH_REG_SP, sp}}, {}, {}, QVCRASH_ENOTSUP},
        {"no information", 0x00000000, {{QVCRASH_REG_SP, sp}}, {}, {}, QVCRASH_ENOTSUP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(stack.begin(), stack.end(), 0);
        std::vector<uint64_t> big;
        uint64_t base = sp;
        // The indirect case needs a stack of 5 KB.
        if (c.encoding == 0x03044400) {
            big.assign(1024, 0);
            base = addr(big.data());
        }
        for (auto [i, v] : c.stackWords) reinterpret_cast<uint64_t*>(base)[i] = v;
        auto current = c.current;
        for (auto& [r, v] : current) {
            if (base != sp && (r == QVCRASH_REG_SP)) v = base;
        }
        qvcrash_async_thread_state_t from = state64(current), to;
        qvcrash_async_cfe_entry_t entry;
        ASSERT_EQ(MSqvcrash_async_cfe_entry_init(&entry, kX64, c.encoding), QVCRASH_ESUCCESS);
        ASSERT_EQ(MSqvcrash_async_cfe_entry_apply(kSelf, addr(code), &from, &entry, &to), c.err);
        if (c.err != QVCRASH_ESUCCESS) continue;
        EXPECT_TRUE(to.ip_is_return_address);
        for (auto [r, v] : c.expected) {
            const uint64_t want = (base != sp && r == QVCRASH_REG_SP) ? base + (v - sp) : v;
            EXPECT_EQ(reg(to, r), want) << MSqvcrash_async_thread_state_get_reg_name(&to, r);
        }
    }
}

TEST(QVCrashCompactUnwind, AppliesA32BitFrameWithFourByteWords) {
    Pages low(4096, true);  // a 32-bit thread's stack holds 32-bit addresses
    auto* stack = reinterpret_cast<uint32_t*>(low.data());
    const uint64_t sp = low.address();
    // push ebp; mov esp,ebp; push ebx: ebp = sp + 4; ebx at ebp-4.
    stack[0] = 0xB5;
    stack[1] = 0xF00D;
    stack[2] = 0x5000;
    qvcrash_async_thread_state_t from, to;
    MSqvcrash_async_thread_state_init(&from, QVCRASH_CPU_TYPE_X86);
    MSqvcrash_async_thread_state_set_reg(&from, QVCRASH_REG_SP, sp);
    MSqvcrash_async_thread_state_set_reg(&from, QVCRASH_REG_FP, sp + 4);
    qvcrash_async_cfe_entry_t entry;
    ASSERT_EQ(MSqvcrash_async_cfe_entry_init(&entry, QVCRASH_CPU_TYPE_X86, 0x01010001), QVCRASH_ESUCCESS);
    ASSERT_EQ(MSqvcrash_async_cfe_entry_apply(kSelf, 0, &from, &entry, &to), QVCRASH_ESUCCESS);
    EXPECT_EQ(reg(to, QVCRASH_REG_IP), 0x5000u);
    EXPECT_EQ(reg(to, QVCRASH_REG_FP), 0xF00Du);
    EXPECT_EQ(reg(to, QVCRASH_REG_SP), sp + 12);
    EXPECT_EQ(reg(to, QVCRASH_X86_EBX), 0xB5u);
}

namespace {

// An __unwind_info section by hand: common encodings, a first-level index of two pages and
// the sentinel, then a regular page and a compressed page.
struct HandMadeUnwindInfo {
    std::vector<uint8_t> bytes;
    void u32(uint32_t v) { bytes.insert(bytes.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); }
    void u16(uint16_t v) { bytes.insert(bytes.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 2); }
    HandMadeUnwindInfo() {
        // header: version, common at 28 (2), personalities at 36 (0), index at 36 (3)
        for (uint32_t v : {1u, 28u, 2u, 36u, 0u, 36u, 3u}) u32(v);
        u32(0x01000000);  // common 0
        u32(0x02010000);  // common 1
        // index: function offset, page offset, LSDA offset
        for (uint32_t v : {0x1000u, 72u, 0u, 0x2000u, 112u, 0u, 0x3000u, 0u, 0u}) u32(v);
        // 72: a regular page: kind, entries at 8, 4 entries of (function, encoding)
        u32(2);
        u16(8);
        u16(4);
        for (uint32_t v : {0x1000u, 0x04000040u, 0x1100u, 0x00000000u, 0x1200u, 0x02020000u, 0x1300u, 0x01000000u})
            u32(v);
        // 112: a compressed page: kind, entries at 12 (3), encodings at 24 (2)
        u32(3);
        u16(12);
        u16(3);
        u16(24);
        u16(2);
        u32(0x00000000);  // 0x2000, common 0
        u32(0x02000010);  // 0x2010, index 2 = the page's first own encoding
        u32(0x03000020);  // 0x2020, the page's second
        u32(0x02030000);
        u32(0x02040000);
    }
};

}  // namespace

TEST(QVCrashCompactUnwind, FindsEntriesInRegularAndCompressedPages) {
    HandMadeUnwindInfo info;
    Pages pages(info.bytes.size());
    std::memcpy(pages.data(), info.bytes.data(), info.bytes.size());
    qvcrash_async_mobject_t mobj;
    ASSERT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, pages.address(), info.bytes.size(), true), QVCRASH_ESUCCESS);
    qvcrash_async_cfe_reader_t reader;
    ASSERT_EQ(MSqvcrash_async_cfe_reader_init(&reader, &mobj, kX64), QVCRASH_ESUCCESS);
    struct Case {
        uint64_t pc;
        qvcrash_error_t err;
        uint32_t function, encoding;
    } cases[] = {
        {0x0FFF, QVCRASH_ENOTFOUND},          // below the first index entry
        {0x1000, QVCRASH_ESUCCESS, 0x1000, 0x04000040},  // a DWARF entry
        {0x10FF, QVCRASH_ESUCCESS, 0x1000, 0x04000040},
        {0x1234, QVCRASH_ESUCCESS, 0x1200, 0x02020000},
        {0x1FFF, QVCRASH_ESUCCESS, 0x1300, 0x01000000},
        {0x2000, QVCRASH_ESUCCESS, 0x2000, 0x01000000},  // common encoding 0
        {0x2015, QVCRASH_ESUCCESS, 0x2010, 0x02030000},  // index = common count: the page's first
        {0x2020, QVCRASH_ESUCCESS, 0x2020, 0x02040000},
        {0x9000, QVCRASH_ESUCCESS, 0x2020, 0x02040000},  // beyond the sentinel: the last real entry
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pc);
        uint32_t function = 0, encoding = 0;
        ASSERT_EQ(MSqvcrash_async_cfe_reader_find_pc(&reader, c.pc, &function, &encoding), c.err);
        if (c.err != QVCRASH_ESUCCESS) continue;
        EXPECT_EQ(function, c.function);
        EXPECT_EQ(encoding, c.encoding);
    }
    MSqvcrash_async_mobject_free(&mobj);

    // Damaged sections: each gives its code.
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        qvcrash_error_t init, find;
    } damages[] = {
        {"version 2", 0, 2, QVCRASH_ENOTSUP},
        {"common table outside", 8, 0x10000, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"empty index", 24, 0, QVCRASH_ESUCCESS, QVCRASH_ENOTFOUND},
        {"only the sentinel", 24, 1, QVCRASH_ESUCCESS, QVCRASH_ENOTFOUND},
        {"index outside", 24, 1000, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"page outside", 40, 5000, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"unknown page kind", 72, 4, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"regular entries outside", 76, 0x00FF0008, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"empty regular page", 76, 0x00000008, QVCRASH_ESUCCESS, QVCRASH_ENOTFOUND},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> bytes = info.bytes;
        std::memcpy(bytes.data() + d.at, &d.value, 4);
        Pages damaged(bytes.size());
        std::memcpy(damaged.data(), bytes.data(), bytes.size());
        ASSERT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, damaged.address(), bytes.size(), true), QVCRASH_ESUCCESS);
        ASSERT_EQ(MSqvcrash_async_cfe_reader_init(&reader, &mobj, kX64), d.init);
        uint32_t function, encoding;
        if (d.init == QVCRASH_ESUCCESS) EXPECT_EQ(MSqvcrash_async_cfe_reader_find_pc(&reader, 0x1010, &function, &encoding), d.find);
        MSqvcrash_async_mobject_free(&mobj);
    }
    ASSERT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, pages.address(), 20, true), QVCRASH_ESUCCESS);
    EXPECT_EQ(MSqvcrash_async_cfe_reader_init(&reader, &mobj, kX64), QVCRASH_EINVAL);  // header cut short
    EXPECT_EQ(MSqvcrash_async_cfe_reader_init(&reader, &mobj, 18), QVCRASH_ENOTSUP);
    MSqvcrash_async_mobject_free(&mobj);
}

namespace {

struct ImageList {
    qvcrash_async_image_list_t list;
    ImageList() { MSqvcrash_nasync_image_list_init(&list, kSelf); }
    ~ImageList() { MSqvcrash_nasync_image_list_free(&list); }
};

uint64_t symbol(qvcrash_async_image_list_t* list, const char* name) {
    MSqvcrash_nasync_image_list_set_reading(list, true);
    qvcrash_async_macho_t* image = MSqvcrash_nasync_image_list_next(list, nullptr);
    uint64_t address = 0;
    EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, name, &address), QVCRASH_ESUCCESS) << name;
    MSqvcrash_nasync_image_list_set_reading(list, false);
    return address;
}

}  // namespace

// The linked call chain: frame-based calls frameless-immediate calls frameless-indirect. The
// walk starts in the innermost function at its call and recovers each caller's registers.
TEST(QVCrashCompactUnwind, WalksALinkedCallChain) {
    QV_REQUIRE_MACHO_FIXTURES();
    LoadedImage loaded = loadDylib(fixtureDirectory() + "/libqvunwind.dylib");
    ImageList images;
    MSqvcrash_nasync_image_list_append(&images.list, loaded.header, "libqvunwind.dylib");
    const uint64_t frameBased = symbol(&images.list, "_qv_frame_based");
    const uint64_t immediate = symbol(&images.list, "_qv_frameless_immediate");
    const uint64_t indirect = symbol(&images.list, "_qv_frameless_indirect");
    const auto* returns = reinterpret_cast<const uint64_t*>(symbol(&images.list, "_qv_return_offsets"));

    // The stack as the three prologues leave it, from the innermost frame up.
    std::vector<uint64_t> stack(2048, 0);
    uint64_t* s0 = stack.data() + 16;  // frameless indirect: 5008 bytes, rbx, return
    s0[5008 / 8] = 0xB0B0;             // rbx of frameless immediate
    s0[5016 / 8] = immediate + returns[1];
    uint64_t* s1 = s0 + 5024 / 8;  // frameless immediate: 24 bytes, rbx, r14, return
    s1[3] = 0xB1B1;                // rbx of the frame-based function
    s1[4] = 0xE1E1;                // r14 of the frame-based function
    s1[5] = frameBased + returns[0];
    uint64_t* s2 = s1 + 6;  // frame based: rbx, r14, rbp, return
    s2[0] = 0xB2B2;
    s2[1] = 0xE2E2;
    s2[2] = 0;  // the outermost frame pointer
    s2[3] = 0x7777000;
    const uint64_t rbp = addr(s2 + 2);

    qvcrash_async_thread_state_t start = state64({{QVCRASH_REG_IP, indirect + returns[2] - 5},
                                                  {QVCRASH_REG_SP, addr(s0)},
                                                  {QVCRASH_REG_FP, rbp},
                                                  {QVCRASH_X86_64_RBX, 0x1}});
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, kSelf, &start, &images.list);
    struct Expected {
        uint64_t ip, sp, fp, rbx, r14;
    } frames[] = {
        {indirect + returns[2] - 5, addr(s0), rbp, 0x1, ~0ULL},
        {immediate + returns[1], addr(s1), rbp, 0xB0B0, ~0ULL},
        {frameBased + returns[0], addr(s2), rbp, 0xB1B1, 0xE1E1},
        {0x7777000, addr(s2 + 4), 0, 0xB2B2, 0xE2E2},
    };
    for (const Expected& e : frames) {
        SCOPED_TRACE(cursor.depth);
        ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
        EXPECT_EQ(reg(cursor.frame, QVCRASH_REG_IP), e.ip);
        EXPECT_EQ(reg(cursor.frame, QVCRASH_REG_SP), e.sp);
        EXPECT_EQ(reg(cursor.frame, QVCRASH_REG_FP), e.fp);
        EXPECT_EQ(reg(cursor.frame, QVCRASH_X86_64_RBX), e.rbx);
        EXPECT_EQ(reg(cursor.frame, QVCRASH_X86_64_R14), e.r14);
    }
    MSqvframe_cursor_free(&cursor);
}

// A function whose entry defers to DWARF: the compact reader steps aside, the DWARF reader
// unwinds it from the image's __eh_frame. (The linker here writes no DWARF-mode entries.)
TEST(QVCrashCompactUnwind, HandsDwarfEntriesToTheDwarfReader) {
    MachOBuilder b(true, false, kX64);
    const size_t text = b.addSection("__TEXT", "__text", 0x40);
    const size_t unwind = b.addSection("__TEXT", "__unwind_info", 80);
    const size_t eh = b.addSection("__TEXT", "__eh_frame", 64);
    b.layout();
    const uint64_t base = b.linkBase(), fn = b.section(text).addr, ehAt = b.section(eh).addr;
    // The CIE: length, id 0, version 1, "zR", code 1, data -8, return column 16, augmentation
    // length 1, pointers pc-relative 4-byte; CFA = rsp + 8, return address at CFA - 8.
    std::vector<uint8_t>& e = b.section(eh).data;
    const uint8_t cie[] = {0x14, 0, 0, 0, 0, 0, 0, 0, 1, 'z', 'R', 0, 1, 0x78, 16, 1, 0x1B, 0x0C, 7, 8, 0x90, 1, 0, 0};
    std::memcpy(e.data(), cie, sizeof cie);
    // The FDE for the function (0x10 bytes): after one byte, CFA = rsp + 16 and rbx at CFA - 16.
    const uint8_t fde[] = {0x1C, 0, 0, 0, 0x1C, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0x41, 0x0E, 0x10, 0x83, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(e.data() + 24, fde, sizeof fde);
    const int32_t pcBegin = int32_t(fn - (ehAt + 24 + 8));
    std::memcpy(e.data() + 24 + 8, &pcBegin, 4);
    // __unwind_info: no common encodings, one regular page: the function in DWARF mode (its FDE
    // at offset 24), then the rest of the text without information.
    std::vector<uint8_t>& u = b.section(unwind).data;
    const uint32_t fnOffset = uint32_t(fn - base);
    const uint32_t words[] = {1, 28, 0, 28, 0, 28, 2, fnOffset, 52, 0, fnOffset + 0x40, 0, 0, 2, 0x00020008,
                              fnOffset, 0x04000018, fnOffset + 0x10, 0};
    std::memcpy(u.data(), words, sizeof words);
    b.addSymbol({"_dwarf_function", 0x0F, 1, 0, fn});
    const std::vector<uint8_t> bytes = b.build();
    Pages pages(bytes.size());
    std::memcpy(pages.data(), bytes.data(), bytes.size());
    ImageList images;
    MSqvcrash_nasync_image_list_append(&images.list, pages.address(), "dwarf.dylib");
    const uint64_t slide = pages.address() - base;

    std::vector<uint64_t> stack(8, 0);
    stack[0] = 0xBBBB;  // rbx, pushed first
    stack[1] = 0x6000;  // the return address
    qvcrash_async_thread_state_t start = state64(
        {{QVCRASH_REG_IP, fn + slide + 4}, {QVCRASH_REG_SP, addr(stack.data())}, {QVCRASH_REG_FP, 0x99}});

    // The compact reader alone declines.
    qvcrash_async_thread_state_t next;
    static qvcrash_async_page_cache_t memory;
    MSqvcrash_async_page_cache_init(&memory, kSelf);
    EXPECT_EQ(MSqvframe_cursor_read_compact_unwind(&memory, &images.list, &start, nullptr, &next), QVFRAME_ENOFRAME);
    // The cursor's list unwinds it through DWARF.
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, kSelf, &start, &images.list);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    EXPECT_EQ(reg(cursor.frame, QVCRASH_REG_IP), 0x6000u);
    EXPECT_EQ(reg(cursor.frame, QVCRASH_REG_SP), addr(stack.data() + 2));
    EXPECT_EQ(reg(cursor.frame, QVCRASH_X86_64_RBX), 0xBBBBu);
    // A pc in the part without information: the compact reader says there is no frame.
    start = state64({{QVCRASH_REG_IP, fn + slide + 0x20}, {QVCRASH_REG_SP, addr(stack.data())}});
    EXPECT_EQ(MSqvframe_cursor_read_compact_unwind(&memory, &images.list, &start, nullptr, &next), QVFRAME_ENOFRAME);
    MSqvframe_cursor_free(&cursor);
}
