// The run's download of the Google feeds: whole feeds, feeds cut short, and the incremental
// download of what changed since the last one.

#include "sync/GoogleFeedFetch.h"
#include "tests/sync/ProviderSyncTestBase.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane {
namespace {

using namespace quorvane::testing;

class GoogleFeedFetchTest : public ProviderSyncTestBase {
protected:
    void addPeople(int n) {
        for (int i = 0; i < n; ++i) addPerson("Person", std::to_string(i));
    }
    // Runs one service call to its end.
    void await(const std::function<GDataServiceTicketPtr(const GDataServiceCompletionHandler&)>& call) {
        bool done = false;
        std::optional<platform::Error> error;
        call([&](const GDataServiceTicketPtr&, const GDataObjectPtr&, const std::optional<platform::Error>& e) {
            error = e;
            done = true;
        });
        ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return done; }, 60));
        ASSERT_FALSE(error) << error->localizedDescription();
    }
    std::vector<std::string> familyNames() {
        std::vector<std::string> names;
        for (const auto& e : *internals(model_).mContactFeed->entries()) {
            auto name = std::dynamic_pointer_cast<GDataEntryContact>(e)->name();
            names.push_back(name->familyName()->stringValue().value_or(""));
        }
        return names;
    }
};

TEST_F(GoogleFeedFetchTest, AWholeFeedIsCompleteAndACutOneSaysWhy) {
    addPeople(300);
    ASSERT_FALSE(fetchFeeds());
    EXPECT_EQ(internals(model_).mContactFeed->entryCount(), 300u);
    EXPECT_EQ(internals(model_).mGroupFeed->entryCount(), 4u);
    EXPECT_TRUE(model_->googleFeedsComplete());
    EXPECT_EQ(internals(model_).mFeedIncompleteReason, "");
    auto requests = provider.server().requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].query.find("max-results=10000"), std::string::npos);

    // Ten per page: the service gives up after 27 pages, and the feed says so.
    provider.setPageCap(10);
    internals(model_).mContactFeed = nullptr;
    ASSERT_FALSE(fetchFeeds());
    EXPECT_EQ(internals(model_).mContactFeed->entryCount(), 270u);
    EXPECT_TRUE(internals(model_).mGroupFeedComplete);
    EXPECT_FALSE(internals(model_).mContactFeedComplete);
    EXPECT_FALSE(model_->googleFeedsComplete());
    EXPECT_NE(internals(model_).mFeedIncompleteReason.find("next link was left unfollowed"), std::string::npos)
        << internals(model_).mFeedIncompleteReason;
}

TEST_F(GoogleFeedFetchTest, AFeedWithFewerEntriesThanItsTotalIsNotWhole) {
    auto feed = GDataFeedContact::contactFeedWithXMLData(bytesOf(
        "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/'>"
        "<openSearch:totalResults>3</openSearch:totalResults><entry><id>a</id></entry><entry><id>b</id></entry></feed>"));
    ASSERT_TRUE(feed);
    EXPECT_EQ(GoogleFeedFetch::incompleteReasonForFeed(*feed), "the feed holds 2 of its 3 entries");
    feed->setTotalResults(2);
    EXPECT_EQ(GoogleFeedFetch::incompleteReasonForFeed(*feed), "");
}

TEST_F(GoogleFeedFetchTest, TheNextDownloadOfTheSameUserMergesOnlyTheChanges) {
    addPeople(5);
    ASSERT_FALSE(fetchFeeds());
    ASSERT_TRUE(internals(model_).mContactFeedComplete);
    EXPECT_FALSE(internals(model_).mContactFeedIncremental);

    // Person 1 renamed, person 3 deleted, a new person added.
    auto service = model_->getGoogleContactService();
    auto renamed = std::dynamic_pointer_cast<GDataEntryContact>(internals(model_).mContactFeed->entryAtIndex(1)->copy());
    renamed->name()->setFamilyNameWithString("One");
    await([&](auto h) { return service->fetchEntryByUpdatingEntry(renamed, h); });
    await([&](auto h) { return service->deleteEntry(internals(model_).mContactFeed->entryAtIndex(3), h); });
    addPerson("Person", "New");

    provider.server().clearLog();
    ASSERT_FALSE(fetchFeeds());
    auto requests = provider.server().requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].query.find("updated-min="), std::string::npos) << requests[0].query;
    EXPECT_NE(requests[0].query.find("showdeleted=true"), std::string::npos) << requests[0].query;
    EXPECT_TRUE(internals(model_).mContactFeedIncremental);
    EXPECT_TRUE(internals(model_).mContactFeedComplete);
    EXPECT_EQ(familyNames(), (std::vector<std::string>{"0", "One", "2", "4", "New"}));
    // The merged feed keeps the links a run needs.
    EXPECT_TRUE(internals(model_).mContactFeed->batchLink());

    // Another user's download is never the base of an incremental one.
    internals(model_).mContactFeedUsername = "someone@example.com";
    provider.server().clearLog();
    ASSERT_FALSE(fetchFeeds());
    EXPECT_EQ(provider.server().requests("/m8/feeds/contacts/default/full")[0].query.find("updated-min"), std::string::npos);
    EXPECT_FALSE(internals(model_).mContactFeedIncremental);
    EXPECT_EQ(internals(model_).mContactFeed->entryCount(), 5u);
}

}  // namespace
}  // namespace quorvane
