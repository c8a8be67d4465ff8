#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

#include "crashreporter/capture/QVCrashSignals.h"

using namespace quorvane;

TEST(QVCrashSignals, NamesEverySignal) {
    EXPECT_STREQ(qvcrash_signal_name(SIGABRT), "SIGABRT");  // never SIGIOT
    EXPECT_STREQ(qvcrash_signal_name(SIGSEGV), "SIGSEGV");
    EXPECT_STREQ(qvcrash_signal_name(SIGBUS), "SIGBUS");
    EXPECT_STREQ(qvcrash_signal_name(SIGUSR1), "SIGUSR1");
    for (int signo = 1; signo < 32; ++signo) {
        const char* name = qvcrash_signal_name(signo);
        ASSERT_NE(name, nullptr) << signo;
        std::string expected = signo == SIGIO ? "SIGIO" : std::string("SIG") + sigabbrev_np(signo);  // not SIGPOLL
        EXPECT_EQ(expected, name) << signo;
    }
    EXPECT_EQ(qvcrash_signal_name(0), nullptr);
    EXPECT_EQ(qvcrash_signal_name(64), nullptr);
}

TEST(QVCrashSignals, NamesSignalCodes) {
    EXPECT_STREQ(qvcrash_signal_code_name(SIGSEGV, SEGV_MAPERR), "SEGV_MAPERR");
    EXPECT_STREQ(qvcrash_signal_code_name(SIGSEGV, SEGV_ACCERR), "SEGV_ACCERR");
    EXPECT_STREQ(qvcrash_signal_code_name(SIGBUS, BUS_ADRERR), "BUS_ADRERR");
    EXPECT_STREQ(qvcrash_signal_code_name(SIGFPE, FPE_INTDIV), "FPE_INTDIV");
    EXPECT_STREQ(qvcrash_signal_code_name(SIGFPE, FPE_FLTDIV), "FPE_FLTDIV");
    EXPECT_STREQ(qvcrash_signal_code_name(SIGILL, ILL_ILLOPN), "ILL_ILLOPN");
    EXPECT_STREQ(qvcrash_signal_code_name(SIGTRAP, TRAP_BRKPT), "TRAP_BRKPT");
    EXPECT_STREQ(qvcrash_signal_code_name(SIGABRT, 0), "#0");
    EXPECT_EQ(qvcrash_signal_code_name(SIGUSR1, 1), nullptr);
    EXPECT_EQ(qvcrash_signal_code_name(SIGSEGV, 99), nullptr);
    // Who sent the signal, for any signal without a row of its own.
    const struct {
        int signo, code;
        const char* name;
    } senders[] = {{SIGTRAP, SI_USER, "SI_USER"},     {SIGABRT, SI_TKILL, "SI_TKILL"},
                   {SIGSEGV, SI_KERNEL, "SI_KERNEL"}, {SIGBUS, SI_QUEUE, "SI_QUEUE"},
                   {SIGUSR1, SI_TIMER, "SI_TIMER"},   {SIGSEGV, SEGV_PKUERR, "SEGV_PKUERR"},
                   {SIGTRAP, TRAP_HWBKPT, "TRAP_HWBKPT"}, {SIGSEGV, 0, "SEGV_NOOP"}};
    for (const auto& row : senders) EXPECT_STREQ(qvcrash_signal_code_name(row.signo, row.code), row.name) << row.code;
}

TEST(QVCrashSignals, MapsMachineExceptionsToSignals) {
    siginfo_t info;
    std::memset(&info, 0, sizeof(info));
    int64_t invalid[] = {QVCRASH_KERN_INVALID_ADDRESS, 0x10};
    ASSERT_TRUE(MSqvcrash_async_mach_exception_get_siginfo(QVCRASH_EXC_BAD_ACCESS, invalid, 2, -1, &info));
    EXPECT_EQ(info.si_signo, SIGSEGV);
    EXPECT_STREQ(qvcrash_signal_code_name(info.si_signo, info.si_code), "SEGV_MAPERR");
    EXPECT_EQ(info.si_addr, reinterpret_cast<void*>(0x10));

    int64_t protection[] = {2, 0x20};
    ASSERT_TRUE(MSqvcrash_async_mach_exception_get_siginfo(QVCRASH_EXC_BAD_ACCESS, protection, 2, -1, &info));
    EXPECT_EQ(info.si_signo, SIGBUS);
    EXPECT_STREQ(qvcrash_signal_code_name(info.si_signo, info.si_code), "BUS_ADRERR");

    struct Row {
        int type;
        int64_t code;
        int signo;
        int sicode;
    };
    const Row rows[] = {
        {QVCRASH_EXC_BAD_INSTRUCTION, 1, SIGILL, 0},
        {QVCRASH_EXC_ARITHMETIC, 1, SIGFPE, 0},
        {QVCRASH_EXC_SOFTWARE, QVCRASH_EXC_UNIX_BAD_SYSCALL, SIGSYS, 0},
        {QVCRASH_EXC_SOFTWARE, QVCRASH_EXC_UNIX_BAD_PIPE, SIGPIPE, 0},
        {QVCRASH_EXC_SOFTWARE, QVCRASH_EXC_UNIX_ABORT, SIGABRT, 0},
        {QVCRASH_EXC_SOFTWARE, QVCRASH_EXC_SOFT_SIGNAL, SIGKILL, 0},
        {QVCRASH_EXC_SOFTWARE, 77, SIGABRT, 0},
        {QVCRASH_EXC_BREAKPOINT, 1, SIGTRAP, TRAP_BRKPT},
    };
    for (const Row& row : rows) {
        int64_t codes[] = {row.code, 0x1234};
        ASSERT_TRUE(MSqvcrash_async_mach_exception_get_siginfo(row.type, codes, 2, -1, &info)) << row.type;
        EXPECT_EQ(info.si_signo, row.signo) << row.type << " " << row.code;
        EXPECT_EQ(info.si_code, row.sicode) << row.type;
        EXPECT_EQ(info.si_addr, reinterpret_cast<void*>(0x1234));
    }

    // Nothing stands for these; too few codes cannot be mapped.
    int64_t codes[] = {1, 2};
    EXPECT_FALSE(MSqvcrash_async_mach_exception_get_siginfo(QVCRASH_EXC_GUARD, codes, 2, -1, &info));
    EXPECT_FALSE(MSqvcrash_async_mach_exception_get_siginfo(0, codes, 2, -1, &info));
    EXPECT_FALSE(MSqvcrash_async_mach_exception_get_siginfo(7, codes, 2, -1, &info));
    EXPECT_FALSE(MSqvcrash_async_mach_exception_get_siginfo(QVCRASH_EXC_EMULATION, codes, 2, -1, &info));
    EXPECT_FALSE(MSqvcrash_async_mach_exception_get_siginfo(QVCRASH_EXC_BAD_ACCESS, codes, 1, -1, &info));
}
