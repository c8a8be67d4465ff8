// The run's download of the Google feeds: whole feeds, feeds cut short, the incremental
// download of what changed since the last one, and the whole list kept on disk between runs.

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "gdata/GDataEmail.h"
#include "gdata/GDataExtendedProperty.h"
#include "gdata/GDataGroupMembershipInfo.h"
#include "gdata/GDataName.h"
#include "gdata/GDataOrganization.h"
#include "gdata/GDataPhoneNumber.h"
#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Paths.h"
#include "sync/ContentDigest.h"
#include "sync/DurableReplace.h"
#include "sync/GoogleContactCache.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/PairingIndex.h"
#include "tests/support/ContactsFeedGenerator.h"
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
    // The provider's list is dated later than its last contact change, by more than the margin
    // the changes are asked for with: within it the versions held come again (passed over unread,
    // but in pages of their own), and a provider that has just forgotten its deletions answers
    // the changes since a moment before that with 410 Gone (a whole download follows).
    void settle() {
        provider.advanceTime(GoogleFeedFetch::kChangesMarginSeconds + 5);
        provider.addGroup("Later " + std::to_string(++settled_));
    }
    int settled_ = 0;
    // As a new process would start: nothing in memory, the kept list on disk.
    void forgetDownloads() {
        internals(model_).mContactFeed = nullptr;
        internals(model_).mGoogleContactCache = nullptr;
    }
    // The kept list once this process's writes of it are in place.
    std::filesystem::path keptList() const {
        EXPECT_TRUE(waitForReplacements(60));
        return GoogleContactCache::pathInFolder(dir_ / "profile");
    }
    // The query of the single contacts feed request since the log was cleared ("" when none or more).
    std::string contactsQuery() {
        auto requests = provider.server().requests("/m8/feeds/contacts/default/full");
        return requests.size() == 1 ? requests[0].query : "<" + std::to_string(requests.size()) + " requests>";
    }
    std::shared_ptr<GDataEntryContact> contactAt(size_t i) {
        return std::dynamic_pointer_cast<GDataEntryContact>(internals(model_).mContactFeed->entryAtIndex(i));
    }
    // Everything pairing, planning and the history read of a Google contact.
    std::string readByTheRun(const std::shared_ptr<GDataEntryContact>& c) {
        auto f = PairingIndex::factsOfGoogleContact(*c);
        std::string out;
        auto add = [&](const std::optional<std::string>& v) { out += (v ? "'" + *v + "'" : "-") + "|"; };
        for (const auto* v : {&f.given, &f.middle, &f.family, &f.prefix, &f.suffix, &f.organization}) add(*v);
        for (const auto& v : f.emails) add(v);
        for (const auto& v : f.phones) add(v);
        add(QuorvaneModel::getDescriptionWithGoogleContact(c, false));
        add(QuorvaneModel::getSortStringWithGoogleContact(c, "x"));
        add(model_->getGoogleContactHashName(c));
        add(std::to_string(model_->googleContactHasName(c)) + std::to_string(model_->isOtherContact(c)) +
            std::to_string(model_->belongsToMyContacts(c)) + std::to_string(model_->shouldIgnoreNewGoogleContact(c)));
        for (const auto& g : model_->getGoogleContactGroupNamesWithContact(c, false)) add(g);
        add(c->identifier());
        add(c->ETag());
        add(c->updatedDate() ? c->updatedDate()->RFC3339String() : "-");
        add(c->editLink() ? c->editLink()->href() : std::nullopt);
        add(c->photoLink() ? c->photoLink()->href() : std::nullopt);
        add(c->photoLink() ? c->photoLink()->ETag() : std::nullopt);
        add(QuorvaneModel::localRecordOfGoogleContact(*c));
        add(std::to_string(model_->googleContentDigestOfContact(*c)));
        return out;
    }
    // The provider's list as downloaded, whole, by the download stage alone.
    std::shared_ptr<GDataFeedContact> downloadedWhole() {
        std::optional<FetchedContactFeed> out;
        GoogleFeedFetch::fetchContactFeed(model_->getGoogleContactService(),
                                          *GDataServiceGoogleContact::contactFeedURLForUserID("default"), nullptr,
                                          [&](FetchedContactFeed fetched, std::optional<platform::Error>) { out = std::move(fetched); });
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return out.has_value(); }, 60));
        return out ? out->feed : nullptr;
    }
    std::vector<std::string> familyNames() {
        std::vector<std::string> names;
        for (const auto& e : *internals(model_).mContactFeed->entries()) {
            auto name = model_->wholeGoogleContact(std::dynamic_pointer_cast<GDataEntryContact>(e))->name();
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

TEST_F(GoogleFeedFetchTest, TheKeptListGivesSummariesThatReadAsTheWholeEntriesAndOnlyTheChangesAreAskedFor) {
    // Contacts as varied as what pairing and planning read: parts, prefixes, blanks, an
    // organisation, a nickname, phones, an Other contact, a photo, the engine's own tag, and an
    // element no class models.
    const std::string unknown = "<x:kept xmlns:x='urn:example:kept' level='2'>keep me</x:kept>";
    addPerson("Ann", "Parts", false, "<gd:email rel='http://schemas.google.com/g/2005#home' address='ann@example.com'/>" + unknown);
    provider.addContact("<title>Only A Title</title><gContact:nickname xmlns:gContact='http://schemas.google.com/contact/2008'>Nick</gContact:nickname>"
                        "<gd:organization rel='http://schemas.google.com/g/2005#work'><gd:orgName>Works</gd:orgName></gd:organization>"
                        "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>+1 555 0100</gd:phoneNumber>",
                        {});
    const std::string pictured = provider.addContact(
        "<gd:name><gd:namePrefix>Dr</gd:namePrefix><gd:givenName>Pia</gd:givenName><gd:familyName>Photo</gd:familyName>"
        "<gd:nameSuffix>Jr</gd:nameSuffix></gd:name>");
    provider.setPhoto(pictured, std::string("\xff\xd8photo"));
    const std::string tagged = addPerson(" ", "Tagged", false, "<gd:extendedProperty name='quorvane-local-record' value='local-7'/>");
    settle();
    provider.setPageCap(3);  // the whole download comes in two pages, each kept as it comes
    // A whole download is kept, and held as the summaries of what was kept.
    ASSERT_FALSE(fetchFeeds());
    ASSERT_TRUE(std::filesystem::exists(keptList()));
    std::vector<std::string> whole;
    auto downloaded = downloadedWhole();
    ASSERT_TRUE(downloaded && downloaded->entryCount() == 4);
    for (size_t i = 0; i < 4; ++i)
        whole.push_back(readByTheRun(std::dynamic_pointer_cast<GDataEntryContact>(downloaded->entryAtIndex(i))));
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(model_->isSummaryGoogleContact(contactAt(i))) << i;
        EXPECT_EQ(readByTheRun(contactAt(i)), whole[i]);
    }

    forgetDownloads();
    provider.server().clearLog();
    ASSERT_FALSE(fetchFeeds());
    EXPECT_NE(contactsQuery().find("updated-min="), std::string::npos) << contactsQuery();
    EXPECT_NE(contactsQuery().find("showdeleted=true"), std::string::npos);
    EXPECT_TRUE(internals(model_).mContactFeedIncremental && internals(model_).mContactFeedComplete);
    for (size_t i = 0; i < 4; ++i) {
        auto summary = contactAt(i);
        EXPECT_TRUE(model_->isSummaryGoogleContact(summary)) << i;
        EXPECT_EQ(readByTheRun(summary), whole[i]);
        // Made whole from the kept bytes: the same again, with every element.
        auto made = model_->wholeGoogleContact(summary);
        ASSERT_TRUE(made);
        EXPECT_FALSE(model_->isSummaryGoogleContact(made));
        EXPECT_EQ(readByTheRun(made), whole[i]);
        EXPECT_EQ(googleContentDigest(*made), model_->googleContentDigestOfContact(*summary));
    }
    auto bytes = model_->wholeGoogleContact(contactAt(0))->writtenXMLData();
    ASSERT_TRUE(bytes);
    EXPECT_NE(std::string(bytes->begin(), bytes->end()).find("keep me"), std::string::npos);

    // Nothing changed: the kept list is not written again.
    struct stat before {}, after {};
    ASSERT_EQ(::stat(keptList().c_str(), &before), 0);
    forgetDownloads();
    ASSERT_FALSE(fetchFeeds());
    ASSERT_EQ(::stat(keptList().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // An edit and a deletion on the provider arrive, whole, and change the kept list.
    ASSERT_TRUE(provider.replaceContact(pictured, "<gd:name><gd:givenName>Pia</gd:givenName><gd:familyName>Renamed</gd:familyName></gd:name>"));
    ASSERT_TRUE(provider.deleteContact(tagged));
    settle();
    for (int pass = 0; pass < 2; ++pass) {  // the changes as they arrive, then as the next process reads them
        SCOPED_TRACE(pass);
        forgetDownloads();
        ASSERT_FALSE(fetchFeeds());
        EXPECT_EQ(internals(model_).mContactFeed->entryCount(), 3u);
        EXPECT_TRUE(model_->isSummaryGoogleContact(contactAt(2)));
        EXPECT_EQ(contactAt(2)->name()->familyName()->stringValue(), "Renamed");
        EXPECT_EQ(model_->wholeGoogleContact(contactAt(2))->name()->givenName()->stringValue(), "Pia");
    }
}

TEST_F(GoogleFeedFetchTest, ALeanCopyReadsAsTheHistoryReadsTheEntryIsNeverMadeWholeAndIsNoBaseForTheNextDownload) {
    const std::string pictured = addPerson("Pia", "Photo");
    provider.setPhoto(pictured, std::string("\xff\xd8photo"));
    addPerson("Bo", "Other", true, "<gd:email rel='http://schemas.google.com/g/2005#home' address='bo@example.com'/>");
    settle();
    ASSERT_FALSE(fetchFeeds());
    // What the photo transfers and the history read of a Google contact.
    auto historyRead = [&](const std::shared_ptr<GDataEntryContact>& c) {
        std::string out = c->identifier().value_or("-") + "|" + c->ETag().value_or("-") + "|" +
                          (c->updatedDate() ? c->updatedDate()->RFC3339String() : "-") + "|" +
                          std::to_string(model_->googleContentDigestOfContact(*c));
        for (const char* rel : {kGDataContactPhotoRel, kGDataContactEditPhotoRel})
            if (auto link = c->linkWithRelAttributeValue(rel)) out += "|" + link->href().value_or("") + " " + link->ETag().value_or("");
        for (const auto& g : model_->getGoogleContactGroupNamesWithContact(c, false)) out += "|" + g;
        return out;
    };
    for (size_t i = 0; i < 2; ++i) {
        auto kept = contactAt(i);  // a summary of the kept list: left as it is, and lean once made whole
        EXPECT_EQ(model_->leanGoogleContact(kept), kept);
        auto lean = model_->leanGoogleContact(model_->wholeGoogleContact(kept));
        ASSERT_TRUE(lean && lean != kept) << i;
        EXPECT_EQ(contactAt(i), lean);  // in the entry's place in the list
        EXPECT_EQ(historyRead(lean), historyRead(kept));
        EXPECT_FALSE(model_->wholeGoogleContact(lean));
        EXPECT_EQ(model_->leanGoogleContact(lean), lean);
    }
    // The next download of the same process starts from the kept list: only the changes are asked
    // for, and the rest are summaries again.
    provider.server().clearLog();
    ASSERT_FALSE(fetchFeeds());
    EXPECT_NE(contactsQuery().find("updated-min="), std::string::npos) << contactsQuery();
    ASSERT_EQ(internals(model_).mContactFeed->entryCount(), 2u);
    EXPECT_TRUE(model_->isSummaryGoogleContact(contactAt(0)));
    EXPECT_TRUE(model_->wholeGoogleContact(contactAt(0)));
}

TEST_F(GoogleFeedFetchTest, AKeptListThatCannotBeUsedGivesAWholeDownloadAndSoDoesAProviderThatForgotTheChanges) {
    addPeople(3);
    settle();
    ASSERT_FALSE(fetchFeeds());
    std::string good;
    ASSERT_TRUE(platform::readFile(keptList(), good));
    auto flip = [](std::string bytes, size_t at) {
        bytes[at] = char(bytes[at] ^ 0x20);
        return bytes;
    };
    struct Case {
        const char* what;
        std::function<void()> spoil;
    };
    const Case cases[] = {
        {"missing", [&] { std::filesystem::remove(keptList()); }},
        {"cut short", [&] { platform::writeFileAtomically(keptList(), good.substr(0, good.size() - 7)); }},
        {"damaged summary", [&] { platform::writeFileAtomically(keptList(), flip(good, good.size() - 20)); }},
        {"older format", [&] { platform::writeFileAtomically(keptList(), flip(good, 4)); }},
        {"not a kept list", [&] { platform::writeFileAtomically(keptList(), "<feed/>"); }},
        {"another account",
         [&] {
             internals(model_).mAuth->setUserEmail("someone@example.com");
             provider.setAnswerFault([](const test::TestRequest&, test::TestResponse& res) {
                 res.body = std::regex_replace(res.body, std::regex("owner(@|%40)example"), "someone$1example");
             });
         }},
        {"changes forgotten", [&] { provider.forgetDeletedContacts(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(platform::writeFileAtomically(keptList(), good));
        c.spoil();
        forgetDownloads();
        provider.server().clearLog();
        ASSERT_FALSE(fetchFeeds());
        auto requests = provider.server().requests("/m8/feeds/contacts/default/full");
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().query.find("updated-min"), std::string::npos) << requests.back().query;
        EXPECT_TRUE(model_->googleFeedsComplete());
        EXPECT_FALSE(internals(model_).mContactFeedIncremental);
        ASSERT_EQ(internals(model_).mContactFeed->entryCount(), 3u);
        // The whole download is kept in its place, and held as what was kept.
        EXPECT_TRUE(model_->isSummaryGoogleContact(contactAt(0)));
        EXPECT_TRUE(model_->wholeGoogleContact(contactAt(0)));
        const std::string user = model_->getUsername();
        EXPECT_TRUE(GoogleContactCache::load(
            keptList(), {user, GDataServiceGoogleContact::contactFeedURLForUserID("default")->absoluteString()}));
        internals(model_).mAuth->setUserEmail(test::FakeProvider::OAuthSettings().userEmail);
        provider.setAnswerFault(nullptr);
    }

    // The bytes of one kept entry damaged: its summary still serves, but it is never made whole.
    std::filesystem::remove(keptList());
    settle();
    forgetDownloads();
    ASSERT_FALSE(fetchFeeds());
    std::string kept;
    ASSERT_TRUE(platform::readFile(keptList(), kept));
    const size_t at = kept.find("familyName>1<");
    ASSERT_NE(at, std::string::npos);
    ASSERT_TRUE(platform::writeFileAtomically(keptList(), flip(kept, at + 11)));
    forgetDownloads();
    ASSERT_FALSE(fetchFeeds());
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(model_->isSummaryGoogleContact(contactAt(i)));
        EXPECT_EQ(model_->wholeGoogleContact(contactAt(i)) == nullptr, i == 1) << i;
    }
    // ... and the next run downloads the whole list.
    forgetDownloads();
    provider.server().clearLog();
    ASSERT_FALSE(fetchFeeds());
    EXPECT_EQ(contactsQuery().find("updated-min"), std::string::npos);
}

TEST_F(GoogleFeedFetchTest, AWholeDownloadWhoseLaterPageFailsKeepsNothingAndLeavesTheKeptListAsItWas) {
    addPeople(7);
    settle();
    provider.setPageCap(3);
    const auto failLaterPages = [](const test::TestRequest& req, test::TestResponse& res) {
        if (req.path == "/m8/feeds/contacts/default/full" && req.query.find("start-index=") != std::string::npos &&
            req.query.find("start-index=1&") == std::string::npos)
            res.status = 503;
    };
    provider.setAnswerFault(failLaterPages);
    EXPECT_TRUE(fetchFeeds());
    EXPECT_FALSE(internals(model_).mContactFeed);
    EXPECT_FALSE(model_->googleFeedsComplete());
    EXPECT_FALSE(std::filesystem::exists(keptList()));

    // Downloaded again by the same process: what the first pages left behind plays no part.
    provider.setAnswerFault(nullptr);
    ASSERT_FALSE(fetchFeeds());
    ASSERT_TRUE(model_->googleFeedsComplete());
    auto whole = downloadedWhole();
    ASSERT_TRUE(whole && whole->entryCount() == 7u);
    ASSERT_EQ(internals(model_).mContactFeed->entryCount(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        const std::string expected = readByTheRun(std::dynamic_pointer_cast<GDataEntryContact>(whole->entryAtIndex(i)));
        EXPECT_TRUE(model_->isSummaryGoogleContact(contactAt(i))) << i;
        EXPECT_EQ(readByTheRun(contactAt(i)), expected) << i;
        EXPECT_EQ(readByTheRun(model_->wholeGoogleContact(contactAt(i))), expected) << i;
    }
    std::string kept;
    ASSERT_TRUE(platform::readFile(keptList(), kept));

    // A whole download in place of the changes the provider forgot, cut the same way: the kept
    // list stays as it was.
    provider.forgetDeletedContacts();
    provider.setAnswerFault(failLaterPages);
    EXPECT_TRUE(fetchFeeds());
    EXPECT_FALSE(model_->googleFeedsComplete());
    std::string now;
    ASSERT_TRUE(platform::readFile(keptList(), now));
    EXPECT_EQ(now, kept);
}

TEST_F(GoogleFeedFetchTest, AListThatArrivedIncompleteIsNeverKept) {
    addPeople(30);
    provider.setPageCap(1);
    ASSERT_FALSE(fetchFeeds());
    ASSERT_FALSE(model_->googleFeedsComplete());
    EXPECT_FALSE(std::filesystem::exists(keptList()));

    // The changes since a kept list cut short the same way: the old list stays as it was.
    provider.setPageCap(0);
    ASSERT_FALSE(fetchFeeds());
    ASSERT_TRUE(model_->googleFeedsComplete());
    std::string whole;
    ASSERT_TRUE(platform::readFile(keptList(), whole));
    for (int i = 0; i < 30; ++i) addPerson("Later", std::to_string(i));
    provider.setPageCap(1);
    forgetDownloads();
    ASSERT_FALSE(fetchFeeds());
    EXPECT_FALSE(model_->googleFeedsComplete());
    std::string now;
    ASSERT_TRUE(platform::readFile(keptList(), now));
    EXPECT_EQ(now, whole);
}

// The download stage alone, on a signed-in service and no model: a whole download, then each
// following one asks only for the changes since and merges them into the one before; a provider
// that forgot the changes gets a request for the whole list.
// Every value a summary keeps, read through the entry's own accessors.
std::string keptValues(const GDataEntryContact& c) {
    std::string out;
    auto add = [&](const std::optional<std::string>& v) { out += (v ? "'" + *v + "'" : "-") + "|"; };
    auto text = [](const auto& element) { return element ? element->stringValue() : std::nullopt; };
    add(c.identifier());
    add(c.ETag());
    add(c.updatedDate() ? c.updatedDate()->RFC3339String() : "-");
    add(text(c.title()));
    if (auto n = c.name()) {
        for (const auto& v : {text(n->givenName()), text(n->additionalName()), text(n->familyName()), text(n->fullName()),
                              n->namePrefix(), n->nameSuffix()})
            add(v);
    }
    add(c.nickname());
    for (const auto& l : c.links())
        for (const auto& v : {std::optional<std::string>(l->rel()), l->type(), l->href(), l->ETag()}) add(v);
    for (const auto& o : c.organizations()) add(o->orgName());
    for (const auto& m : c.emailAddresses()) add(m->address());
    for (const auto& p : c.phoneNumbers()) add(p->stringValue());
    for (const auto& g : c.groupMembershipInfos()) add(g->href().value_or("") + (g->isDeleted() ? " deleted" : ""));
    for (const auto& p : c.extendedProperties()) add(p->name().value_or("") + "=" + p->value().value_or("-"));
    auto photo = c.photoLink();
    add(photo ? photo->ETag().value_or("no ETag") : "no photo");
    auto blob = c.extendedPropertyForName("blob");
    add(blob ? blob->value() : std::string("no blob"));
    return out;
}

// The same, read through GoogleContactCache::readValues (from a summary's bytes).
std::string readValues(const GDataEntryContact& c) {
    using Values = GoogleContactCache::Values;
    const auto v = GoogleContactCache::readValues(c, Values::kTitle | Values::kName | Values::kNickname | Values::kLinks |
                                                         Values::kOrganizations | Values::kEmails | Values::kPhones |
                                                         Values::kGroups | Values::kProperties);
    std::string out;
    auto add = [&](const std::optional<std::string>& v) { out += (v ? "'" + *v + "'" : "-") + "|"; };
    add(c.identifier());
    add(c.ETag());
    add(c.updatedDate() ? c.updatedDate()->RFC3339String() : "-");
    add(v.title);
    if (v.name)
        for (const auto* part : {&v.name->given, &v.name->additional, &v.name->family, &v.name->full, &v.name->prefix, &v.name->suffix})
            add(*part);
    add(v.nickname);
    for (const auto& l : v.links)
        for (const auto& part : {std::optional<std::string>(l.rel), l.type, l.href, l.etag}) add(part);
    for (const auto* list : {&v.organizations, &v.emails, &v.phones})
        for (const auto& value : *list) add(value);
    for (const auto& g : v.groups) add(g.href.value_or("") + (g.deleted ? " deleted" : ""));
    for (const auto& p : v.properties) add(p.name.value_or("") + "=" + p.value.value_or("-"));
    const auto photoOnly = GoogleContactCache::readValues(c, Values::kPhotoLink);
    const auto* photo = photoOnly.photoLink();
    add(photo ? photo->etag.value_or("no ETag") : "no photo");
    const auto* blob = v.property("blob");
    add(blob ? blob->value : std::string("no blob"));
    return out;
}

TEST(GoogleContactCacheTest, ASummaryReadsAsItsWholeEntryAndAgainOnceItsValuesWereLetGo) {
    // Generated contacts (non-ASCII names, parts left out in turn, elements and attributes in
    // namespaces no class models), then a contact with nothing but its identifier and one with
    // empty and odd values.
    std::string xml = testing::generateContactsFeed({300, 3, true});
    xml.insert(xml.rfind("</feed>"),
               "<entry gd:etag='\"bare\"'><id>http://example.com/base/bare</id><updated>2026-11-01T00:00:00.000Z</updated></entry>"
               "<entry gd:etag='\"odd\"'><id>http://example.com/base/odd</id><updated>2026-11-02T00:00:00.000Z</updated>"
               "<title></title><gd:name><gd:nameSuffix>III</gd:nameSuffix></gd:name>"
               "<gContact:nickname>\xc3\x89\xe2\x80\x8b\xf0\x9f\x98\x80</gContact:nickname><gd:email address=''/>"
               "<gd:phoneNumber/><gd:organization><gd:orgTitle>No name</gd:orgTitle></gd:organization>"
               "<gd:extendedProperty name='blob'><x:v xmlns:x='urn:example:x'>1</x:v></gd:extendedProperty>"
               "<gContact:groupMembershipInfo deleted='true' href='http://example.com/groups/base/6'/></entry>");
    auto parsed = GDataObject::objectWithXMLData(platform::Bytes(xml.begin(), xml.end()), &GDataFeedContact::staticClassInfo(),
                                                 std::nullopt, nullptr, false);
    ASSERT_TRUE(parsed && *parsed);
    auto feed = std::dynamic_pointer_cast<GDataFeedContact>(*parsed);
    ASSERT_EQ(feed->entryCount(), 302u);
    std::vector<std::string> whole;
    for (const auto& e : *feed->entries()) {
        whole.push_back(keptValues(*std::dynamic_pointer_cast<GDataEntryContact>(e)));
        EXPECT_EQ(readValues(*std::dynamic_pointer_cast<GDataEntryContact>(e)), whole.back());
    }

    const auto folder = std::filesystem::temp_directory_path() / ("quorvane-kept-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const GoogleContactCache::Owner owner{"owner@example.com", "https://example.com/feed"};
    ASSERT_TRUE(GoogleContactCache::empty(owner)->write(folder / "list", *feed));
    auto loaded = GoogleContactCache::load(folder / "list", owner);
    ASSERT_TRUE(loaded);
    auto summaries = (*loaded)->summaryFeed(std::nullopt);
    ASSERT_TRUE(summaries && summaries->entryCount() == whole.size());
    // Read from the bytes, in turn, then again (the first ones have let their values go by then
    // and make them anew), then from the bytes again.
    for (int pass = 0; pass < 3; ++pass) {
        for (size_t i = 0; i < whole.size(); ++i) {
            auto summary = std::dynamic_pointer_cast<GDataEntryContact>(summaries->entryAtIndex(i));
            ASSERT_TRUE((*loaded)->isSummary(summary.get()));
            EXPECT_EQ(pass == 1 ? keptValues(*summary) : readValues(*summary), whole[i]) << pass << " " << i;
        }
    }
    // A summary changed keeps the change, and is still no whole entry.
    auto first = std::dynamic_pointer_cast<GDataEntryContact>(summaries->entryAtIndex(0));
    first->setNickname(std::string("Changed"));
    for (size_t i = 1; i < whole.size(); ++i) keptValues(*std::dynamic_pointer_cast<GDataEntryContact>(summaries->entryAtIndex(i)));
    EXPECT_EQ(first->nickname(), "Changed");
    EXPECT_EQ(GoogleContactCache::readValues(*first, GoogleContactCache::Values::kNickname).nickname, "Changed");
    EXPECT_EQ(first->emailAddresses().size(), 2u);
    // So does one whose photo ETag is set (a link changed in place), read either way.
    auto second = std::dynamic_pointer_cast<GDataEntryContact>(summaries->entryAtIndex(1));
    ASSERT_TRUE(second->photoLink());
    second->setPhotoLinkETag(std::string("\"new\""));
    for (size_t i = 2; i < whole.size(); ++i) keptValues(*std::dynamic_pointer_cast<GDataEntryContact>(summaries->entryAtIndex(i)));
    EXPECT_EQ(second->photoLink()->ETag(), "\"new\"");
    EXPECT_EQ(GoogleContactCache::readValues(*second, GoogleContactCache::Values::kPhotoLink).photoLink()->etag, "\"new\"");
    auto made = (*loaded)->wholeEntry(first);
    ASSERT_TRUE(made && made != first);
    EXPECT_EQ(keptValues(*made), whole[0]);

    // The list written again without the third contact: the summaries read the same values from
    // the list written (the third from bytes of its own), changes kept.
    auto rest = GDataFeedContact::contactFeed();
    auto restEntries = *summaries->entries();
    restEntries.erase(restEntries.begin() + 2);
    rest->setEntries(restEntries);
    ASSERT_TRUE((*loaded)->write(folder / "list", *rest));
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 2; i < whole.size(); ++i) {
            auto summary = std::dynamic_pointer_cast<GDataEntryContact>(summaries->entryAtIndex(i));
            EXPECT_EQ(pass == 0 ? readValues(*summary) : keptValues(*summary), whole[i]) << pass << " " << i;
            EXPECT_EQ(bool((*loaded)->wholeEntry(summary)), i != 2) << i;
        }
    }
    EXPECT_EQ(first->nickname(), "Changed");
    EXPECT_EQ(second->photoLink()->ETag(), "\"new\"");

    // A contact named twice: kept once from a download, and a list naming it twice is not used.
    const auto& e = *feed->entries();
    auto twice = GDataFeedContact::contactFeed();
    twice->setEntries(std::vector<std::shared_ptr<GDataEntryBase>>{e[0], e[1], std::dynamic_pointer_cast<GDataEntryBase>(e[0]->copy())});
    auto pages = GoogleContactCache::empty(owner);
    ASSERT_TRUE(pages->beginList(folder));
    ASSERT_TRUE(pages->keepPage(*twice));
    EXPECT_EQ(pages->count(), 2u);
    EXPECT_FALSE(pages->isSummary(std::dynamic_pointer_cast<GDataEntryContact>(twice->entryAtIndex(2)).get()));
    twice->setEntries(std::vector<std::shared_ptr<GDataEntryBase>>{e[0], e[1], std::dynamic_pointer_cast<GDataEntryBase>(e[0]->copy())});
    (void)GoogleContactCache::empty(owner)->write(folder / "twice", *twice);
    EXPECT_FALSE(GoogleContactCache::load(folder / "twice", owner));
    std::filesystem::remove_all(folder);
}

TEST(GoogleContactCacheTest, AnswersAndTheChangesSinceTakeTheirPlacesInTheKeptListAndItsDateMovesOnlyWithTheChanges) {
    // A feed of the entries named "id:etag" (a deleted one "-id"), dated `date`.
    auto feedOf = [](std::initializer_list<std::string> entries, const std::string& date) {
        std::string xml = "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'><updated>" +
                          date + "</updated><category scheme='http://schemas.google.com/g/2005#kind' "
                          "term='http://schemas.google.com/contact/2008#contact'/>";
        for (const std::string& e : entries) {
            const bool deleted = e[0] == '-';
            const std::string id = e.substr(deleted, e.find(':') - deleted), etag = deleted ? "gone" : e.substr(e.find(':') + 1);
            xml += "<entry gd:etag='" + etag + "'><id>http://example.com/base/" + id + "</id><updated>" + date +
                   "</updated>" + (deleted ? "<gd:deleted/>" : "<title>" + id + " " + etag + "</title>") + "</entry>";
        }
        xml += "</feed>";
        auto parsed = GDataObject::objectWithXMLData(platform::Bytes(xml.begin(), xml.end()), &GDataFeedContact::staticClassInfo(),
                                                     std::nullopt, nullptr, false);
        return std::dynamic_pointer_cast<GDataFeedContact>(parsed ? *parsed : nullptr);
    };
    auto entry = [](const std::shared_ptr<GDataFeedContact>& feed, size_t i) {
        return std::dynamic_pointer_cast<GDataEntryContact>(feed->entryAtIndex(i));
    };
    const auto folder = std::filesystem::temp_directory_path() / ("quorvane-answers-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const GoogleContactCache::Owner owner{"owner@example.com", "https://example.com/feed"};
    auto cache = GoogleContactCache::empty(owner);
    auto first = feedOf({"a:1", "b:1", "c:1", "d:1"}, "2026-11-01T00:00:00Z");
    ASSERT_TRUE(first && first->entryCount() == 4);
    ASSERT_TRUE(cache->write(folder / "list", *first));
    // The run's answers: b changed, n made; then the changes since: a at the ETag held, c
    // deleted, d changed by someone else, b and n at the ETags answered, m new.
    auto answers = feedOf({"b:2", "n:1"}, "2026-11-01T00:00:05Z");
    for (size_t i = 0; i < 2; ++i) ASSERT_TRUE(cache->keepAnswer(entry(answers, i), folder));
    EXPECT_EQ(cache->heldVersions().at("http://example.com/base/b"), "2");
    const struct {
        bool withChanges;
        std::string listed, date;
    } cases[] = {
        {false, "a 1|b 2|c 1|d 1|n 1|", "2026-11-01T00:00:00Z"},
        {true, "a 1|b 2|d 2|n 1|m 1|", "2026-11-01T00:00:09Z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.withChanges);
        if (c.withChanges)
            for (size_t i = 0; i < 2; ++i) ASSERT_TRUE(cache->keepAnswer(entry(answers, i), folder));
        auto changes = feedOf({"a:1", "-c", "d:2", "b:2", "n:1", "m:1"}, "2026-11-01T00:00:09Z");
        ASSERT_TRUE(cache->writeWithAnswers(folder / "list", c.withChanges ? changes.get() : nullptr));
        EXPECT_FALSE(cache->holdsAnswers());
        auto loaded = GoogleContactCache::load(folder / "list", owner);
        ASSERT_TRUE(loaded);
        auto list = (*loaded)->summaryFeed(std::nullopt);
        std::string listed;
        for (size_t i = 0; i < list->entryCount(); ++i) {
            auto whole = (*loaded)->wholeEntry(entry(list, i));
            ASSERT_TRUE(whole);
            listed += whole->title()->stringValue().value_or("?") + "|";
        }
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ(list->updatedDate()->date(), GDataDateTime::dateTimeWithRFC3339String(c.date).date());
    }
    std::filesystem::remove_all(folder);
}

TEST(DurableReplaceTest, TheCopyAskedForLastTakesThePlaceAndOnlyOldLeftoversAreRemoved) {
    const auto folder = platform::Paths::temporaryDirectory() / ("durable-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto path = folder / "list";
    auto contents = [](const std::filesystem::path& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    auto copy = [&](const std::string& text, const std::filesystem::path& to) {
        std::string name = (folder / ".list.XXXXXX").string();
        const int fd = ::mkstemp(name.data());
        EXPECT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
        replaceWhenDurable(fd, name, to);
    };
    std::ofstream(path) << "old";
    for (int i = 0; i < 4; ++i) copy("new " + std::to_string(i), path);
    copy("nowhere", folder / "missing" / "list");  // cannot be put in place: removed, nothing else changes
    ASSERT_TRUE(waitForReplacements(60));
    EXPECT_EQ(contents(path), "new 3");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

    const auto hourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
    for (const char* name : {".list.AAAAAA", ".list.BBBBBB", ".list.CCCCCCC", ".other.DDDDDD"}) {
        std::ofstream(folder / name) << "left";
        if (name[6] != 'B') std::filesystem::last_write_time(folder / name, hourAgo);
    }
    removeStaleTemporaries(path, 3600);
    for (const char* name : {".list.AAAAAA", ".list.BBBBBB", ".list.CCCCCCC", ".other.DDDDDD"})
        EXPECT_EQ(std::filesystem::exists(folder / name), name[6] != 'A') << name;
    std::filesystem::remove_all(folder);
}

TEST(GoogleFeedFetchStageTest, AWholeDownloadThenOnlyTheChangesMergedIntoTheLastOne) {
    test::ProviderAccount account;
    auto& provider = account.provider;
    auto person = [&](const std::string& family) {
        return provider.addContact("<gd:name><gd:familyName>" + family + "</gd:familyName></gd:name>", {"6contacts"});
    };
    int settled = 0;
    auto settle = [&] {
        provider.advanceTime(5);
        provider.addGroup("Later " + std::to_string(++settled));
    };
    const auto url = *platform::URL::URLWithString(provider.feedURL(test::FakeProvider::Kind::Contacts));
    auto fetch = [&](const FetchedContactFeed* cached) {
        provider.server().clearLog();
        std::optional<FetchedContactFeed> out;
        GoogleFeedFetch::fetchContactFeed(account.service, url, cached,
                                          [&](FetchedContactFeed fetched, std::optional<platform::Error> error) {
                                              EXPECT_FALSE(error) << error->localizedDescription();
                                              out = std::move(fetched);
                                          });
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return out.has_value(); }, 60));
        return out.value_or(FetchedContactFeed{});
    };
    auto families = [](const FetchedContactFeed& fetched) {
        std::vector<std::string> names;
        if (fetched.feed) {
            for (const auto& e : *fetched.feed->entries())
                names.push_back(std::dynamic_pointer_cast<GDataEntryContact>(e)->name()->familyName()->stringValue().value_or(""));
        }
        return names;
    };
    auto asked = [&] {  // the query of the first request
        auto requests = provider.server().requests("/m8/feeds/contacts/default/full");
        return requests.empty() ? "<no request>" : requests[0].query;
    };

    person("A");
    const std::string b = person("B"), c = person("C");
    settle();
    FetchedContactFeed last = fetch(nullptr);
    EXPECT_TRUE(last.complete && !last.incremental);
    EXPECT_EQ(asked().find("updated-min"), std::string::npos);
    EXPECT_EQ(families(last), (std::vector<std::string>{"A", "B", "C"}));

    settle();
    last = fetch(&last);
    EXPECT_TRUE(last.complete && last.incremental && last.unchanged);
    EXPECT_NE(asked().find("showdeleted=true"), std::string::npos) << asked();
    EXPECT_EQ(families(last), (std::vector<std::string>{"A", "B", "C"}));

    ASSERT_TRUE(provider.replaceContact(b, "<gd:name><gd:familyName>B2</gd:familyName></gd:name>", {"6contacts"}));
    ASSERT_TRUE(provider.deleteContact(c));
    const std::string d = person("D");
    settle();
    last = fetch(&last);
    EXPECT_TRUE(last.complete && last.incremental && !last.unchanged);
    EXPECT_NE(asked().find("updated-min="), std::string::npos) << asked();
    EXPECT_EQ(families(last), (std::vector<std::string>{"A", "B2", "D"}));

    // A change in the second the list is dated at comes again with the next changes, a page at a
    // time: the entry held stays (for a kept list, its summary), the copy is let go as it comes,
    // and the changes still count as whole; a deletion in that second is applied once.
    provider.setPageCap(1);
    ASSERT_TRUE(provider.replaceContact(b, "<gd:name><gd:familyName>B3</gd:familyName></gd:name>", {"6contacts"}));
    last = fetch(&last);
    const auto held = last.feed->entryAtIndex(1);
    ASSERT_TRUE(provider.deleteContact(d));
    for (bool deletionSeen : {false, true}) {
        last = fetch(&last);
        EXPECT_NE(asked().find("updated-min="), std::string::npos) << asked();
        EXPECT_TRUE(last.complete && last.incremental) << last.incompleteReason;
        EXPECT_EQ(last.unchanged, deletionSeen);
        EXPECT_EQ(last.feed->entryAtIndex(1).get(), held.get());
        EXPECT_EQ(families(last), (std::vector<std::string>{"A", "B3"}));
    }
    provider.setPageCap(0);

    // Past the most changes held whole, the whole list is downloaded instead.
    ASSERT_TRUE(provider.replaceContact(b, "<gd:name><gd:familyName>B4</gd:familyName></gd:name>", {"6contacts"}));
    person("D");
    settle();
    GoogleFeedFetch::setMostChangesHeldWhole(1);
    last = fetch(&last);
    GoogleFeedFetch::setMostChangesHeldWhole(GoogleFeedFetch::kMaxResults);
    auto requests = provider.server().requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].query.find("updated-min="), std::string::npos);
    EXPECT_EQ(requests[1].query.find("updated-min="), std::string::npos);
    EXPECT_TRUE(last.complete && !last.incremental);
    EXPECT_EQ(families(last), (std::vector<std::string>{"A", "B4", "D"}));

    provider.forgetDeletedContacts();
    settle();
    last = fetch(&last);
    EXPECT_EQ(provider.server().requests("/m8/feeds/contacts/default/full").size(), 2u);
    EXPECT_TRUE(last.complete && !last.incremental);
    EXPECT_EQ(families(last), (std::vector<std::string>{"A", "B4", "D"}));
}

}  // namespace
}  // namespace quorvane
