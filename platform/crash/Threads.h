#pragma once
// Thread listing, suspension and register reads for the capture engine on Linux.
//
// Linux has no call that stops one thread of a process and hands its registers to another, so
// suspension is done by the thread itself: suspendThread sends the thread a private real-time
// signal with tgkill; the signal's handler copies the interrupted registers (its ucontext's
// general registers) into a slot of a fixed table, reports itself stopped and waits on a futex
// until resumeThread releases it. Everything here is plain system calls, atomics and a
// fixed-size table: no allocation and no locks, so it may run inside a crash handler.
//
// A thread that blocks the signal, or is itself stuck inside a signal handler with the signal
// masked, cannot be stopped: suspendThread gives up after kSuspendTimeoutMs. suspendThreads, for
// stopping every thread at crash time, stops them all at once under one deadline and reads each
// thread's blocked set (/proc/<task>/task/<id>/status) first: a thread that blocks the signal is
// waited for only kBlockedSuspendTimeoutMs (it may unblock it in a moment).

#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

#include "platform/crash/TaskMemory.h"

namespace quorvane::platform::crash {

// The real-time signal used to stop threads (installed on the first suspension).
int suspendSignal();

// How long suspendThread and suspendThreads wait for threads to stop.
inline constexpr int kSuspendTimeoutMs = 2000;
// How long suspendThreads waits for a thread that blocked the signal when asked.
inline constexpr int kBlockedSuspendTimeoutMs = 100;

// The most threads that can be held suspended at once, which is also the most threads the
// capture engine lists in a report.
inline constexpr size_t kMaxSuspendedThreads = 512;

// True when the thread of this process blocks the signal (read from its status file); false
// when it does not or the file cannot be read.
bool threadBlocksSignal(thread_t thread, int signo);

// Writes up to capacity thread ids of the task (from /proc/<task>/task) into threads and their
// total number into count (which may exceed capacity). kKernFailure when the folder cannot be
// read.
KernReturn listThreads(task_t task, thread_t* threads, size_t capacity, size_t* count);

// Stops a thread of this process and keeps its registers. Suspensions nest: each successful
// suspendThread needs one resumeThread. kKernFailure for the calling thread itself, for a
// thread that is gone, and for one that did not stop in time.
KernReturn suspendThread(thread_t thread);
// Stops every listed thread (the calling thread and ids <= 0 are skipped) and waits for all of
// them under one deadline of kSuspendTimeoutMs. suspended[i] tells whether threads[i] was stopped;
// each of those needs one resumeThread. Returns the number stopped. Threads that block the
// signal are waited for until kBlockedSuspendTimeoutMs after the start.
size_t suspendThreads(const thread_t* threads, size_t count, bool* suspended);
// Stops every other thread of the process that is not among listed[0, count) (the threads
// suspendThreads holds) until releaseParkedThreads, without keeping their registers: a process
// may have more threads than can be held suspended, and none of them may end the process while
// a report is written. Threads started meanwhile are found by listing again; everything is
// waited for under one deadline of kSuspendTimeoutMs. Returns the parking's handle for
// releaseParkedThreads (0 when nothing could be parked).
uint32_t parkUnlistedThreads(const thread_t* listed, size_t count);
// Lets the threads of that parking run again, unless a later parking has begun meanwhile.
void releaseParkedThreads(uint32_t parking);

// From now on no thread of the process can end it by exiting or replace it by executing another
// program: exit_group, execve and execveat fail with EPERM for every thread, those started later
// included (the C library's _exit then ends its calling thread alone), so the process ends only
// by a signal. For a crash report: a thread that cannot be stopped in time (thousands to stop,
// or one that blocks the stopping signal) can no longer end the process before the report is
// whole; the crashing thread ends it with its signal. Irreversible. Only system calls: safe in a
// signal handler. False when the kernel refused (no filters, or a thread with a filter of its
// own): then stopped threads are the only hold.
bool holdProcessExit();

// Releases one suspension; the thread runs again when the last one is released.
// kKernFailure when the thread is not suspended.
KernReturn resumeThread(thread_t thread);

// The general registers of a thread of this process: for a suspended thread those it was
// stopped with; any other thread is suspended for the read and resumed. fpregs is null in the
// copy. kKernFailure for the calling thread and for threads that cannot be stopped.
KernReturn threadMachineContext(thread_t thread, mcontext_t* context);

}  // namespace quorvane::platform::crash
