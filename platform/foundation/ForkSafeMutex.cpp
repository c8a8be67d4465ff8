#include "platform/foundation/ForkSafeMutex.h"

#include <sched.h>
#include <time.h>

#include <chrono>

namespace quorvane::platform {

namespace {
std::atomic<uint64_t> generation{0};
}  // namespace

// Every live ForkSafeMutex, in a list of their own links (nothing is allocated around a fork).
struct ForkRegistry {
    static ForkRegistry& shared() {
        static auto* registry = new ForkRegistry;  // never destroyed: mutexes of statics outlive exit
        return *registry;
    }

    ForkRegistry() { ::pthread_atfork(&prepare, &parent, &child); }

    void add(ForkSafeMutex* m) {
        std::lock_guard lock(mutex);
        m->next_ = head;
        if (head) head->previous_ = m;
        head = m;
    }

    void remove(ForkSafeMutex* m) {
        std::lock_guard lock(mutex);
        if (m->previous_) m->previous_->next_ = m->next_;
        else head = m->next_;
        if (m->next_) m->next_->previous_ = m->previous_;
    }

    // Lets go of the mutexes the preparation took.
    void releaseTaken() {
        for (ForkSafeMutex* m = head; m; m = m->next_) {
            if (!m->takenForFork_) continue;
            m->takenForFork_ = false;
            m->owner_.store(0, std::memory_order_relaxed);
            m->mutex_.unlock();
        }
    }

    // Takes every mutex, none while waiting for another: on one held elsewhere it lets go of all
    // (its holder may be waiting for one of them), waits a moment for that one alone (its holder
    // may also wait for the registry: the wait is short) and goes on from there. A mutex still
    // held elsewhere after kGiveUpSeconds (its holder waits for this very thread) is left as it is.
    static void prepare() {
        constexpr double kGiveUpSeconds = 10;
        auto& self = shared();
        const pthread_t me = ::pthread_self();
        timespec start{};
        ::clock_gettime(CLOCK_MONOTONIC, &start);
        for (unsigned attempt = 0;; ++attempt) {
            self.mutex.lock();
            for (;;) {
                timespec now{};
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                const bool givingUp =
                    double(now.tv_sec - start.tv_sec) + 1e-9 * double(now.tv_nsec - start.tv_nsec) > kGiveUpSeconds;
                ForkSafeMutex* held = nullptr;
                for (ForkSafeMutex* m = self.head; m; m = m->next_) {
                    if (m->takenForFork_ || m->owner_.load(std::memory_order_relaxed) == me) continue;
                    if (!m->mutex_.try_lock()) {
                        if (givingUp) continue;
                        held = m;
                        break;
                    }
                    m->owner_.store(me, std::memory_order_relaxed);
                    m->takenForFork_ = true;
                }
                if (!held) return;  // all held, the registry too, until the fork is made
                self.releaseTaken();
                if (!held->mutex_.try_lock_for(std::chrono::milliseconds(20))) break;
                held->owner_.store(me, std::memory_order_relaxed);
                held->takenForFork_ = true;
            }
            self.mutex.unlock();
            if (attempt < 100) ::sched_yield();
        }
    }

    static void parent() {
        auto& self = shared();
        self.releaseTaken();
        self.mutex.unlock();
    }

    static void child() {
        generation.fetch_add(1, std::memory_order_relaxed);
        parent();
    }

    std::mutex mutex;
    ForkSafeMutex* head = nullptr;
};

ForkSafeMutex::ForkSafeMutex(bool recursive) : recursive_(recursive) { ForkRegistry::shared().add(this); }

ForkSafeMutex::~ForkSafeMutex() { ForkRegistry::shared().remove(this); }

void ForkSafeMutex::lock() {
    const pthread_t me = ::pthread_self();
    if (recursive_ && owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

bool ForkSafeMutex::try_lock() {
    const pthread_t me = ::pthread_self();
    if (recursive_ && owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!mutex_.try_lock()) return false;
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void ForkSafeMutex::unlock() {
    if (--depth_ > 0) return;
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
}

uint64_t forkGeneration() {
    ForkRegistry::shared();  // counts from the first call on
    return generation.load(std::memory_order_relaxed);
}

}  // namespace quorvane::platform
