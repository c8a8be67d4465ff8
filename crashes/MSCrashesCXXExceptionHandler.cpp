#include "crashes/MSCrashesCXXExceptionHandler.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

namespace quorvane {

namespace {

// A spin lock: the terminate handler may run while the process is in any state, and holds the
// lock while it calls the handlers.
class SpinLock {
public:
    void lock() {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

struct HandlerManagerState {
    SpinLock lock;
    std::vector<MSCrashesUncaughtCXXExceptionHandler> handlers;
    std::atomic<bool> installed{false};
    std::terminate_handler previous = nullptr;
};

// Never destroyed: a thread may throw, and terminate may run, while the process exits.
HandlerManagerState& state() {
    static auto* s = new HandlerManagerState;
    return *s;
}

pthread_key_t gThrowRecordKey;
std::atomic<bool> gThrowRecordKeyCreated{false};
std::once_flag gThrowRecordKeyOnce;

void createThrowRecordKey() {
    std::call_once(gThrowRecordKeyOnce, [] {
        if (pthread_key_create(&gThrowRecordKey, std::free) == 0) gThrowRecordKeyCreated.store(true);
    });
}

}  // namespace

bool MSCrashesCXXThrowRecordingEnabled() {
    return state().installed.load(std::memory_order_acquire) && gThrowRecordKeyCreated.load(std::memory_order_acquire);
}

MSCrashesCXXThrowRecord* MSCrashesCXXThrowRecordForCurrentThread() {
    if (!gThrowRecordKeyCreated.load(std::memory_order_acquire)) return nullptr;
    auto* record = static_cast<MSCrashesCXXThrowRecord*>(pthread_getspecific(gThrowRecordKey));
    if (record) return record;
    record = static_cast<MSCrashesCXXThrowRecord*>(std::calloc(1, sizeof(MSCrashesCXXThrowRecord)));
    if (!record) return nullptr;
    if (pthread_setspecific(gThrowRecordKey, record) != 0) {
        std::free(record);
        return nullptr;
    }
    return record;
}

const MSCrashesCXXThrowRecord* MSCrashesCXXThrowRecordIfAny() {
    if (!gThrowRecordKeyCreated.load(std::memory_order_acquire)) return nullptr;
    return static_cast<const MSCrashesCXXThrowRecord*>(pthread_getspecific(gThrowRecordKey));
}

void MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(MSCrashesUncaughtCXXExceptionHandler handler) {
    createThrowRecordKey();
    auto& s = state();
    std::lock_guard<SpinLock> guard(s.lock);
    if (!s.installed.load()) {
        s.previous = std::set_terminate(uncaughtCXXTerminateHandler);
        s.installed.store(true, std::memory_order_release);
    }
    s.handlers.push_back(handler);
}

void MSCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    MSCrashesUncaughtCXXExceptionHandler handler) {
    auto& s = state();
    std::lock_guard<SpinLock> guard(s.lock);
    auto it = std::find(s.handlers.begin(), s.handlers.end(), handler);
    if (it != s.handlers.end()) s.handlers.erase(it);
    if (!s.installed.load() || !s.handlers.empty()) return;
    std::terminate_handler current = std::set_terminate(s.previous);
    if (current == uncaughtCXXTerminateHandler) {
        s.installed.store(false, std::memory_order_release);
        s.previous = nullptr;
    } else {
        // Someone installed a terminate handler of their own since: theirs stays in force.
        std::set_terminate(current);
    }
}

uint32_t MSCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
    auto& s = state();
    std::lock_guard<SpinLock> guard(s.lock);
    return static_cast<uint32_t>(s.handlers.size());
}

void uncaughtCXXTerminateHandler() {
    std::exception_ptr current = std::current_exception();
    MSCrashesUncaughtCXXExceptionInfo info = {};
    uint64_t ownFrames[MSCrashesCXXThrowRecord::kMaxFrames] = {};
    auto& s = state();
    s.lock.lock();
    if (current) {
        info.exception = &current;
        const std::type_info* type = abi::__cxa_current_exception_type();
        info.exceptionTypeName = type ? type->name() : nullptr;

        // The frames of this thread's last throw, whichever exception that was; without one, the
        // terminate path as it stands. Either way the first frame (the recorder's own) is left out.
        uint32_t count = 0;
        const uint64_t* frames = nullptr;
        if (const auto* record = MSCrashesCXXThrowRecordIfAny()) {
            count = record->frameCount;
            frames = record->frames;
        } else {
            void* addresses[MSCrashesCXXThrowRecord::kMaxFrames] = {};
            int n = ::backtrace(addresses, MSCrashesCXXThrowRecord::kMaxFrames);
            for (int i = 0; i < n; ++i) ownFrames[i] = reinterpret_cast<uintptr_t>(addresses[i]);
            count = n > 0 ? static_cast<uint32_t>(n) : 0;
            frames = ownFrames;
        }
        info.exceptionFramesCount = count > 0 ? count - 1 : 0;
        info.exceptionFrames = count > 0 ? frames + 1 : nullptr;

        // The message by the exception's type. The holder keeps the exception object alive, so
        // the texts stay valid while the handlers run. (There is no object runtime here whose
        // exceptions would be left to a handler of their own.)
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            info.exceptionMessage = e.what();
        } catch (const std::exception* e) {
            info.exceptionMessage = e ? e->what() : nullptr;
        } catch (const std::string& text) {
            info.exceptionMessage = text.c_str();
        } catch (const std::string* text) {
            info.exceptionMessage = text ? text->c_str() : nullptr;
        } catch (const char* text) {
            info.exceptionMessage = text;
        } catch (...) {
            info.exceptionMessage = nullptr;
        }
        for (auto handler : s.handlers) handler(&info);
    }
    std::terminate_handler previous = s.previous;
    s.lock.unlock();
    if (previous) previous();
    std::abort();
}

}  // namespace quorvane
