#include "tests/crashes/CXXThrowChain.h"

#include <stdexcept>
#include <string>

using quorvane::test::CXXThrowKind;

// The empty asm after each call keeps it a call rather than a jump, so each level keeps a frame.
#define QV_CHAIN_STEP(next) \
    next(kind);             \
    asm volatile("")

extern "C" {

__attribute__((noinline)) void qvThrowChainLevel5(CXXThrowKind kind) {
    switch (kind) {
        case CXXThrowKind::RuntimeError: throw std::runtime_error("deep failure");
        case CXXThrowKind::Int: throw 42;
        case CXXThrowKind::CString: throw "plain text";
        case CXXThrowKind::String: throw std::string("string text");
        case CXXThrowKind::Custom: throw quorvane::test::CXXCustomFailure{3};
    }
    asm volatile("");
}
__attribute__((noinline)) void qvThrowChainLevel4(CXXThrowKind kind) { QV_CHAIN_STEP(qvThrowChainLevel5); }
__attribute__((noinline)) void qvThrowChainLevel3(CXXThrowKind kind) { QV_CHAIN_STEP(qvThrowChainLevel4); }
__attribute__((noinline)) void qvThrowChainLevel2(CXXThrowKind kind) { QV_CHAIN_STEP(qvThrowChainLevel3); }
__attribute__((noinline)) void qvThrowChainLevel1(CXXThrowKind kind) { QV_CHAIN_STEP(qvThrowChainLevel2); }

}
