#include <gtest/gtest.h>

#include "platform/foundation/DispatchData.h"

using namespace quorvane::platform;

TEST(DataSlice, SharesItsBufferAndCutsWindowsToTheEnd) {
    auto buffer = std::make_shared<const Bytes>(Bytes{'a', 'b', 'c', 'd', 'e'});
    DataSlice whole(buffer);
    EXPECT_EQ(whole.view(), "abcde");
    DataSlice window(buffer, 1, 3);
    EXPECT_EQ(window.view(), "bcd");
    EXPECT_EQ(window.data(), buffer->data() + 1);
    EXPECT_EQ(window.slice(1, 100).view(), "cd");
    EXPECT_EQ(window.slice(1, 100).data(), buffer->data() + 2);
    EXPECT_EQ(window.slice(9, 1).size(), 0u);
    EXPECT_EQ(DataSlice(buffer, 4, 10).view(), "e");
    EXPECT_EQ(DataSlice(buffer, 10, 10).size(), 0u);
    EXPECT_TRUE(DataSlice().empty());
    EXPECT_EQ(DataSlice(nullptr).size(), 0u);
    EXPECT_EQ(DataSlice::fromString("bcd"), window);
    EXPECT_EQ(DataSlice::copyOf(nullptr, 3).size(), 0u);
}

TEST(DispatchData, ReadsRegionsAsOneSequenceAndSharesThemInSubranges) {
    auto buffer = std::make_shared<const Bytes>(Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    DispatchData data;
    data.append(DataSlice(buffer, 0, 3));
    data.append(DataSlice());  // empty slices are left out
    data.append(DataSlice(buffer, 3, 4));
    data.append(DataSlice(buffer, 7, 3));
    EXPECT_EQ(data.size(), 10u);
    EXPECT_EQ(data.regions().size(), 3u);
    EXPECT_EQ(data.string(), "0123456789");

    DispatchData middle = data.subrange(2, 6);
    EXPECT_EQ(middle.string(), "234567");
    ASSERT_EQ(middle.regions().size(), 3u);
    EXPECT_EQ(middle.regions()[0].data(), buffer->data() + 2);
    EXPECT_EQ(data.subrange(3, 4).regions().size(), 1u);
    EXPECT_EQ(data.subrange(8, 100).string(), "89");
    EXPECT_TRUE(data.subrange(10, 1).empty());
    EXPECT_TRUE(data.subrange(4, 0).empty());

    // Equality and hash ignore how the bytes are cut.
    DispatchData flat = DispatchData::fromString("0123456789");
    EXPECT_EQ(flat, data);
    EXPECT_EQ(flat.hash(), data.hash());
    EXPECT_NE(flat, DispatchData::fromString("0123456780"));
    EXPECT_NE(flat, DispatchData::fromString("012345678"));
    EXPECT_EQ(DispatchData(), DispatchData::fromString(""));

    // One region is handed out as itself; several are joined into a copy.
    EXPECT_EQ(data.subrange(3, 4).contiguous().data(), buffer->data() + 3);
    EXPECT_EQ(data.contiguous().view(), "0123456789");

    DispatchData twice = data;
    twice.append(twice);
    EXPECT_EQ(twice.string(), "01234567890123456789");
    EXPECT_EQ(twice.subrange(9, 2).string(), "90");
}
