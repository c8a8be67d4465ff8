#pragma once
// Some tests need a process in which nothing has run before them: they test state that a process
// sets up once and keeps (the armed crash engine, the terminate handler's registrations, the user
// defaults read at their first use) or fork a child that must start before any thread does. Such a
// test begins with
//
//     if (!inFreshProcess()) return;
//
// Run on its own (as ctest runs each test) it goes on at once. Run among other tests in one
// program (the whole program, a filter that selects several tests, a repeat), it starts this
// program again to run only itself, records a failure with that run's output when that run fails,
// and returns false.

namespace quorvane::test {

bool inFreshProcess();

}  // namespace quorvane::test
