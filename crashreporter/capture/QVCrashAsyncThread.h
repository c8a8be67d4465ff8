#pragma once
// The engine's processor-neutral register record: one value per register of one stack frame and
// a bit set of the registers that hold a known value. Register numbers 0, 1 and 2 are always the
// instruction, frame and stack pointer. Only x86 and x86-64 are supported; everything here is
// async-signal-safe.
//
// The register blocks keep the layout of the x86 thread and exception states (a flavor/count
// header followed by the 32-bit or 64-bit block), so the report writer can store them as they
// are. On Linux a state comes from a signal's machine context, from another thread of this
// process (stopped through platform/crash/Threads.h) or from the calling thread.

#include <ucontext.h>

#include <cstdint>

#include "crashreporter/capture/QVCrashAsync.h"

namespace quorvane {

// CPU types.
inline constexpr uint32_t QVCRASH_CPU_TYPE_X86 = 7;
inline constexpr uint32_t QVCRASH_CPU_TYPE_X86_64 = 0x1000007;

// State flavors and their sizes in 32-bit words.
enum : uint32_t {
    QVCRASH_X86_THREAD_STATE32 = 1,
    QVCRASH_X86_EXCEPTION_STATE32 = 3,
    QVCRASH_X86_THREAD_STATE64 = 4,
    QVCRASH_X86_EXCEPTION_STATE64 = 6,
    QVCRASH_X86_THREAD_STATE = 7,
    QVCRASH_X86_EXCEPTION_STATE = 9,
};

struct qvcrash_x86_state_hdr_t {
    uint32_t flavor;
    uint32_t count;
};

struct qvcrash_x86_thread_state32_t {
    uint32_t eax, ebx, ecx, edx, edi, esi, ebp, esp, ss, eflags, eip, cs, ds, es, fs, gs;
};

struct qvcrash_x86_thread_state64_t {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp, r8, r9, r10, r11, r12, r13, r14, r15, rip, rflags, cs, fs, gs;
};

struct qvcrash_x86_exception_state32_t {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint32_t faultvaddr;
};

struct qvcrash_x86_exception_state64_t {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint64_t faultvaddr;
};

struct qvcrash_x86_thread_state_t {
    qvcrash_x86_state_hdr_t tsh;
    union {
        qvcrash_x86_thread_state32_t ts32;
        qvcrash_x86_thread_state64_t ts64;
    } uts;
};

struct qvcrash_x86_exception_state_t {
    qvcrash_x86_state_hdr_t esh;
    union {
        qvcrash_x86_exception_state32_t es32;
        qvcrash_x86_exception_state64_t es64;
    } ues;
};

inline constexpr uint32_t QVCRASH_X86_THREAD_STATE32_COUNT = sizeof(qvcrash_x86_thread_state32_t) / 4;      // 16
inline constexpr uint32_t QVCRASH_X86_THREAD_STATE64_COUNT = sizeof(qvcrash_x86_thread_state64_t) / 4;      // 42
inline constexpr uint32_t QVCRASH_X86_EXCEPTION_STATE32_COUNT = sizeof(qvcrash_x86_exception_state32_t) / 4;  // 3
inline constexpr uint32_t QVCRASH_X86_EXCEPTION_STATE64_COUNT = sizeof(qvcrash_x86_exception_state64_t) / 4;  // 4
inline constexpr uint32_t QVCRASH_X86_THREAD_STATE_COUNT = sizeof(qvcrash_x86_thread_state_t) / 4;          // 44
inline constexpr uint32_t QVCRASH_X86_EXCEPTION_STATE_COUNT = sizeof(qvcrash_x86_exception_state_t) / 4;    // 6

enum : uint32_t {
    QVCRASH_ASYNC_STACK_DIRECTION_UP = 1,
    QVCRASH_ASYNC_STACK_DIRECTION_DOWN = 2,
};

struct qvcrash_async_thread_state_t {
    uint32_t stack_direction;
    uint64_t greg_size;
    uint64_t valid_regs;
    qvcrash_x86_thread_state_t x86_state;
    qvcrash_x86_exception_state_t x86_exc_state;
    // The instruction pointer is a return address (it follows a call) rather than the address of
    // the interrupted instruction: the call itself, and the code that describes it, lie before it.
    bool ip_is_return_address;
};

using qvcrash_regnum_t = int32_t;

// Roles every architecture shares.
enum : qvcrash_regnum_t {
    QVCRASH_REG_IP = 0,
    QVCRASH_REG_FP = 1,
    QVCRASH_REG_SP = 2,
};

// x86-64 register numbers.
enum : qvcrash_regnum_t {
    QVCRASH_X86_64_RIP = QVCRASH_REG_IP,
    QVCRASH_X86_64_RBP = QVCRASH_REG_FP,
    QVCRASH_X86_64_RSP = QVCRASH_REG_SP,
    QVCRASH_X86_64_RAX,
    QVCRASH_X86_64_RBX,
    QVCRASH_X86_64_RCX,
    QVCRASH_X86_64_RDX,
    QVCRASH_X86_64_RDI,
    QVCRASH_X86_64_RSI,
    QVCRASH_X86_64_R8,
    QVCRASH_X86_64_R9,
    QVCRASH_X86_64_R10,
    QVCRASH_X86_64_R11,
    QVCRASH_X86_64_R12,
    QVCRASH_X86_64_R13,
    QVCRASH_X86_64_R14,
    QVCRASH_X86_64_R15,
    QVCRASH_X86_64_RFLAGS,
    QVCRASH_X86_64_CS,
    QVCRASH_X86_64_FS,
    QVCRASH_X86_64_GS,
    QVCRASH_X86_64_LAST_REG = QVCRASH_X86_64_GS,
};

// x86 register numbers.
enum : qvcrash_regnum_t {
    QVCRASH_X86_EIP = QVCRASH_REG_IP,
    QVCRASH_X86_EBP = QVCRASH_REG_FP,
    QVCRASH_X86_ESP = QVCRASH_REG_SP,
    QVCRASH_X86_EAX,
    QVCRASH_X86_EDX,
    QVCRASH_X86_ECX,
    QVCRASH_X86_EBX,
    QVCRASH_X86_ESI,
    QVCRASH_X86_EDI,
    QVCRASH_X86_EFLAGS,
    QVCRASH_X86_TRAPNO,
    QVCRASH_X86_CS,
    QVCRASH_X86_DS,
    QVCRASH_X86_ES,
    QVCRASH_X86_FS,
    QVCRASH_X86_GS,
    QVCRASH_X86_LAST_REG = QVCRASH_X86_GS,
};

// Clears the record and sets it up for the CPU type (x86 or x86-64): 0, or 4 for another type.
qvcrash_error_t MSqvcrash_async_thread_state_init(qvcrash_async_thread_state_t* state, uint32_t cpu_type);

// An x86-64 state from the machine context a signal handler receives, every register valid.
// The exception state holds the trap number, error code and fault address of the context.
void MSqvcrash_async_thread_state_mcontext_init(qvcrash_async_thread_state_t* state, const mcontext_t* mctx);

// The state of another thread of this process, every register valid: 0, or 6 when its registers
// cannot be read (the calling thread, a thread that is gone or cannot be stopped).
qvcrash_error_t MSqvcrash_async_thread_state_mach_thread_init(qvcrash_async_thread_state_t* state,
                                                              qvcrash_thread_t thread);

using qvcrash_async_thread_state_current_callback = qvcrash_error_t (*)(qvcrash_async_thread_state_t* state,
                                                                       void* context);

// Captures the calling thread's registers and returns callback(state, context). Frame 0 of the
// state is the caller at the call site: its instruction pointer is the return address into the
// caller, its frame and stack pointers are the caller's. The state lives only for the callback.
extern "C" qvcrash_error_t MSqvcrash_async_thread_state_current(qvcrash_async_thread_state_current_callback callback,
                                                                void* context);

void MSqvcrash_async_thread_state_copy(qvcrash_async_thread_state_t* dest, const qvcrash_async_thread_state_t* source);

uint32_t MSqvcrash_async_thread_state_get_stack_direction(const qvcrash_async_thread_state_t* state);
uint64_t MSqvcrash_async_thread_state_get_greg_size(const qvcrash_async_thread_state_t* state);
// 16 for x86, 21 for x86-64.
size_t MSqvcrash_async_thread_state_get_reg_count(const qvcrash_async_thread_state_t* state);

// regnum must be below the register count.
bool MSqvcrash_async_thread_state_has_reg(const qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum);
uint64_t MSqvcrash_async_thread_state_get_reg(const qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum);
void MSqvcrash_async_thread_state_set_reg(qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum,
                                          uint64_t reg);
void MSqvcrash_async_thread_state_clear_reg(qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum);
void MSqvcrash_async_thread_state_clear_all_regs(qvcrash_async_thread_state_t* state);
// Keeps only the callee-saved registers valid.
void MSqvcrash_async_thread_state_clear_volatile_regs(qvcrash_async_thread_state_t* state);

// The register's name; a number at or above the count is a programming error that is logged
// and aborts the process.
const char* MSqvcrash_async_thread_state_get_reg_name(const qvcrash_async_thread_state_t* state,
                                                      qvcrash_regnum_t regnum);

bool MSqvcrash_async_thread_state_map_reg_to_dwarf(const qvcrash_async_thread_state_t* state, qvcrash_regnum_t regnum,
                                                   uint64_t* dwarf_reg);
bool MSqvcrash_async_thread_state_map_dwarf_to_reg(const qvcrash_async_thread_state_t* state, uint64_t dwarf_reg,
                                                   qvcrash_regnum_t* regnum);

}  // namespace quorvane
