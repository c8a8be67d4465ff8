#pragma once
// A chain of five calls whose innermost throws an exception of the chosen kind, with names that
// stay recognisable in a stack (plain C symbols, never inlined, no tail calls).

namespace quorvane::test {

enum class CXXThrowKind : int { RuntimeError, Int, CString, String, Custom };

// A thrown type that derives from nothing.
struct CXXCustomFailure {
    int code;
};

}  // namespace quorvane::test

extern "C" void qvThrowChainLevel1(quorvane::test::CXXThrowKind kind);
