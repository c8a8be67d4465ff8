// The contact field table: every key of a local contact is carried by one row or named as not
// carried, and each row carries its own keys both ways and compares what it writes.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>

#include "SyncTestSupport.h"
#include "platform/contacts/CNContactKeys.h"
#include "sync/ContactFieldTable.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using namespace platform;

// The number of members of an aggregate: the most initialisers it accepts.
struct AnyValue {
    template <class T>
    operator T() const;
};
template <class T, size_t... I>
constexpr bool initialisableWith(std::index_sequence<I...>) {
    return requires { T{(void(I), AnyValue{})...}; };
}
template <class T, size_t N = 0>
constexpr size_t memberCount() {
    if constexpr (initialisableWith<T>(std::make_index_sequence<N + 1>{})) {
        return memberCount<T, N + 1>();
    } else {
        return N;
    }
}

TEST(ContactFieldTable, EveryLocalContactKeyIsCarriedByOneRowOrSaysWhyNot) {
    // The key list is the record's field list (besides the list of keys that could not be read): a
    // field added to the record without a key fails here.
    EXPECT_EQ(memberCount<CNContactFields>(), CNContactAllKeys().size() + 1);

    std::multiset<std::string> named;
    for (const auto& row : contactFieldTable()) {
        EXPECT_FALSE(row.keys.empty()) << row.name;
        for (const char* key : row.keys) named.insert(key);
    }
    for (const auto& entry : contactFieldsNotCarried()) {
        EXPECT_NE(std::string(entry.reason), "") << entry.key;
        named.insert(entry.key);
    }
    for (const auto& key : CNContactAllKeys()) EXPECT_EQ(named.count(key), 1u) << key;
    for (const auto& key : named) EXPECT_TRUE(CNContactIsKnownKey(key)) << key;
}

class ContactFieldRowTest : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        registerContactClasses();
        internals(model_).mGroupFeed = standardGroupFeed();
        internals(model_).mCurrentSourceRecord = std::make_shared<NSContactSourceRecord_QV>();
        internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeLocal;
    }

    // A value in every key a row carries, with a photo.
    static CNMutableContactPtr fullContact() {
        auto c = fullLocalContact();
        CNContactFields fields = c->fields();
        fields.imageData = Bytes{1, 2, 3};
        fields.imageDataAvailable = true;
        const auto& all = CNContactAllKeys();
        return std::make_shared<CNMutableContact>(fields, std::set<std::string>(all.begin(), all.end()));
    }
};

// Row by row, with no other row's help: a full local contact differs from an empty Google entry
// in the row's field, the row writes it to Google so that it no longer differs, and the row
// writes it back into an empty local contact, touching exactly its own keys, so that the two
// compare equal again.
TEST_F(ContactFieldRowTest, EachRowCarriesItsKeysBothWaysAndComparesWhatItWrites) {
    const CNContactPtr full = fullContact();
    auto record = std::make_shared<NSSyncRecord>();
    record->mSyncPhoto = true;
    for (const auto& row : contactFieldTable()) {
        SCOPED_TRACE(row.name);
        auto google = GDataEntryContact::object();
        auto differ = [&](const CNContactPtr& local) {
            return row.differs(ContactFieldCompare{*model_, local, local, google});
        };
        if (row.differs) EXPECT_TRUE(differ(full));

        row.toGoogle(ContactFieldToGoogle{*model_, google, *full, *record, false, false, true});
        if (row.differs) EXPECT_FALSE(differ(full));

        auto local = std::make_shared<CNMutableContact>();
        row.toLocal(ContactFieldToLocal{*model_, local, google, false, false, true, false, true});
        const std::set<std::string> rowKeys(row.keys.begin(), row.keys.end());
        const auto& written = local->changedKeys();
        EXPECT_TRUE(std::includes(rowKeys.begin(), rowKeys.end(), written.begin(), written.end()));
        if (!row.differs) {
            EXPECT_EQ(written, std::set<std::string>{CNContactImageDataKey});
            continue;
        }
        EXPECT_EQ(written, rowKeys);
        EXPECT_FALSE(differ(local));
    }
    // The photo row: the local photo is announced to the photo step, and Google's missing photo
    // removes the local one.
    EXPECT_TRUE(internals(model_).mHasABPhotosToSubmit);
}

}  // namespace
}  // namespace quorvane::testing
