#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "crashreporter/capture/MSCrashHostInfo.h"
#include "crashreporter/capture/MSCrashProcessInfo.h"
#include "crashreporter/capture/MSCrashSysctl.h"
#include "platform/crash/KernelInfo.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

using namespace quorvane;

extern char* program_invocation_short_name;

namespace {

// Collects what goes to the process log while alive.
class LogCapture {
public:
    LogCapture() {
        platform::Log::setSink([this](platform::LogLevel, std::string_view, std::string_view message) {
            lines.emplace_back(message);
        });
    }
    ~LogCapture() { platform::Log::setSink(nullptr); }
    std::vector<std::string> lines;
};

// A child that runs setup, then waits until the parent lets it go.
class WaitingChild {
public:
    explicit WaitingChild(const std::function<void()>& setup) {
        int ready[2], release[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(release), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            setup();
            char c = 1;
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release[0], &c, 1);  // returns once the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char c;
        (void)!::read(ready[0], &c, 1);
        ::close(ready[0]);
    }
    ~WaitingChild() {
        ::close(release_);
        int status;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

}  // namespace

TEST(MSCrashSysctl, NamedKernelVariables) {
    struct utsname uts {};
    ASSERT_EQ(::uname(&uts), 0);
    char* release = MSqvcrash_sysctlbyname_copy_string("kern.osrelease");
    ASSERT_NE(release, nullptr);
    EXPECT_STREQ(release, uts.release);
    std::free(release);

    EXPECT_EQ(platform::crash::kernelVariablePath("kern.osrelease"), "/proc/sys/kernel/osrelease");
    EXPECT_EQ(platform::crash::kernelVariablePath("vm.overcommit_memory"), "/proc/sys/vm/overcommit_memory");

    errno = 0;
    EXPECT_EQ(MSqvcrash_sysctlbyname_copy_string("kern.no_such_variable"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(MSqvcrash_sysctlbyname_copy_string("kern/../../etc/passwd"), nullptr);

    int32_t pidMax = 0;
    EXPECT_TRUE(MSqvcrash_sysctlbyname_int32("kern.pid_max", &pidMax));
    EXPECT_GT(pidMax, 0);
    EXPECT_FALSE(MSqvcrash_sysctlbyname_int32("kern.osrelease", &pidMax));  // not a number
    EXPECT_EQ(errno, EINVAL);
}

TEST(MSCrashSysctl, MachineFactsComeFromTheirLinuxSources) {
    int32_t value = 0;
    ASSERT_TRUE(MSqvcrash_sysctlbyname_int32("hw.cputype", &value));
    EXPECT_EQ(value, 16777223);  // x86-64 as the report numbers it
    ASSERT_TRUE(MSqvcrash_sysctlbyname_int32("hw.cpusubtype", &value));
    EXPECT_EQ(value, 3);
    int32_t logical = 0, physical = 0;
    ASSERT_TRUE(MSqvcrash_sysctlbyname_int32("hw.logicalcpu_max", &logical));
    EXPECT_EQ(logical, ::sysconf(_SC_NPROCESSORS_CONF));
    ASSERT_TRUE(MSqvcrash_sysctlbyname_int32("hw.physicalcpu_max", &physical));
    EXPECT_GE(physical, 1);
    EXPECT_LE(physical, logical);

    struct utsname uts {};
    ::uname(&uts);
    char* build = MSqvcrash_sysctlbyname_copy_string("kern.osversion");
    ASSERT_NE(build, nullptr);
    EXPECT_STREQ(build, uts.version);
    std::free(build);

    // The model is only known where the firmware tells it.
    std::string dmi;
    bool haveDmi = platform::readFile("/sys/devices/virtual/dmi/id/product_name", dmi) && !dmi.empty();
    char* model = MSqvcrash_sysctlbyname_copy_string("hw.model");
    if (haveDmi) {
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(std::string(model) + "\n", dmi);
    }
    std::free(model);
}

TEST(MSCrashHostInfo, ParsesTheKernelRelease) {
    auto current = MSCrashHostInfo::currentHostInfo();
    ASSERT_TRUE(current);
    struct utsname uts {};
    ::uname(&uts);
    EXPECT_EQ(current->darwinVersion().major, std::strtoull(uts.release, nullptr, 10));
    EXPECT_GT(current->darwinVersion().major, 2u);

    LogCapture log;
    auto full = MSCrashHostInfo::hostInfoWithOSRelease("19.6.0");
    EXPECT_EQ(full.darwinVersion().major, 19u);
    EXPECT_EQ(full.darwinVersion().minor, 6u);
    EXPECT_EQ(full.darwinVersion().revision, 0u);
    auto linuxStyle = MSCrashHostInfo::hostInfoWithOSRelease("6.1.55-18-amd64");
    EXPECT_EQ(linuxStyle.darwinVersion().revision, 55u);
    EXPECT_TRUE(log.lines.empty());

    auto shortOne = MSCrashHostInfo::hostInfoWithOSRelease("19.6");
    EXPECT_EQ(shortOne.darwinVersion().major, 19u);
    EXPECT_EQ(shortOne.darwinVersion().minor, 6u);
    EXPECT_EQ(shortOne.darwinVersion().revision, 0u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "Unexpected kern.osrelease string format: 19.6");

    auto junk = MSCrashHostInfo::hostInfoWithOSRelease("x.1.2");
    EXPECT_EQ(junk.darwinVersion().major, 0u);
    EXPECT_EQ(junk.darwinVersion().minor, 0u);
}

TEST(MSCrashProcessInfo, DescribesTheCallingProcess) {
    auto info = MSCrashProcessInfo::currentProcessInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->processID(), ::getpid());
    EXPECT_EQ(info->parentProcessID(), ::getppid());
    ASSERT_TRUE(info->processName());
    // The kernel keeps 15 bytes of the name.
    EXPECT_EQ(*info->processName(), std::string(program_invocation_short_name).substr(0, 15));
    EXPECT_FALSE(info->isTraced());
    time_t now = ::time(nullptr);
    EXPECT_LE(info->startTime().tv_sec, now);
    EXPECT_GT(info->startTime().tv_sec, now - 3600);
    EXPECT_GE(info->startTime().tv_usec, 0);
    EXPECT_LT(info->startTime().tv_usec, 1000000);
}

TEST(MSCrashProcessInfo, AProcessThatIsGoneHasNoDescription) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status;
    ::waitpid(pid, &status, 0);
    EXPECT_FALSE(MSCrashProcessInfo::initWithProcessID(pid));
    EXPECT_FALSE(MSCrashProcessInfo::initWithProcessID(-1));
}

TEST(MSCrashProcessInfo, NameIsTheLeadingValidUtf8) {
    {
        WaitingChild child([] { ::prctl(PR_SET_NAME, "\xff" "abc"); });
        auto info = MSCrashProcessInfo::initWithProcessID(child.pid());
        ASSERT_TRUE(info);
        EXPECT_FALSE(info->processName());
        EXPECT_EQ(info->parentProcessID(), ::getpid());
    }
    {
        WaitingChild child([] { ::prctl(PR_SET_NAME, "na\xC3\xAFve\xC3"); });
        auto info = MSCrashProcessInfo::initWithProcessID(child.pid());
        ASSERT_TRUE(info);
        EXPECT_EQ(info->processName(), std::optional<std::string>("na\xC3\xAFve"));
    }
}

TEST(MSCrashProcessInfo, AProcessUnderATracerIsTraced) {
    WaitingChild child([] { ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr); });
    auto info = MSCrashProcessInfo::initWithProcessID(child.pid());
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->isTraced());
}
