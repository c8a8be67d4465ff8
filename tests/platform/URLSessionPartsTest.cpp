// The values the URL loading system is made of: URLs, headers, cookies and their storage,
// HTTP authentication answers, server trust, input streams.

#include <gtest/gtest.h>

#include "platform/foundation/Base64.h"
#include "platform/net/HTTPAuthentication.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/InputStream.h"
#include "platform/net/ServerTrust.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {
namespace {

using namespace quorvane::platform;

URL u(std::string_view s) {
    auto url = URL::URLWithString(s);
    EXPECT_TRUE(url) << s;
    return url ? *url : *URL::URLWithString("invalid:");
}

TEST(URLTest, ParsesTheParts) {
    URL url = u("https://user:pa%20ss@[::1]:8443/a%20b/c?x=1&y#frag");
    EXPECT_EQ(url.scheme(), "https");
    EXPECT_EQ(url.user(), "user");
    EXPECT_EQ(url.password(), "pa ss");
    EXPECT_EQ(url.host(), "::1");
    EXPECT_EQ(url.port(), 8443);
    EXPECT_EQ(url.path(), "/a b/c");
    EXPECT_EQ(url.percentEncodedPath(), "/a%20b/c");
    EXPECT_EQ(url.query(), "x=1&y");
    EXPECT_EQ(url.fragment(), "frag");
    EXPECT_EQ(url.absoluteStringWithoutFragment(), "https://user:pa%20ss@[::1]:8443/a%20b/c?x=1&y");

    URL plain = u("HTTP://Example.COM");
    EXPECT_EQ(plain.host(), "Example.COM");
    EXPECT_FALSE(plain.port());
    EXPECT_EQ(plain.effectivePort(), 80);
    EXPECT_EQ(plain.percentEncodedPath(), "");
    EXPECT_FALSE(plain.query());
    EXPECT_EQ(u("data:text/plain,hi").resourceSpecifier(), "text/plain,hi");
    EXPECT_FALSE(u("data:,x").host());
    EXPECT_EQ(u("https://h/p").URLByReplacingScheme("http").absoluteString(), "http://h/p");

    for (const char* bad : {"no scheme", "/relative", "http://h/a b", "http://h:99999/", "http://[::1/", "1http://h/",
                            "http://h/\xc3\xa9"})
        EXPECT_FALSE(URL::URLWithString(bad)) << bad;
}

TEST(URLTest, ResolvesReferencesAsRFC3986Says) {
    URL base = u("http://a/b/c/d;p?q");
    std::vector<std::pair<const char*, const char*>> cases = {
        {"g:h", "g:h"},           {"g", "http://a/b/c/g"},         {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"}, {"/g", "http://a/g"},            {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"}, {"g?y", "http://a/b/c/g?y"},  {"#s", "http://a/b/c/d;p?q#s"},
        {"", "http://a/b/c/d;p?q"}, {".", "http://a/b/c/"},          {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},  {"../../g", "http://a/g"},       {"../../../g", "http://a/g"},
        {"/./g", "http://a/g"},    {"g/../h", "http://a/b/c/h"},     {"g;x=1/../y", "http://a/b/c/y"},
    };
    for (auto [ref, expected] : cases) {
        auto r = URL::URLWithString(ref, base);
        ASSERT_TRUE(r) << ref;
        EXPECT_EQ(r->absoluteString(), expected) << ref;
    }
    URL file = URL::fileURLWithPath("/tmp/a b/c#d");
    EXPECT_TRUE(file.isFileURL());
    EXPECT_EQ(file.absoluteString(), "file:///tmp/a%20b/c%23d");
    EXPECT_EQ(file.path(), "/tmp/a b/c#d");
}

TEST(HTTPHeadersTest, NamesIgnoreCaseAndKeepTheirPlace) {
    HTTPHeaders h{{"Content-Type", "text/plain"}, {"Accept", "a"}};
    EXPECT_EQ(h.valueForHTTPHeaderField("content-type"), "text/plain");
    h.setValue("application/json", "CONTENT-TYPE");
    EXPECT_EQ(h.fields()[0], (HTTPHeaders::Field{"Content-Type", "application/json"}));
    h.addValue("b", "accept");
    EXPECT_EQ(h.valueForHTTPHeaderField("Accept"), "a, b");
    h.setValue(std::nullopt, "accept");
    EXPECT_FALSE(h.contains("Accept"));
    EXPECT_EQ(h.size(), 1u);
    h.setValue("", "X-Empty");
    EXPECT_EQ(h.valueForHTTPHeaderField("x-empty"), "");  // empty is not absent

    URLRequest r(u("https://h/"));
    EXPECT_EQ(r.HTTPMethod(), "GET");
    EXPECT_FALSE(r.HTTPBody());
    r.setHTTPBody(Bytes{});
    ASSERT_TRUE(r.HTTPBody());
    EXPECT_TRUE(r.HTTPBody()->empty());
    r.setHTTPBodyStream(DataInputStream::inputStreamWithData(Bytes{1}));
    EXPECT_FALSE(r.HTTPBody());
}

TEST(HTTPURLResponseTest, ReadsTypeLengthAndRepeatedFields) {
    HTTPURLResponse r(u("https://h/x"), 200, "HTTP/1.1",
                      std::vector<HTTPHeaders::Field>{{"Content-Type", "Text/HTML; Charset=\"UTF-8\""},
                                                      {"Content-Length", "42"},
                                                      {"Set-Cookie", "a=1"},
                                                      {"set-cookie", "b=2; Expires=Wed, 09 Jun 2100 10:18:14 GMT"}});
    EXPECT_EQ(r.MIMEType(), "text/html");
    EXPECT_EQ(r.textEncodingName(), "UTF-8");
    EXPECT_EQ(r.expectedContentLength(), 42);
    EXPECT_EQ(r.setCookieLines().size(), 2u);
    EXPECT_EQ(r.valueForHTTPHeaderField("SET-COOKIE"), "a=1, b=2; Expires=Wed, 09 Jun 2100 10:18:14 GMT");
    // The folded field still splits into its two cookies.
    EXPECT_EQ(HTTPCookie::cookiesWithResponseHeaderFields(r.allHeaderFields(), *r.url()).size(), 2u);

    HTTPURLResponse bare(u("https://h/"), 204, std::nullopt, HTTPHeaders());
    EXPECT_FALSE(bare.MIMEType());
    EXPECT_EQ(bare.expectedContentLength(), kURLResponseUnknownLength);
}

TEST(HTTPCookieTest, DomainsThatArePublicSuffixesAreRefused) {
    struct Case {
        const char* url;
        const char* line;
        const char* domain;  // nullptr: refused
    };
    for (auto c : {
             Case{"https://www.example.com/", "a=1; Domain=com", nullptr},
             Case{"https://www.example.com/", "a=1; Domain=.COM", nullptr},
             Case{"https://shop.example.co.uk/", "a=1; Domain=co.uk", nullptr},
             Case{"https://me.github.io/", "a=1; Domain=github.io", nullptr},  // a private suffix
             Case{"https://shop.example.co.uk/", "a=1; Domain=example.co.uk", ".example.co.uk"},
             // A host that is itself a suffix keeps the cookie for itself alone.
             Case{"https://co.uk/", "a=1; Domain=co.uk", "co.uk"},
             Case{"https://127.0.0.1/", "a=1; Domain=127.0.0.1", "127.0.0.1"},
         }) {
        auto cookies = HTTPCookie::cookiesWithSetCookieLines({c.line}, u(c.url));
        if (!c.domain) {
            EXPECT_TRUE(cookies.empty()) << c.url << " " << c.line << " kept for " << cookies[0]->domain();
        } else {
            ASSERT_EQ(cookies.size(), 1u) << c.url << " " << c.line;
            EXPECT_EQ(cookies[0]->domain(), c.domain) << c.url << " " << c.line;
        }
    }
}

TEST(HTTPCookieTest, ParsesSetCookieLines) {
    URL url = u("https://www.example.com/docs/page.html");
    auto cookies = HTTPCookie::cookiesWithSetCookieLines(
        {"sid=abc; Path=/; Secure; HttpOnly", "lang=en", "wide=1; Domain=.Example.com; Max-Age=3600",
         "evil=1; Domain=other.com", "gone=1; Max-Age=0", "noequals", "=novalue",
         "old=1; Expires=Sun, 06 Nov 1994 08:49:37 GMT", "quoted=\"v v\"; Path=/docs"},
        url);
    std::map<std::string, HTTPCookiePtr> byName;
    for (auto& c : cookies) byName[c->name()] = c;
    ASSERT_EQ(byName.size(), 6u);
    EXPECT_FALSE(byName.count("evil"));  // a domain that does not cover the host is refused

    auto sid = byName["sid"];
    EXPECT_EQ(sid->value(), "abc");
    EXPECT_EQ(sid->domain(), "www.example.com");
    EXPECT_EQ(sid->path(), "/");
    EXPECT_TRUE(sid->isSecure());
    EXPECT_TRUE(sid->isHTTPOnly());
    EXPECT_TRUE(sid->isSessionOnly());
    EXPECT_EQ(byName["lang"]->path(), "/docs");  // the default path is the request's folder
    auto wide = byName["wide"];
    EXPECT_EQ(wide->domain(), ".example.com");
    ASSERT_TRUE(wide->expiresDate());
    EXPECT_NEAR(wide->expiresDate()->timeIntervalSinceNow(), 3600, 60);
    EXPECT_FALSE(wide->isSessionOnly());
    EXPECT_LT(*byName["gone"]->expiresDate(), Date::now());
    EXPECT_EQ(byName["old"]->expiresDate()->timeIntervalSince1970(), 784111777);
    EXPECT_EQ(byName["quoted"]->value(), "v v");
    EXPECT_EQ(sid->properties()[HTTPCookie::kName].asString(), "sid");

    EXPECT_EQ(HTTPCookie::requestHeaderFieldsWithCookies({sid, byName["lang"]}).valueForHTTPHeaderField("Cookie"),
              "sid=abc; lang=en");
    EXPECT_TRUE(HTTPCookie::requestHeaderFieldsWithCookies({}).empty());
}

TEST(HTTPCookieTest, MadeFromPropertiesNeedsNameValueAndDomain) {
    Value p = Value::dictionary();
    p.set(HTTPCookie::kName, "n");
    p.set(HTTPCookie::kValue, "");
    EXPECT_FALSE(HTTPCookie::cookieWithProperties(p));  // no domain
    p.set(HTTPCookie::kOriginURL, "https://host.example/x");
    auto c = HTTPCookie::cookieWithProperties(p);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->domain(), "host.example");
    EXPECT_EQ(c->path(), "/");
    EXPECT_EQ(c->value(), "");
    p.set(HTTPCookie::kExpires, Date(0));
    p.set(HTTPCookie::kSecure, "FALSE");
    c = HTTPCookie::cookieWithProperties(p);
    EXPECT_EQ(c->expiresDate(), Date(0));
    EXPECT_FALSE(c->isSecure());
}

TEST(HTTPCookieTest, PathsMatchAtASlashBoundary) {
    struct Case {
        const char* cookiePath;
        const char* requestPath;
        bool matches;
    };
    for (const Case& c : std::initializer_list<Case>{{"/", "/", true},
                                                     {"/", "/anything/below", true},
                                                     {"/api", "/api", true},
                                                     {"/api", "/api/", true},
                                                     {"/api", "/api/x", true},
                                                     {"/api/", "/api/x", true},
                                                     {"/api", "/apis", false},
                                                     {"/api", "/ap", false},
                                                     {"/api/", "/api", false},
                                                     {"/API", "/api", false},
                                                     {"/a%20b", "/a%20b/c", true},
                                                     {"", "/", false}})
        EXPECT_EQ(cookiePathMatches(c.cookiePath, c.requestPath), c.matches) << c.cookiePath << " vs " << c.requestPath;
    EXPECT_EQ(cookieRequestPath(u("https://example.com")), "/");
    EXPECT_EQ(cookieRequestPath(u("https://example.com/a%20b/c?q=1")), "/a%20b/c");
}

TEST(HTTPCookieStorageTest, MatchesDomainPathSchemeAndExpiry) {
    HTTPCookieStorage storage;
    URL site = u("https://www.example.com/app/x");
    for (const char* line : {"host=1; Path=/", "domain=1; Domain=example.com; Path=/", "app=1; Path=/app",
                             "apple=1; Path=/apple", "secure=1; Path=/; Secure"})
        for (auto& c : HTTPCookie::cookiesWithSetCookieLines({line}, site)) storage.setCookie(c);
    EXPECT_EQ(storage.cookies().size(), 5u);

    auto names = [&](const URL& url) {
        std::vector<std::string> out;
        if (auto found = storage.cookiesForURL(url))
            for (auto& c : *found) out.push_back(c->name());
        return out;
    };
    EXPECT_EQ(names(u("https://WWW.example.com/app/y")), (std::vector<std::string>{"app", "host", "domain", "secure"}));
    EXPECT_EQ(names(u("http://www.example.com/")), (std::vector<std::string>{"host", "domain"}));
    // Cookies set without a domain stay with their host.
    EXPECT_EQ(names(u("https://api.example.com/")), (std::vector<std::string>{"domain"}));
    EXPECT_EQ(names(u("https://example.com/")), (std::vector<std::string>{"domain"}));
    EXPECT_EQ(names(u("https://notexample.com/")), std::vector<std::string>{});
    EXPECT_FALSE(storage.cookiesForURL(u("https://other.org/")).has_value());  // none: nullopt, not empty

    // A newer cookie of the same name, domain and path replaces the old; an expired one deletes it.
    storage.setCookie(HTTPCookie::cookiesWithSetCookieLines({"host=2; Path=/"}, site)[0]);
    EXPECT_EQ(storage.cookies().size(), 5u);
    auto afterReplace = storage.cookiesForURL(u("https://www.example.com/"));
    ASSERT_TRUE(afterReplace);
    for (auto& c : *afterReplace) {
        if (c->name() == "host") {
            EXPECT_EQ(c->value(), "2");
        }
    }
    storage.setCookie(HTTPCookie::cookiesWithSetCookieLines({"host=3; Path=/; Max-Age=0"}, site)[0]);
    EXPECT_EQ(storage.cookies().size(), 4u);

    storage.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Never);
    storage.setCookie(HTTPCookie::cookiesWithSetCookieLines({"late=1"}, site)[0]);
    EXPECT_EQ(storage.cookies().size(), 4u);
    storage.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain);
    auto third = HTTPCookie::cookiesWithSetCookieLines({"ad=1"}, u("https://ads.tracker.net/"));
    storage.setCookies(third, u("https://ads.tracker.net/"), u("https://www.example.com/"));
    EXPECT_EQ(storage.cookies().size(), 4u);
    storage.setCookies(third, u("https://ads.tracker.net/"), u("https://tracker.net/"));
    EXPECT_EQ(storage.cookies().size(), 5u);
}

TEST(HTTPAuthenticationTest, DigestMatchesTheRFC2617Example) {
    auto challenges = parseAuthenticateChallenges(
        {"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
         "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""});
    ASSERT_EQ(challenges.size(), 1u);
    ASSERT_TRUE(challenges[0].isSupported());
    std::string h = digestAuthorization(challenges[0], "GET", "/dir/index.html", "Mufasa", "Circle Of Life", "0a4f113b", 1);
    EXPECT_NE(h.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << h;
    EXPECT_NE(h.find("nc=00000001"), std::string::npos);
    EXPECT_NE(h.find("opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""), std::string::npos);
    EXPECT_EQ(basicAuthorization("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(HTTPAuthenticationTest, ReadsSeveralChallengesAndPrefersDigest) {
    auto all = parseAuthenticateChallenges({"Basic realm=\"a, b\", Digest realm=\"d\", nonce=\"n\", algorithm=SHA-256",
                                            "Negotiate abc123==", "Digest realm=\"x\", nonce=\"n\", algorithm=SHA-512-256"});
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].param("realm"), "a, b");
    EXPECT_EQ(all[2].scheme, "Negotiate");
    EXPECT_EQ(all[2].param("token68"), "abc123==");
    EXPECT_FALSE(all[3].isSupported());
    auto best = preferredAuthChallenge(all);
    ASSERT_TRUE(best);
    EXPECT_TRUE(best->isDigest());
    EXPECT_EQ(best->param("algorithm"), "SHA-256");
    EXPECT_FALSE(preferredAuthChallenge(parseAuthenticateChallenges({"Negotiate"})));
}

TEST(ServerTrustTest, EvaluatesChainAndHost) {
    // The test server's certificate is signed by the test CA, which the process trusts.
    TestHTTPServer server;
    auto pemToDER = [](const std::string& pem) {
        auto begin = pem.find('\n') + 1;
        auto end = pem.find("-----END");
        return *base64Decode(pem.substr(begin, end - begin));
    };
    Bytes leaf = pemToDER(server.certificatePEM());
    Bytes ca = pemToDER(TestHTTPServer::caCertificatePEM());
    EXPECT_EQ(ServerTrust("127.0.0.1", {leaf}).evaluate().value(), TrustResultType::Unspecified);
    EXPECT_EQ(ServerTrust("localhost", {leaf, ca}).evaluate().value(), TrustResultType::Unspecified);
    ServerTrust caOnly("127.0.0.1", {ca});
    // Untrusted: the wrong host, the CA as a server certificate for 127.0.0.1; unreadable: nothing
    // or garbage to evaluate.
    const std::pair<ServerTrust, int64_t> refused[] = {
        {ServerTrust("example.com", {leaf}), kURLErrorServerCertificateUntrusted},
        {caOnly, kURLErrorServerCertificateUntrusted},
        {ServerTrust("127.0.0.1", {}), kURLErrorSecureConnectionFailed},
        {ServerTrust("h", {Bytes{1, 2, 3}}), kURLErrorSecureConnectionFailed},
    };
    for (const auto& [trust, code] : refused) {
        auto result = trust.evaluate();
        ASSERT_FALSE(result) << trust.host();
        EXPECT_EQ(result.error().domain, kURLErrorDomain);
        EXPECT_EQ(result.error().code, code) << trust.host();
        EXPECT_FALSE(result.error().localizedDescription().empty());
    }
    EXPECT_TRUE(caOnly.leafPublicKeyPin().has_value());
    EXPECT_EQ(caOnly.leafPublicKeyPin()->rfind("sha256//", 0), 0u);
}

TEST(InputStreamTest, DataAndFileStreamsReadToTheEnd) {
    auto data = DataInputStream::inputStreamWithData(Bytes{1, 2, 3, 4, 5});
    uint8_t buf[4];
    EXPECT_EQ(data->read(buf, 4), -1);  // not open
    data->open();
    EXPECT_EQ(data->read(buf, 4), 4);
    EXPECT_TRUE(data->hasBytesAvailable());
    EXPECT_EQ(data->read(buf, 4), 1);
    EXPECT_EQ(data->streamStatus(), StreamStatus::AtEnd);
    EXPECT_EQ(data->read(buf, 4), 0);
    EXPECT_TRUE(data->setProperty(Value(int64_t(3)), InputStream::kFileCurrentOffsetKey));
    EXPECT_EQ(data->read(buf, 4), 2);
    EXPECT_EQ(data->propertyForKey(InputStream::kFileCurrentOffsetKey).asInt(), 5);
    EXPECT_FALSE(data->setProperty(Value(1), "other"));

    auto missing = FileInputStream::inputStreamWithFileAtPath("/nonexistent/file");
    missing->open();
    EXPECT_EQ(missing->streamStatus(), StreamStatus::Error);
    EXPECT_TRUE(missing->streamError());
    EXPECT_EQ(missing->read(buf, 4), -1);
}

}  // namespace
}  // namespace quorvane::test
