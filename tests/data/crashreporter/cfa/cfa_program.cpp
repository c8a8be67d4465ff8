// A C++ program of the shapes whose call-frame information compilers vary the most: cleanups and
// handlers around calls with arguments on the stack, frames of run-time size, variadic calls,
// virtual calls, lambdas, functions that never return. The crash engine's tests build it with g++
// and clang at -O2 and -O0 and run the call-frame program of every function it holds.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" int qvcfa_many(int a, int b, int c, int d, int e, int f, int g, int h, int i, int j);

namespace {

struct Cleanup {
    std::string text;
    ~Cleanup() { std::fputs(text.c_str(), stderr); }
};

struct Shape {
    virtual ~Shape() = default;
    virtual long area(int scale) const = 0;
};

struct Box : Shape {
    long w, h;
    Box(long w, long h) : w(w), h(h) {}
    long area(int scale) const override { return w * h * scale + qvcfa_many(scale, 1, 2, 3, 4, 5, 6, 7, 8, 9); }
};

long sum(int count, ...) {
    va_list args;
    va_start(args, count);
    long total = 0;
    for (int i = 0; i < count; ++i) total += va_arg(args, long);
    va_end(args);
    return total;
}

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

}  // namespace

extern "C" int qvcfa_many(int a, int b, int c, int d, int e, int f, int g, int h, int i, int j) {
    if (a == -1) fail("negative");
    return a + b + c + d + e + f + g + h + i + j;
}

extern "C" long qvcfa_cleanups(int value) {
    Cleanup outer{std::string(static_cast<size_t>(value & 63), 'x')};
    long r = qvcfa_many(value, 1, 2, 3, 4, 5, 6, 7, 8, 9);
    Cleanup inner{std::to_string(r)};
    r += qvcfa_many(value + 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
    return r + static_cast<long>(outer.text.size() + inner.text.size());
}

extern "C" long qvcfa_handler(int value) {
    try {
        std::vector<std::unique_ptr<Shape>> shapes;
        for (int i = 0; i < value; ++i) shapes.push_back(std::make_unique<Box>(i, value));
        long total = 0;
        for (const auto& s : shapes) total += s->area(value);
        if (total < 0) fail("overflow");
        return total;
    } catch (const std::exception& e) {
        return -static_cast<long>(std::string(e.what()).size());
    }
}

extern "C" long qvcfa_runtime_frame(int count) {
    auto* buffer = static_cast<long*>(__builtin_alloca(sizeof(long) * static_cast<size_t>(count + 1)));
    for (int i = 0; i <= count; ++i) buffer[i] = qvcfa_many(i, count, 0, 0, 0, 0, 0, 0, 0, 0);
    long total = 0;
    for (int i = 0; i <= count; ++i) total += buffer[i];
    return total + sum(3, total, 2L, 3L);
}

extern "C" long qvcfa_lambdas(int value) {
    std::function<long(int)> step = [&](int n) -> long { return n <= 0 ? value : n + step(n - 1); };
    Cleanup c{"done"};
    return step(value) + qvcfa_many(value, value, value, value, value, value, value, value, value, value);
}

extern "C" [[noreturn]] void qvcfa_abort(int value) {
    std::fprintf(stderr, "%d\n", value);
    std::abort();
}

extern "C" long qvcfa_entry(int value) {
    if (value == 12345) qvcfa_abort(value);
    return qvcfa_cleanups(value) + qvcfa_handler(value) + qvcfa_runtime_frame(value) + qvcfa_lambdas(value);
}
