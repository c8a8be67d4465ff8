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
// Ten arguments, four of them on the stack; writes to address 0x10 when the first is 42.
int qvdwarf_many(int a, int b, int c, int d, int e, int f, int g, int h, int i, int j);
void qvdwarf_sink_text(const char* text);
// CleanupCallChain.cpp: outer1 calls outer2, which calls qvdwarf_many with cleanups pending.
int qvwalk_outer2(int value);
int qvwalk_outer1(int value);
}
