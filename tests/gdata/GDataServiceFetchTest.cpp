// The contacts service against the loopback server: real fetchers from the real fetcher
// service, signed by a real OAuth2 authorizer, answers parsed on the service's queue and
// reported on the main thread.

#include <gtest/gtest.h>

#include "tests/support/FakeResumableUploads.h"

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "gdata/GDataBatchElements.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataXMLDocument.h"
#include "gdata/service/GDataFeedBounds.h"
#include "gdata/service/GDataQueryContact.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/foundation/Log.h"
#include "platform/runloop/NotificationCenter.h"
#include "tests/gdata/GDataServiceTestSupport.h"
#include "tests/support/ContactsFeedGenerator.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane {
namespace {

using platform::Bytes;
using platform::URL;
using namespace servicetest;
using test::TestHTTPServer;
using test::TestRequest;
using test::TestResponse;

constexpr const char* kAtomType = "application/atom+xml; charset=UTF-8";

// Counts the service's parse notifications for one ticket.
class ParseNotifications {
public:
    ParseNotifications() {
        auto& center = platform::NotificationCenter::defaultCenter();
        started_ = center.addObserver(kGDataServiceTicketParsingStartedNotification, nullptr, nullptr,
                                      [this](const platform::Notification& n) {
                                          std::lock_guard<std::mutex> lock(mutex_);
                                          startedFor_.push_back(n.object);
                                      });
        stopped_ = center.addObserver(kGDataServiceTicketParsingStoppedNotification, nullptr, nullptr,
                                      [this](const platform::Notification& n) {
                                          std::lock_guard<std::mutex> lock(mutex_);
                                          stoppedFor_.push_back(n.object);
                                      });
    }
    int started(const void* ticket) const { return count(startedFor_, ticket); }
    int stopped(const void* ticket) const { return count(stoppedFor_, ticket); }

private:
    int count(const std::vector<const void*>& list, const void* ticket) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return int(std::count(list.begin(), list.end(), ticket));
    }
    mutable std::mutex mutex_;
    std::vector<const void*> startedFor_, stoppedFor_;
    platform::NotificationCenter::TokenPtr started_, stopped_;
};

class GDataServiceFetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerContactClasses();
        service = GDataServiceGoogleContact::contactService();
        auth = std::make_shared<QNOAuth2Authentication>();
        auth->setAccessToken(std::string("token-1"));
        auth->addAuthorizedOrigin(server.url("/"));  // the loopback server stands in for the service
        service->setAuthorizer(auth);
    }
    void TearDown() override {
        // Every fetcher ends before the server goes away.
        EXPECT_TRUE(service->fetcherService()->waitForCompletionOfAllFetchersWithTimeout(60));
    }

    std::string href(const std::string& path) const { return server.url(path).absoluteString(); }

    std::shared_ptr<GDataEntryContact> entryFromServer(const std::string& path, const std::string& etag) {
        auto xml = contactEntryDocument("urn:c1", "Ada Lovelace", href(path), etag);
        auto doc = GDataXMLDocument::initWithXMLString(xml).valueOr(nullptr);
        return std::dynamic_pointer_cast<GDataEntryContact>(
            GDataObject::objectWithXMLElement(GDataEntryContact::staticClassInfo(), doc->rootElement(), nullptr));
    }

    // Waits until the fetcher service has no fetcher left and the main queue ran what they left.
    void settle() {
        EXPECT_TRUE(service->fetcherService()->waitForCompletionOfAllFetchersWithTimeout(60));
        platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    }

    TestHTTPServer server;
    std::shared_ptr<GDataServiceGoogleContact> service;
    std::shared_ptr<QNOAuth2Authentication> auth;
};

TEST_F(GDataServiceFetchTest, ContactsFeedArrivesParsedOnTheMainThreadWithVersionAndBearerToken) {
    testing::ContactsFeedOptions options;
    options.entries = 12;
    std::string body = testing::generateContactsFeed(options);
    server.respond("/m8/feeds/contacts/default/full", 200, body, kAtomType);

    ParseNotifications notes;
    auto record = std::make_shared<CallRecord>();
    auto query = GDataQueryContact::contactQueryWithFeedURL(server.url("/m8/feeds/contacts/default/full"));
    query->setMaxResults(10000);
    auto ticket = service->fetchFeedWithQuery(*query, delegateInto(record));
    ASSERT_TRUE(ticket);
    EXPECT_EQ(ticket->currentFetcher(), ticket->objectFetcher());
    waitForReport(record);

    ASSERT_EQ(record->calls, 1);
    EXPECT_TRUE(record->onMainThread);
    EXPECT_EQ(record->ticket, ticket);
    ASSERT_FALSE(record->error) << record->error->domain << " " << record->error->code;
    // No class was named: the answer's kind chose it.
    auto feed = std::dynamic_pointer_cast<GDataFeedContact>(record->object);
    ASSERT_TRUE(feed);
    ASSERT_EQ(feed->entryCount(), 12u);
    for (const auto& entry : *feed->entries()) EXPECT_TRUE(std::dynamic_pointer_cast<GDataEntryContact>(entry));
    // The answer equals the same bytes parsed directly.
    auto direct = GDataFeedContact::contactFeedWithXMLData(bytesOf(body));
    EXPECT_TRUE(feed->isEqual(*direct));

    EXPECT_EQ(ticket->fetchedObject(), record->object);
    EXPECT_FALSE(ticket->fetchError());
    EXPECT_TRUE(ticket->hasCalledCallback());
    EXPECT_FALSE(ticket->currentFetcher());
    EXPECT_EQ(ticket->statusCode(), 200);
    EXPECT_FALSE(ticket->parseOperation());
    EXPECT_EQ(notes.started(ticket.get()), 1);
    EXPECT_EQ(notes.stopped(ticket.get()), 1);

    auto requests = server.requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].query, "max-results=10000");
    EXPECT_EQ(requests[0].header("GData-Version"), "3.0");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer token-1");
    auto agent = requests[0].header("User-Agent").value_or("");
    EXPECT_NE(agent.find("GData-Cxx/1.12"), std::string::npos) << agent;
    EXPECT_NE(agent.find("(gzip)"), std::string::npos) << agent;
}

TEST_F(GDataServiceFetchTest, NextLinksAreFollowedForAtMostTwentySixMorePagesAndACutFeedKeepsItsNextLink) {
    // Thirty pages of two entries, each linking to the next.
    server.on("GET", "/pages/*", [this](const TestRequest& req, TestResponse& res) {
        int n = std::stoi(req.path.substr(std::string("/pages/").size()));
        std::vector<std::string> entries;
        for (int i = 0; i < 2; ++i) {
            std::string id = std::to_string(n * 2 + i);
            entries.push_back(contactEntryXML("urn:" + id, "Person " + id));
        }
        std::optional<std::string> next;
        if (n < 29) next = href("/pages/" + std::to_string(n + 1));
        res.body = contactFeedXML(entries, next);
        res.contentType = kAtomType;
    });

    auto record = std::make_shared<CallRecord>();
    service->setServiceShouldFollowNextLinks(true);
    auto ticket = service->fetchFeedWithURL(server.url("/pages/0"), recordInto(record));
    ASSERT_TRUE(ticket);
    waitForReport(record, 30);

    ASSERT_EQ(record->calls, 1);
    ASSERT_FALSE(record->error);
    EXPECT_EQ(server.requestCount(), 27u);
    EXPECT_EQ(ticket->nextLinksFollowedCounter(), 26u);
    auto feed = std::dynamic_pointer_cast<GDataFeedContact>(record->object);
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed, ticket->accumulatedFeed());
    ASSERT_EQ(feed->entryCount(), 54u);
    for (size_t i = 0; i < 54; ++i) EXPECT_EQ(feed->entryAtIndex(i)->identifier(), "urn:" + std::to_string(i));
    // Reported as cut: the next link of the last page fetched stays, and only that one.
    ASSERT_TRUE(feed->nextLink());
    EXPECT_EQ(feed->nextLink()->href(), href("/pages/27"));
    size_t nextLinks = 0;
    for (const auto& link : feed->links()) nextLinks += link->rel() == "next";
    EXPECT_EQ(nextLinks, 1u);
    // Every page went out with the same headers.
    for (const auto& req : server.requests()) EXPECT_EQ(req.header("Authorization"), "Bearer token-1");

    // Without following, the first page comes back alone with its next link.
    server.clearLog();
    auto single = std::make_shared<CallRecord>();
    service->setServiceShouldFollowNextLinks(false);
    service->fetchFeedWithURL(server.url("/pages/3"), recordInto(single));
    waitForReport(single);
    auto page = std::dynamic_pointer_cast<GDataFeedBase>(single->object);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->entryCount(), 2u);
    ASSERT_TRUE(page->nextLink());
    EXPECT_EQ(page->nextLink()->href(), href("/pages/4"));
    EXPECT_EQ(server.requestCount(), 1u);

    // A next link that does not lead over the network is left unfollowed: the feed is cut there.
    service->setServiceShouldFollowNextLinks(true);
    server.on("GET", "/to-data", [this](const TestRequest&, TestResponse& res) {
        res.body = contactFeedXML({contactEntryXML("urn:d", "D")}, "data:application/atom+xml;base64,PGZlZWQvPg==");
        res.contentType = kAtomType;
    });
    auto toData = std::make_shared<CallRecord>();
    service->fetchFeedWithURL(server.url("/to-data"), recordInto(toData));
    waitForReport(toData);
    auto cut = std::dynamic_pointer_cast<GDataFeedBase>(toData->object);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->entryCount(), 1u);
    EXPECT_TRUE(cut->nextLink());

    // The whole feed is bounded in entries and in bytes across its pages: past either the call
    // fails, and says so.
    for (bool byBytes : {false, true}) {
        SCOPED_TRACE(byBytes);
        server.clearLog();
        setGDataFeedBounds({byBytes ? 0 : 9u, byBytes ? 3000u : 0});
        auto bounded = std::make_shared<CallRecord>();
        auto boundedTicket = service->fetchFeedWithURL(server.url("/pages/0"), recordInto(bounded));
        waitForReport(bounded);
        ASSERT_TRUE(bounded->error);
        EXPECT_EQ(bounded->error->code, kGDataServiceErrorFeedTooLarge);
        EXPECT_NE(bounded->error->localizedDescription().find(byBytes ? "MiB" : "9 entries"), std::string::npos);
        EXPECT_FALSE(bounded->object);
        EXPECT_FALSE(boundedTicket->accumulatedFeed());
        EXPECT_LT(server.requestCount(), 6u);
    }
    setGDataFeedBounds({});
}

TEST_F(GDataServiceFetchTest, AFailingPageEndsTheWholeCallWithItsError) {
    server.on("GET", "/chain/*", [this](const TestRequest& req, TestResponse& res) {
        if (req.path == "/chain/2") {
            res.status = 500;
            res.body = "down";
            return;
        }
        int n = std::stoi(req.path.substr(std::string("/chain/").size()));
        res.body = contactFeedXML({contactEntryXML("urn:" + std::to_string(n), "P")},
                                  href("/chain/" + std::to_string(n + 1)));
        res.contentType = kAtomType;
    });
    auto record = std::make_shared<CallRecord>();
    service->setServiceShouldFollowNextLinks(true);
    auto ticket = service->fetchFeedWithURL(server.url("/chain/0"), delegateInto(record));
    waitForReport(record);
    ASSERT_EQ(record->calls, 1);
    ASSERT_TRUE(record->error);
    EXPECT_EQ(record->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(record->error->code, 500);
    EXPECT_FALSE(record->object);
    EXPECT_EQ(ticket->fetchError(), record->error);
    EXPECT_EQ(ticket->statusCode(), 500);
}

TEST_F(GDataServiceFetchTest, UpdateSendsThePutWithIfMatchAndTheEntryXML) {
    std::string updated = contactEntryDocument("urn:c1", "Ada King", href("/entry/c1"), "\"E2\"");
    server.on("*", "/entry/c1", [updated](const TestRequest&, TestResponse& res) {
        res.body = updated;
        res.contentType = kAtomType;
    });
    auto entry = entryFromServer("/entry/c1", "\"E1\"");
    ASSERT_TRUE(entry);
    entry->setTitleWithString(std::string("Ada King"));

    auto record = std::make_shared<CallRecord>();
    auto handler = std::make_shared<CallRecord>();
    // Both forms of the callback: the delegate first, then the handler.
    auto order = std::make_shared<std::vector<std::string>>();
    auto ticket = service->fetchObjectWithURL(
        server.url("/entry/c1"), &entry->classInfo(), entry, std::nullopt, std::string("PUT"),
        GDataServiceDelegate([order, rec = recordInto(record, "delegate")](auto&&... args) {
            order->push_back("delegate");
            rec(args...);
        }),
        [order, rec = recordInto(handler)](auto&&... args) {
            order->push_back("handler");
            rec(args...);
        },
        nullptr, nullptr);
    ASSERT_TRUE(ticket);
    EXPECT_EQ(ticket->postedObject(), entry);
    waitForReport(handler);
    EXPECT_EQ(record->calls, 1);
    EXPECT_EQ(handler->calls, 1);
    EXPECT_EQ(*order, (std::vector<std::string>{"delegate", "handler"}));

    auto requests = server.requests("/entry/c1");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].header("If-Match"), "\"E1\"");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/atom+xml; charset=utf-8");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer token-1");
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(requests[0].body.size()));
    // The body is the entry's XML: parsed back, it equals the entry sent.
    auto sentDoc = GDataXMLDocument::initWithXMLString(requests[0].body).valueOr(nullptr);
    ASSERT_TRUE(sentDoc);
    auto sent = GDataObject::objectWithXMLElement(GDataEntryContact::staticClassInfo(), sentDoc->rootElement(), nullptr);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(sent->isEqual(*entry));

    auto answer = std::dynamic_pointer_cast<GDataEntryContact>(handler->object);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->ETag(), "\"E2\"");

    // The named operation goes to the edit link; with the method override it is a POST.
    server.clearLog();
    service->setShouldUseMethodOverrideHeader(true);
    auto viaEdit = std::make_shared<CallRecord>();
    service->fetchEntryByUpdatingEntry(entry, delegateInto(viaEdit));
    waitForReport(viaEdit);
    ASSERT_FALSE(viaEdit->error);
    requests = server.requests("/entry/c1");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("X-HTTP-Method-Override"), "PUT");
    EXPECT_EQ(requests[0].header("If-Match"), "\"E1\"");

    // With a field selection the update is a PATCH of plain XML.
    server.clearLog();
    service->setShouldUseMethodOverrideHeader(false);
    entry->setFieldSelection(std::string("title"));
    auto patch = std::make_shared<CallRecord>();
    service->fetchEntryByUpdatingEntry(entry, recordInto(patch));
    waitForReport(patch);
    requests = server.requests("/entry/c1");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "PATCH");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/xml; charset=utf-8");
}

TEST_F(GDataServiceFetchTest, InsertGivesTheEntryTheServiceNamespacesAndPosts) {
    std::string created = contactEntryDocument("urn:new", "New Person", href("/entry/new"), "\"N1\"");
    server.on("POST", "/m8/feeds/contacts/default/full", [created](const TestRequest&, TestResponse& res) {
        res.status = 201;
        res.body = created;
        res.contentType = kAtomType;
    });
    auto entry = std::make_shared<GDataEntryContact>();
    entry->init();
    entry->setTitleWithString(std::string("New Person"));
    ASSERT_TRUE(entry->namespaces().empty());

    // Upload progress reaches the service's selector, then its handler, both copied into the
    // ticket; the fetcher reports to them through its send-progress block.
    auto progress = std::make_shared<std::vector<std::string>>();
    service->setServiceUploadProgressSelector([progress](const GDataServiceTicketPtr&, uint64_t done, uint64_t total) {
        if (done == 11 && total == 22) progress->push_back("selector");
    });
    service->setServiceUploadProgressHandler([progress](const GDataServiceTicketPtr&, uint64_t done, uint64_t total) {
        if (done == 11 && total == 22) progress->push_back("handler");
    });
    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchEntryByInsertingEntry(entry, server.url("/m8/feeds/contacts/default/full"),
                                                      recordInto(record));
    ASSERT_TRUE(ticket);
    auto sendProgress = ticket->objectFetcher()->sendProgressBlock();
    ASSERT_TRUE(sendProgress);
    sendProgress(11, 11, 22);
    EXPECT_EQ(*progress, (std::vector<std::string>{"selector", "handler"}));
    waitForReport(record);
    ASSERT_FALSE(record->error);
    EXPECT_EQ(entry->namespaces(), GDataContactConstants::contactNamespaces());
    auto requests = server.requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_FALSE(requests[0].header("If-Match"));
    EXPECT_NE(requests[0].body.find("gContact"), std::string::npos);
    EXPECT_EQ(std::dynamic_pointer_cast<GDataEntryContact>(record->object)->identifier(), "urn:new");
    EXPECT_EQ(ticket->statusCode(), 201);
}

TEST_F(GDataServiceFetchTest, PhotoUploadSendsTheRawImageInOneRequestWhenChunkingIsOff) {
    server.on("PUT", "/photos/c1", [](const TestRequest&, TestResponse& res) { res.status = 200; });
    auto entry = entryFromServer("/entry/c1", "\"E1\"");
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0xFF, 0xD9};
    entry->setUploadData(jpeg);
    entry->setUploadMIMEType(std::string("image/jpeg"));
    entry->setShouldUploadDataOnly(true);

    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchObjectWithURL(server.url("/photos/c1"), &entry->classInfo(), entry,
                                              std::string("\"P1\""), std::string("PUT"), delegateInto(record), nullptr,
                                              nullptr, nullptr);
    ASSERT_TRUE(ticket);
    waitForReport(record);
    ASSERT_FALSE(record->error);
    EXPECT_FALSE(record->object);  // empty answer
    EXPECT_EQ(ticket->statusCode(), 200);
    auto requests = server.requests("/photos/c1");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Content-Type"), "image/jpeg");
    EXPECT_EQ(requests[0].header("If-Match"), "\"P1\"");
    EXPECT_EQ(Bytes(requests[0].body.begin(), requests[0].body.end()), jpeg);

    // Media with its entry goes out as one multipart body of the XML and the image.
    server.clearLog();
    entry->setShouldUploadDataOnly(false);
    auto multipart = std::make_shared<CallRecord>();
    service->fetchEntryByUpdatingEntry(entry, server.url("/photos/c1"), recordInto(multipart));
    waitForReport(multipart);
    ASSERT_FALSE(multipart->error);
    requests = server.requests("/photos/c1");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Content-Type").value_or("").rfind("multipart/related; boundary=", 0), 0u);
    EXPECT_EQ(requests[0].header("If-Match"), "\"E1\"");
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(requests[0].body.size()));
    EXPECT_NE(requests[0].body.find("Ada Lovelace"), std::string::npos);
    EXPECT_NE(requests[0].body.find("JFIF"), std::string::npos);
}

TEST_F(GDataServiceFetchTest, ChunkedMediaGoesThroughTheResumableUploadWhichTheTicketPausesAndResumes) {
    test::FakeResumableUploads uploads(server);
    uploads.setFinalAnswer([this](const test::FakeResumableUploads::Upload&, TestResponse& res) {
        res.contentType = kAtomType;
        res.body = contactEntryDocument("urn:c1", "Ada Lovelace", href("/entry/c1"), "\"E2\"");
    });
    uploads.stallChunksFrom(60000);
    auto entry = entryFromServer("/entry/c1", "\"E1\"");
    std::string media(200000, 'm');
    for (size_t i = 0; i < media.size(); ++i) media[i] = char(i * 31 % 251);
    entry->setUploadData(Bytes(media.begin(), media.end()));
    entry->setUploadMIMEType(std::string("image/jpeg"));
    service->setServiceUploadChunkSize(60000);
    service->setIsServiceRetryEnabled(true);

    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchObjectWithURL(URL::URLWithString(uploads.startURL()), &entry->classInfo(), entry,
                                              std::nullopt, std::string("POST"), delegateInto(record), nullptr, nullptr,
                                              nullptr);
    ASSERT_TRUE(ticket);
    ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return uploads.waitForStalledChunks(1, 0); }, 60));
    ticket->pauseUpload();
    EXPECT_TRUE(ticket->isUploadPaused());
    uploads.stallChunksFrom(std::nullopt);
    ticket->resumeUpload();
    EXPECT_FALSE(ticket->isUploadPaused());
    waitForReport(record);
    ASSERT_FALSE(record->error) << record->error->domain << " " << record->error->code;
    auto parsed = std::dynamic_pointer_cast<GDataEntryContact>(record->object);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->identifier(), "urn:c1");
    auto all = uploads.uploads();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].bytes, media);
    EXPECT_EQ(all[0].mimeType, "image/jpeg");
    // The first request carried the entry itself.
    auto start = server.requests("/upload/resumable");
    ASSERT_EQ(start.size(), 1u);
    EXPECT_NE(start[0].body.find("Ada Lovelace"), std::string::npos);
    auto commands = uploads.commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "query"), commands.end());
}

TEST_F(GDataServiceFetchTest, DeleteSendsTheETagAndReportsTheEmptyAnswerAsSuccess) {
    server.on("DELETE", "/entry/*", [](const TestRequest&, TestResponse& res) { res.status = 200; });
    auto entry = entryFromServer("/entry/c1", "\"E7\"");

    auto record = std::make_shared<CallRecord>();
    auto ticket = service->deleteEntry(entry, delegateInto(record));
    ASSERT_TRUE(ticket);
    EXPECT_EQ(ticket->postedObject(), entry);
    waitForReport(record);
    ASSERT_EQ(record->calls, 1);
    EXPECT_FALSE(record->error);
    EXPECT_FALSE(record->object);
    EXPECT_TRUE(ticket->hasCalledCallback());
    auto requests = server.requests("/entry/c1");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "DELETE");
    EXPECT_EQ(requests[0].header("If-Match"), "\"E7\"");

    // The completion form leaves the posted object empty.
    auto block = std::make_shared<CallRecord>();
    auto second = service->deleteEntry(entry, recordInto(block));
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->postedObject());
    waitForReport(block);
    EXPECT_FALSE(block->error);

    auto byURL = std::make_shared<CallRecord>();
    service->deleteResourceURL(server.url("/entry/c9"), std::string("W/\"weak\""), recordInto(byURL));
    waitForReport(byURL);
    EXPECT_FALSE(byURL->error);
    ASSERT_EQ(server.requests("/entry/c9").size(), 1u);
    EXPECT_FALSE(server.requests("/entry/c9")[0].header("If-Match"));
}

TEST_F(GDataServiceFetchTest, BatchPostCarriesTheOperationsAndTheAnswerEntriesTheirStatuses) {
    std::string answer =
        "<?xml version='1.0' encoding='UTF-8'?><feed " + namespaceDeclarations() +
        "><id>batch</id>" + kContactKindCategory +
        "<entry><batch:id>ins</batch:id><batch:operation type='insert'/><batch:status code='201' "
        "reason='Created'/><id>urn:new</id>" + kContactKindCategory + "<title>New</title><gd:unknownThing a='1'/></entry>"
        "<entry><batch:id>upd</batch:id><batch:operation type='update'/><batch:status code='200' "
        "reason='Success'/><id>urn:c1</id>" + kContactKindCategory + "<title>Changed</title></entry>"
        "<entry><batch:id>del</batch:id><batch:operation type='delete'/><batch:status code='404' "
        "reason='Not Found'/><id>urn:gone</id>" + kContactKindCategory + "<title>Gone</title></entry></feed>";
    server.on("*", "/m8/feeds/contacts/default/full/batch", [answer](const TestRequest&, TestResponse& res) {
        res.body = answer;
        res.contentType = kAtomType;
    });

    auto batch = std::make_shared<GDataFeedContact>();
    batch->init();
    ASSERT_TRUE(batch->namespaces().empty());
    auto add = [&](const std::string& title, const char* op, const std::string& batchID) {
        auto entry = std::make_shared<GDataEntryContact>();
        entry->init();
        entry->setTitleWithString(title);
        entry->setBatchOperation(GDataBatchOperation::batchOperationWithType(std::string(op)));
        entry->setBatchIDWithString(batchID);
        batch->addEntry(entry);
    };
    add("New", kGDataBatchOperationInsert, "ins");
    add("Changed", kGDataBatchOperationUpdate, "upd");
    add("Gone", kGDataBatchOperationDelete, "del");

    service->setShouldServiceFeedsIgnoreUnknowns(true);
    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchFeedWithBatchFeed(batch, server.url("/m8/feeds/contacts/default/full/batch"),
                                                  delegateInto(record));
    ASSERT_TRUE(ticket);
    ticket->setProperty("engine", std::string("batch-1"));
    EXPECT_FALSE(ticket->shouldFeedsIgnoreUnknowns());
    waitForReport(record);
    ASSERT_FALSE(record->error);

    // The feed was given the gd and batch namespaces, and went out as a POST.
    bool hasGD = false, hasBatch = false;
    for (const auto& [prefix, uri] : batch->namespaces()) {
        hasGD |= prefix == "gd";
        hasBatch |= prefix == "batch";
    }
    EXPECT_TRUE(hasGD && hasBatch);
    auto requests = server.requests("/m8/feeds/contacts/default/full/batch");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_NE(requests[0].body.find("batch:operation"), std::string::npos);
    EXPECT_NE(requests[0].body.find("type=\"delete\""), std::string::npos);

    auto result = std::dynamic_pointer_cast<GDataFeedContact>(record->object);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->entryCount(), 3u);
    std::vector<int> codes;
    for (const auto& e : *result->entries()) codes.push_back(e->batchStatus() ? e->batchStatus()->code().value_or(-1) : -1);
    EXPECT_EQ(codes, (std::vector<int>{201, 200, 404}));
    EXPECT_EQ(result->entryAtIndex(0)->batchID()->stringValue(), "ins");
    // Nothing of the answer was dropped, though the service drops unknowns by default.
    EXPECT_FALSE(result->entryAtIndex(0)->unknownChildren().empty());
    // Values the caller put on the ticket are still there.
    EXPECT_EQ(std::any_cast<std::string>(record->ticket->propertyForKey("engine")), "batch-1");
}

TEST_F(GDataServiceFetchTest, ProviderErrorDocumentsComeBackUnderServerErrors) {
    std::string body =
        "<?xml version='1.0' encoding='UTF-8'?><errors xmlns='http://schemas.google.com/g/2005'><error>"
        "<domain>GData</domain><code>invalid</code><location type='header'>Content-Type</location>"
        "<internalReason>Invalid request URI</internalReason></error></errors>";
    server.on("*", "/bad", [body](const TestRequest&, TestResponse& res) {
        res.status = 400;
        res.body = body;
        res.contentType = "application/vnd.google.gdata.error+xml; charset=UTF-8";
    });
    ParseNotifications notes;
    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchFeedWithURL(server.url("/bad"), delegateInto(record));
    waitForReport(record);
    ASSERT_EQ(record->calls, 1);
    ASSERT_TRUE(record->error);
    const auto& error = *record->error;
    EXPECT_EQ(error.domain, "com.quorvane.HTTPStatus");
    EXPECT_EQ(error.code, 400);
    EXPECT_EQ(error.userInfo["error"].asString(), "GData error invalid: \"Invalid request URI\"");
    EXPECT_EQ(error.userInfo[platform::Error::kLocalizedFailureReasonKey].asString(),
              "(GData error invalid: \"Invalid request URI\")");
    auto group = GDataServiceBase::serverErrorGroupFromError(error);
    ASSERT_TRUE(group);
    ASSERT_TRUE(group->mainError());
    EXPECT_EQ(group->mainError()->code(), "invalid");
    // The fetcher's own body key is kept.
    EXPECT_TRUE(error.userInfo.contains("data"));
    EXPECT_EQ(ticket->fetchError(), record->error);
    EXPECT_EQ(ticket->statusCode(), 400);
    EXPECT_FALSE(ticket->currentFetcher());
    // A failed fetch is not parsed.
    EXPECT_EQ(notes.started(ticket.get()), 0);
    EXPECT_EQ(notes.stopped(ticket.get()), 0);
}

TEST_F(GDataServiceFetchTest, NotModifiedEmptyAndUnreadableAnswers) {
    // A conditional GET answered 304 ends with the status error.
    server.on("GET", "/feed304", [](const TestRequest& req, TestResponse& res) {
        res.status = req.header("If-None-Match") == std::optional<std::string>("W/\"FEED\"") ? 304 : 200;
    });
    auto notModified = std::make_shared<CallRecord>();
    service->fetchFeedWithURL(server.url("/feed304"), GDataFeedContact::staticClassInfo(), std::string("W/\"FEED\""),
                              delegateInto(notModified));
    waitForReport(notModified);
    ASSERT_TRUE(notModified->error);
    EXPECT_EQ(notModified->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(notModified->error->code, 304);

    // An empty 200 answer is a success without an object.
    server.respond("/empty", 200, "");
    auto empty = std::make_shared<CallRecord>();
    service->fetchEntryWithURL(server.url("/empty"), recordInto(empty));
    waitForReport(empty);
    EXPECT_EQ(empty->calls, 1);
    EXPECT_FALSE(empty->error);
    EXPECT_FALSE(empty->object);

    // Not XML: the parser's error.
    server.respond("/garbage", 200, "this is <not xml", kAtomType);
    auto garbage = std::make_shared<CallRecord>();
    service->fetchEntryWithURL(server.url("/garbage"), GDataEntryContact::staticClassInfo(), recordInto(garbage));
    waitForReport(garbage);
    ASSERT_TRUE(garbage->error);
    EXPECT_EQ(garbage->error->domain, kGDataXMLErrorDomain);
    EXPECT_FALSE(garbage->object);

    // Well-formed but of no GData class: -100.
    server.respond("/other", 200, "<?xml version='1.0'?><something/>", "application/xml");
    auto other = std::make_shared<CallRecord>();
    service->fetchEntryWithURL(server.url("/other"), recordInto(other));
    waitForReport(other);
    ASSERT_TRUE(other->error);
    EXPECT_EQ(other->error->domain, kGDataServiceErrorDomain);
    EXPECT_EQ(other->error->code, -100);
}

TEST_F(GDataServiceFetchTest, ACancelledTicketReportsNothing) {
    // Cancelled while the answer is on its way.
    server.hold("/slow");
    server.respond("/slow", 200, contactFeedXML({}), kAtomType);
    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchFeedWithURL(server.url("/slow"), delegateInto(record));
    ASSERT_TRUE(ticket);
    ASSERT_TRUE(server.waitForHeld("/slow", 1, 60));
    auto fetcher = ticket->objectFetcher();
    ticket->cancelTicket();
    EXPECT_FALSE(ticket->service());
    EXPECT_FALSE(ticket->objectFetcher());
    EXPECT_TRUE(fetcher->properties().empty());
    server.release("/slow");
    settle();
    EXPECT_EQ(record->calls, 0);
    EXPECT_FALSE(ticket->hasCalledCallback());
}

TEST_F(GDataServiceFetchTest, CancellingWhileTheParseIsQueuedReportsNothing) {
    // A serial parse queue kept busy so that the parse stays queued.
    auto queue = platform::OperationQueue::make("test.parse", 1);
    service->setOperationQueue(queue);
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    queue->addOperation([&] {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(60), [&] { return open; });
    });

    server.respond("/feed", 200, contactFeedXML({contactEntryXML("urn:1", "One")}), kAtomType);
    ParseNotifications notes;
    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchFeedWithURL(server.url("/feed"), recordInto(record));
    ASSERT_TRUE(ticket);
    ASSERT_TRUE(pumpUntil([&] { return ticket->parseOperation() != nullptr; }));
    EXPECT_EQ(notes.started(ticket.get()), 1);
    auto op = ticket->parseOperation();
    ticket->cancelTicket();
    EXPECT_TRUE(op->isCancelled());
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
    }
    cv.notify_all();
    EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(10));
    settle();
    EXPECT_EQ(record->calls, 0);
    EXPECT_EQ(notes.stopped(ticket.get()), 0);
}

TEST_F(GDataServiceFetchTest, CancellingAfterTheParseButBeforeTheReportReportsNothing) {
    server.respond("/feed", 200, contactFeedXML({contactEntryXML("urn:1", "One")}), kAtomType);
    ParseNotifications notes;
    auto record = std::make_shared<CallRecord>();
    auto queue = service->operationQueue();
    auto ticket = service->fetchFeedWithURL(server.url("/feed"), recordInto(record));
    ASSERT_TRUE(ticket);
    // The fetch completion runs on the main loop and queues the parse.
    ASSERT_TRUE(pumpUntil([&] { return ticket->parseOperation() != nullptr; }));
    // The parse ends on its queue and hands the report to the main loop, which is not running.
    EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(10));
    ticket->cancelTicket();
    settle();
    EXPECT_EQ(record->calls, 0);
    EXPECT_EQ(notes.started(ticket.get()), 1);
    EXPECT_EQ(notes.stopped(ticket.get()), 0);
    EXPECT_FALSE(ticket->hasCalledCallback());
}

TEST_F(GDataServiceFetchTest, AMissingAccessTokenIsRefreshedBeforeTheFeedIsFetched) {
    server.on("POST", "/token", [](const TestRequest& req, TestResponse& res) {
        res.body = "{\"access_token\":\"fresh-token\",\"expires_in\":3600,\"token_type\":\"Bearer\"}";
        res.contentType = "application/json";
    });
    server.respond("/feed", 200, contactFeedXML({contactEntryXML("urn:1", "One")}), kAtomType);
    auto refreshing = QNOAuth2Authentication::authenticationWithServiceProvider(
        std::string("Provider"), server.url("/token"), std::string("urn:ietf:wg:oauth:2.0:oob"), std::string("client"),
        std::string("secret"));
    refreshing->setRefreshToken(std::string("refresh-1"));
    service->setAuthorizer(refreshing);

    auto record = std::make_shared<CallRecord>();
    service->fetchFeedWithURL(server.url("/feed"), delegateInto(record));
    waitForReport(record);
    ASSERT_FALSE(record->error) << record->error->domain << " " << record->error->code;
    ASSERT_EQ(server.requestCount("/token"), 1u);
    EXPECT_NE(server.requests("/token")[0].body.find("refresh_token=refresh-1"), std::string::npos);
    ASSERT_EQ(server.requestCount("/feed"), 1u);
    EXPECT_EQ(server.requests("/feed")[0].header("Authorization"), "Bearer fresh-token");
    EXPECT_EQ(server.requests("/feed")[0].header("GData-Version"), "3.0");
}

TEST_F(GDataServiceFetchTest, WithoutAParseQueueTheReportComesInsideTheFetchCompletion) {
    service->setOperationQueue(nullptr);
    server.respond("/feed", 200, contactFeedXML({contactEntryXML("urn:1", "One")}), kAtomType);
    auto record = std::make_shared<CallRecord>();
    auto ticket = service->fetchFeedWithURL(server.url("/feed"), recordInto(record));
    // The object fetcher's properties are cleared by the time its completion returns.
    auto fetcher = ticket->objectFetcher();
    waitForReport(record);
    ASSERT_FALSE(record->error);
    EXPECT_TRUE(std::dynamic_pointer_cast<GDataFeedContact>(record->object));
    EXPECT_TRUE(record->onMainThread);
    EXPECT_TRUE(fetcher->properties().empty());
}

TEST_F(GDataServiceFetchTest, SynchronousWaitRunsTheLoopUntilTheTicketCalledBack) {
    server.respond("/entry", 200, contactEntryDocument("urn:w", "Waited"), kAtomType);
    auto ticket = service->fetchEntryWithURL(server.url("/entry"), GDataEntryContact::staticClassInfo(),
                                             GDataServiceDelegate());
    ASSERT_TRUE(ticket);
    auto waited = service->waitForTicket(ticket, 10);
    ASSERT_TRUE(waited) << waited.error().localizedDescription();
    auto entry = std::dynamic_pointer_cast<GDataEntryContact>(*waited);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->identifier(), "urn:w");
}

TEST_F(GDataServiceFetchTest, RetryQuestionGoesToTheTicketsRetryCallback) {
    server.respond("/busy", 503, "busy");
    service->setIsServiceRetryEnabled(true);
    auto asked = std::make_shared<int>(0);
    auto suggestion = std::make_shared<bool>(false);
    service->setServiceRetrySelector([asked, suggestion](const GDataServiceTicketPtr&, bool suggested,
                                                         const std::optional<platform::Error>& error) {
        ++*asked;
        *suggestion = suggested;
        EXPECT_TRUE(error && error->code == 503);
        return false;  // veto: no retry
    });
    auto record = std::make_shared<CallRecord>();
    service->fetchFeedWithURL(server.url("/busy"), delegateInto(record));
    waitForReport(record);
    ASSERT_TRUE(record->error);
    EXPECT_EQ(record->error->code, 503);
    EXPECT_EQ(*asked, 1);
    EXPECT_TRUE(*suggestion);
    EXPECT_EQ(server.requestCount("/busy"), 1u);
}

}  // namespace
}  // namespace quorvane
