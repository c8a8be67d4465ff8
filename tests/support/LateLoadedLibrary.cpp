// A library the crash tests load only after the crash reporter is enabled, and crash inside. It
// is built optimised without frame pointers, so only its own call-frame information leads back
// out of it: a report walks out of it only when the library is in the engine's image list.
// The static function after the first exported one is named only by the full symbol table.

extern "C" __attribute__((noinline, visibility("default"))) int qvtest_late_library_crash(int value) {
    volatile int* bad = reinterpret_cast<volatile int*>(static_cast<unsigned long>(0x10));
    *bad = value;
    asm volatile("");
    return value + 1;
}

extern "C" {

static __attribute__((noinline)) int qvtest_late_static_crash(int value) {
    volatile int* bad = reinterpret_cast<volatile int*>(static_cast<unsigned long>(0x10));
    *bad = value;
    asm volatile("");
    return value + 2;
}

__attribute__((noinline, visibility("default"))) int qvtest_late_library_static_crash(int value) {
    int r = qvtest_late_static_crash(value + 1);
    asm volatile("");
    return r * 3;
}

}  // extern "C"
