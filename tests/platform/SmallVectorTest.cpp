// The small vector keeps its first elements inside itself and moves to the heap beyond them;
// elements with owners of their own (shared pointers) show under the sanitizers any element
// lost, destroyed twice or left behind by growth, moves, copies and erasure.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/foundation/SmallVector.h"

using quorvane::platform::SmallVector;

namespace {

using Values = SmallVector<std::shared_ptr<int>, 2>;

std::vector<int> contents(const Values& v) {
    std::vector<int> out;
    for (const auto& p : v) out.push_back(p ? *p : -1);
    return out;
}

Values make(int n) {
    Values v;
    for (int i = 0; i < n; ++i) v.push_back(std::make_shared<int>(i));
    return v;
}

}  // namespace

TEST(SmallVector, InlineAndHeapFormsBehaveAlike) {
    for (int n : {0, 1, 2, 3, 9}) {
        SCOPED_TRACE(n);
        auto v = make(n);
        std::vector<int> expected;
        for (int i = 0; i < n; ++i) expected.push_back(i);
        EXPECT_EQ(contents(v), expected);
        EXPECT_GE(v.capacity(), size_t(n));

        Values copied(v);  // a copy shares the elements, the source keeps them
        EXPECT_EQ(contents(copied), expected);
        if (n) EXPECT_EQ(v[0].use_count(), 2);

        Values moved(std::move(copied));  // a move takes them, inline or not
        EXPECT_EQ(contents(moved), expected);
        EXPECT_TRUE(copied.empty());
        if (n) EXPECT_EQ(v[0].use_count(), 2);

        Values assigned = make(5);
        assigned = std::move(moved);
        EXPECT_EQ(contents(assigned), expected);
        assigned = v;
        EXPECT_EQ(contents(assigned), expected);
        if (n) EXPECT_EQ(v[0].use_count(), 2);

        // Pushing an element of the vector itself while it grows.
        v.push_back(n ? v[0] : std::make_shared<int>(0));
        EXPECT_EQ(*v.back(), 0);
    }
}

TEST(SmallVector, EraseKeepsOrderAndReleasesTheRest) {
    auto v = make(6);
    auto watched = v[3];
    v.erase(std::remove_if(v.begin(), v.end(), [](const auto& p) { return *p % 2 == 1; }), v.end());
    EXPECT_EQ(contents(v), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(watched.use_count(), 1);
    v.erase(v.begin());
    EXPECT_EQ(contents(v), (std::vector<int>{2, 4}));
    v.clear();
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v.toVector().size(), 0u);
}
