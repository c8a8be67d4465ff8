#pragma once
// A call chain built the way optimised programs are (see bench/CMakeLists.txt): -O2 without frame
// pointers, every call kept as a call, so that a walk through it reads each frame's call-frame
// information. Eight functions of different frame shapes call one another in turn.

extern "C" {
// Calls itself through the eight functions depth times, then at(context) at the bottom.
int qvchain_enter(int depth, void (*at)(void*), void* context);
}
