// The program's own __cxa_throw. Every C++ throw compiled into the program passes through it: it
// keeps the throw site's return addresses for the throwing thread (while the terminate handler is
// installed), then hands the throw on, unchanged, to the runtime's. It is built as an object
// file linked straight into each executable, so the executable's definition is the one the
// program's throws bind to.

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <typeinfo>

#include "crashes/MSCrashesCXXExceptionHandler.h"

namespace {

using CxaThrowFunction = void (*)(void*, std::type_info*, void (*)(void*));

CxaThrowFunction gNextCxaThrow = nullptr;
const void* gObjectRuntimeEHTypeVtable = nullptr;
std::once_flag gResolveOnce;

void resolve() {
    gNextCxaThrow = reinterpret_cast<CxaThrowFunction>(::dlsym(RTLD_NEXT, "__cxa_throw"));
    gObjectRuntimeEHTypeVtable = ::dlsym(RTLD_DEFAULT, "objc_ehtype_vtable");
}

// Exceptions of an object runtime carry that runtime's type information, whose virtual table
// pointer points two slots into its table.
bool isObjectRuntimeException(const std::type_info* tinfo) {
    if (tinfo == nullptr || gObjectRuntimeEHTypeVtable == nullptr) return false;
    const void* vtable = *reinterpret_cast<const void* const*>(tinfo);
    return vtable == static_cast<const char*>(gObjectRuntimeEHTypeVtable) + 16;
}

// throwSite: the hook's return address into the code that threw.
__attribute__((noinline)) void recordThrow(void* thrown, const void* throwSite) {
    if (!quorvane::MSCrashesCXXThrowRecordingEnabled()) return;
    auto* record = quorvane::MSCrashesCXXThrowRecordForCurrentThread();
    if (record == nullptr) return;
    constexpr int kMax = quorvane::MSCrashesCXXThrowRecord::kMaxFrames;
    void* addresses[kMax + 2];
    const int n = ::backtrace(addresses, kMax + 2);
    // The walk starts inside this recorder (and, where backtrace is intercepted, inside the
    // interceptor): keep one frame before the throw site, the hook's own, and drop the rest.
    int first = 0;
    for (int i = 1; i < n; ++i) {
        if (addresses[i] == throwSite) {
            first = i - 1;
            break;
        }
    }
    uint32_t count = 0;
    for (int i = first; i < n && count < static_cast<uint32_t>(kMax); ++i)
        record->frames[count++] = reinterpret_cast<uintptr_t>(addresses[i]);
    record->thrownObject = thrown;
    record->frameCount = count;
}

}  // namespace

extern "C" void __cxa_throw(void* thrownException, std::type_info* tinfo, void (*destructor)(void*)) {
    std::call_once(gResolveOnce, resolve);
    if (!isObjectRuntimeException(tinfo)) recordThrow(thrownException, __builtin_return_address(0));
    if (gNextCxaThrow == nullptr) std::abort();
    gNextCxaThrow(thrownException, tinfo, destructor);
    std::abort();  // the runtime's throw never returns
}
