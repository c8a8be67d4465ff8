#include "bench/chain/UnwindChain.h"

// Values live across each call make the callers save registers and keep frames of their own, of
// different sizes: each function has its own call-frame entry, unlike a chain of one function.

volatile int qvchain_sink = 0;

extern "C" {

int qvchain_0(int depth, void (*at)(void*), void* context);

#define QVCHAIN_STEP(next, depth, at, context) ((depth) == 0 ? (at(context), 0) : next((depth) - 1, at, context))

[[gnu::noinline]] int qvchain_7(int depth, void (*at)(void*), void* context) {
    int a = depth * 3, b = depth ^ 0x55;
    int r = QVCHAIN_STEP(qvchain_0, depth, at, context);
    return r + a + b + qvchain_sink;
}

[[gnu::noinline]] int qvchain_6(int depth, void (*at)(void*), void* context) {
    volatile int buffer[24];  // a frame that moves the stack pointer further
    for (int i = 0; i < 24; ++i) buffer[i] = depth + i;
    int r = QVCHAIN_STEP(qvchain_7, depth, at, context);
    return r + buffer[depth % 24];
}

[[gnu::noinline]] int qvchain_5(int depth, void (*at)(void*), void* context) {
    int a = depth + 11, b = depth * 7, c = depth - 5, d = depth << 3;
    int r = QVCHAIN_STEP(qvchain_6, depth, at, context);
    return r + a + b + c + d + qvchain_sink;
}

[[gnu::noinline]] int qvchain_4(int depth, void (*at)(void*), void* context) {
    int r = QVCHAIN_STEP(qvchain_5, depth, at, context);
    return r + 1;
}

[[gnu::noinline]] int qvchain_3(int depth, void (*at)(void*), void* context) {
    volatile char name[40];
    for (int i = 0; i < 40; ++i) name[i] = static_cast<char>('a' + (depth + i) % 26);
    int r = QVCHAIN_STEP(qvchain_4, depth, at, context);
    return r + name[depth % 40];
}

[[gnu::noinline]] int qvchain_2(int depth, void (*at)(void*), void* context) {
    int a = depth * depth, b = a ^ depth, c = b + qvchain_sink;
    int r = QVCHAIN_STEP(qvchain_3, depth, at, context);
    return r * a + b - c;
}

[[gnu::noinline]] int qvchain_1(int depth, void (*at)(void*), void* context) {
    int a = depth << 2;
    int r = QVCHAIN_STEP(qvchain_2, depth, at, context);
    return r * a + qvchain_sink;
}

[[gnu::noinline]] int qvchain_0(int depth, void (*at)(void*), void* context) {
    volatile long buffer[6];
    for (int i = 0; i < 6; ++i) buffer[i] = depth - i;
    int r = QVCHAIN_STEP(qvchain_1, depth, at, context);
    return r + static_cast<int>(buffer[depth % 6]);
}

int qvchain_enter(int depth, void (*at)(void*), void* context) { return qvchain_0(depth, at, context); }

}  // extern "C"
