#include "oauth2/QNOAuth2Authentication.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/foundation/Date.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {
namespace {

using platform::Date;
using platform::URL;
using platform::URLRequest;
using platform::Value;

std::shared_ptr<URLRequest> requestFor(const std::string& url) {
    return std::make_shared<URLRequest>(URL::URLWithString(url));
}

std::shared_ptr<QNOAuth2Authentication> signedIn(std::optional<std::string> refresh = "refresh-1", int64_t expiresIn = 3600) {
    auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
        "Google", URL::URLWithString("https://127.0.0.1:1/token"), "urn:redirect", "client", "secret");
    auth->setAccessToken("access-1");
    auth->setRefreshToken(refresh);
    auth->setExpiresIn(expiresIn);
    auth->addAuthorizedOrigin(*URL::URLWithString("https://example.com/"));
    return auth;
}

TEST(QNOAuth2Encoding, EncodesAllButUnreservedCharacters) {
    EXPECT_EQ(QNOAuth2Authentication::encodedOAuthValueForString("aZ09-._~"), "aZ09-._~");
    EXPECT_EQ(QNOAuth2Authentication::encodedOAuthValueForString("a b+c/d?e=f&g:h@i!*'()$,;#[]%"),
              "a%20b%2Bc%2Fd%3Fe%3Df%26g%3Ah%40i%21%2A%27%28%29%24%2C%3B%23%5B%5D%25");
    EXPECT_EQ(QNOAuth2Authentication::encodedOAuthValueForString("é"), "%C3%A9");
}

TEST(QNOAuth2Encoding, QueryParametersAreSortedIgnoringCase) {
    Value d = Value::dictionary({{"b", Value("2")}, {"A", Value("1 1")}, {"c", Value("&")}});
    EXPECT_EQ(QNOAuth2Authentication::encodedQueryParametersForDictionary(d), "A=1%201&b=2&c=%26");
    EXPECT_EQ(QNOAuth2Authentication::encodedQueryParametersForDictionary(Value::dictionary()), "");
}

TEST(QNOAuth2Encoding, ResponseStringsDecodeAndSkipBrokenPieces) {
    auto d = QNOAuth2Authentication::dictionaryWithResponseString(std::string("a=1%202&flag&b=x=y&a=3&bad=%zz&c=+"));
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)["a"].asString(), "3");        // a later equal key replaces an earlier one
    EXPECT_EQ((*d)["flag"].asString(), "");      // a piece without "=" is a key with an empty value
    EXPECT_EQ((*d)["b"].asString(), "x=y");      // split at the first "=" only
    EXPECT_FALSE(d->contains("bad"));            // undecodable pieces are left out
    EXPECT_EQ((*d)["c"].asString(), "+");        // "+" is not a blank
    EXPECT_FALSE(QNOAuth2Authentication::dictionaryWithResponseString(std::nullopt));
    EXPECT_EQ(QNOAuth2Authentication::unencodedOAuthParameterForString(""), "");
    EXPECT_FALSE(QNOAuth2Authentication::unencodedOAuthParameterForString("%4"));
    EXPECT_FALSE(QNOAuth2Authentication::unencodedOAuthParameterForString("%FF"));  // not UTF-8
}

TEST(QNOAuth2Encoding, JSONAndScopes) {
    std::string json = R"({"access_token":"t","expires_in":3600})";
    auto d = QNOAuth2Authentication::dictionaryWithJSONData(platform::Bytes(json.begin(), json.end()));
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)["access_token"].asString(), "t");
    std::string bad = "{nope";
    EXPECT_FALSE(QNOAuth2Authentication::dictionaryWithJSONData(platform::Bytes(bad.begin(), bad.end())));
    EXPECT_EQ(QNOAuth2Authentication::scopeWithStrings({"a", "b"}), "a b");
    EXPECT_EQ(QNOAuth2Authentication::scopeWithStrings({}), "");
}

TEST(QNOAuth2Authentication, RefreshIsNeededNearExpiryOnlyWithSomethingToRefreshWith) {
    auto auth = signedIn("r", 61);
    EXPECT_FALSE(auth->shouldRefreshAccessToken());
    auth->setExpiresIn(59);
    EXPECT_TRUE(auth->shouldRefreshAccessToken());

    // An access token alone is used until the server refuses it.
    auto bare = signedIn(std::nullopt, 1);
    EXPECT_FALSE(bare->shouldRefreshAccessToken());

    // No access token: a refresh token, an assertion or a code is exchanged.
    auto empty = std::make_shared<QNOAuth2Authentication>();
    EXPECT_FALSE(empty->shouldRefreshAccessToken());
    empty->setCode("c");
    EXPECT_TRUE(empty->shouldRefreshAccessToken());
}

TEST(QNOAuth2Authentication, ExpiresInZeroOrNegativeLeavesNoExpiry) {
    auto auth = signedIn("r", 3600);
    ASSERT_TRUE(auth->expirationDate());
    EXPECT_NEAR(auth->expirationDate()->timeIntervalSince(Date::now()), 3600, 5);
    auth->setKeysForResponseString("access_token=new&expires_in=0");
    EXPECT_FALSE(auth->expirationDate());
    EXPECT_TRUE(auth->shouldRefreshAccessToken());  // no known expiry and a refresh token
    // A negative lifetime is not read as a huge unsigned one.
    auth->setKeysForResponseString("access_token=new&expires_in=-1");
    EXPECT_FALSE(auth->expirationDate());
    EXPECT_EQ(auth->expiresIn(), -1);
}

TEST(QNOAuth2Authentication, HostileTokenResponsesAreRefusedOrClamped) {
    auto auth = signedIn("r", 3600);
    std::string huge = R"({"access_token":"h","expires_in":1e300})";
    auth->setKeysForResponseJSONData(platform::Bytes(huge.begin(), huge.end()));
    EXPECT_EQ(auth->expiresIn(), INT64_MAX);
    EXPECT_TRUE(auth->expirationDate());
    EXPECT_FALSE(auth->shouldRefreshAccessToken());

    // Fifty thousand nested brackets are refused, not converted until the stack runs out.
    std::string deep = R"({"access_token":"deep","x":)" + std::string(50000, '[') + std::string(50000, ']') + "}";
    platform::Bytes deepBytes(deep.begin(), deep.end());
    EXPECT_FALSE(QNOAuth2Authentication::dictionaryWithJSONData(deepBytes));
    auth->setKeysForResponseJSONData(deepBytes);
    EXPECT_EQ(auth->accessToken(), "h");
}

TEST(QNOAuth2Authentication, MergingResponsesReportsAChangedRefreshToken) {
    auto auth = signedIn("r1");
    int changes = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        kQNOAuth2RefreshTokenChanged, auth.get(), nullptr, [&](const platform::Notification&) { ++changes; });
    auth->setKeysForResponseString("access_token=a2&refresh_token=r1");
    EXPECT_EQ(changes, 0);
    auth->setKeysForResponseString("refresh_token=r2&scope=x%20y");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(auth->refreshToken(), "r2");
    EXPECT_EQ(auth->scope(), "x y");
    EXPECT_EQ(auth->accessToken(), "a2");

    auto fresh = std::make_shared<QNOAuth2Authentication>();
    auto token2 = platform::NotificationCenter::defaultCenter().addObserver(
        kQNOAuth2RefreshTokenChanged, fresh.get(), nullptr, [&](const platform::Notification&) { ++changes; });
    std::string json = R"({"access_token":"a","refresh_token":"r","expires_in":"120"})";
    fresh->setKeysForResponseJSONData(platform::Bytes(json.begin(), json.end()));
    EXPECT_EQ(changes, 2);  // a stored nil counts as different
    EXPECT_EQ(fresh->expiresIn(), 120);
    EXPECT_TRUE(fresh->expirationDate());
}

TEST(QNOAuth2Authentication, PersistenceStringRoundTripsAndHidesTheAccessTokenBehindARefreshToken) {
    auto auth = signedIn("r&1");
    auth->setUserEmail("a@b.example");
    auth->setUserEmailIsVerified("1");
    auth->setUserID("42");
    auth->setScope("s1 s2");
    std::string text = auth->persistenceResponseString();
    EXPECT_EQ(text, "email=a%40b.example&isVerified=1&refresh_token=r%261&scope=s1%20s2&serviceProvider=Google&userID=42");
    EXPECT_EQ(text.find("access_token"), std::string::npos);

    auto restored = std::make_shared<QNOAuth2Authentication>();
    restored->setKeysForPersistenceResponseString(text);
    EXPECT_EQ(restored->refreshToken(), "r&1");
    EXPECT_EQ(restored->userEmail(), "a@b.example");
    EXPECT_FALSE(restored->accessToken());
    EXPECT_TRUE(restored->shouldRefreshAccessToken());

    auto bare = signedIn(std::nullopt);
    EXPECT_EQ(bare->persistenceResponseString(), "access_token=access-1&serviceProvider=Google");
}

TEST(QNOAuth2Authentication, SignsHttpsFileAndURLLessRequestsButNotPlainHttp) {
    auto auth = signedIn();
    auto https = requestFor("https://example.com/feed");
    EXPECT_TRUE(auth->authorizeRequest(https));
    EXPECT_EQ(https->valueForHTTPHeaderField("Authorization"), "Bearer access-1");
    EXPECT_TRUE(auth->isAuthorizedRequest(*https));

    auto file = requestFor("file:///tmp/x");
    EXPECT_TRUE(auth->authorizeRequest(file));
    auto none = std::make_shared<URLRequest>();
    EXPECT_TRUE(auth->authorizeRequest(none));

    auto http = requestFor("http://example.com/feed");
    auth->addAuthorizedOrigin(*URL::URLWithString("http://example.com/"));
    EXPECT_FALSE(auth->authorizeRequest(http));
    EXPECT_FALSE(auth->isAuthorizedRequest(*http));
    auth->setShouldAuthorizeAllRequests(true);
    EXPECT_TRUE(auth->authorizeRequest(http));

    // The completion form reports the -1004 refusal with the request's URL, on the calling thread.
    auth->setShouldAuthorizeAllRequests(false);
    std::optional<platform::Error> seen;
    bool called = false;
    auth->authorizeRequest(requestFor("http://example.com/x"), [&](const std::optional<platform::Error>& e) {
        called = true;
        seen = e;
    });
    ASSERT_TRUE(called);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->domain, kQNOAuth2ErrorDomain);
    EXPECT_EQ(seen->code, kQNOAuth2ErrorUnauthorizableRequest);
    EXPECT_EQ(seen->userInfo["request"].asString(), "http://example.com/x");
}

TEST(QNOAuth2Authentication, SignsOnlyTheOriginsItWasMadeFor) {
    for (bool allRequests : {false, true}) {
        auto auth = signedIn();
        auth->setShouldAuthorizeAllRequests(allRequests);
        for (const char* url : {"https://127.0.0.1:1/feed", "https://EXAMPLE.com/x", "https://example.com:443/y"}) {
            auto r = requestFor(url);
            EXPECT_TRUE(auth->authorizeRequest(r)) << url;
        }
        // Another port or scheme of an allowed host is another server.
        for (const char* url : {"https://127.0.0.1:2/feed", "https://example.com:8443/x", "http://example.com/x",
                                "http://127.0.0.1:1/x", "https://elsewhere.example/feed",
                                "https://example.com.evil.example/x"}) {
            auto r = requestFor(url);
            EXPECT_FALSE(auth->authorizeRequest(r)) << url;
            EXPECT_FALSE(r->valueForHTTPHeaderField("Authorization")) << url;
        }
        EXPECT_EQ(auth->authorizedOrigins(),
                  (std::vector<std::string>{"https://127.0.0.1:1", "https://example.com:443"}));
    }
    // A token that would split the header signs nothing.
    auto auth = signedIn();
    auth->setAccessToken("access\r\nX-Injected: 1");
    auto r = requestFor("https://example.com/x");
    std::optional<platform::Error> seen;
    auth->authorizeRequest(r, [&](const std::shared_ptr<URLRequest>&, const std::optional<platform::Error>& e) { seen = e; });
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->code, kQNOAuth2ErrorAuthorizationFailed);
    EXPECT_FALSE(r->valueForHTTPHeaderField("Authorization"));
}

TEST(QNOAuth2Authentication, NoTokenAndNothingToRefreshWithFailsAtOnce) {
    auto auth = std::make_shared<QNOAuth2Authentication>();
    auth->addAuthorizedOrigin(*URL::URLWithString("https://example.com/"));
    EXPECT_FALSE(auth->canAuthorize());
    std::optional<platform::Error> seen;
    auth->authorizeRequest(requestFor("https://example.com/"),
                           [&](const std::shared_ptr<URLRequest>&, const std::optional<platform::Error>& e) { seen = e; });
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->code, kQNOAuth2ErrorAuthorizationFailed);
}

TEST(QNOAuth2Authentication, PrimeForRefreshAndReset) {
    auto bare = signedIn(std::nullopt);
    EXPECT_EQ(bare->primeForRefresh(), false);
    EXPECT_EQ(bare->accessToken(), "access-1");

    auto auth = signedIn("r");
    auth->setErrorString("invalid_grant");
    EXPECT_EQ(auth->primeForRefresh(), true);
    EXPECT_FALSE(auth->accessToken());
    EXPECT_FALSE(auth->expirationDate());
    EXPECT_FALSE(auth->errorString());
    EXPECT_TRUE(auth->shouldRefreshAccessToken());
    EXPECT_TRUE(auth->canAuthorize());

    auth->setUserEmail("a@b");
    auth->setAuthorizationTokenKey("id_token");
    auth->reset();
    EXPECT_FALSE(auth->refreshToken());
    EXPECT_FALSE(auth->userEmail());
    EXPECT_FALSE(auth->authorizationTokenKey());
    EXPECT_EQ(auth->serviceProvider(), "Google");  // not a token
    EXPECT_FALSE(auth->canAuthorize());
}

TEST(QNOAuth2Authentication, AuthorizationTokenKeyChoosesTheParameterSent) {
    auto auth = signedIn();
    auth->setParameter(Value("id-token"), "id_token");
    auth->setAuthorizationTokenKey("id_token");
    auto r = requestFor("https://example.com/");
    EXPECT_TRUE(auth->authorizeRequest(r));
    EXPECT_EQ(r->valueForHTTPHeaderField("Authorization"), "Bearer id-token");
}

TEST(QNOAuth2Authentication, DescriptionAndUserAgent) {
    auto auth = std::make_shared<QNOAuth2Authentication>();
    auth->setAccessToken("a");
    auth->setCode("c");
    auth->setRefreshToken("refresh-secret");
    std::string d = auth->description();
    // Token texts never appear, only their length.
    EXPECT_NE(d.find(": {accessToken=\"<1 characters>\", refreshToken=\"<14 characters>\", code=\"<1 characters>\"}"),
              std::string::npos) << d;
    EXPECT_EQ(d.find("refresh-secret"), std::string::npos);
    EXPECT_EQ(auth->userAgent().rfind("qn-oauth2 com.quorvane.Quorvane/", 0), 0u) << auth->userAgent();
}

}  // namespace
}  // namespace quorvane
