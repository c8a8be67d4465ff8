// Code for the unwinding tests, built the way optimised programs are: -O2 without frame pointers
// (see tests/CMakeLists.txt), with calls kept as calls so the chain is known. Values live across
// each call make the callers save registers and keep a frame of their own; the leaf has none.

#include "tests/crashreporter/DwarfCallChain.h"

#include <unistd.h>

#include <cstdlib>

volatile int qvdwarf_sink = 0;

extern "C" {

[[gnu::noinline]] void qvdwarf_leaf(volatile int* target, int value) { *target = value; }

[[gnu::noinline]] int qvdwarf_level4(volatile int* target, int value) {
    int a = value * 3, b = value ^ 0x55;
    qvdwarf_leaf(target, a);
    return a + b + qvdwarf_sink;
}

[[gnu::noinline]] int qvdwarf_level3(volatile int* target, int value) {
    int a = value + 11, b = value * 7, c = value - 5;
    int r = qvdwarf_level4(target, a ^ b);
    return r + a + b + c + qvdwarf_sink;
}

[[gnu::noinline]] int qvdwarf_level2(volatile int* target, int value) {
    volatile int buffer[16];  // a frame that moves the stack pointer
    for (int i = 0; i < 16; ++i) buffer[i] = value + i;
    int r = qvdwarf_level3(target, buffer[value & 15]);
    return r + buffer[3];
}

[[gnu::noinline]] int qvdwarf_level1(volatile int* target, int value) {
    int a = value << 2;
    int r = qvdwarf_level2(target, a);
    return r * a + qvdwarf_sink;
}

[[gnu::noinline]] void qvdwarf_abort_level2(int value) {
    qvdwarf_sink = value;
    std::abort();  // a call that ends the function: its return address lies past the function
}

[[gnu::noinline]] int qvdwarf_abort_level1(int value) {
    int a = value * 5;
    qvdwarf_abort_level2(a);
    return a + qvdwarf_sink;
}

[[gnu::noinline]] long qvdwarf_blocked_reader(int fd, volatile int* started) {
    char byte = 0;
    *started = 1;
    long n = ::read(fd, &byte, 1);
    return n + byte + qvdwarf_sink;
}

[[gnu::noinline]] int qvdwarf_many(int a, int b, int c, int d, int e, int f, int g, int h, int i, int j) {
    if (a == 42) *reinterpret_cast<volatile int*>(static_cast<unsigned long>(0x10)) = b;
    return a + b + c + d + e + f + g + h + i + j + qvdwarf_sink;
}

[[gnu::noinline]] void qvdwarf_sink_text(const char* text) { qvdwarf_sink = text[0]; }

}  // extern "C"
