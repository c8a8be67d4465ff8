#pragma once
// Private read-only copies of a task's memory, for readers that must never fault. Linux has
// no call that maps another process's pages into ours, so a range is copied once through
// process_vm_readv into fresh anonymous pages, which are then made read-only. A page that
// cannot be read ends the copy instead of raising a signal. Everything here is a plain system
// call, safe inside a signal handler.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/crash/TaskMemory.h"

namespace quorvane::platform::crash {

// The kernel's page size (from the auxiliary vector, no library state).
size_t pageSize();

// Reserves length bytes of private anonymous read-write memory; null (and errno) on failure.
void* reservePages(size_t length, int* errnoOut = nullptr);
// Makes a reservation read-only; false (and errno) on failure.
bool protectPagesReadOnly(void* base, size_t length, int* errnoOut = nullptr);
// Returns a reservation to the kernel; false (and errno) on failure.
bool releasePages(void* base, size_t length, int* errnoOut = nullptr);

// Copies the readable prefix of [address, address + len) of the task into destination and
// returns its length: len when everything was read, less when a page could not be read (0 when
// the first one could not), -1 when the read failed for another reason (errno in errnoOut).
ssize_t copyTaskMemoryPrefix(task_t task, uintptr_t address, void* destination, size_t len,
                             int* errnoOut = nullptr);

}  // namespace quorvane::platform::crash
