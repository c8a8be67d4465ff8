#include "crashreporter/capture/QVCrashAsyncThread.h"

#include <sys/ucontext.h>

#include <cstddef>
#include <cstdlib>

#include "platform/crash/Threads.h"

namespace quorvane {

namespace {

struct RegisterPair {
    qvcrash_regnum_t regnum;
    uint64_t dwarf;
};

const RegisterPair kX86DwarfTable[] = {
    {QVCRASH_X86_EAX, 0}, {QVCRASH_X86_ECX, 1}, {QVCRASH_X86_EDX, 2}, {QVCRASH_X86_EBX, 3}, {QVCRASH_X86_EBP, 4},
    {QVCRASH_X86_ESP, 5}, {QVCRASH_X86_ESI, 6}, {QVCRASH_X86_EDI, 7}, {QVCRASH_X86_EIP, 8},
};

const RegisterPair kX86_64DwarfTable[] = {
    {QVCRASH_X86_64_RAX, 0},     {QVCRASH_X86_64_RDX, 1},  {QVCRASH_X86_64_RCX, 2},  {QVCRASH_X86_64_RBX, 3},
    {QVCRASH_X86_64_RSI, 4},     {QVCRASH_X86_64_RDI, 5},  {QVCRASH_X86_64_RBP, 6},  {QVCRASH_X86_64_RSP, 7},
    {QVCRASH_X86_64_R8, 8},      {QVCRASH_X86_64_R9, 9},   {QVCRASH_X86_64_R10, 10}, {QVCRASH_X86_64_R11, 11},
    {QVCRASH_X86_64_R12, 12},    {QVCRASH_X86_64_R13, 13}, {QVCRASH_X86_64_R14, 14}, {QVCRASH_X86_64_R15, 15},
    {QVCRASH_X86_64_RFLAGS, 49}, {QVCRASH_X86_64_CS, 51},  {QVCRASH_X86_64_FS, 54},  {QVCRASH_X86_64_GS, 55},
};

const qvcrash_regnum_t kX86CalleeSaved[] = {QVCRASH_X86_EBX, QVCRASH_X86_EBP, QVCRASH_X86_ESI, QVCRASH_X86_EDI,
                                            QVCRASH_X86_ESP};
const qvcrash_regnum_t kX86_64CalleeSaved[] = {QVCRASH_X86_64_RBX, QVCRASH_X86_64_RSP, QVCRASH_X86_64_RBP,
                                               QVCRASH_X86_64_R12, QVCRASH_X86_64_R13, QVCRASH_X86_64_R14,
                                               QVCRASH_X86_64_R15};

const char* const kX86Names[] = {"eip", "ebp", "esp",    "eax",    "edx", "ecx", "ebx", "esi",
                                 "edi", "eflags", "trapno", "cs", "ds",  "es",  "fs",  "gs"};
const char* const kX86_64Names[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                                    "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};

bool isX86(const qvcrash_async_thread_state_t* state) {
    return state->x86_state.tsh.flavor == QVCRASH_X86_THREAD_STATE32;
}

template <size_t N>
bool contains(const qvcrash_regnum_t (&list)[N], qvcrash_regnum_t regnum) {
    for (qvcrash_regnum_t r : list) {
        if (r == regnum) return true;
    }
    return false;
}

uint64_t* x86_64Slot(qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum) {
    auto& ts = state->x86_state.uts.ts64;
    switch (regnum) {
        case QVCRASH_X86_64_RIP: return &ts.rip;
        case QVCRASH_X86_64_RBP: return &ts.rbp;
        case QVCRASH_X86_64_RSP: return &ts.rsp;
        case QVCRASH_X86_64_RAX: return &ts.rax;
        case QVCRASH_X86_64_RBX: return &ts.rbx;
        case QVCRASH_X86_64_RCX: return &ts.rcx;
        case QVCRASH_X86_64_RDX: return &ts.rdx;
        case QVCRASH_X86_64_RDI: return &ts.rdi;
        case QVCRASH_X86_64_RSI: return &ts.rsi;
        case QVCRASH_X86_64_R8: return &ts.r8;
        case QVCRASH_X86_64_R9: return &ts.r9;
        case QVCRASH_X86_64_R10: return &ts.r10;
        case QVCRASH_X86_64_R11: return &ts.r11;
        case QVCRASH_X86_64_R12: return &ts.r12;
        case QVCRASH_X86_64_R13: return &ts.r13;
        case QVCRASH_X86_64_R14: return &ts.r14;
        case QVCRASH_X86_64_R15: return &ts.r15;
        case QVCRASH_X86_64_RFLAGS: return &ts.rflags;
        case QVCRASH_X86_64_CS: return &ts.cs;
        case QVCRASH_X86_64_FS: return &ts.fs;
        case QVCRASH_X86_64_GS: return &ts.gs;
        default: return nullptr;
    }
}

uint32_t* x86Slot(qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum) {
    auto& ts = state->x86_state.uts.ts32;
    switch (regnum) {
        case QVCRASH_X86_EIP: return &ts.eip;
        case QVCRASH_X86_EBP: return &ts.ebp;
        case QVCRASH_X86_ESP: return &ts.esp;
        case QVCRASH_X86_EAX: return &ts.eax;
        case QVCRASH_X86_EDX: return &ts.edx;
        case QVCRASH_X86_ECX: return &ts.ecx;
        case QVCRASH_X86_EBX: return &ts.ebx;
        case QVCRASH_X86_ESI: return &ts.esi;
        case QVCRASH_X86_EDI: return &ts.edi;
        case QVCRASH_X86_EFLAGS: return &ts.eflags;
        case QVCRASH_X86_CS: return &ts.cs;
        case QVCRASH_X86_DS: return &ts.ds;
        case QVCRASH_X86_ES: return &ts.es;
        case QVCRASH_X86_FS: return &ts.fs;
        case QVCRASH_X86_GS: return &ts.gs;
        default: return nullptr;  // trapno lives in the exception state
    }
}

void setX86_64Headers(qvcrash_async_thread_state_t* state) {
    state->x86_state.tsh.flavor = QVCRASH_X86_THREAD_STATE64;
    state->x86_state.tsh.count = QVCRASH_X86_THREAD_STATE64_COUNT;
    state->x86_exc_state.esh.flavor = QVCRASH_X86_EXCEPTION_STATE64;
    state->x86_exc_state.esh.count = QVCRASH_X86_EXCEPTION_STATE64_COUNT;
    state->greg_size = 8;
    state->stack_direction = QVCRASH_ASYNC_STACK_DIRECTION_DOWN;
}

}  // namespace

qvcrash_error_t MSqvcrash_async_thread_state_init(qvcrash_async_thread_state_t* state, uint32_t cpu_type) {
    qvcrash_async_memset(state, 0, sizeof(*state));
    switch (cpu_type) {
        case QVCRASH_CPU_TYPE_X86:
            state->x86_state.tsh.flavor = QVCRASH_X86_THREAD_STATE32;
            state->x86_state.tsh.count = QVCRASH_X86_THREAD_STATE32_COUNT;
            state->x86_exc_state.esh.flavor = QVCRASH_X86_EXCEPTION_STATE32;
            state->x86_exc_state.esh.count = QVCRASH_X86_EXCEPTION_STATE32_COUNT;
            state->greg_size = 4;
            break;
        case QVCRASH_CPU_TYPE_X86_64:
            setX86_64Headers(state);
            break;
        default:
            return QVCRASH_ENOTSUP;
    }
    state->stack_direction = QVCRASH_ASYNC_STACK_DIRECTION_DOWN;
    state->valid_regs = 0;
    return QVCRASH_ESUCCESS;
}

void MSqvcrash_async_thread_state_mcontext_init(qvcrash_async_thread_state_t* state, const mcontext_t* mctx) {
    qvcrash_async_memset(state, 0, sizeof(*state));
    setX86_64Headers(state);

    const greg_t* g = mctx->gregs;
    auto& ts = state->x86_state.uts.ts64;
    ts.rax = static_cast<uint64_t>(g[REG_RAX]);
    ts.rbx = static_cast<uint64_t>(g[REG_RBX]);
    ts.rcx = static_cast<uint64_t>(g[REG_RCX]);
    ts.rdx = static_cast<uint64_t>(g[REG_RDX]);
    ts.rdi = static_cast<uint64_t>(g[REG_RDI]);
    ts.rsi = static_cast<uint64_t>(g[REG_RSI]);
    ts.rbp = static_cast<uint64_t>(g[REG_RBP]);
    ts.rsp = static_cast<uint64_t>(g[REG_RSP]);
    ts.r8 = static_cast<uint64_t>(g[REG_R8]);
    ts.r9 = static_cast<uint64_t>(g[REG_R9]);
    ts.r10 = static_cast<uint64_t>(g[REG_R10]);
    ts.r11 = static_cast<uint64_t>(g[REG_R11]);
    ts.r12 = static_cast<uint64_t>(g[REG_R12]);
    ts.r13 = static_cast<uint64_t>(g[REG_R13]);
    ts.r14 = static_cast<uint64_t>(g[REG_R14]);
    ts.r15 = static_cast<uint64_t>(g[REG_R15]);
    ts.rip = static_cast<uint64_t>(g[REG_RIP]);
    ts.rflags = static_cast<uint64_t>(g[REG_EFL]);
    // The kernel packs the segment selectors as cs, gs, fs, ss, 16 bits each.
    const auto segments = static_cast<uint64_t>(g[REG_CSGSFS]);
    ts.cs = segments & 0xffff;
    ts.gs = (segments >> 16) & 0xffff;
    ts.fs = (segments >> 32) & 0xffff;

    auto& es = state->x86_exc_state.ues.es64;
    es.trapno = static_cast<uint16_t>(g[REG_TRAPNO]);
    es.cpu = 0;
    es.err = static_cast<uint32_t>(g[REG_ERR]);
    es.faultvaddr = static_cast<uint64_t>(g[REG_CR2]);

    state->valid_regs = ~UINT64_C(0);
}

qvcrash_error_t MSqvcrash_async_thread_state_mach_thread_init(qvcrash_async_thread_state_t* state,
                                                              qvcrash_thread_t thread) {
    namespace crash = quorvane::platform::crash;
    mcontext_t context;
    crash::KernReturn kr = crash::threadMachineContext(thread, &context);
    if (kr != crash::kKernSuccess) {
        QVCRASH_DEBUG("Fetch of x86 thread state failed with Mach error: %d", static_cast<int>(kr));
        return QVCRASH_EINTERNAL;
    }
    // One read gives both the registers and the exception state of the stop.
    MSqvcrash_async_thread_state_mcontext_init(state, &context);
    return QVCRASH_ESUCCESS;
}

// Finishes a capture of the calling thread: the assembly entry below has filled the machine
// context's general registers.
extern "C" [[gnu::used]] qvcrash_error_t qvcrash_async_thread_state_current_finish(
    const mcontext_t* mctx, qvcrash_async_thread_state_current_callback callback, void* context) {
    qvcrash_async_thread_state_t state;
    MSqvcrash_async_thread_state_mcontext_init(&state, mctx);
    state.ip_is_return_address = true;
    return callback(&state, context);
}

// MSqvcrash_async_thread_state_current(callback in rdi, context in rsi). Stores the general
// registers as they are at entry into a machine context on its own stack, before any of them
// changes; the frame pointer recorded is the caller's (the word saved by the push), the stack
// pointer is the caller's after the call returns (the frame address + 16) and the instruction
// pointer is the return address.
static_assert(sizeof(mcontext_t) == 256, "machine context layout");
static_assert(REG_R8 == 0 && REG_RDI == 8 && REG_RSI == 9 && REG_RBP == 10 && REG_RBX == 11 && REG_RDX == 12 &&
                  REG_RAX == 13 && REG_RCX == 14 && REG_RSP == 15 && REG_RIP == 16 && REG_EFL == 17 &&
                  REG_CSGSFS == 18 && REG_ERR == 19 && REG_TRAPNO == 20 && REG_OLDMASK == 21 && REG_CR2 == 22,
              "general register numbering");
asm(R"(
    .text
    .globl MSqvcrash_async_thread_state_current
    .type MSqvcrash_async_thread_state_current, @function
    .p2align 4
MSqvcrash_async_thread_state_current:
    .cfi_startproc
    endbr64
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $256, %rsp
    movq %r8, 0(%rsp)
    movq %r9, 8(%rsp)
    movq %r10, 16(%rsp)
    movq %r11, 24(%rsp)
    movq %r12, 32(%rsp)
    movq %r13, 40(%rsp)
    movq %r14, 48(%rsp)
    movq %r15, 56(%rsp)
    movq %rdi, 64(%rsp)
    movq %rsi, 72(%rsp)
    movq %rbx, 88(%rsp)
    movq %rdx, 96(%rsp)
    movq %rax, 104(%rsp)
    movq %rcx, 112(%rsp)
    movq 0(%rbp), %rax
    movq %rax, 80(%rsp)
    leaq 16(%rbp), %rax
    movq %rax, 120(%rsp)
    movq 8(%rbp), %rax
    movq %rax, 128(%rsp)
    pushfq
    popq %rax
    movq %rax, 136(%rsp)
    xorl %eax, %eax
    movw %fs, %ax
    shlq $16, %rax
    movw %gs, %ax
    shlq $16, %rax
    movw %cs, %ax
    movq %rax, 144(%rsp)
    xorl %eax, %eax
    movq %rax, 152(%rsp)
    movq %rax, 160(%rsp)
    movq %rax, 168(%rsp)
    movq %rax, 176(%rsp)
    movq %rax, 184(%rsp)
    movq %rax, 192(%rsp)
    movq %rax, 200(%rsp)
    movq %rax, 208(%rsp)
    movq %rax, 216(%rsp)
    movq %rax, 224(%rsp)
    movq %rax, 232(%rsp)
    movq %rax, 240(%rsp)
    movq %rax, 248(%rsp)
    movq %rsi, %rdx
    movq %rdi, %rsi
    movq %rsp, %rdi
    call qvcrash_async_thread_state_current_finish
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size MSqvcrash_async_thread_state_current, .-MSqvcrash_async_thread_state_current
)");

void MSqvcrash_async_thread_state_copy(qvcrash_async_thread_state_t* dest, const qvcrash_async_thread_state_t* source) {
    qvcrash_async_memcpy(dest, source, sizeof(*dest));
}

uint32_t MSqvcrash_async_thread_state_get_stack_direction(const qvcrash_async_thread_state_t* state) {
    return state->stack_direction;
}

uint64_t MSqvcrash_async_thread_state_get_greg_size(const qvcrash_async_thread_state_t* state) {
    return state->greg_size;
}

size_t MSqvcrash_async_thread_state_get_reg_count(const qvcrash_async_thread_state_t* state) {
    return isX86(state) ? QVCRASH_X86_LAST_REG + 1 : QVCRASH_X86_64_LAST_REG + 1;
}

bool MSqvcrash_async_thread_state_has_reg(const qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum) {
    if (regnum < 0 || regnum >= 64) return false;
    return (state->valid_regs & (UINT64_C(1) << regnum)) != 0;
}

uint64_t MSqvcrash_async_thread_state_get_reg(const qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum) {
    auto* mutableState = const_cast<qvcrash_async_thread_state_t*>(state);
    if (isX86(state)) {
        if (regnum == QVCRASH_X86_TRAPNO) return state->x86_exc_state.ues.es32.trapno;
        const uint32_t* slot = x86Slot(mutableState, regnum);
        return slot ? *slot : 0;
    }
    const uint64_t* slot = x86_64Slot(mutableState, regnum);
    return slot ? *slot : 0;
}

void MSqvcrash_async_thread_state_set_reg(qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum,
                                          uint64_t reg) {
    if (isX86(state)) {
        if (regnum == QVCRASH_X86_TRAPNO) {
            state->x86_exc_state.ues.es32.trapno = static_cast<uint16_t>(reg);
        } else if (uint32_t* slot = x86Slot(state, regnum)) {
            *slot = static_cast<uint32_t>(reg);
        } else {
            return;
        }
    } else if (uint64_t* slot = x86_64Slot(state, regnum)) {
        *slot = reg;
    } else {
        return;
    }
    state->valid_regs |= UINT64_C(1) << regnum;
}

void MSqvcrash_async_thread_state_clear_reg(qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum) {
    if (regnum < 0 || regnum >= 64) return;
    state->valid_regs &= ~(UINT64_C(1) << regnum);
}

void MSqvcrash_async_thread_state_clear_all_regs(qvcrash_async_thread_state_t* state) { state->valid_regs = 0; }

void MSqvcrash_async_thread_state_clear_volatile_regs(qvcrash_async_thread_state_t* state) {
    const size_t count = MSqvcrash_async_thread_state_get_reg_count(state);
    const bool x86 = isX86(state);
    for (size_t i = 0; i < count; ++i) {
        auto regnum = static_cast<qvcrash_regnum_t>(i);
        if (!MSqvcrash_async_thread_state_has_reg(state, regnum)) continue;
        bool kept = x86 ? contains(kX86CalleeSaved, regnum) : contains(kX86_64CalleeSaved, regnum);
        if (!kept) MSqvcrash_async_thread_state_clear_reg(state, regnum);
    }
}

const char* MSqvcrash_async_thread_state_get_reg_name(const qvcrash_async_thread_state_t* state,
                                                      qvcrash_regnum_t regnum) {
    const size_t count = MSqvcrash_async_thread_state_get_reg_count(state);
    if (regnum < 0 || static_cast<size_t>(regnum) >= count) {
        QVCRASH_DEBUG("Missing register name for register id: %d", regnum);
        std::abort();
    }
    return isX86(state) ? kX86Names[regnum] : kX86_64Names[regnum];
}

bool MSqvcrash_async_thread_state_map_reg_to_dwarf(const qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum,
                                                   uint64_t* dwarf_reg) {
    auto search = [&](const auto& table) {
        for (const RegisterPair& pair : table) {
            if (pair.regnum == regnum) {
                *dwarf_reg = pair.dwarf;
                return true;
            }
        }
        return false;
    };
    return isX86(state) ? search(kX86DwarfTable) : search(kX86_64DwarfTable);
}

bool MSqvcrash_async_thread_state_map_dwarf_to_reg(const qvcrash_async_thread_state_t* state, uint64_t dwarf_reg,
                                                   qvcrash_regnum_t* regnum) {
    auto search = [&](const auto& table) {
        for (const RegisterPair& pair : table) {
            if (pair.dwarf == dwarf_reg) {
                *regnum = pair.regnum;
                return true;
            }
        }
        return false;
    };
    return isX86(state) ? search(kX86DwarfTable) : search(kX86_64DwarfTable);
}

}  // namespace quorvane
