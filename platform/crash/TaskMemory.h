#pragma once
// What the capture engine needs of the kernel to read memory and name threads on Linux.
// A "task" is a process id; reads go through process_vm_readv, so a bad address gives a
// result code instead of a fault. Everything here is async-signal-safe.

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace quorvane::platform::crash {

using task_t = pid_t;
using thread_t = pid_t;

// Results of a task memory read, numbered like the kernel return values the engine maps.
enum KernReturn : int {
    kKernSuccess = 0,
    kKernInvalidAddress = 1,     // some byte of the range is not mapped
    kKernProtectionFailure = 2,  // mapped but not readable
    kKernFailure = 5,            // anything else (no such process, not permitted, ...)
};

// The calling process.
task_t taskSelf();
// The calling thread's kernel thread id.
thread_t threadSelf();

// process_vm_readv from the task. For the calling process a failure because its first thread has
// ended (its exit held while a crash is written, see holdProcessExit) is retried through the
// calling thread, whose id names the same memory; *task then holds that id for what follows.
ssize_t readTaskVector(task_t* task, const struct iovec* local, const struct iovec* remote);

// Copies len bytes at address in the task's memory into destination. On failure the
// destination may be partly written. When the system call reports a bad address, the task's
// memory map (/proc/<pid>/maps, read with open/read only) tells unmapped from unreadable.
// errnoOut, when given, receives the errno of an unexpected failure.
KernReturn readTaskMemory(task_t task, uintptr_t address, void* destination, size_t len, int* errnoOut = nullptr);

}  // namespace quorvane::platform::crash
