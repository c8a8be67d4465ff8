#include "platform/crash/ProcessHooks.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <memory>
#include <new>

namespace quorvane::platform::crash {

namespace {

std::atomic<ThreadStartHook> gThreadStartHook{nullptr};
std::atomic<ImageChangeHook> gImageChangeHook{nullptr};

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using Dlopen = void* (*)(const char*, int);
using Dlclose = int (*)(void*);

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

struct Start {
    void* (*routine)(void*);
    void* arg;
    ThreadStartHook hook;
};

void* startThread(void* p) {
    const Start start = *std::unique_ptr<Start>(static_cast<Start*>(p));
    start.hook();
    return start.routine(start.arg);
}

void imagesChanged() {
    if (ImageChangeHook hook = gImageChangeHook.load(std::memory_order_acquire)) hook();
}

}  // namespace

void setThreadStartHook(ThreadStartHook hook) { gThreadStartHook.store(hook, std::memory_order_release); }
void setImageChangeHook(ImageChangeHook hook) { gImageChangeHook.store(hook, std::memory_order_release); }

}  // namespace quorvane::platform::crash

using namespace quorvane::platform::crash;

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*),
                              void* arg) noexcept {
    static const PthreadCreate real = next<PthreadCreate>("pthread_create");
    ThreadStartHook hook = gThreadStartHook.load(std::memory_order_acquire);
    if (hook == nullptr) return real(thread, attr, routine, arg);
    std::unique_ptr<Start> start(new (std::nothrow) Start{routine, arg, hook});
    if (start == nullptr) return real(thread, attr, routine, arg);
    int rc = real(thread, attr, startThread, start.get());
    if (rc == 0) start.release();  // the new thread owns it now
    return rc;
}

extern "C" void* dlopen(const char* file, int mode) noexcept {
    static const Dlopen real = next<Dlopen>("dlopen");
    void* handle = real(file, mode);
    if (handle != nullptr) imagesChanged();
    return handle;
}

extern "C" int dlclose(void* handle) noexcept {
    static const Dlclose real = next<Dlclose>("dlclose");
    int rc = real(handle);
    if (rc == 0) imagesChanged();
    return rc;
}
