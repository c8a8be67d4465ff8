#pragma once
// The crash the report tests share: in a child that has enabled a reporter, a second thread parks
// in a known function (qvtest_thread_parked, called by qvtest_thread_parked_caller) and the calling
// thread then dies of SIGSEGV at address 0x10 three calls deep (qvtest_report_crash_level3, 2, 1).

#include <atomic>
#include <thread>

extern "C" void qvtest_thread_parked_caller(std::atomic<int>* ready, std::atomic<int>* release);
extern "C" void qvtest_report_crash_level1(int value);

namespace quorvane::test {

// Does not return; the result only keeps a child body's shape.
inline int crashBesideAParkedThread() {
    static std::atomic<int> ready{0}, release{0};
    std::thread parked([] { qvtest_thread_parked_caller(&ready, &release); });
    while (ready.load() == 0) std::this_thread::yield();  // the child's alarm bounds this
    qvtest_report_crash_level1(1);
    parked.join();
    return 3;
}

}  // namespace quorvane::test
