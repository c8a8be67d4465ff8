// The fetchers' in-memory cookie store: replacement and expiry, matching by domain, path and
// scheme, the accept policies and the session hooks, alone and under a real URL session.

#include "fetcher/QNSessionCookieStorage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net/URLSession.h"
#include "platform/net/URLSessionConfiguration.h"
#include "tests/platform/URLSessionTestDelegate.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane {
namespace {

using platform::Date;
using platform::HTTPCookie;
using platform::HTTPCookieAcceptPolicy;
using platform::HTTPCookiePtr;
using platform::URL;
using platform::Value;

HTTPCookiePtr cookie(const std::string& name, const std::string& value, const std::string& domain,
                     const std::string& path = "/", std::optional<Date> expires = std::nullopt, bool secure = false) {
    Value p = Value::dictionary();
    p.set(HTTPCookie::kName, name);
    p.set(HTTPCookie::kValue, value);
    p.set(HTTPCookie::kDomain, domain);
    p.set(HTTPCookie::kPath, path);
    if (expires) p.set(HTTPCookie::kExpires, *expires);
    if (secure) p.set(HTTPCookie::kSecure, "TRUE");
    auto c = HTTPCookie::cookieWithProperties(p);
    EXPECT_TRUE(c);
    return c;
}

URL url(const std::string& s) {
    auto u = URL::URLWithString(s);
    EXPECT_TRUE(u) << s;
    return *u;
}

std::vector<std::string> names(const std::optional<platform::HTTPCookieStorage::CookieList>& list) {
    std::vector<std::string> out;
    if (list)
        for (const auto& c : *list) out.push_back(c->name() + "=" + c->value());
    return out;
}

Date past() { return Date::now().addingTimeInterval(-3600); }

TEST(QNSessionCookieStorageTest, ReplacesByNameDomainAndPathAndDropsExpiredCookies) {
    auto storage = std::make_shared<QNSessionCookieStorage>();
    EXPECT_EQ(storage->cookieAcceptPolicy(), HTTPCookieAcceptPolicy::Always);
    storage->setCookie(nullptr);
    storage->setCookie(cookie("a", "1", "example.com"));
    storage->setCookie(cookie("b", "1", "example.com"));
    storage->setCookie(cookie("a", "2", "example.com"));
    // Same name and path, different domain or path: a separate cookie (domains compare exactly).
    storage->setCookie(cookie("a", "3", "Example.com"));
    storage->setCookie(cookie("a", "4", "example.com", "/x"));
    auto all = storage->cookies();
    ASSERT_EQ(all.size(), 4u);
    // The replacement went to the end.
    EXPECT_EQ(all[0]->name(), "b");
    EXPECT_EQ(all[1]->value(), "2");

    // An expired twin removes the stored cookie and is not kept.
    storage->setCookie(cookie("a", "gone", "example.com", "/", past()));
    EXPECT_EQ(storage->cookies().size(), 3u);
    storage->setCookie(cookie("c", "gone", "example.com", "/", past()));
    EXPECT_EQ(storage->cookies().size(), 3u);

    storage->deleteCookie(cookie("a", "whatever", "Example.com"));
    EXPECT_EQ(storage->cookies().size(), 2u);
    storage->deleteCookie(cookie("nope", "x", "example.com"));
    EXPECT_EQ(storage->cookies().size(), 2u);
    storage->removeAllCookies();
    EXPECT_TRUE(storage->cookies().empty());
}

TEST(QNSessionCookieStorageTest, CookiesExpireWhileStoredAndAreRemovedOnLookup) {
    auto clock = std::make_shared<platform::ManualClock>(Date(800000000));
    platform::Clock::setCurrent(clock);
    auto storage = std::make_shared<QNSessionCookieStorage>();
    storage->setCookie(cookie("short", "1", "example.com", "/", Date(800000010)));
    storage->setCookie(cookie("long", "1", "example.com", "/", Date(800001000)));
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/"))), (std::vector<std::string>{"short=1", "long=1"}));
    clock->advance(100);
    EXPECT_TRUE(QNSessionCookieStorage::hasCookieExpired(*storage->cookies()[0]));
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/"))), (std::vector<std::string>{"long=1"}));
    EXPECT_EQ(storage->cookies().size(), 1u);
    platform::Clock::setCurrent(nullptr);
}

TEST(QNSessionCookieStorageTest, MatchesDomainsAtDotBoundariesWhateverTheCase) {
    auto storage = std::make_shared<QNSessionCookieStorage>();
    storage->setCookie(cookie("parent", "1", "example.com"));
    storage->setCookie(cookie("dotted", "1", ".example.com"));
    storage->setCookie(cookie("sub", "1", "www.example.com"));
    storage->setCookie(cookie("tail", "1", "ample.com"));
    storage->setCookie(cookie("upper", "1", "EXAMPLE.COM"));

    EXPECT_EQ(names(storage->cookiesForURL(url("https://WWW.Example.COM/page"))),
              (std::vector<std::string>{"parent=1", "dotted=1", "sub=1", "upper=1"}));
    // A leading dot still covers the bare domain; a sub-host cookie does not cover its parent.
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/"))),
              (std::vector<std::string>{"parent=1", "dotted=1", "upper=1"}));
    // "ample.com" ends "example.com" but not at a dot.
    EXPECT_EQ(names(storage->cookiesForURL(url("https://notexample.com/"))), std::vector<std::string>{});
    // No match answers nullopt, not an empty list; so does a URL without a host.
    EXPECT_FALSE(storage->cookiesForURL(url("https://other.org/")));
    EXPECT_FALSE(storage->cookiesForURL(url("file:///tmp/x")));
}

TEST(QNSessionCookieStorageTest, MatchesPathsAndSecureCookies) {
    auto storage = std::make_shared<QNSessionCookieStorage>();
    storage->setCookie(cookie("root", "1", "example.com", "/"));
    storage->setCookie(cookie("api", "1", "example.com", "/api"));
    storage->setCookie(cookie("secure", "1", "example.com", "/", std::nullopt, true));

    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/api/items"))),
              (std::vector<std::string>{"root=1", "api=1", "secure=1"}));
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/other"))),
              (std::vector<std::string>{"root=1", "secure=1"}));
    // Paths match at a "/" boundary: "/api" covers "/api" but not "/apis".
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/api"))),
              (std::vector<std::string>{"root=1", "api=1", "secure=1"}));
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/apis"))),
              (std::vector<std::string>{"root=1", "secure=1"}));
    // Secure cookies only over https, whatever the scheme's case.
    EXPECT_EQ(names(storage->cookiesForURL(url("http://example.com/api"))), (std::vector<std::string>{"root=1", "api=1"}));
    EXPECT_EQ(names(storage->cookiesForURL(url("HTTPS://example.com/"))),
              (std::vector<std::string>{"root=1", "secure=1"}));
}

TEST(QNSessionCookieStorageTest, LocalRequestsTakeOnlyLocalCookies) {
    auto storage = std::make_shared<QNSessionCookieStorage>();
    storage->setCookie(cookie("local", "1", "localhost.local"));
    storage->setCookie(cookie("loopback", "1", "127.0.0.1"));
    storage->setCookie(cookie("named", "1", "LocalHost"));
    storage->setCookie(cookie("remote", "1", "example.com"));
    storage->setCookie(cookie("dotted", "1", ".0.0.1"));

    std::vector<std::string> local{"local=1", "loopback=1", "named=1"};
    EXPECT_EQ(names(storage->cookiesForURL(url("https://127.0.0.1:8443/x"))), local);
    EXPECT_EQ(names(storage->cookiesForURL(url("https://localhost/x"))), local);
    EXPECT_EQ(names(storage->cookiesForURL(url("https://[::1]/x"))), local);
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/"))), (std::vector<std::string>{"remote=1"}));
}

TEST(QNSessionCookieStorageTest, AcceptPolicies) {
    auto storage = std::make_shared<QNSessionCookieStorage>();
    auto a = cookie("a", "1", "example.com");
    auto b = cookie("b", "1", "example.com");

    storage->setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Never);
    storage->setCookie(a);
    storage->setCookies({a, b}, url("https://example.com/"), std::nullopt);
    EXPECT_TRUE(storage->cookies().empty());

    storage->setCookieAcceptPolicy(HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain);
    EXPECT_EQ(storage->cookieAcceptPolicy(), HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain);
    // No main document, or a host outside it: nothing is stored.
    storage->setCookies({a}, url("https://example.com/"), std::nullopt);
    storage->setCookies({a}, url("https://example.com/"), url("file:///index.html"));
    storage->setCookies({a}, url("https://other.org/"), url("https://example.com/"));
    // A host that merely ends with the main document's host is another domain.
    storage->setCookies({a}, url("https://evilexample.com/"), url("https://example.com/"));
    storage->setCookies({a}, std::nullopt, url("https://example.com/"));
    EXPECT_TRUE(storage->cookies().empty());
    // The same host (any case) or a host below it.
    storage->setCookies({a}, url("https://Example.COM/"), url("https://example.com/"));
    storage->setCookies({b}, url("https://accounts.example.com/"), url("https://EXAMPLE.com/"));
    EXPECT_EQ(storage->cookies().size(), 2u);

    // Under Always the URL does not matter; the list's expired cookies are swept first.
    storage->removeAllCookies();
    storage->setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Always);
    storage->setCookies({a, cookie("old", "1", "example.com", "/", past()), b}, url("https://other.org/"), std::nullopt);
    EXPECT_EQ(names(storage->cookiesForURL(url("https://example.com/"))), (std::vector<std::string>{"a=1", "b=1"}));
}

class QNSessionCookieStorageSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage = std::make_shared<QNSessionCookieStorage>();
        delegate = std::make_shared<test::RecordingDelegate>();
        queue = platform::OperationQueue::make("test.QNSessionCookieStorage.delegate", 1);
        delegate->queue = queue;
        auto config = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
        config.setHTTPCookieStorage(storage);
        session = platform::URLSession::sessionWithConfiguration(config, delegate, queue);
    }
    void TearDown() override {
        session->invalidateAndCancel();
        EXPECT_TRUE(delegate->waitForInvalid());
    }

    test::TestHTTPServer server;
    std::shared_ptr<QNSessionCookieStorage> storage;
    std::shared_ptr<test::RecordingDelegate> delegate;
    std::shared_ptr<platform::OperationQueue> queue;
    std::shared_ptr<platform::URLSession> session;
};

TEST_F(QNSessionCookieStorageSessionTest, TaskHooksUseTheCurrentRequest) {
    auto task = session->dataTaskWithRequest(platform::URLRequest(url("https://www.example.com/api/list")));
    ASSERT_TRUE(task);
    storage->storeCookies({cookie("a", "1", "example.com")}, task);
    ASSERT_EQ(storage->cookies().size(), 1u);

    int calls = 0;
    std::vector<std::string> got;
    storage->getCookiesForTask(task, [&](std::optional<platform::HTTPCookieStorage::CookieList> list) {
        ++calls;
        got = names(list);
    });
    EXPECT_EQ(calls, 1);  // at once, on this thread
    EXPECT_EQ(got, (std::vector<std::string>{"a=1"}));
    storage->getCookiesForTask(task, nullptr);

    // Cookies from a task have no main document, so this policy drops them.
    storage->setCookieAcceptPolicy(HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain);
    storage->storeCookies({cookie("b", "1", "example.com")}, task);
    EXPECT_EQ(storage->cookies().size(), 1u);
}

TEST_F(QNSessionCookieStorageSessionTest, CookieFromOneResponseGoesWithTheNextMatchingRequest) {
    server.on("GET", "/login", [](const test::TestRequest&, test::TestResponse& res) {
        res.setHeader("Set-Cookie", "sid=abc; Path=/api; Secure");
        res.setHeader("Set-Cookie", "pref=dark; Path=/settings");
        res.body = "ok";
    });
    server.respond("/api/items", 200, "items");
    server.respond("/login2", 200, "again");
    // A cookie of another host is never sent to the loopback server.
    storage->setCookie(cookie("remote", "1", "example.com"));

    session->dataTaskWithRequest(platform::URLRequest(server.url("/login")))->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    ASSERT_EQ(storage->cookies().size(), 3u);

    session->dataTaskWithRequest(platform::URLRequest(server.url("/api/items")))->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    session->dataTaskWithRequest(platform::URLRequest(server.url("/login2")))->resume();
    ASSERT_TRUE(delegate->waitForCompletions(3));

    auto first = server.requests("/login");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_FALSE(first[0].header("Cookie"));
    auto api = server.requests("/api/items");
    ASSERT_EQ(api.size(), 1u);
    EXPECT_EQ(api[0].header("Cookie"), "sid=abc");
    auto other = server.requests("/login2");
    ASSERT_EQ(other.size(), 1u);
    EXPECT_FALSE(other[0].header("Cookie"));
}

}  // namespace
}  // namespace quorvane
