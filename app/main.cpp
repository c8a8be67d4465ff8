// The `quorvane` command (see app/Command.h).

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/Command.h"

namespace {

// A sync touches a few hundred megabytes of heap, and where the kernel gives huge pages only to
// memory that asks for them (the usual setting), a page fault every 4 KiB costs a steady run of
// 10,000 contacts a side a third of its time. glibc's allocator asks for them when told so at
// start, through GLIBC_TUNABLES, and only then: so the command starts itself once more with that
// setting added (the same process, the same arguments). A start that cannot goes on as it is.
void startWithHugePageHeap(char** argv) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's own allocator takes no such setting, and a second start would cost its whole
    // set-up (seconds) again.
    (void)argv;
#else
    constexpr const char* kSetting = "glibc.malloc.hugetlb=1";
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    const std::string current = tunables ? tunables : "";
    if (current.find("glibc.malloc.hugetlb") != std::string::npos) return;
    const std::string asked = current.empty() ? kSetting : current + ":" + kSetting;
    if (::setenv("GLIBC_TUNABLES", asked.c_str(), 1) != 0) return;
    ::execv("/proc/self/exe", argv);
    if (tunables) ::setenv("GLIBC_TUNABLES", tunables, 1);
    else ::unsetenv("GLIBC_TUNABLES");
#endif
}

}  // namespace

int main(int argc, char** argv) {
    startWithHugePageHeap(argv);
    // The main thread allocates from the main arena and every other thread from one more. glibc
    // would otherwise give each worker thread (parses, transfers) an arena of its own, and what a
    // thread freed stays with its arena for that thread alone, so a large sync ended holding the
    // high-water mark of every arena at once: about a fifth more resident memory at 10,000
    // contacts a side. One arena for every thread costs more than it saves: the main thread and
    // the workers then wait on each other's allocations.
    mallopt(M_ARENA_MAX, 2);
    return quorvane::app::runQuorvane(argc, argv);
}
