// The crash engine's DWARF call-frame readers over damaged call-frame information: the entry
// search, the CIE and FDE decoders, both programs, the rules applied to a thread state, the
// .eh_frame_hdr search and the expression evaluator. Input: one byte of flags (bit 0: 32-bit
// image, bit 1: .debug_frame), four bytes of the pc's offset from the section (little-endian,
// signed), then the section. The section sits in the low 2 GiB so 32-bit addresses reach it.
// Every call ends with a result code; an entry found covers the pc and its instructions lie
// inside the section.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crashreporter/capture/QVCrashAsyncDwarfCFAState.h"
#include "fuzz/FuzzCheck.h"
#include "platform/crash/TaskMemory.h"

using namespace quorvane;
using namespace quorvane::qvcrash::MS::async;

namespace {

constexpr size_t kMaxSection = 65536;

uint8_t* sectionBuffer() {
    static uint8_t* buffer = static_cast<uint8_t*>(
        mmap(nullptr, kMaxSection, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
    FUZZ_CHECK(buffer != MAP_FAILED, "the section buffer is mapped");
    return buffer;
}

template <typename P, typename S>
void walk(const qvcrash_async_mobject_t* section, bool debug_frame, uint64_t pc,
          const qvcrash_async_thread_state_t* regs) {
    const auto* byteorder = MSqvcrash_async_byteorder_direct();
    const uint64_t base = MSqvcrash_async_mobject_base_address(section);
    const uint64_t length = MSqvcrash_async_mobject_length(section);
    dwarf_cfi_reader reader;
    reader.init(section, byteorder, sizeof(P) == 8, debug_frame);
    qvcrash_async_dwarf_fde_info_t fde;
    if (reader.find_fde(0, pc, &fde) != QVCRASH_ESUCCESS) return;
    FUZZ_CHECK(fde.pc_start <= pc && pc < fde.pc_end, "the entry found covers the pc");
    FUZZ_CHECK(fde.instructions_offset <= length && fde.instructions_length <= length - fde.instructions_offset,
               "the entry's instructions lie inside the section");
    gnu_ehptr_reader<P> pointers(byteorder);
    qvcrash_async_dwarf_cie_info_t cie;
    if (qvcrash_async_dwarf_cie_info_init<P>(&cie, section, byteorder, &pointers, base + fde.cie_offset)) return;
    FUZZ_CHECK(cie.initial_instructions_offset <= length &&
                   cie.initial_instructions_length <= length - cie.initial_instructions_offset,
               "the CIE's instructions lie inside the section");
    dwarf_cfa_state<P, S> state;
    if (state.eval_program(section, static_cast<P>(pc), static_cast<P>(fde.pc_start), &cie, &pointers, byteorder, base,
                           cie.initial_instructions_offset, cie.initial_instructions_length) ||
        state.eval_program(section, static_cast<P>(pc), static_cast<P>(fde.pc_start), &cie, &pointers, byteorder, base,
                           fde.instructions_offset, fde.instructions_length)) {
        return;
    }
    constexpr unsigned kEntries = dwarf_cfa_state<P, S>::kEntries;
    FUZZ_CHECK(state.get_register_count() + state.free_entry_count() <= kEntries, "rule entries are never counted twice");
    qvcrash_async_thread_state_t next;
    state.apply_state(quorvane::platform::crash::taskSelf(), &cie, regs, byteorder, &next, section);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6 || size - 5 > kMaxSection) return 0;
    const bool m32 = data[0] & 1, debug_frame = data[0] & 2;
    int32_t pcOffset;
    std::memcpy(&pcOffset, data + 1, 4);
    uint8_t* buffer = sectionBuffer();
    std::memcpy(buffer, data + 5, size - 5);
    const uint64_t start = reinterpret_cast<uintptr_t>(buffer);

    // A stack whose words point back into it, so saved slots and dereferences stay readable.
    static uint64_t stack[64];
    for (auto& word : stack) word = reinterpret_cast<uintptr_t>(&stack[32]);
    qvcrash_async_thread_state_t regs;
    MSqvcrash_async_thread_state_init(&regs, m32 ? QVCRASH_CPU_TYPE_X86 : QVCRASH_CPU_TYPE_X86_64);
    const size_t count = MSqvcrash_async_thread_state_get_reg_count(&regs);
    for (size_t r = 0; r < count; ++r) {
        MSqvcrash_async_thread_state_set_reg(&regs, static_cast<qvcrash_regnum_t>(r),
                                             reinterpret_cast<uintptr_t>(&stack[16 + r]));
    }

    qvcrash_async_mobject_t section;
    if (MSqvcrash_async_mobject_init(&section, quorvane::platform::crash::taskSelf(), start, size - 5, true)) return 0;
    const uint64_t pc = start + static_cast<uint64_t>(static_cast<int64_t>(pcOffset));
    if (m32) {
        walk<uint32_t, int32_t>(&section, debug_frame, pc & 0xFFFFFFFFu, &regs);
    } else {
        walk<uint64_t, int64_t>(&section, debug_frame, pc, &regs);
    }
    // The same bytes as a search table and as one expression.
    uint64_t fde = 0;
    qvcrash_async_dwarf_eh_frame_hdr_search(&section, MSqvcrash_async_byteorder_direct(), !m32, pc, &fde);
    uint64_t result = 0;
    qvcrash_async_dwarf_expression_eval<uint64_t, int64_t>(&section, quorvane::platform::crash::taskSelf(), &regs,
                                                           MSqvcrash_async_byteorder_direct(), start, 0,
                                                           static_cast<int64_t>(size - 5), nullptr, 0, &result);
    MSqvcrash_async_mobject_free(&section);
    return 0;
}
