#pragma once
// Mutexes that a child forked without exec can take. A fork copies a lock as it is at that moment:
// held by a thread of the parent, it stays held for ever in the child, which has no such thread,
// and what it guards may be half changed. Every ForkSafeMutex is known to one registry, and around
// each fork (pthread_atfork) the forking thread holds all of them: the fork waits until no other
// thread is inside any of their sections, so the child finds each one free and what it guards as
// it was between two holders. The forking thread never waits on one while holding others (on one
// held elsewhere it lets go of all and waits a moment for that one alone, then tries again), so a
// fork never deadlocks against threads that take them in any order; a lock the forking thread
// holds itself stays its own, in the child as well.
//
// Also, forkGeneration() counts the forks this process has seen from its own start: state that is
// not a lock (a worker count, a queue's running flag) tells by it that it belongs to the parent.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace quorvane::platform {

class ForkSafeMutex {
public:
    ForkSafeMutex() : ForkSafeMutex(false) {}
    ~ForkSafeMutex();
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

protected:
    explicit ForkSafeMutex(bool recursive);

private:
    friend struct ForkRegistry;
    std::timed_mutex mutex_;
    std::atomic<pthread_t> owner_{0};
    unsigned depth_ = 0;  // the owner's, for a recursive one
    const bool recursive_;
    bool takenForFork_ = false;  // held by the fork's own preparation
    ForkSafeMutex* previous_ = nullptr;  // in the registry
    ForkSafeMutex* next_ = nullptr;
};

// Taken again by the thread that holds it, released by as many unlocks.
class ForkSafeRecursiveMutex : public ForkSafeMutex {
public:
    ForkSafeRecursiveMutex() : ForkSafeMutex(true) {}
};

// How many forks made this process from the process that started it (0 before any).
uint64_t forkGeneration();

}  // namespace quorvane::platform
