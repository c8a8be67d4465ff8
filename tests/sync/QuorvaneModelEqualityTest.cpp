// Tolerant comparisons: blank strings, letter case, lengths, phone punctuation, name-list
// unions and date differences.

#include <gtest/gtest.h>

#include "SyncTestSupport.h"

namespace quorvane::testing {
namespace {

using std::nullopt;
using std::optional;
using std::string;

class QuorvaneModelEqualityTest : public SyncModelTestBase {};

TEST_F(QuorvaneModelEqualityTest, NilEmptyAndBlankStringsAreAllEqual) {
    const optional<string> blanks[] = {nullopt, string(""), string("   "), string(" \n\t\r "),
                                       string("\u00A0\u3000"), string("\u200B\x01")};
    for (const auto& a : blanks) {
        EXPECT_TRUE(model_->stringEffectivelyEmptyWithString(a));
        for (const auto& b : blanks) EXPECT_TRUE(model_->stringsEqualWithString1(a, b));
        EXPECT_TRUE(model_->stringsDifferWithString1(a, string("x")));
        EXPECT_TRUE(model_->stringsDifferWithString1(string("x"), a));
    }
    EXPECT_FALSE(model_->stringEffectivelyEmptyWithString(string(" a ")));
}

TEST_F(QuorvaneModelEqualityTest, CaseIsIgnoredButLengthAndTrailingBlanksCount) {
    EXPECT_TRUE(model_->stringsEqualWithString1(string("Anna Smith"), string("ANNA smith")));
    EXPECT_TRUE(model_->stringsEqualWithString1(string("Élodie"), string("éLODIE")));
    EXPECT_TRUE(model_->stringsDifferWithString1(string("Anna"), string("Anna ")));
    EXPECT_TRUE(model_->stringsDifferWithString1(string(" Anna"), string("Anna")));
    EXPECT_TRUE(model_->stringsDifferWithString1(string("Anna"), string("Anne")));
    EXPECT_TRUE(model_->stringsDifferWithString1(string("Straße"), string("STRASSE")));
}

TEST_F(QuorvaneModelEqualityTest, PhoneNumbersIgnoreDecorationButNotPlusOrLetters) {
    EXPECT_TRUE(model_->phoneNumbersEqualWithString1(string("(555) 123-4567"), string("555.123.4567")));
    EXPECT_TRUE(model_->phoneNumbersEqualWithString1(string("555 123\t4567"), string("5551234567")));
    EXPECT_TRUE(model_->phoneNumbersEqualWithString1(string("555\u00A0123 4567"), string("5551234567")));
    EXPECT_FALSE(model_->phoneNumbersEqualWithString1(string("+1 555 123 4567"), string("1 555 123 4567")));
    EXPECT_FALSE(model_->phoneNumbersEqualWithString1(string("555-CALL"), string("555-2255")));
    EXPECT_TRUE(model_->phoneNumbersEqualWithString1(string("555-call"), string("555 CALL")));
    // Nothing but decoration is as empty as nil.
    EXPECT_TRUE(model_->phoneNumbersEqualWithString1(string("( ) - ."), nullopt));
    EXPECT_TRUE(model_->phoneNumbersEqualWithString1(nullopt, string("")));
    EXPECT_FALSE(model_->phoneNumbersEqualWithString1(nullopt, string("1")));
}

TEST_F(QuorvaneModelEqualityTest, UnionKeepsFirstSeenFormInOrder) {
    auto u = model_->combineStringArraysWithArray1({"Friends", "work", "Family", "WORK"}, {"FAMILY", "Golf", "friends", ""});
    EXPECT_EQ(u, (std::vector<string>{"Friends", "work", "Family", "Golf", ""}));
    EXPECT_TRUE(model_->combineStringArraysWithArray1({}, {}).empty());
    EXPECT_EQ(model_->combineStringArraysWithArray1({}, {"ÉCOLE", "école"}), (std::vector<string>{"ÉCOLE"}));
}

TEST_F(QuorvaneModelEqualityTest, DateDifferenceIsSecondMinusFirstAndZeroForNil) {
    const platform::Date d(700000000.5);
    EXPECT_EQ(model_->getDateDifferenceWithDate1(d, d.addingTimeInterval(60)), 60.0f);
    EXPECT_EQ(model_->getDateDifferenceWithDate1(d.addingTimeInterval(60), d), -60.0f);
    EXPECT_EQ(model_->getDateDifferenceWithDate1(nullopt, d), 0.0f);
    EXPECT_EQ(model_->getDateDifferenceWithDate1(d, nullopt), 0.0f);
    EXPECT_EQ(model_->getDateDifferenceWithDate1(nullopt, nullopt), 0.0f);
}

}  // namespace
}  // namespace quorvane::testing
