// The demonstration: one account's contacts moved over the provider's protocol, end to end,
// against the fake provider on 127.0.0.1 (the provider's own contacts feed is retired).
//
//   1. the fake provider starts with a generated address book and four user groups;
//   2. OAuth2: the authorization code a sign-in page would hand back is exchanged for tokens;
//   3. the contacts service fetches the groups feed and the contacts feed, following next links,
//      every request signed with the bearer token;
//   4. one contact is updated (PUT with its ETag), and a batch feed inserts two contacts and
//      deletes one;
//   5. an incremental fetch (updated-min, showdeleted) sees exactly those changes;
//   6. the provider expires the access token: the next fetch is refused with 401, the
//      authorizer refreshes the token once and the fetch goes through.
//
// Progress is written on standard output; the program exits 1 when a step fails.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fetcher/QNSessionFetcher.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEmail.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataName.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/service/GDataQueryContact.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/foundation/Date.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/ContactsFeedGenerator.h"
#include "tests/support/FakeProvider.h"

using namespace quorvane;
using platform::Error;
using platform::RunLoop;
using platform::URL;

namespace {

[[noreturn]] void fail(const std::string& what, const std::optional<Error>& error = std::nullopt) {
    std::printf("FAILED: %s", what.c_str());
    if (error) std::printf(" (%s %lld)", error->domain.c_str(), static_cast<long long>(error->code));
    std::printf("\n");
    std::exit(1);
}

struct Result {
    bool done = false;
    GDataServiceTicketPtr ticket;
    GDataObjectPtr object;
    std::optional<Error> error;
};

// Runs the main run loop until the call reports (the service reports on the main thread).
Result await(const std::function<GDataServiceTicketPtr(const GDataServiceCompletionHandler&)>& call,
             const std::string& what) {
    auto result = std::make_shared<Result>();
    call([result](const GDataServiceTicketPtr& t, const GDataObjectPtr& o, const std::optional<Error>& e) {
        result->done = true;
        result->ticket = t;
        result->object = o;
        result->error = e;
    });
    if (!RunLoop::main()->runUntil([&] { return result->done; }, 60)) fail(what + ": no answer within 60 s");
    if (result->error) fail(what, result->error);
    return *result;
}

std::string text(const std::shared_ptr<GDataTextConstruct>& t) {
    return t && t->stringValue() ? *t->stringValue() : std::string("(untitled)");
}

std::string summary(const std::shared_ptr<GDataEntryContact>& contact) {
    std::string line = text(contact->title());
    auto emails = contact->emailAddresses();
    if (!emails.empty() && emails[0]->address()) line += " <" + *emails[0]->address() + ">";
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    size_t contacts = argc > 1 ? size_t(std::strtoul(argv[1], nullptr, 10)) : 60;
    registerContactClasses();

    // 1. The provider.
    test::FakeProvider provider;
    provider.addContactsFromFeed(testing::generateContactsFeed({.entries = contacts, .seed = 7, .unknownParts = true}));
    for (const char* g : {"Family", "Work", "Climbing club", "Neighbours"}) provider.addGroup(g);
    std::printf("fake provider on %s: %zu contacts, %zu groups\n", provider.server().baseURL().c_str(),
                provider.entries(test::FakeProvider::Kind::Contacts).size(),
                provider.entries(test::FakeProvider::Kind::Groups).size());

    // 2. Sign-in: exchange the code the authorization page would have handed back.
    test::FakeProvider::OAuthSettings oauth;
    auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
        "Google", URL::URLWithString(provider.tokenURL()), "http://127.0.0.1/oauth2callback", oauth.clientID,
        oauth.clientSecret);
    auth->setCode(provider.issueAuthorizationCode());
    bool exchanged = false;
    std::optional<Error> exchangeError;
    auth->beginTokenFetchWithDelegate([&](const std::shared_ptr<QNOAuth2Authentication>&,
                                          const std::shared_ptr<QNSessionFetcher>&, const std::optional<Error>& e) {
        exchanged = true;
        exchangeError = e;
    });
    RunLoop::main()->runUntil([&] { return exchanged; }, 60);
    if (!exchanged || exchangeError || !auth->refreshToken()) fail("authorization code exchange", exchangeError);
    std::printf("signed in: access token received, refresh token kept (persistence string %zu bytes)\n",
                auth->persistenceResponseString().size());

    // 3. The contacts service, signed by the authorizer, gathering every page of a feed.
    auto service = GDataServiceGoogleContact::contactService();
    service->setAuthorizer(auth);
    service->setServiceShouldFollowNextLinks(true);
    URL contactsURL = *URL::URLWithString(provider.feedURL(test::FakeProvider::Kind::Contacts));
    URL groupsURL = *URL::URLWithString(provider.feedURL(test::FakeProvider::Kind::Groups));

    auto groupsQuery = GDataQueryContact::contactQueryWithFeedURL(groupsURL);
    Result groups = await([&](auto h) { return service->fetchFeedWithQuery(*groupsQuery, h); }, "groups feed");
    auto groupFeed = std::dynamic_pointer_cast<GDataFeedBase>(groups.object);
    if (!groupFeed || !groupFeed->entries()) fail("groups feed: no feed");
    std::printf("groups (%zu):", groupFeed->entries()->size());
    for (const auto& g : *groupFeed->entries()) std::printf(" [%s]", text(g->title()).c_str());
    std::printf("\n");

    auto query = GDataQueryContact::contactQueryWithFeedURL(contactsURL);
    query->setMaxResults(25);  // small pages, so that next links are followed
    Result all = await([&](auto h) { return service->fetchFeedWithQuery(*query, h); }, "contacts feed");
    auto feed = std::dynamic_pointer_cast<GDataFeedContact>(all.object);
    if (!feed || !feed->entries()) fail("contacts feed: no feed");
    size_t requests = provider.server().requestCount("/m8/feeds/contacts/default/full");
    std::printf("contacts (%zu, in %zu pages):\n", feed->entries()->size(), requests);
    for (const auto& e : *feed->entries())
        if (auto c = std::dynamic_pointer_cast<GDataEntryContact>(e)) std::printf("  %s\n", summary(c).c_str());
    if (feed->entries()->size() != contacts) fail("contacts feed: expected " + std::to_string(contacts) + " entries");

    // Query times are whole seconds: start the changes on the next second, so that everything
    // before lies before it. (The provider keeps its times strictly increasing, so a burst of
    // stores can put its latest time a little ahead of the clock: take the later of the two.)
    double latest = platform::Date::now().timeIntervalSince1970();
    for (const auto& e : provider.entries(test::FakeProvider::Kind::Contacts, true)) latest = std::max(latest, e.updated);
    for (const auto& e : provider.entries(test::FakeProvider::Kind::Groups, true)) latest = std::max(latest, e.updated);
    const auto before = platform::Date::fromUnix(std::floor(latest) + 1);
    RunLoop::main()->runUntil([&] { return platform::Date::now().timeIntervalSince(before) >= 0; }, 2);

    // 4. One update, then a batch of two inserts and one deletion.
    auto first = std::dynamic_pointer_cast<GDataEntryContact>(feed->entries()->at(0));
    std::string oldETag = first->ETag().value_or("");
    first->setNickname("Demo nickname");
    Result updated = await([&](auto h) { return service->fetchEntryByUpdatingEntry(first, h); }, "update");
    auto updatedEntry = std::dynamic_pointer_cast<GDataEntryContact>(updated.object);
    if (!updatedEntry) fail("update: no entry");
    std::printf("updated %s: nickname \"%s\", ETag %s -> %s\n", text(updatedEntry->title()).c_str(),
                updatedEntry->nickname().value_or("").c_str(), oldETag.c_str(), updatedEntry->ETag().value_or("").c_str());

    auto batch = GDataFeedContact::contactFeed();
    for (const char* name : {"Nadia Benali", "Olaf Sørensen"}) {
        auto added = GDataEntryContact::contactEntryWithFullNameString(name);
        added->setTitleWithString(std::string(name));
        added->setBatchOperation(GDataBatchOperation::batchOperationWithType("insert"));
        added->setBatchIDWithString(std::string("insert ") + name);
        batch->addEntry(added);
    }
    auto victim = std::dynamic_pointer_cast<GDataEntryContact>(feed->entries()->back());
    auto deletion = GDataEntryContact::contactEntryWithTitle(std::nullopt);
    deletion->setIdentifier(victim->identifier());
    deletion->setETag(victim->ETag());
    deletion->setBatchOperation(GDataBatchOperation::batchOperationWithType("delete"));
    deletion->setBatchIDWithString(std::string("delete"));
    batch->addEntry(deletion);
    URL batchURL = *URL::URLWithString(provider.feedURL(test::FakeProvider::Kind::Contacts) + "/batch");
    Result batched = await([&](auto h) { return service->fetchFeedWithBatchFeed(batch, batchURL, h); }, "batch");
    auto answer = std::dynamic_pointer_cast<GDataFeedBase>(batched.object);
    if (!answer || !answer->entries()) fail("batch: no answer feed");
    for (const auto& e : *answer->entries()) {
        auto status = e->batchStatus();
        std::printf("batch %s: %d %s\n", e->batchID() ? e->batchID()->stringValue().value_or("?").c_str() : "?",
                    status ? status->code().value_or(0) : 0, status ? status->reason().value_or("").c_str() : "");
        if (!status || status->code().value_or(0) >= 300) fail("batch operation refused");
    }

    // 5. What changed since the start of step 4.
    auto changes = GDataQueryContact::contactQueryWithFeedURL(contactsURL);
    changes->setUpdatedMinDateTime(GDataDateTime::dateTimeWithDate(before, nullptr));
    changes->setShouldShowDeleted(true);
    changes->setMaxResults(1000);
    Result changed = await([&](auto h) { return service->fetchFeedWithQuery(*changes, h); }, "incremental feed");
    auto changedFeed = std::dynamic_pointer_cast<GDataFeedContact>(changed.object);
    size_t deleted = 0, live = 0;
    for (const auto& e : *changedFeed->entries()) {
        auto c = std::dynamic_pointer_cast<GDataEntryContact>(e);
        bool isDeleted = c && c->isDeleted();
        (isDeleted ? deleted : live) += 1;
        std::printf("  changed: %s%s\n", isDeleted ? "(deleted) " : "", c && !isDeleted ? summary(c).c_str() : c->identifier().value_or("").c_str());
    }
    std::printf("incremental fetch: %zu changed, %zu deleted\n", live, deleted);
    if (live != 3 || deleted != 1) fail("incremental fetch: expected 3 changed and 1 deleted");

    // 6. The provider forgets the access token: one refused request, one refresh, then success.
    provider.expireAccessTokens();
    size_t tokenRequests = provider.tokenRequests();
    Result again = await([&](auto h) { return service->fetchFeedWithQuery(*groupsQuery, h); }, "fetch after expiry");
    std::printf("access token expired on the provider: refreshed with %zu token request, groups fetched again (%zu)\n",
                provider.tokenRequests() - tokenRequests,
                std::dynamic_pointer_cast<GDataFeedBase>(again.object)->entries()->size());
    if (provider.tokenRequests() - tokenRequests != 1) fail("expected exactly one token refresh");

    std::printf("demonstration complete\n");
    return 0;
}
