// The fake provider speaks the contacts protocol well enough for the object model to read
// what it serves: feeds with paging and deletions, entries with ETags, conditional updates,
// batch answers and photos, all behind a bearer token.

#include "tests/support/FakeProvider.h"

#include "tests/support/ContactsFeedGenerator.h"

#include <gtest/gtest.h>

#include <cmath>

#include <chrono>

#include "fetcher/QNSessionFetcher.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {
namespace {

using platform::Bytes;
using platform::Error;
using platform::RunLoop;
using platform::URL;
using platform::URLRequest;
using test::FakeProvider;

struct Answer {
    int64_t status = 0;
    std::string body;
    std::optional<Error> error;
};

class FakeProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerContactClasses();
        token = provider.issueTokens().accessToken;
    }

    Answer fetch(const std::string& url, const std::string& method = "GET", const std::string& body = "",
                 std::vector<std::pair<std::string, std::string>> headers = {}) {
        URLRequest request(URL::URLWithString(url));
        request.setHTTPMethod(method);
        request.setValue("Bearer " + token, "Authorization");
        request.setValue("application/atom+xml", "Content-Type");
        for (auto& [k, v] : headers) request.setValue(v, k);
        if (!body.empty()) request.setHTTPBody(Bytes(body.begin(), body.end()));
        auto fetcher = QNSessionFetcher::fetcherWithRequest(request);
        Answer answer;
        bool done = false;
        fetcher->beginFetchWithCompletionHandler([&](const std::optional<Bytes>& d, const std::optional<Error>& e) {
            if (d) answer.body.assign(d->begin(), d->end());
            answer.error = e;
            done = true;
        });
        EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done; }, 60));
        answer.status = fetcher->statusCode();
        return answer;
    }

    std::shared_ptr<GDataFeedContact> feed(const std::string& url) {
        Answer a = fetch(url);
        EXPECT_EQ(a.status, 200) << a.body;
        return GDataFeedContact::contactFeedWithXMLData(Bytes(a.body.begin(), a.body.end()));
    }

    FakeProvider provider;
    std::string token;
};

TEST_F(FakeProviderTest, FeedsPageAndShowDeletionsOnlyWhenAsked) {
    for (int i = 0; i < 5; ++i)
        provider.addContact("<title>Person " + std::to_string(i) + "</title><gd:email rel='http://schemas.google.com/g/2005#home' address='p" +
                            std::to_string(i) + "@example.com'/>");
    auto first = feed(provider.feedURL(FakeProvider::Kind::Contacts) + "?max-results=2");
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->entries());
    EXPECT_EQ(first->entries()->size(), 2u);
    EXPECT_EQ(first->totalResults(), 5);
    ASSERT_TRUE(first->nextLink());
    auto contact = std::dynamic_pointer_cast<GDataEntryContact>(first->entries()->at(0));
    ASSERT_TRUE(contact);
    ASSERT_EQ(contact->emailAddresses().size(), 1u);
    EXPECT_EQ(contact->emailAddresses()[0]->address(), "p0@example.com");
    EXPECT_TRUE(contact->ETag());
    EXPECT_TRUE(contact->editLink());
    EXPECT_TRUE(contact->photoLink());

    auto second = feed(*first->nextLink()->href());
    ASSERT_TRUE(second && second->entries());
    EXPECT_EQ(second->entries()->size(), 2u);
    auto third = feed(provider.feedURL(FakeProvider::Kind::Contacts) + "?start-index=5&max-results=2");
    ASSERT_TRUE(third && third->entries());
    EXPECT_EQ(third->entries()->size(), 1u);
    EXPECT_FALSE(third->nextLink());

    // A deleted contact appears only with showdeleted, as a tombstone.
    std::string id = provider.entries(FakeProvider::Kind::Contacts).at(1).id;
    Answer del = fetch(provider.editURL(FakeProvider::Kind::Contacts, id), "DELETE", "", {{"If-Match", "*"}});
    EXPECT_EQ(del.status, 200);
    EXPECT_EQ(feed(provider.feedURL(FakeProvider::Kind::Contacts) + "?max-results=100")->entries()->size(), 4u);
    auto withDeleted = feed(provider.feedURL(FakeProvider::Kind::Contacts) + "?max-results=100&showdeleted=true");
    EXPECT_EQ(withDeleted->entries()->size(), 5u);
    auto groups = feed(provider.feedURL(FakeProvider::Kind::Groups));
    EXPECT_EQ(groups->entries()->size(), 4u);  // the system groups
}

TEST_F(FakeProviderTest, AGeneratedFeedSeedsContactsThatKeepEveryElement) {
    std::string generated = testing::generateContactsFeed({.entries = 7, .seed = 3, .unknownParts = true});
    // Seeded an hour ago, after the system groups were stamped now: the contacts bear that hour's
    // stamps in whole seconds, none before the one before, and a change after the clock is set
    // again is now.
    const double start = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    provider.advanceTime(-3600);
    EXPECT_EQ(provider.addContactsFromFeed(generated), 7u);
    provider.advanceTime(3600);
    provider.addContact("<title>Now</title>");
    auto stamped = provider.entries(FakeProvider::Kind::Contacts);
    ASSERT_EQ(stamped.size(), 8u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_LT(stamped[i].updated, start - 3500) << i;
        EXPECT_EQ(stamped[i].updated, std::floor(stamped[i].updated)) << i;
        if (i > 0) EXPECT_GE(stamped[i].updated, stamped[i - 1].updated) << i;
    }
    EXPECT_GE(stamped[7].updated, std::floor(start));
    provider.deleteContact(stamped[7].id);
    auto served = feed(provider.feedURL(FakeProvider::Kind::Contacts) + "?max-results=100");
    ASSERT_TRUE(served && served->entries());
    ASSERT_EQ(served->entries()->size(), 7u);
    // The unmodelled parts of each entry are served back as they came.
    EXPECT_NE(provider.entries(FakeProvider::Kind::Contacts)[0].xml.find("urn:quorvane:unknown"), std::string::npos);
}

TEST_F(FakeProviderTest, UpdatesNeedTheCurrentETagAndTokensAreChecked) {
    std::string id = provider.addContact("<title>Ann</title>");
    auto before = *provider.entry(FakeProvider::Kind::Contacts, id);
    std::string entryURL = provider.editURL(FakeProvider::Kind::Contacts, id);
    std::string updated = "<entry xmlns='http://www.w3.org/2005/Atom'><title>Ann B</title><q:x xmlns:q='urn:q'>kept</q:x></entry>";
    Answer stale = fetch(entryURL, "PUT", updated, {{"If-Match", "\"old\""}});
    EXPECT_EQ(stale.status, 412);
    Answer ok = fetch(entryURL, "PUT", updated, {{"If-Match", before.etag()}});
    EXPECT_EQ(ok.status, 200) << ok.body;
    auto after = *provider.entry(FakeProvider::Kind::Contacts, id);
    EXPECT_NE(after.etag(), before.etag());  // every write: a new ETag; the date may be the same second's
    EXPECT_GE(after.updated, before.updated);
    EXPECT_NE(after.xml.find("kept"), std::string::npos);

    token = "not-a-token";
    EXPECT_EQ(fetch(entryURL).status, 401);
}

TEST_F(FakeProviderTest, BatchAnswersCarryAStatusPerOperation) {
    std::string keep = provider.addContact("<title>Keep</title>");
    std::string drop = provider.addContact("<title>Drop</title>");
    std::string batch =
        "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:batch='http://schemas.google.com/gdata/batch' "
        "xmlns:gd='http://schemas.google.com/g/2005'>"
        "<entry><batch:id>new</batch:id><batch:operation type='insert'/><title>New</title></entry>"
        "<entry gd:etag='\"stale\"'><batch:id>upd</batch:id><batch:operation type='update'/><id>" +
        provider.idURL(FakeProvider::Kind::Contacts, keep) + "</id><title>Kept</title></entry>"
        "<entry><batch:id>del</batch:id><batch:operation type='delete'/><id>" +
        provider.idURL(FakeProvider::Kind::Contacts, drop) + "</id></entry>"
        "<entry><batch:id>gone</batch:id><batch:operation type='delete'/><id>" +
        provider.idURL(FakeProvider::Kind::Contacts, "nope") + "</id></entry></feed>";
    Answer a = fetch(provider.feedURL(FakeProvider::Kind::Contacts) + "/batch", "POST", batch);
    ASSERT_EQ(a.status, 200) << a.body;
    auto result = GDataFeedContact::contactFeedWithXMLData(Bytes(a.body.begin(), a.body.end()));
    ASSERT_TRUE(result && result->entries());
    std::vector<int> codes;
    for (const auto& e : *result->entries()) codes.push_back(e->batchStatus() ? e->batchStatus()->code().value_or(0) : 0);
    EXPECT_EQ(codes, (std::vector<int>{201, 409, 200, 404}));
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 2u);  // keep + new
}

TEST_F(FakeProviderTest, PhotosAndTheTokenEndpoint) {
    std::string id = provider.addContact("<title>Pic</title>");
    std::string photoURL = provider.feedsRoot() + "photos/media/default/" + id;
    EXPECT_EQ(fetch(photoURL).status, 404);
    EXPECT_EQ(fetch(photoURL, "PUT", "JPEGDATA", {{"Content-Type", "image/jpeg"}}).status, 200);
    Answer photo = fetch(photoURL);
    EXPECT_EQ(photo.status, 200);
    EXPECT_EQ(photo.body, "JPEGDATA");

    std::string code = provider.issueAuthorizationCode();
    std::string form = "client_id=quorvane-test-client&client_secret=quorvane-test-secret&code=" + code +
                       "&grant_type=authorization_code&redirect_uri=urn%3Aredirect";
    Answer tokens = fetch(provider.tokenURL(), "POST", form, {{"Content-Type", "application/x-www-form-urlencoded"}});
    EXPECT_EQ(tokens.status, 200);
    EXPECT_NE(tokens.body.find("refresh_token"), std::string::npos);
    Answer again = fetch(provider.tokenURL(), "POST", form, {{"Content-Type", "application/x-www-form-urlencoded"}});
    EXPECT_EQ(again.status, 400);  // a code is exchanged once
    EXPECT_NE(again.body.find("invalid_grant"), std::string::npos);
}

}  // namespace
}  // namespace quorvane
