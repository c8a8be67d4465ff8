#pragma once
// Names of signals and signal codes for the report, and the description of a machine
// exception as the signal that stands for it. Plain table walks: async-signal-safe.

#include <signal.h>

#include <cstdint>

namespace quorvane {

// "SIGSEGV" for SIGSEGV, ...; null for a number without a name. SIGABRT is never "SIGIOT".
const char* qvcrash_signal_name(int signo);
// "SEGV_MAPERR" for (SIGSEGV, SEGV_MAPERR), ...; the sender's code ("SI_USER", "SI_TKILL",
// "SI_KERNEL", ...) when the signal has no row of its own for it; null when the code has no name.
const char* qvcrash_signal_code_name(int signo, int code);

// Machine exception types, numbered as the exception records the engine describes them with.
enum : int {
    QVCRASH_EXC_BAD_ACCESS = 1,
    QVCRASH_EXC_BAD_INSTRUCTION = 2,
    QVCRASH_EXC_ARITHMETIC = 3,
    QVCRASH_EXC_EMULATION = 4,
    QVCRASH_EXC_SOFTWARE = 5,
    QVCRASH_EXC_BREAKPOINT = 6,
    QVCRASH_EXC_GUARD = 12,
};
// First codes that pick the signal.
inline constexpr int64_t QVCRASH_KERN_INVALID_ADDRESS = 1;
inline constexpr int64_t QVCRASH_EXC_UNIX_BAD_SYSCALL = 0x10000;
inline constexpr int64_t QVCRASH_EXC_UNIX_BAD_PIPE = 0x10001;
inline constexpr int64_t QVCRASH_EXC_UNIX_ABORT = 0x10002;
inline constexpr int64_t QVCRASH_EXC_SOFT_SIGNAL = 0x10003;

// Fills si_signo, si_code and si_addr (the second code) of info and nothing else; false when
// there are fewer than two codes or no signal stands for the exception.
bool MSqvcrash_async_mach_exception_get_siginfo(int exception_type, const int64_t* codes, uint32_t code_count,
                                                int cpu_type, siginfo_t* info);

}  // namespace quorvane
