#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncList.h"

using quorvane::qvcrash::MS::async::async_list;

namespace {

template <typename V>
std::vector<V> contents(async_list<V>& list) {
    std::vector<V> out;
    list.set_reading(true);
    for (auto* n = list.next(nullptr); n != nullptr; n = list.next(n)) out.push_back(n->value());
    list.set_reading(false);
    return out;
}

template <typename V>
typename async_list<V>::node* find(async_list<V>& list, V value) {
    list.set_reading(true);
    auto* n = list.next(nullptr);
    while (n != nullptr && n->value() != value) n = list.next(n);
    list.set_reading(false);
    return n;
}

}  // namespace

TEST(QVCrashAsyncList, AppendPrependRemoveKeepOrder) {
    async_list<int> list;
    EXPECT_TRUE(contents(list).empty());
    list.nasync_append(2);
    list.nasync_append(3);
    list.nasync_prepend(1);
    list.nasync_prepend(0);
    EXPECT_EQ(contents(list), (std::vector<int>{0, 1, 2, 3}));

    list.nasync_remove_node(find(list, 0));  // head
    list.nasync_remove_node(find(list, 3));  // tail
    EXPECT_EQ(contents(list), (std::vector<int>{1, 2}));
    list.nasync_append(4);                   // tail was updated
    list.nasync_remove_node(find(list, 2));  // middle
    EXPECT_EQ(contents(list), (std::vector<int>{1, 4}));
    list.nasync_remove_node(find(list, 1));
    list.nasync_remove_node(find(list, 4));
    EXPECT_TRUE(contents(list).empty());
    list.nasync_prepend(7);  // an emptied list starts over
    list.nasync_append(8);
    EXPECT_EQ(contents(list), (std::vector<int>{7, 8}));

    // A node that is not in the list is ignored.
    async_list<int> other;
    other.nasync_append(9);
    list.nasync_remove_node(find(other, 9));
    EXPECT_EQ(contents(list), (std::vector<int>{7, 8}));
}

TEST(QVCrashAsyncList, ANodeRemovedUnderAReaderStaysReadable) {
    async_list<int> list;
    list.nasync_append(1);
    list.nasync_append(2);
    list.set_reading(true);
    auto* node = list.next(nullptr);
    ASSERT_EQ(node->value(), 1);
    list.nasync_remove_node(node);  // parked, not freed
    EXPECT_EQ(node->value(), 1);   // AddressSanitizer would catch a freed node here
    // While the reader is active a new element gets fresh memory, not the parked node.
    list.nasync_append(3);
    EXPECT_EQ(node->value(), 1);
    list.set_reading(false);

    EXPECT_EQ(contents(list), (std::vector<int>{2, 3}));
    // Once nobody reads, the parked node is reused.
    list.nasync_append(4);
    EXPECT_EQ(contents(list), (std::vector<int>{2, 3, 4}));
}

// Readers on several threads walk the list while writers add and remove elements. Every
// element is a pair whose halves belong together, so a reader that saw a node being reused
// or freed under it would find a mismatched pair (or AddressSanitizer a freed node).
TEST(QVCrashAsyncList, ReadersOnSeveralThreadsSeeConsistentEntries) {
    struct Pair {
        uint64_t key;
        uint64_t check;
    };
    async_list<Pair> list;
    for (uint64_t i = 0; i < 16; ++i) list.nasync_append({i, ~i});

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> walks{0}, bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                list.set_reading(true);
                size_t steps = 0;
                for (auto* n = list.next(nullptr); n != nullptr && steps < 100000; n = list.next(n), ++steps) {
                    Pair p = n->value();
                    if (p.check != ~p.key) bad.fetch_add(1);
                }
                list.set_reading(false);
                walks.fetch_add(1);
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (uint64_t i = 0; i < 4000; ++i) {
                uint64_t key = 1000000 * (w + 1) + i;
                if (i % 2) list.nasync_append({key, ~key});
                else list.nasync_prepend({key, ~key});
                // Remove an element this writer added earlier.
                if (i >= 8) {
                    uint64_t old = key - 8;
                    list.set_reading(true);
                    auto* n = list.next(nullptr);
                    while (n != nullptr && n->value().key != old) n = list.next(n);
                    list.set_reading(false);
                    if (n) list.nasync_remove_node(n);
                }
            }
        });
    }
    for (auto& t : writers) t.join();
    // Let the readers finish at least a few walks over the final list.
    uint64_t seen = walks.load();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (walks.load() < seen + 10 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    stop = true;
    for (auto& t : readers) t.join();

    EXPECT_EQ(bad.load(), 0u);
    // 16 initial + 2 writers x 8 survivors.
    list.set_reading(true);
    size_t count = 0;
    for (auto* n = list.next(nullptr); n != nullptr; n = list.next(n)) ++count;
    list.set_reading(false);
    EXPECT_EQ(count, 32u);
}
