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

// Read many at once, the record dates answer as the one-at-a-time reads do: a contact fetched with
// its dates is not read, and one deleted since it was fetched or never saved has none.
TEST_F(QuorvaneModelDatesTest, RecordDatesReadManyAtOnceAnswerAsOneAtATime) {
    auto clock = std::make_shared<platform::ManualClock>(Date(750000000));
    platform::Clock::setCurrent(clock);
    auto container = store_->addContainer("Local", platform::CNContainerType::Local).valueOr(nullptr);
    ASSERT_TRUE(container);
    std::vector<platform::CNMutableContactPtr> saved;
    platform::CNSaveRequest add;
    for (const char* name : {"Anna", "Ben", "Cleo", "Dan"}) {
        saved.push_back(std::make_shared<platform::CNMutableContact>());
        saved.back()->setGivenName(name);
        add.addContact(saved.back(), container->identifier());
    }
    ASSERT_TRUE(store_->executeSaveRequest(add));
    clock->advance(100);
    auto ben = saved[1]->mutableCopy();
    ben->setFamilyName("Lee");
    platform::CNSaveRequest update;
    update.updateContact(ben);
    ASSERT_TRUE(store_->executeSaveRequest(update));
    platform::Clock::setCurrent(nullptr);
    auto fetch = [&](std::vector<platform::CNKeyDescriptor> keys) {
        return store_->unifiedContactsMatchingPredicate(nullptr, keys).valueOr(std::vector<platform::CNContactPtr>{});
    };
    auto withDates = fetch({platform::CNContactGivenNameKey, platform::CNContactCreationDateKey,
                            platform::CNContactModificationDateKey});
    auto bare = fetch({platform::CNContactGivenNameKey});
    ASSERT_EQ(bare.size(), 4u);
    auto byName = [](const std::vector<platform::CNContactPtr>& list, const std::string& name) {
        for (const auto& c : list)
            if (c->givenName() == name) return c;
        return platform::CNContactPtr();
    };
    platform::CNSaveRequest remove;
    remove.deleteContact(byName(bare, "Cleo")->mutableCopy());
    ASSERT_TRUE(store_->executeSaveRequest(remove));

    const Date created(750000000), modified(750000100);
    const struct {
        const char* what;
        platform::CNContactPtr contact;
        std::optional<Date> modification, creation;
        bool read;  // by the read of many
    } rows[] = {
        {"fetched with its dates", byName(withDates, "Dan"), created, created, false},
        {"fetched without", byName(bare, "Ben"), modified, created, true},
        {"never modified", byName(bare, "Anna"), created, created, true},
        {"deleted since fetched", byName(bare, "Cleo"), nullopt, nullopt, true},
        {"never saved", std::make_shared<platform::CNMutableContact>(), nullopt, nullopt, true},
    };
    std::vector<platform::CNContactPtr> asked = {nullptr, std::make_shared<platform::CNContact>(platform::CNContactFields{}, std::set<std::string>{})};
    for (const auto& row : rows) asked.push_back(row.contact);
    asked.push_back(rows[1].contact);  // twice
    const auto stored = model_->getStoredRecordDatesWithAppleContacts(asked);
    EXPECT_EQ(stored.size(), 4u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(stored.count(row.contact->identifier()), row.read ? 1u : 0u);
        EXPECT_EQ(model_->getModificationDateWithAppleContact(row.contact, &stored), row.modification);
        EXPECT_EQ(model_->getModificationDateWithAppleContact(row.contact), row.modification);
        EXPECT_EQ(model_->getCreationDateWithAppleContact(row.contact, &stored), row.creation);
        EXPECT_EQ(model_->getCreationDateWithAppleContact(row.contact), row.creation);
    }

    // A store that cannot be read leaves every contact to the one-at-a-time read.
    std::filesystem::create_directories(dir_ / "unreadable");
    QuorvaneModel::Environment env;
    env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "defaults2.json");
    env.contactStore = store_;
    env.addressBook = std::make_shared<platform::ABAddressBook>(dir_ / "unreadable");
    env.dataFolder = dir_ / "profile2";
    QuorvaneModel unreadable(std::move(env));
    EXPECT_TRUE(unreadable.getStoredRecordDatesWithAppleContacts(asked).empty());
    EXPECT_EQ(unreadable.getModificationDateWithAppleContact(rows[1].contact), nullopt);
}

}  // namespace
}  // namespace quorvane::testing
