#pragma once
// A list that a signal handler can walk without locks while ordinary threads change it.
//
// Writers take the list's spin lock. Every link a reader follows is published with one
// compare-and-swap after the node is complete, so a reader interrupting a writer sees a
// consistent list. Readers announce themselves through an atomic reader count; a node
// removed while readers are active is parked instead of freed (keeping its way on), and
// parked nodes are only reused once no reader is active, so a reader never sees a node
// change or vanish under it.

#include <atomic>
#include <cstdlib>
#include <new>

#include "crashreporter/capture/QVCrashAsync.h"

namespace quorvane::qvcrash::MS::async {

template <typename V>
class async_list {
public:
    class node {
    public:
        V value() const { return _value; }

    private:
        friend class async_list;
        V _value{};
        std::atomic<node*> _prev{nullptr};
        std::atomic<node*> _next{nullptr};
        node* _parked_next = nullptr;  // writers only; never followed by readers
    };

    async_list() = default;
    async_list(const async_list&) = delete;
    async_list& operator=(const async_list&) = delete;
    ~async_list() { free_all(); }

    void nasync_append(V value);
    void nasync_prepend(V value);
    void nasync_remove_node(node* deleted);

    // true: the caller starts reading (reader count + 1); false: it stops (- 1).
    void set_reading(bool enable) {
        if (enable) _refcount.fetch_add(1, std::memory_order_seq_cst);
        else _refcount.fetch_sub(1, std::memory_order_seq_cst);
    }

    // Readers active right now (writers use it to tell when nothing can still hold a node).
    int32_t reader_count() const { return _refcount.load(std::memory_order_seq_cst); }

    // The node after current, or the head when current is null. Only while reading.
    node* next(node* current) {
        if (_refcount.load(std::memory_order_seq_cst) <= 0) QVCRASH_DEBUG("Assertion failed: _refcount > 0");
        if (current == nullptr) return _head.load(std::memory_order_acquire);
        return current->_next.load(std::memory_order_acquire);
    }

    // Frees every live and parked node. Only when nothing else uses the list (process exit, tests).
    void free_all();

private:
    void lock() {
        while (_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { _lock.clear(std::memory_order_release); }
    node* new_node(V value);

    std::atomic_flag _lock = ATOMIC_FLAG_INIT;
    std::atomic<node*> _head{nullptr};
    node* _tail = nullptr;
    std::atomic<int32_t> _refcount{0};
    node* _free = nullptr;  // parked nodes, linked through _parked_next
};

template <typename V>
typename async_list<V>::node* async_list<V>::new_node(V value) {
    node* n = nullptr;
    // A parked node may still be in the hands of a reader that started before it was
    // removed; it is only taken again once no reader is active.
    if (_free != nullptr && _refcount.load(std::memory_order_seq_cst) == 0) {
        n = _free;
        _free = n->_parked_next;
        n->_parked_next = nullptr;
    } else {
        void* mem = std::malloc(sizeof(node));
        if (mem == nullptr) {
            QVCRASH_DEBUG("Assertion failed: ptr != __null");
            std::abort();
        }
        n = new (mem) node();
    }
    n->_value = value;
    n->_prev.store(nullptr, std::memory_order_relaxed);
    n->_next.store(nullptr, std::memory_order_relaxed);
    return n;
}

template <typename V>
void async_list<V>::nasync_append(V value) {
    lock();
    node* n = new_node(value);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (_tail != nullptr) {
        node* expected = nullptr;
        if (!_tail->_next.compare_exchange_strong(expected, n, std::memory_order_seq_cst)) {
            QVCRASH_DEBUG("Failed to append to image list despite holding lock");
        }
        n->_prev.store(_tail, std::memory_order_seq_cst);
        _tail = n;
    } else {
        _tail = n;
        node* expected = nullptr;
        if (!_head.compare_exchange_strong(expected, n, std::memory_order_seq_cst)) {
            QVCRASH_DEBUG("An async image head was set with tail == NULL despite holding lock.");
        }
    }
    unlock();
}

template <typename V>
void async_list<V>::nasync_prepend(V value) {
    lock();
    node* n = new_node(value);
    node* head = _head.load(std::memory_order_seq_cst);
    if (head != nullptr) {
        n->_next.store(head, std::memory_order_seq_cst);
        head->_prev.store(n, std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!_head.compare_exchange_strong(head, n, std::memory_order_seq_cst)) {
            QVCRASH_DEBUG("Failed to prepend to image list despite holding lock");
        }
    } else {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        _tail = n;
        node* expected = nullptr;
        if (!_head.compare_exchange_strong(expected, n, std::memory_order_seq_cst)) {
            QVCRASH_DEBUG("An async image head was set with tail == NULL despite holding lock.");
        }
    }
    unlock();
}

template <typename V>
void async_list<V>::nasync_remove_node(node* deleted) {
    lock();
    node* item = _head.load(std::memory_order_seq_cst);
    while (item != nullptr && item != deleted) item = item->_next.load(std::memory_order_seq_cst);
    if (item == nullptr) {
        unlock();
        return;
    }

    node* prev = item->_prev.load(std::memory_order_seq_cst);
    node* next = item->_next.load(std::memory_order_seq_cst);
    if (prev == nullptr) {
        node* expected = item;
        if (!_head.compare_exchange_strong(expected, next, std::memory_order_seq_cst)) {
            QVCRASH_DEBUG("Failed to remove image list head despite holding lock");
        }
    } else {
        node* expected = item;
        if (!prev->_next.compare_exchange_strong(expected, next, std::memory_order_seq_cst)) {
            QVCRASH_DEBUG("Failed to remove image list item despite holding lock");
        }
    }
    if (next != nullptr) next->_prev.store(prev, std::memory_order_seq_cst);
    else _tail = prev;

    if (_refcount.load(std::memory_order_seq_cst) >= 1) {
        // A reader may be standing on the node: park it instead of freeing it. Its next link
        // is kept, so that reader goes on to the rest of the list instead of stopping short;
        // what it leads to is live or parked, and parked nodes are neither freed nor reused
        // while anyone reads.
        item->_parked_next = _free;
        _free = item;
    } else {
        item->~node();
        std::free(item);
    }
    unlock();
}

template <typename V>
void async_list<V>::free_all() {
    lock();
    node* item = _head.exchange(nullptr, std::memory_order_seq_cst);
    _tail = nullptr;
    while (item != nullptr) {
        node* next = item->_next.load(std::memory_order_relaxed);
        item->~node();
        std::free(item);
        item = next;
    }
    while (_free != nullptr) {
        node* next = _free->_parked_next;
        _free->~node();
        std::free(_free);
        _free = next;
    }
    unlock();
}

}  // namespace quorvane::qvcrash::MS::async
