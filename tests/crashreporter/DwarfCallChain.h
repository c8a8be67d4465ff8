#pragma once
// Functions built optimised and without frame pointers, for the unwinding tests.

extern "C" {
// Four callers with frames and a frameless leaf that stores value at target.
void qvdwarf_leaf(volatile int* target, int value);
int qvdwarf_level4(volatile int* target, int value);
int qvdwarf_level3(volatile int* target, int value);
int qvdwarf_level2(volatile int* target, int value);
int qvdwarf_level1(volatile int* target, int value);
// level1 calls level2, which aborts.
void qvdwarf_abort_level2(int value);
int qvdwarf_abort_level1(int value);
// Sets *started and blocks reading one byte from fd.
long qvdwarf_blocked_reader(int fd, volatile int* started);
}
