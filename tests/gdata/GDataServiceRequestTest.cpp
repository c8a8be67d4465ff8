// The GData services' requests, settings, tickets and error user infos, without the network.

#include <gtest/gtest.h>

#include <limits>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/service/GDataQueryContact.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/foundation/Log.h"
#include "tests/gdata/GDataServiceTestSupport.h"

namespace quorvane {
namespace {

using platform::URL;
using platform::Value;
using namespace servicetest;

URL urlOf(const std::string& text) { return *URL::URLWithString(text); }

std::shared_ptr<GDataEntryContact> parseEntry(const std::string& xml) {
    registerContactClasses();
    auto doc = GDataXMLDocument::initWithXMLString(xml).valueOr(nullptr);
    EXPECT_TRUE(doc);
    return std::dynamic_pointer_cast<GDataEntryContact>(
        GDataObject::objectWithXMLElement(GDataEntryContact::staticClassInfo(), doc->rootElement(), nullptr));
}

TEST(GDataServiceRequestTest, ConditionHeadersFollowTheMethodAndTheETagStrength) {
    auto service = GDataServiceGoogleContact::contactService();
    auto url = urlOf("https://example.com/feed");

    // A weak ETag still makes a GET conditional.
    auto get = service->requestForURL(url, std::string("W/\"weak\""), std::nullopt);
    EXPECT_EQ(get.HTTPMethod(), "GET");
    EXPECT_EQ(get.valueForHTTPHeaderField("If-None-Match"), "W/\"weak\"");
    EXPECT_FALSE(get.valueForHTTPHeaderField("If-Match"));
    EXPECT_EQ(service->requestForURL(url, std::string("\"s\""), std::string("get"))
                  .valueForHTTPHeaderField("If-None-Match"),
              "\"s\"");

    // Writes: a strong ETag gives If-Match, a weak one nothing.
    auto putWeak = service->requestForURL(url, std::string("W/\"weak\""), std::string("PUT"));
    EXPECT_EQ(putWeak.HTTPMethod(), "PUT");
    EXPECT_FALSE(putWeak.valueForHTTPHeaderField("If-Match"));
    EXPECT_FALSE(putWeak.valueForHTTPHeaderField("If-None-Match"));
    for (const char* method : {"PUT", "delete", "PATCH"}) {
        auto req = service->requestForURL(url, std::string("\"strong\""), std::string(method));
        EXPECT_EQ(req.valueForHTTPHeaderField("If-Match"), "\"strong\"") << method;
    }
    // POST never carries a condition.
    auto post = service->requestForURL(url, std::string("\"strong\""), std::string("POST"));
    EXPECT_FALSE(post.valueForHTTPHeaderField("If-Match"));
    EXPECT_FALSE(post.valueForHTTPHeaderField("If-None-Match"));

    // The request reloads from the origin with a one-minute time-out.
    EXPECT_EQ(get.cachePolicy(), platform::URLRequest::CachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_EQ(get.timeoutInterval(), 60.0);
}

TEST(GDataServiceRequestTest, VersionHeaderUnlessTheURLCarriesTheVersion) {
    auto service = GDataServiceGoogleContact::contactService();
    EXPECT_EQ(service->serviceVersion(), "3.0");
    EXPECT_EQ(service->requestForURL(urlOf("https://example.com/f?max-results=5"), std::nullopt, std::nullopt)
                  .valueForHTTPHeaderField("GData-Version"),
              "3.0");
    EXPECT_FALSE(service->requestForURL(urlOf("https://example.com/f?v=2"), std::nullopt, std::nullopt)
                     .valueForHTTPHeaderField("GData-Version"));
    EXPECT_FALSE(service->requestForURL(urlOf("https://example.com/f?alt=atom&v=2"), std::nullopt, std::nullopt)
                     .valueForHTTPHeaderField("GData-Version"));
    // "v=" inside another parameter's name is not the version.
    EXPECT_TRUE(service->requestForURL(urlOf("https://example.com/f?dev=1"), std::nullopt, std::nullopt)
                    .valueForHTTPHeaderField("GData-Version"));

    service->setServiceVersion(std::string("2.1"));
    EXPECT_EQ(service->requestForURL(urlOf("https://example.com/f"), std::nullopt, std::nullopt)
                  .valueForHTTPHeaderField("GData-Version"),
              "2.1");
    // The base service speaks no version of its own.
    auto base = GDataServiceBase::service<GDataServiceBase>();
    EXPECT_FALSE(base->serviceVersion());
    EXPECT_FALSE(base->requestForURL(urlOf("https://example.com/f"), std::nullopt, std::nullopt)
                     .valueForHTTPHeaderField("GData-Version"));
}

TEST(GDataServiceRequestTest, UserAgentNamesTheApplicationTheLibraryAndTheSystem) {
    auto service = GDataServiceGoogleContact::contactService();
    std::string suffix = std::string(" GData-Cxx/") + GDataFrameworkVersionString() + " " +
                         GDataServiceBase::systemVersionString() + " (gzip)";
    EXPECT_EQ(GDataFrameworkVersionString(), "1.12");
    int major = 0, release = -1;
    GDataFrameworkVersion(&major, nullptr, &release);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(release, 0);

    // Unset or a placeholder: the application identifier.
    EXPECT_EQ(service->requestUserAgent(), GDataServiceBase::defaultApplicationIdentifier() + suffix);
    service->setExactUserAgent(std::string("MyCompany-App-1.0"));
    EXPECT_EQ(service->requestUserAgent(), GDataServiceBase::defaultApplicationIdentifier() + suffix);

    service->setExactUserAgent(std::string("Quorvane-Sync-2.0"));
    EXPECT_EQ(service->requestUserAgent(), "Quorvane-Sync-2.0" + suffix);
    // Already naming the library, in any letter case: sent as it is.
    service->setExactUserAgent(std::string("Tool gdata-cxx/9"));
    EXPECT_EQ(service->requestUserAgent(), "Tool gdata-cxx/9");
    // setUserAgent keeps a legal token only.
    service->setUserAgent(std::string("My App (beta), 1"));
    std::string cleaned = QNSessionCleanedUserAgentToken(std::string("My App (beta), 1"));
    EXPECT_EQ(service->userAgent(), cleaned);
    EXPECT_EQ(cleaned.find_first_of(" (),"), std::string::npos);

    auto req = service->requestForURL(urlOf("https://example.com/f"), std::nullopt, std::nullopt);
    EXPECT_EQ(req.valueForHTTPHeaderField("User-Agent"), cleaned + suffix);
}

TEST(GDataServiceRequestTest, ObjectRequestsTakeTheObjectsETagAndContentType) {
    auto service = GDataServiceGoogleContact::contactService();
    auto entry = parseEntry(contactEntryDocument("urn:1", "One", std::string("https://example.com/e/1"),
                                                 std::string("\"E1\"")));
    ASSERT_TRUE(entry);
    auto url = urlOf("https://example.com/e/1");

    auto put = service->objectRequestForURL(url, entry, std::nullopt, std::string("PUT"), nullptr);
    EXPECT_EQ(put.valueForHTTPHeaderField("If-Match"), "\"E1\"");
    EXPECT_EQ(put.valueForHTTPHeaderField("Content-Type"), "application/atom+xml; charset=utf-8");
    EXPECT_EQ(put.valueForHTTPHeaderField("Accept"), "application/atom+xml, text/xml");
    EXPECT_EQ(put.valueForHTTPHeaderField("Cache-Control"), "no-cache");
    // An explicit ETag wins over the object's.
    EXPECT_EQ(service->objectRequestForURL(url, entry, std::string("\"X\""), std::string("PUT"), nullptr)
                  .valueForHTTPHeaderField("If-Match"),
              "\"X\"");
    // A PATCH of an object sends plain XML.
    EXPECT_EQ(service->objectRequestForURL(url, entry, std::nullopt, std::string("patch"), nullptr)
                  .valueForHTTPHeaderField("Content-Type"),
              "application/xml; charset=utf-8");
    EXPECT_EQ(service->objectRequestForURL(url, nullptr, std::nullopt, std::string("PATCH"), nullptr)
                  .valueForHTTPHeaderField("Content-Type"),
              "application/atom+xml; charset=utf-8");
}

TEST(GDataServiceRequestTest, GoogleLayerAddsMethodOverrideAndAccountTokens) {
    auto service = GDataServiceGoogleContact::contactService();
    auto url = urlOf("https://example.com/e/1");

    service->setShouldUseMethodOverrideHeader(true);
    auto put = service->requestForURL(url, std::string("\"E\""), std::string("PUT"));
    EXPECT_EQ(put.HTTPMethod(), "POST");
    EXPECT_EQ(put.valueForHTTPHeaderField("X-HTTP-Method-Override"), "PUT");
    EXPECT_EQ(put.valueForHTTPHeaderField("If-Match"), "\"E\"");
    auto post = service->requestForURL(url, std::nullopt, std::string("POST"));
    EXPECT_EQ(post.HTTPMethod(), "POST");
    EXPECT_FALSE(post.valueForHTTPHeaderField("X-HTTP-Method-Override"));
    auto get = service->requestForURL(url, std::nullopt, std::nullopt);
    EXPECT_EQ(get.HTTPMethod(), "GET");
    EXPECT_FALSE(get.valueForHTTPHeaderField("X-HTTP-Method-Override"));

    // No account token: the authorizer signs later, nothing is added here.
    EXPECT_FALSE(get.valueForHTTPHeaderField("Authorization"));
    service->setAuthSubToken(std::string("sub"));
    EXPECT_EQ(service->requestForURL(url, std::nullopt, std::nullopt).valueForHTTPHeaderField("Authorization"),
              "AuthSub token=sub");
    service->setAuthToken(std::string("login"));
    EXPECT_EQ(service->requestForURL(url, std::nullopt, std::nullopt).valueForHTTPHeaderField("Authorization"),
              "GoogleLogin auth=login");
    // A ticket carries the token the service held when it was made.
    auto ticket = std::dynamic_pointer_cast<GDataServiceTicket>(service->makeTicket());
    ASSERT_TRUE(ticket);
    EXPECT_EQ(ticket->authToken(), "login");
    service->setAuthToken(std::string("newer"));
    EXPECT_EQ(service->requestForURL(url, std::nullopt, std::nullopt, ticket).valueForHTTPHeaderField("Authorization"),
              "GoogleLogin auth=login");
}

TEST(GDataServiceRequestTest, SettingsCredentialsAndClassValues) {
    auto service = GDataServiceGoogleContact::contactService();
    EXPECT_EQ(service->serviceUploadChunkSize(), 0u);
    service->setServiceUploadChunkSize(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(service->serviceUploadChunkSize(), 26214400u);
    service->setServiceUploadChunkSize(70000);
    EXPECT_EQ(service->serviceUploadChunkSize(), 70000u);
    EXPECT_EQ(service->cookieStorageMethod(), -1);
    EXPECT_TRUE(service->operationQueue());
    EXPECT_TRUE(service->fetcherService());

    EXPECT_EQ(service->serviceID(), "cp");
    EXPECT_EQ(service->accountType(), "HOSTED_OR_GOOGLE");
    EXPECT_EQ(service->signInDomain(), "www.google.com");
    EXPECT_EQ(service->serviceRootURLString(), "https://www.google.com/m8/feeds/");
    EXPECT_EQ(service->authorizationScope(), service->serviceRootURLString());
    EXPECT_EQ(service->standardServiceNamespaces(), GDataContactConstants::contactNamespaces());

    // A Google service of no particular provider has no service id: a programming error.
    auto generic = GDataServiceBase::service<GDataServiceGoogle>();
    auto before = platform::AssertionHandler::count();
    EXPECT_FALSE(generic->serviceID());
    EXPECT_EQ(platform::AssertionHandler::count(), before + 1);
    EXPECT_EQ(generic->standardServiceNamespaces(), GDataEntryBase::baseGDataNamespaces());

    // The password comes back as given, and the credential date moves when it changes.
    EXPECT_FALSE(service->credentialDate());
    service->setUserCredentialsWithUsername(std::string("me@example.com"), std::string("s3cr\xc3\xa9t"));
    EXPECT_EQ(service->username(), "me@example.com");
    EXPECT_EQ(service->password(), "s3cr\xc3\xa9t");
    EXPECT_TRUE(service->credentialDate());

    // An authorizer replaces user name and password, and lives on the fetcher service.
    auto auth = std::make_shared<QNOAuth2Authentication>();
    service->setAuthorizer(auth);
    EXPECT_FALSE(service->username());
    EXPECT_FALSE(service->password());
    EXPECT_EQ(service->authorizer(), auth);
    EXPECT_EQ(service->fetcherService()->authorizer(), auth);

    // Service values are copied into each new ticket.
    service->setServiceUserData(std::string("user data"));
    service->setServiceProperty("k", 7);
    service->setServiceShouldFollowNextLinks(true);
    service->setShouldServiceFeedsIgnoreUnknowns(true);
    service->setIsServiceRetryEnabled(true);
    service->setServiceMaxRetryInterval(9);
    service->setServiceSurrogates({{&GDataEntryContact::staticClassInfo(), &GDataEntryContact::staticClassInfo()}});
    auto ticket = service->makeTicket();
    EXPECT_EQ(std::any_cast<std::string>(ticket->userData()), "user data");
    EXPECT_EQ(std::any_cast<int>(ticket->propertyForKey("k")), 7);
    EXPECT_TRUE(ticket->shouldFollowNextLinks());
    EXPECT_TRUE(ticket->shouldFeedsIgnoreUnknowns());
    EXPECT_TRUE(ticket->isRetryEnabled());
    EXPECT_EQ(ticket->maxRetryInterval(), 9);
    EXPECT_EQ(ticket->surrogates().size(), 1u);
    EXPECT_EQ(ticket->authorizer(), auth);
    EXPECT_EQ(ticket->service(), service);

    // Ticket properties: made on first use, an empty value removes.
    service->setServiceProperty("k", std::any());
    auto bare = service->makeTicket();
    EXPECT_FALSE(bare->propertyForKey("k").has_value());
    bare->setProperty("a", std::string("x"));
    EXPECT_EQ(std::any_cast<std::string>(bare->propertyForKey("a")), "x");
    bare->setProperty("a", std::any());
    EXPECT_FALSE(bare->propertyForKey("a").has_value());

    EXPECT_EQ(bare->description().rfind("GDataServiceTicket 0x", 0), 0u) << bare->description();
    EXPECT_NE(bare->description().find("service:GDataServiceGoogleContact 0x"), std::string::npos);
    EXPECT_NE(bare->description().find("authorizer:"), std::string::npos);

    // Cancelling lets go of the service and the caller's values.
    bare->setProperty("b", 1);
    bare->cancelTicket();
    EXPECT_FALSE(bare->service());
    EXPECT_FALSE(bare->properties());
    EXPECT_FALSE(bare->userData().has_value());
}

TEST(GDataServiceRequestTest, ContactFeedURLsEncodeEachPathSegment) {
    using C = GDataServiceGoogleContact;
    EXPECT_EQ(C::contactFeedURLForUserID("default")->absoluteString(),
              "https://www.google.com/m8/feeds/contacts/default/full");
    EXPECT_EQ(C::groupFeedURLForUserID("default")->absoluteString(),
              "https://www.google.com/m8/feeds/groups/default/full");
    EXPECT_EQ(C::contactFeedURLForUserID("a.b@example.com")->absoluteString(),
              "https://www.google.com/m8/feeds/contacts/a.b%40example.com/full");
    EXPECT_EQ(C::contactFeedURLForUserID("default", "thin")->absoluteString(),
              "https://www.google.com/m8/feeds/contacts/default/thin");
    EXPECT_EQ(C::contactFeedURLForPropertyName("xyz")->absoluteString(),
              "https://www.google.com/m8/feeds/contacts/default/property-xyz");
    EXPECT_EQ(C::contactGroupFeedURLForPropertyName("xyz")->absoluteString(),
              "https://www.google.com/m8/feeds/groups/default/property-xyz");
    // A slash or a space in a user id stays inside its segment, and the URL stays a URL.
    auto odd = C::contactFeedURLForUserID("a b/c");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->absoluteString(), "https://www.google.com/m8/feeds/contacts/a%20b%2Fc/full");
    // The contacts query builds the same feed URL.
    EXPECT_EQ(GDataQueryContact::contactFeedURLForUserID("a.b@example.com")->absoluteString(),
              C::contactFeedURLForUserID("a.b@example.com")->absoluteString());
}

TEST(GDataServiceRequestTest, AnotherServiceRootMovesEveryFeedURLButNotTheScope) {
    using C = GDataServiceGoogleContact;
    C::setContactServiceRootURLString(std::string("https://127.0.0.1:8443/m8/feeds/"));
    EXPECT_EQ(C::groupFeedURLForUserID("default")->absoluteString(), "https://127.0.0.1:8443/m8/feeds/groups/default/full");
    EXPECT_EQ(GDataQueryContact::contactFeedURLForUserID("default")->absoluteString(),
              "https://127.0.0.1:8443/m8/feeds/contacts/default/full");
    auto service = C::contactService();
    EXPECT_EQ(service->serviceRootURLString(), "https://127.0.0.1:8443/m8/feeds/");
    EXPECT_EQ(service->authorizationScope(), "https://www.google.com/m8/feeds/");
    C::setContactServiceRootURLString(std::nullopt);
    EXPECT_EQ(service->serviceRootURLString(), "https://www.google.com/m8/feeds/");
}

TEST(GDataServiceRequestTest, ErrorUserInfoCarriesTheProvidersErrorDocument) {
    std::string body =
        "<errors xmlns='http://schemas.google.com/g/2005'><error><domain>GData</domain>"
        "<code>invalid</code><internalReason>Bad name</internalReason></error>"
        "<error><domain>GData</domain><code>second</code></error></errors>";
    Value previous = Value::dictionary();
    previous.set("data", Value(bytesOf(body)));
    auto info = GDataServiceBase::userInfoForErrorResponseData(
        bytesOf(body), std::string("Application/VND.google.gdata.error+xml; charset=UTF-8"), previous);
    EXPECT_TRUE(info.contains("data"));
    EXPECT_EQ(info["error"].asString(), "GData error invalid: \"Bad name\"");
    EXPECT_EQ(info[platform::Error::kLocalizedFailureReasonKey].asString(), "(GData error invalid: \"Bad name\")");
    ASSERT_EQ(info["serverErrors"].size(), 2u);

    platform::Error error("com.quorvane.HTTPStatus", 400, info);
    auto group = GDataServiceBase::serverErrorGroupFromError(error);
    ASSERT_TRUE(group);
    auto expected = GDataServerErrorGroup::initWithData(bytesOf(body));
    EXPECT_TRUE(group->isEqual(*expected));
    EXPECT_EQ(group->mainError()->summary(), "GData error invalid: \"Bad name\"");

    // Another content type with earlier user info: kept as it was, no summary.
    auto other = GDataServiceBase::userInfoForErrorResponseData(bytesOf("Not allowed"), std::string("text/plain"),
                                                                previous);
    EXPECT_FALSE(other.contains("error"));
    EXPECT_FALSE(other.contains("serverErrors"));
    // Without earlier user info the body itself is the summary.
    auto bare = GDataServiceBase::userInfoForErrorResponseData(bytesOf("Not allowed"), std::string("text/plain"),
                                                               Value());
    EXPECT_EQ(bare["error"].asString(), "Not allowed");
    EXPECT_EQ(bare[platform::Error::kLocalizedFailureReasonKey].asString(), "(Not allowed)");
    // Nothing to read: the previous info unchanged.
    EXPECT_EQ(GDataServiceBase::userInfoForErrorResponseData(std::nullopt, std::nullopt, previous), previous);
    EXPECT_FALSE(GDataServiceBase::serverErrorGroupFromError(platform::Error("x", 1)));
}

TEST(GDataServiceRequestTest, AccumulatedFeedGathersLaterEntriesInOrder) {
    registerContactClasses();
    auto page = [](int first) {
        std::vector<std::string> entries;
        for (int i = first; i < first + 2; ++i)
            entries.push_back(contactEntryXML("urn:" + std::to_string(i), "N" + std::to_string(i)));
        return GDataFeedBase::feedWithXMLData(GDataFeedContact::staticClassInfo(),
                                              bytesOf(contactFeedXML(entries, std::string("https://example.com/n")))).valueOr(nullptr);
    };
    auto ticket = GDataServiceGoogleContact::contactService()->makeTicket();
    auto first = page(0), second = page(2);
    ASSERT_TRUE(first && second);
    auto before = platform::AssertionHandler::count();
    ticket->accumulateFeed(first);
    ticket->accumulateFeed(second);
    EXPECT_EQ(platform::AssertionHandler::count(), before);
    ASSERT_EQ(ticket->accumulatedFeed(), first);
    ASSERT_EQ(first->entryCount(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(first->entryAtIndex(i)->identifier(), "urn:" + std::to_string(i));
        EXPECT_EQ(first->entryAtIndex(i)->parent(), first);
    }
}

TEST(GDataServiceRequestTest, WaitWithoutTimeReportsTheTimeOut) {
    auto service = GDataServiceGoogleContact::contactService();
    auto ticket = service->makeTicket();
    auto waited = service->waitForTicket(ticket, 0);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().domain, kGDataServiceErrorDomain);
    EXPECT_EQ(waited.error().code, -101);
    EXPECT_EQ(service->waitForTicket(nullptr, 0).error().code, -100);  // a call that never started

    // A ticket that already called back answers at once with its result.
    ticket->setHasCalledCallback(true);
    auto fetched = GDataEntryContact::contactEntryWithTitle(std::string("x"));
    ticket->setFetchedObject(fetched);
    waited = service->waitForTicket(ticket, 0);
    ASSERT_TRUE(waited);
    EXPECT_EQ(*waited, fetched);
}

TEST(GDataServiceRequestTest, CallsThatCannotStartReturnNoTicket) {
    auto service = GDataServiceGoogleContact::contactService();
    auto record = std::make_shared<CallRecord>();
    auto before = platform::AssertionHandler::count();

    // No URL and no upload location.
    EXPECT_FALSE(service->fetchObjectWithURL(std::nullopt, nullptr, nullptr, std::nullopt, std::nullopt,
                                             GDataServiceDelegate(), recordInto(record), nullptr, nullptr));
    // Deleting an entry without an edit link, or no resource at all: programming errors.
    auto entry = GDataEntryContact::contactEntryWithTitle(std::string("No link"));
    EXPECT_FALSE(service->deleteEntry(entry, delegateInto(record)));
    EXPECT_FALSE(service->deleteResourceURL(std::nullopt, std::nullopt, recordInto(record)));
    EXPECT_GE(platform::AssertionHandler::count(), before + 2);

    // Updating an entry whose unknown XML was dropped would erase it on the server: refused.
    auto dropped = parseEntry(contactEntryDocument("urn:1", "One", std::string("https://127.0.0.1:1/e/1"),
                                                   std::string("\"E1\"")));
    ASSERT_TRUE(dropped);
    dropped->setShouldIgnoreUnknowns(true);
    auto count = platform::AssertionHandler::count();
    EXPECT_FALSE(service->fetchEntryByUpdatingEntry(dropped, recordInto(record)));
    EXPECT_EQ(platform::AssertionHandler::count(), count + 1);

    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    EXPECT_EQ(record->calls, 0);
}

}  // namespace
}  // namespace quorvane
