// Date helpers: calendar days, dates without a year, day comparisons and the record dates of
// local contacts read from a real store file.

#include <gtest/gtest.h>

#include "SyncTestSupport.h"
#include "platform/contacts/CNSaveRequest.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using platform::Date;
using platform::DateComponents;
using std::nullopt;

class QuorvaneModelDatesTest : public SyncModelTestBase {};

TEST_F(QuorvaneModelDatesTest, GregorianComponentsHoldTheDayOnly) {
    EXPECT_EQ(model_->getGregorianDateComponentsWithDate(nullopt), nullopt);
    // 2024-02-29 23:59:59 UTC
    auto c = model_->getGregorianDateComponentsWithDate(Date::fromUnix(1709251199));
    ASSERT_TRUE(c);
    EXPECT_EQ(*c, ymd(2024, 2, 29));
}

TEST_F(QuorvaneModelDatesTest, DateComponentsBecomeNoonOfTheDayWith1604ForNoYear) {
    EXPECT_EQ(model_->convertAppleDateComponentsToGoogleDate(nullopt), nullopt);

    DateComponents noYear;
    noYear.month = 2;
    noYear.day = 29;
    const DateComponents before = noYear;
    auto d = model_->convertAppleDateComponentsToGoogleDate(noYear);
    EXPECT_EQ(noYear, before);  // the caller's components are not touched
    ASSERT_TRUE(d);
    auto back = internals(model_).mGregorianCalendar.components(*d);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->year, 1604);
    EXPECT_EQ(back->month, 2);
    EXPECT_EQ(back->day, 29);
    EXPECT_EQ(back->hour, 12);

    DateComponents withHour = ymd(1990, 7, 4);
    withHour.hour = 3;
    auto e = model_->convertAppleDateComponentsToGoogleDate(withHour);
    ASSERT_TRUE(e);
    EXPECT_EQ(internals(model_).mGregorianCalendar.components(*e)->hour, 3);
    // Written to a Google contact, the birthday keeps its day, and the missing year stays missing.
    auto entry = GDataEntryContact::contactEntryWithFullNameString(std::string("A"));
    entry->setBirthdayWithDate(d);
    EXPECT_EQ(entry->birthday(), "--02-29");
    entry->setBirthdayWithDate(model_->convertAppleDateComponentsToGoogleDate(ymd(1990, 7, 4)));
    EXPECT_EQ(entry->birthday(), "1990-07-04");
}

TEST_F(QuorvaneModelDatesTest, DaysDifferIgnoringTimeAndMissingYears) {
    EXPECT_FALSE(model_->datesDifferIgnoringTimeWithDateComponentsA(nullopt, nullopt));
    EXPECT_TRUE(model_->datesDifferIgnoringTimeWithDateComponentsA(ymd(2000, 1, 1), nullopt));
    EXPECT_TRUE(model_->datesDifferIgnoringTimeWithDateComponentsA(nullopt, ymd(2000, 1, 1)));

    DateComponents a = ymd(2000, 5, 6), b = ymd(2000, 5, 6);
    a.hour = 1;
    b.hour = 23;
    EXPECT_FALSE(model_->datesDifferIgnoringTimeWithDateComponentsA(a, b));
    EXPECT_TRUE(model_->datesDifferIgnoringTimeWithDateComponentsA(ymd(2000, 5, 6), ymd(2001, 5, 6)));
    EXPECT_TRUE(model_->datesDifferIgnoringTimeWithDateComponentsA(ymd(2000, 5, 6), ymd(2000, 6, 6)));
    EXPECT_TRUE(model_->datesDifferIgnoringTimeWithDateComponentsA(ymd(2000, 5, 6), ymd(2000, 5, 7)));

    DateComponents unsetYear = ymd(DateComponents::kUndefined, 5, 6);
    EXPECT_FALSE(model_->datesDifferIgnoringTimeWithDateComponentsA(unsetYear, ymd(1604, 5, 6)));
    EXPECT_FALSE(model_->datesDifferIgnoringTimeWithDateComponentsA(ymd(1604, 5, 6), unsetYear));
    EXPECT_TRUE(model_->datesDifferIgnoringTimeWithDateComponentsA(unsetYear, ymd(2000, 5, 6)));
}

TEST_F(QuorvaneModelDatesTest, ModificationDateComesFromTheContactOrElseFromItsStoreRecord) {
    auto clock = std::make_shared<platform::ManualClock>(Date(750000000));
    platform::Clock::setCurrent(clock);
    auto container = store_->addContainer("Local", platform::CNContainerType::Local).valueOr(nullptr);
    ASSERT_TRUE(container);
    auto added = std::make_shared<platform::CNMutableContact>();
    added->setGivenName("Anna");
    platform::CNSaveRequest request;
    request.addContact(added, container->identifier());
    ASSERT_TRUE(store_->executeSaveRequest(request));
    platform::Clock::setCurrent(nullptr);

    // Fetched with its dates: the contact's own.
    auto withDates = store_->unifiedContactsMatchingPredicate(
        platform::CNContact::predicateForContactsWithIdentifiers({added->identifier()}),
        {platform::CNContactModificationDateKey});
    ASSERT_TRUE(withDates && withDates->size() == 1);
    EXPECT_EQ(model_->getModificationDateWithAppleContact(withDates->front()), Date(750000000));

    // Fetched without them: the record of the same identifier.
    auto bare = store_->unifiedContactsMatchingPredicate(
        platform::CNContact::predicateForContactsWithIdentifiers({added->identifier()}),
        {platform::CNContactGivenNameKey});
    ASSERT_TRUE(bare && bare->size() == 1);
    EXPECT_EQ(model_->getModificationDateWithAppleContact(bare->front()), Date(750000000));
    EXPECT_EQ(platform::AssertionHandler::count(), 0u);

    // A contact the store does not hold, and nil.
    EXPECT_EQ(model_->getModificationDateWithAppleContact(std::make_shared<platform::CNMutableContact>()), nullopt);
    EXPECT_EQ(model_->getModificationDateWithAppleContact(nullptr), nullopt);
}

}  // namespace
}  // namespace quorvane::testing
