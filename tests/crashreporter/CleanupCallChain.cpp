// C++ code for the unwinding tests, built as optimised programs are (-O2 without frame pointers,
// see tests/CMakeLists.txt): functions with cleanups that pass arguments on the stack to a
// function of another file, so the compiler tracks the pushed bytes in the call-frame
// information for the handlers.

#include <string>

#include "tests/crashreporter/DwarfCallChain.h"

namespace {

struct Cleanup {
    std::string text;
    ~Cleanup() { qvdwarf_sink_text(text.c_str()); }
};

}  // namespace

extern "C" {

[[gnu::noinline]] int qvwalk_outer2(int value) {
    Cleanup cleanup{std::string(40, 'x')};
    int r = qvdwarf_many(value, 1, 2, 3, 4, 5, 6, 7, 8, 9);
    r += qvdwarf_many(value + 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
    return r + static_cast<int>(cleanup.text.size());
}

[[gnu::noinline]] int qvwalk_outer1(int value) {
    Cleanup cleanup{std::string(40, 'y')};
    return qvwalk_outer2(value) + static_cast<int>(cleanup.text.size());
}

}  // extern "C"
