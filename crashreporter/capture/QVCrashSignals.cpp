#include "crashreporter/capture/QVCrashSignals.h"

#include "crashreporter/capture/QVCrashAsync.h"

namespace quorvane {

namespace {

struct SignalName {
    int signo;
    const char* name;
};

// In the report's order; the first matching row wins. Linux numbers its signals its own way and
// has no SIGEMT or SIGINFO; SIGSTKFLT and SIGPWR take their places.
const SignalName kSignalNames[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"},   {SIGILL, "SIGILL"},
    {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"},     {SIGIOT, "SIGIOT"},     {SIGFPE, "SIGFPE"},
    {SIGKILL, "SIGKILL"},     {SIGBUS, "SIGBUS"},       {SIGSEGV, "SIGSEGV"},   {SIGSYS, "SIGSYS"},
    {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"},     {SIGTERM, "SIGTERM"},   {SIGURG, "SIGURG"},
    {SIGSTOP, "SIGSTOP"},     {SIGTSTP, "SIGTSTP"},     {SIGCONT, "SIGCONT"},   {SIGCHLD, "SIGCHLD"},
    {SIGTTIN, "SIGTTIN"},     {SIGTTOU, "SIGTTOU"},     {SIGIO, "SIGIO"},       {SIGXCPU, "SIGXCPU"},
    {SIGXFSZ, "SIGXFSZ"},     {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},   {SIGWINCH, "SIGWINCH"},
    {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},     {SIGSTKFLT, "SIGSTKFLT"}, {SIGPWR, "SIGPWR"},
};

struct SignalCodeName {
    int signo;
    int code;
    const char* name;
};

const SignalCodeName kSignalCodeNames[] = {
    {SIGILL, 0, "ILL_NOOP"},
    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
    {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
    {SIGILL, ILL_PRVREG, "ILL_PRVREG"},
    {SIGILL, ILL_COPROC, "ILL_COPROC"},
    {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
    {SIGFPE, 0, "FPE_NOOP"},
    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
    {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
    {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},
    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},
    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
    {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},
    {SIGSEGV, 0, "SEGV_NOOP"},
    {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
    {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
    {SIGBUS, 0, "BUS_NOOP"},
    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
    {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
    {SIGABRT, 0, "#0"},
    // Codes Linux adds to the fault signals.
    {SIGILL, 9, "ILL_BADIADDR"},
    {SIGFPE, 14, "FPE_FLTUNK"},
    {SIGFPE, 15, "FPE_CONDTRAP"},
    {SIGSEGV, 3, "SEGV_BNDERR"},
    {SIGSEGV, 4, "SEGV_PKUERR"},
    {SIGSEGV, 5, "SEGV_ACCADI"},
    {SIGSEGV, 6, "SEGV_ADIDERR"},
    {SIGSEGV, 7, "SEGV_ADIPERR"},
    {SIGSEGV, 8, "SEGV_MTEAERR"},
    {SIGSEGV, 9, "SEGV_MTESERR"},
    {SIGSEGV, 10, "SEGV_CPERR"},
    {SIGBUS, 4, "BUS_MCEERR_AR"},
    {SIGBUS, 5, "BUS_MCEERR_AO"},
    {SIGTRAP, 3, "TRAP_BRANCH"},
    {SIGTRAP, 4, "TRAP_HWBKPT"},
    {SIGTRAP, 5, "TRAP_UNK"},
};

// Codes that say who sent a signal, the same for every signal; a signal's own row above wins.
const SignalCodeName kSenderCodeNames[] = {
    {0, SI_USER, "SI_USER"},       {0, SI_KERNEL, "SI_KERNEL"},   {0, SI_QUEUE, "SI_QUEUE"},
    {0, SI_TIMER, "SI_TIMER"},     {0, SI_MESGQ, "SI_MESGQ"},     {0, SI_ASYNCIO, "SI_ASYNCIO"},
    {0, SI_SIGIO, "SI_SIGIO"},     {0, SI_TKILL, "SI_TKILL"},     {0, -7, "SI_DETHREAD"},
    {0, -60, "SI_ASYNCNL"},
};

}  // namespace

const char* qvcrash_signal_name(int signo) {
    for (const auto& row : kSignalNames) {
        if (row.signo == signo) return row.name;
    }
    return nullptr;
}

const char* qvcrash_signal_code_name(int signo, int code) {
    for (const auto& row : kSignalCodeNames) {
        if (row.signo == signo && row.code == code) return row.name;
    }
    for (const auto& row : kSenderCodeNames) {
        if (row.code == code) return row.name;
    }
    return nullptr;
}

bool MSqvcrash_async_mach_exception_get_siginfo(int exception_type, const int64_t* codes, uint32_t code_count,
                                                int cpu_type, siginfo_t* info) {
    if (code_count < 2) {
        QVCRASH_DEBUG("Unexpected Mach code count of %u; can't map to UNIX exception", code_count);
        return false;
    }
    int signo;
    int code = 0;
    switch (exception_type) {
        case QVCRASH_EXC_BAD_ACCESS:
            if (codes[0] == QVCRASH_KERN_INVALID_ADDRESS) {
                signo = SIGSEGV;
                code = SEGV_MAPERR;
            } else {
                signo = SIGBUS;
                code = BUS_ADRERR;
            }
            break;
        case QVCRASH_EXC_BAD_INSTRUCTION:
            signo = SIGILL;
            break;
        case QVCRASH_EXC_ARITHMETIC:
            signo = SIGFPE;
            break;
        case QVCRASH_EXC_SOFTWARE:
            switch (codes[0]) {
                case QVCRASH_EXC_UNIX_BAD_SYSCALL: signo = SIGSYS; break;
                case QVCRASH_EXC_UNIX_BAD_PIPE: signo = SIGPIPE; break;
                case QVCRASH_EXC_UNIX_ABORT: signo = SIGABRT; break;
                case QVCRASH_EXC_SOFT_SIGNAL: signo = SIGKILL; break;
                default:
                    QVCRASH_DEBUG("Unexpected EXC_SOFTWARE code of %lld", static_cast<long long>(codes[0]));
                    signo = SIGABRT;
                    break;
            }
            break;
        case QVCRASH_EXC_BREAKPOINT:
            signo = SIGTRAP;
            code = TRAP_BRKPT;
            break;
        case QVCRASH_EXC_EMULATION:  // its signal (SIGEMT) does not exist on Linux
        default:
            return false;
    }
    info->si_signo = signo;
    info->si_code = code;
    info->si_addr = reinterpret_cast<void*>(static_cast<uintptr_t>(codes[1]));
    return true;
}

}  // namespace quorvane
