// String helpers: truncation by UTF-16 units, trimming, newline removal.

#include <gtest/gtest.h>

#include "SyncTestSupport.h"
#include "platform/foundation/Strings.h"

namespace quorvane::testing {
namespace {

using std::nullopt;
using std::optional;
using std::string;

class QuorvaneModelStringsTest : public SyncModelTestBase {};

TEST_F(QuorvaneModelStringsTest, TruncationCountsUTF16UnitsAndNeverSplitsASurrogatePair) {
    EXPECT_EQ(model_->truncateString(nullopt, 5), nullopt);
    EXPECT_EQ(model_->truncateString(string("abc"), 5), "abc");
    EXPECT_EQ(model_->truncateString(string("abcdef"), 3), "abc");
    EXPECT_EQ(model_->truncateString(string("éèêë"), 2), "éè");  // two bytes each, one unit each
    const string emoji = "\U0001F600";                          // two UTF-16 units
    EXPECT_EQ(model_->truncateString("ab" + emoji + "cd", 4), "ab" + emoji);
    EXPECT_EQ(model_->truncateString("ab" + emoji + "cd", 3), "ab");
    EXPECT_EQ(model_->truncateString(emoji, 1), "");
    EXPECT_EQ(model_->truncateString(emoji, 2), emoji);
    EXPECT_EQ(model_->truncateString(string("abc"), 0), "");
    EXPECT_EQ(model_->truncateString(string("abc"), -4), "");
}

TEST_F(QuorvaneModelStringsTest, DefaultGoogleLengthIs1024Units) {
    string exact(1024, 'x');
    EXPECT_EQ(model_->truncateStringToDefaultMaxGoogleLength(exact), exact);
    string longer = string(1023, 'x') + "\U0001F600" + "y";
    auto cut = model_->truncateStringToDefaultMaxGoogleLength(longer);
    ASSERT_TRUE(cut);
    EXPECT_EQ(*cut, string(1023, 'x'));
    EXPECT_TRUE(platform::isValidUTF8(*cut));
}

TEST_F(QuorvaneModelStringsTest, TrimmingRemovesWhitespaceNewlinesAndControlsAtBothEndsOnly) {
    EXPECT_EQ(model_->trimWhitespaceFromString(nullopt), nullopt);
    EXPECT_EQ(model_->trimWhitespaceFromString(string(" \t\nAnna  Smith\r\n\u00A0\u3000")), "Anna  Smith");
    EXPECT_EQ(model_->trimWhitespaceFromString(string("\x01\u200BAnna\x7F")), "Anna");
    EXPECT_EQ(model_->trimWhitespaceFromString(string(" \n ")), "");
    EXPECT_EQ(model_->trimWhitespaceFromStringArray({" a ", "  ", "b\n", "\tc d"}),
              (std::vector<string>{"a", "", "b", "c d"}));
}

TEST_F(QuorvaneModelStringsTest, NewlineRunsBecomeOneBlank) {
    EXPECT_EQ(model_->removeCarriageReturnsFromString(nullopt), nullopt);
    EXPECT_EQ(model_->removeCarriageReturnsFromString(string("1 Main St\r\nApt 4\n\n\nBack")), "1 Main St Apt 4 Back");
    EXPECT_EQ(model_->removeCarriageReturnsFromString(string("a\u2028b\u0085c")), "a b c");
    EXPECT_EQ(model_->removeCarriageReturnsFromString(string("\nline\n")), " line ");
    EXPECT_EQ(model_->removeCarriageReturnsFromString(string("no breaks")), "no breaks");
}

}  // namespace
}  // namespace quorvane::testing
