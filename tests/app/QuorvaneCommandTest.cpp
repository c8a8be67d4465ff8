// The built `quorvane` program against the fake provider program.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "app/Console.h"
#include "app/Failures.h"
#include "app/Profile.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/contacts/CNContactKeys.h"
#include "platform/contacts/CNContactStore.h"
#include "sync/QuorvaneModel.h"
#include "sync/SyncLock.h"
#include "sync/SyncStore.h"
#include "tests/app/CommandTestSupport.h"
#include "tests/support/FakeProvider.h"
#include "tests/support/TestConnectProxy.h"

namespace quorvane::test {
namespace {

// Each test has folders of its own (the programs it runs inherit them), also when the tests run
// one after another in one process.
class QuorvaneCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        static const std::filesystem::path base = std::filesystem::path(std::getenv("XDG_DATA_HOME")).parent_path();
        std::filesystem::path root = base / (std::string("command-") + info->name());
        std::filesystem::remove_all(root);
        for (const char* sub : {"config", "data", "cache", "state", "home"}) std::filesystem::create_directories(root / sub);
        ::setenv("HOME", (root / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
    }
};

std::string fakeCAFile() { return (app::Profile::fakeProviderInfoPath().parent_path() / "ca.pem").string(); }

// Signs the profile in through the loopback flow without a browser; answers the command's result.
CommandResult signIn(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {QUORVANE_BINARY};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("signin");
    args.push_back("--no-browser");
    ChildProcess child(args);
    std::string address = child.readLine();
    EXPECT_EQ(address.rfind("https://127.0.0.1:", 0), 0u) << address << child.err();
    EXPECT_EQ(completeSignInInBrowser(address, fakeCAFile()), 200);
    CommandResult r;
    r.code = child.wait();
    r.out = child.out();
    r.err = child.err();
    return r;
}

// Points the profile "two" at the provider and signs it in.
void signInProfileTwo(FakeProvider& provider) {
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"contacts-root", provider.feedsRoot()}, {"authorization-url", provider.authorizationURL()},
             {"token-url", provider.tokenURL()}, {"revocation-url", provider.revokeURL()},
             {"userinfo-url", provider.userInfoURL()}, {"client-id", FakeProvider::OAuthSettings().clientID},
             {"client-secret", FakeProvider::OAuthSettings().clientSecret}, {"ca-file", fakeCAFile()}})
        ASSERT_EQ(quorvane({"--profile", "two", "config", "set", key, value}).code, 0) << key;
    ASSERT_EQ(signIn({"--profile", "two"}).code, 0);
}

// Sets an environment variable the programs inherit, for the scope.
struct ScopedEnvironment {
    std::string name;
    ScopedEnvironment(std::string n, const std::string& value) : name(std::move(n)) { ::setenv(name.c_str(), value.c_str(), 1); }
    ~ScopedEnvironment() { ::unsetenv(name.c_str()); }
};

// A fake provider in the test's own process (so that its answers can be scripted), found by the
// command where it finds the provider program.
struct ScriptedProvider : FakeProvider {
    explicit ScriptedProvider(OAuthSettings settings = {}) : FakeProvider(std::move(settings)) {
        writeInfoFile(app::Profile::fakeProviderInfoPath(), int64_t(::getpid()));
    }
};

// Sets the note of every local contact, as a user editing them all would.
void setEveryNote(platform::CNContactStore& store, const std::string& note) {
    platform::CNSaveRequest edits;
    auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactNoteKey});
    for (const auto& c : *contacts) {
        auto copy = c->mutableCopy();
        copy->setNote(note);
        edits.updateContact(copy);
    }
    ASSERT_TRUE(store.executeSaveRequest(edits));
}

// Waits until the token endpoint has had that many requests; false after two minutes.
bool waitForTokenRequests(FakeProvider& provider, size_t n) {
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (provider.tokenRequests() < n && std::chrono::steady_clock::now() < bound)
        provider.server().waitForRequestCount(provider.server().requestCount() + 1, 0.1);
    return provider.tokenRequests() >= n;
}

TEST_F(QuorvaneCommandTest, UsageErrorsExitTwo) {
    // A readable file that holds no certificate.
    const std::string noCertificate = std::string(std::getenv("XDG_DATA_HOME")) + "/no-certificate.pem";
    std::filesystem::create_directories(std::getenv("XDG_DATA_HOME"));
    { std::ofstream(noCertificate) << "-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n"; }
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--profile", "no/slash", "status"},
        {"status", "extra"},
        {"signin", "--browser-please"},
        {"config"},
        {"config", "get", "noSuchSetting"},
        {"config", "set", "syncDeletions", "maybe"},
        {"config", "set", "lastCompletedSyncDate", "2020-01-01"},
        {"config", "set", "contacts-root", "http://plain.example.com/m8/feeds/"},
        {"config", "set", "ca-file", "/no/such/file.pem"},
        {"delete-all"},
        {"delete-all", "--local"},
        {"delete-all", "--google", "--local", "--container", "x"},
        {"delete-all", "--google", "--container", "x"},
        {"delete-all", "--local", "--container", "no-such-account", "--yes"},
        {"log", "--last", "0"},
        {"plan", "--mode", "sideways"},
        {"plan", "now"},
        {"sync", "--max-delete", "-1"},
        {"sync", "--mode", "both"},
        {"log", "--show", "1"},
        {"--profile"},
        {"--profile", "sync"},
        {"config", "set", "ca-file", noCertificate},
        {"--profile", "google", "signin", "--no-browser"},
    };
    for (const auto& args : cases) {
        auto r = quorvane(args);
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(r.code, 2) << line << r.err;
        EXPECT_TRUE(r.out.empty()) << line;
    }
}

TEST_F(QuorvaneCommandTest, EveryCommandHasItsOwnHelp) {
    auto all = quorvane({"--help"});
    EXPECT_EQ(all.code, 0);
    for (std::string name : {"signin", "signout", "status", "accounts", "config", "plan", "sync", "delete-all", "log",
                             "help"}) {
        auto r = quorvane({name, "--help"});
        EXPECT_EQ(r.code, 0) << name;
        EXPECT_EQ(r.out.rfind("usage: quorvane " + name, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\nexample:\n  quorvane "), std::string::npos) << r.out;
        EXPECT_NE(all.out.find("\n  " + name + " "), std::string::npos) << name;
    }
    auto sync = quorvane({"help", "sync"});
    EXPECT_EQ(sync.out, quorvane({"sync", "-h"}).out);
    EXPECT_NE(sync.out.find("  --max-delete N "), std::string::npos);
    const std::pair<const char*, std::vector<const char*>> says[] = {
        {"signout", {"up to 30 s", "non-zero", "QUORVANE_PROVIDER_WAIT=SECONDS"}},
        {"delete-all", {"without a terminal", "(exit 5)", "QUORVANE_LOCK_WAIT=SECONDS"}},
        {"plan", {"QUORVANE_PROVIDER_WAIT=SECONDS", "QUORVANE_LOCK_WAIT=SECONDS", "0: no such limit"}},
        {"sync", {"QUORVANE_PROVIDER_WAIT=SECONDS", "QUORVANE_LOCK_WAIT=SECONDS", "0: refuse at once"}},
    };
    for (const auto& [name, texts] : says)
        for (const char* text : texts) EXPECT_NE(quorvane({"help", name}).out.find(text), std::string::npos) << name << ": " << text;
    EXPECT_EQ(quorvane({"help", "frobnicate"}).code, 2);
}

// Each failure the command documents, as a person meets it: the exit code, a sentence that says
// what happened and what to do, and the raw code only with -v.
TEST_F(QuorvaneCommandTest, EachKnownFailureSaysWhatHappenedAndWhatToDo) {
    ScriptedProvider provider;
    std::string gone = provider.addContact("<title>Gone Soon</title><gd:name><gd:givenName>Gone</gd:givenName></gd:name>",
                                          {"6contacts"});
    const std::string closed = "https://127.0.0.1:1/m8/feeds/";
    std::unique_ptr<SyncLock> signInLock;
    std::optional<ScopedEnvironment> noLockWait;
    struct Case {
        const char* what;
        std::function<void()> before;
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {"not signed in", [] {}, {"plan"}, 3, "You are not signed in to the provider. Sign in first with: quorvane signin"},
        {"signed in", [] { ASSERT_EQ(signIn().code, 0); }, {"-q", "sync"}, 0, ""},
        {"feeds refuse the sign-in", [&] { provider.setAnswerFault([](const TestRequest&, TestResponse& r) { r.status = 401; }); },
         {"sync"}, 3, "The provider no longer accepts this sign-in. Sign in again with: quorvane signin"},
        {"signed in again", [] { ASSERT_EQ(signIn().code, 0); }, {"-q", "sync"}, 0, ""},
        {"deletions not confirmed", [&] { provider.deleteContact(gone); }, {"sync"}, 5, "nobody confirmed that"},
        {"over the limit", [] {}, {"sync", "--yes", "--max-delete", "0"}, 5, "more contacts than --max-delete allows"},
        {"provider busy", [&] { provider.setAnswerFault([](const TestRequest&, TestResponse& r) { r.status = 503; }); },
         {"delete-all", "--google", "--yes"}, 4, "a problem of its own right now. Nothing was lost: try again"},
        {"provider busy, a sync", [&] { provider.setAnswerFault([](const TestRequest&, TestResponse& r) { r.status = 503; }); },
         {"sync"}, 4, "a problem of its own right now. Nothing was lost: try again"},
        {"nothing there", [&] { provider.setAnswerFault([](const TestRequest&, TestResponse& r) { r.status = 404; }); },
         {"plan"}, 6, "Check the provider address: quorvane config get contacts-root"},
        {"rate-limited", [&] { provider.setAnswerFault([](const TestRequest&, TestResponse& r) {
             r.status = 429;
             r.contentType = "application/json";
             r.body = R"({"error":{"code":429,"message":"Quota exceeded for reads","status":"RESOURCE_EXHAUSTED"}})";
         }); },
         {"plan"}, 4, "asked for fewer requests. The provider said: RESOURCE_EXHAUSTED: Quota exceeded for reads."},
        {"too slow", [&] { provider.setAnswerFault([](const TestRequest&, TestResponse& r) { r.status = 408; }); },
         {"plan"}, 4, "The provider took too long to answer. Nothing was lost"},
        {"too slow, in JSON", [&] { provider.setAnswerFault([](const TestRequest&, TestResponse& r) { r.status = 408; }); },
         {"sync", "--json"}, 4, "The provider took too long to answer."},
        {"nothing answers", [&] { ASSERT_EQ(quorvane({"config", "set", "contacts-root", closed}).code, 0); },
         {"plan"}, 4, "Nothing answers at the provider's address"},
        {"sign-in refused",
         [&] {
             ASSERT_EQ(quorvane({"config", "set", "contacts-root", ""}).code, 0);
             provider.revokeAllTokens();
             provider.expireAccessTokens();
         },
         {"plan"}, 3, "The provider no longer accepts this sign-in. Sign in again with: quorvane signin"},
        // Another command's sign-in lock is waited for as long as another run's locks are.
        {"the sign-in lock held past the wait",
         [&] {
             ASSERT_EQ(signIn().code, 0);
             provider.expireAccessTokens();
             signInLock = std::move(*SyncLock::tryAcquire(QuorvaneModel::signInLockPath(app::Profile::named("fake")->dataFolder())));
             ASSERT_TRUE(signInLock);
             noLockWait.emplace("QUORVANE_LOCK_WAIT", "0");
         },
         {"plan"}, 5, "held the sign-in past the wait for it"},
        {"the sign-in lock held past the wait, in JSON", [] {}, {"sync", "--json"}, 5, "held the sign-in past the wait for it"},
        // A setting that no retry mends (kept by an earlier release, which took any file) is said as one.
        {"a CA file without a certificate",
         [] {
             const std::string file = std::string(std::getenv("XDG_DATA_HOME")) + "/no-certificate.pem";
             std::ofstream(file) << "not a certificate\n";
             auto settings = app::Profile::named("fake")->userDefaults();
             settings->setObject(platform::Value(file), app::Profile::kCAFileKey);
             ASSERT_TRUE(settings->synchronize());
         },
         {"plan"}, 2, "the ca-file setting cannot be used"},
    };
    for (const auto& c : cases) {
        provider.setAnswerFault(nullptr);
        c.before();
        auto r = quorvane(c.args);
        EXPECT_EQ(r.code, c.code) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.find("com.quorvane."), std::string::npos) << c.what << ": " << r.err;
        if (c.args.back() == "--json") EXPECT_EQ((*platform::Value::fromJSON(r.out))["exitCode"].asInt(), c.code) << r.out;
    }
    signInLock.reset();
    noLockWait.reset();
    ASSERT_EQ(quorvane({"config", "set", "ca-file", ""}).code, 0);
    ASSERT_EQ(signIn().code, 0);
    provider.setAnswerFault([](const TestRequest&, TestResponse& r) { r.status = 503; });
    EXPECT_NE(quorvane({"-v", "plan"}).err.find("(com.quorvane.HTTPStatus 503: "), std::string::npos);
    EXPECT_NE(quorvane({"-q", "-v", "plan"}).err.find("(com.quorvane.HTTPStatus 503: "), std::string::npos);
    // The record of each run says what the command said.
    auto log = quorvane({"log"}).out;
    EXPECT_NE(log.find("The provider has a problem of its own right now."), std::string::npos) << log;
    EXPECT_NE(log.find("more contacts than --max-delete allows: nothing was written. (1 planned, --max-delete 0)"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("com.quorvane."), std::string::npos) << log;
}

// Where a refusal promises the provider's answer under -v, -v shows its reason, bounded and
// escaped; an answer too large to read says so instead of blaming the connection.
TEST_F(QuorvaneCommandTest, VerboseShowsTheProvidersReasonAndAnOversizedAnswerSaysSo) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    const std::string feed = "/m8/feeds/contacts/default/full";
    struct Case {
        const char* what;
        std::function<void(TestResponse&)> answer;
        int code;
        const char* says;
        const char* detail;  // under -v
    };
    const Case cases[] = {
        {"a 400 in plain text",
         [](TestResponse& res) {
             res.status = 400;
             res.contentType = "text/plain";
             res.body = "Invalid updated-min \x1B[2J\n- Alice (on Google)" + std::string(2000, 'x');
         },
         6, "Run the command again with -v to see the provider's answer",
         "provider's answer: Invalid updated-min \\u001B[2J\\u000A- Alice (on Google)xxx"},
        {"a 409 error document",
         [](TestResponse& res) {
             res.status = 409;
             res.contentType = "application/vnd.google.gdata.error+xml";
             res.body = "<errors xmlns='http://schemas.google.com/g/2005'><error><domain>GData</domain>"
                        "<code>conflict</code><internalReason>Version conflict</internalReason></error></errors>";
         },
         6, "Run the command again with -v to see the provider's answer", "provider's answer: GData error conflict"},
        {"100,000 headers",
         [](TestResponse& res) {
             for (int i = 0; i < 100000; ++i) res.setHeader("X-Padding-" + std::to_string(i), "x");
         },
         6, "The provider's answer was too large to be read.", "headers are larger than"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        provider.setAnswerFault([&c, feed](const TestRequest& req, TestResponse& res) {
            if (req.path == feed) c.answer(res);
        });
        auto r = quorvane({"-v", "plan"});
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.detail), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(std::string(500, 'x')), std::string::npos);  // bounded
        EXPECT_EQ(r.err.find('\x1B'), std::string::npos);
    }
}

// A provider that echoes what it was sent (the token request's form, the Authorization header, a
// code exchange) gets none of the client's secrets printed back, with -v too, in JSON or in the
// run's log: tokens, the code, the verifier and the client secret show as "[redacted]".
TEST_F(QuorvaneCommandTest, NoSecretTheProviderEchoesIsPrinted) {
    ScriptedProvider provider;
    std::mutex mutex;
    std::vector<std::string> secrets;
    auto keep = [&](const TestRequest& req) {
        std::lock_guard lock(mutex);
        for (const auto& pair : platform::split(req.body, "&"))
            for (const char* key : {"refresh_token=", "client_secret=", "code=", "code_verifier="})
                if (platform::hasPrefix(pair, key)) secrets.push_back(pair.substr(std::strlen(key)));
        if (auto bearer = req.header("Authorization")) secrets.push_back(bearer->substr(7));
    };
    const std::string token = "/oauth2/v4/token", feed = "/m8/feeds/contacts/default/full";
    auto echo = [&](int status, const char* type, std::function<std::string(const TestRequest&)> body) {
        return [&, status, type, body](const TestRequest& req, TestResponse& res) {
            keep(req);
            res.status = status;
            res.contentType = type;
            res.body = body(req);
        };
    };
    auto form = [](const TestRequest& req) { return "you sent: " + req.body; };
    auto naming = [](const TestRequest& req) {
        return R"({"error":"invalid_grant","error_description":"token )" + req.body.substr(req.body.find("refresh_token=") + 14) +
               R"( was revoked"})";
    };
    auto header = [](const TestRequest& req) { return "Authorization: " + req.header("Authorization").value_or(""); };
    struct Case {
        const char* what;
        bool atToken;
        FakeProvider::AnswerFault fault;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"a code exchange echoed", true, echo(400, "text/plain", form), {}},
        {"a refresh form echoed", true, echo(400, "text/plain", form), {"-v", "plan"}},
        {"a refresh form echoed in JSON", true, echo(500, "application/json", [](const TestRequest& req) {
             return R"({"error":"internal","error_description":")" + req.body + R"("})";
         }), {"-v", "sync", "--json"}},
        {"invalid_grant naming the token", true, echo(400, "application/json", naming), {"-v", "plan"}},
        {"a feed echoing the header", false, echo(400, "text/plain", header), {"-v", "plan"}},
        {"a feed echoing the header with a 401", false, echo(401, "text/plain", header), {"-v", "sync", "--json"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        provider.setOAuthFault(nullptr);
        provider.setAnswerFault(nullptr);
        if (!c.args.empty()) ASSERT_EQ(signIn().code, 0);
        auto fault = c.fault;
        (provider.*(c.atToken ? &FakeProvider::setOAuthFault : &FakeProvider::setAnswerFault))(
            [&, fault](const TestRequest& req, TestResponse& res) {
                if (req.path == (c.atToken ? token : feed)) fault(req, res);
            });
        auto r = c.args.empty() ? signIn({"-v"}) : quorvane(c.args);
        EXPECT_NE(r.code, 0);
        auto log = quorvane({"log", "--show", "1"});
        EXPECT_NE((r.out + r.err).find("[redacted]"), std::string::npos) << r.out << r.err;
        std::lock_guard lock(mutex);
        ASSERT_FALSE(secrets.empty());
        for (const auto& secret : secrets)
            for (const std::string& text : {r.out, r.err, log.out, log.err})
                EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
        secrets.clear();
    }
    // A secret that spells the JSON's own syntax (an access token `"outcome`) is blotted out of
    // its values only: what --json prints still parses.
    provider.setAnswerFault(nullptr);
    provider.setOAuthFault(nullptr);
    ASSERT_EQ(signIn().code, 0);
    provider.setOAuthFault([](const TestRequest& req, TestResponse& res) {
        if (req.body.find("grant_type=refresh_token") != std::string::npos)
            res.body = R"({"access_token":"\"outcome","expires_in":3600,"token_type":"Bearer"})";
    });
    auto r = quorvane({"plan", "--json"});
    auto json = platform::Value::fromJSON(r.out);
    ASSERT_TRUE(json) << r.out;
    EXPECT_EQ((*json)["exitCode"].asInt(), r.code);
    EXPECT_TRUE(json->contains("outcome")) << r.out;
    provider.setOAuthFault(nullptr);
}

std::multiset<std::string> localNames();

// A contacts list that cannot be read as one is said in a sentence with what to do, and so is one
// refused though well-formed: an element with more attributes than any contact has (in the
// answer, in an entity, as declared defaults, or behind a comment opened as "<!-->"), an external
// entity (never read), an entity declared only in an external type declaration, an encoding other
// than UTF-8, more nodes than any contacts list of its size. Nothing is planned from what is left.
TEST_F(QuorvaneCommandTest, AContactsListThatCannotBeReadIsRefusedInASentence) {
    ScriptedProvider provider;
    provider.addContact("<title>Ann Lee</title><gd:name><gd:givenName>Ann</gd:givenName></gd:name>", {"6contacts"});
    ASSERT_EQ(signIn().code, 0);
    const std::string file = (std::filesystem::path(std::getenv("HOME")) / "secret.txt").string();
    std::ofstream(file) << "text of a local file";
    std::string many;
    for (int i = 0; i < 20000; ++i) many += " a" + std::to_string(i) + "='x'";
    auto withType = [](const std::string& declaration, const std::string& title) {
        return [declaration, title](std::string& body) {
            body.insert(body.find('\n') + 1, declaration + "\n");
            size_t at = body.find("<title>Ann Lee");
            body.replace(at, 14, "<title>" + title);
        };
    };
    std::string defaults = "<!DOCTYPE feed [";
    for (int i = 0; i < 20000; ++i) defaults += "<!ATTLIST entry d" + std::to_string(i) + " CDATA 'x'>";
    const struct {
        const char* what;
        std::function<void(std::string&)> edit;
        const char* says;
    } cases[] = {
        {"empty", [](std::string& body) { body.clear(); }, "it was empty or held no feed"},
        {"cut short", [](std::string& body) { body.resize(body.size() / 2); }, "not well-formed XML"},
        {"many attributes", [&](std::string& body) { body.insert(body.find("<gd:name") + 8, many); }, "more than 1000 attributes"},
        {"many in an entity", withType("<!DOCTYPE feed [<!ENTITY e \"<b" + many + "/>\">]>", "&e;"), "more than 1000 attributes"},
        {"many defaults", withType(defaults + "]>", "Ann Lee"), "declaration holds more than 1000 values"},
        {"an external entity", withType("<!DOCTYPE feed [<!ENTITY xx SYSTEM 'file://" + file + "'>]>", "&xx;"), "external entity"},
        {"an entity declared outside", withType("<!DOCTYPE feed SYSTEM 'file://" + file + "'>", "&xx;"), "declared only outside"},
        {"many behind a comment", [&](std::string& body) {
             std::string quoted = std::regex_replace(many, std::regex("'"), "\"");
             body.insert(body.find("<feed"), "<!--> <x ' -->");
             body.insert(body.find("<gd:name") + 8, quoted);
         }, "more than 1000 attributes"},
        {"UTF-16", [](std::string& body) {
             std::string wide = "\xff\xfe";
             for (char c : std::regex_replace(body, std::regex("encoding=.UTF-8."), "encoding='UTF-16'")) {
                 wide += c;
                 wide += '\0';
             }
             body = wide;
         }, "only UTF-8"},
        {"dense", [](std::string& body) {
             std::string comments;
             for (int i = 0; i < 500000; ++i) comments += "<!--x-->";
             body.insert(body.find("<entry"), comments);
         }, "more than a document of its size can hold"},
        {"a groups list", [](std::string& body) { body = std::regex_replace(body, std::regex("2008#contact'"), "2008#group'"); },
         "not this account's contacts list: it is a list of groups. Nothing was written."},
        {"another account's list",
         [](std::string& body) { body = std::regex_replace(body, std::regex("owner(@|%40)example"), "someone$1example"); },
         "not this account's contacts list: it names another account (someone@example.com)"},
        {"an entry without an id",
         [](std::string& body) { body = std::regex_replace(body, std::regex("(<entry[^>]*>)<id>[^<]*</id>"), "$1"); },
         "not this account's contacts list: an entry in it has no id"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        provider.setAnswerFault([&c](const TestRequest& req, TestResponse& res) {
            if (req.path == "/m8/feeds/contacts/default/full") c.edit(res.body);
        });
        for (const auto& args : {std::vector<std::string>{"plan"}, std::vector<std::string>{"sync", "--yes"}}) {
            auto r = quorvane(args);
            EXPECT_EQ(r.code, 6) << r.out << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("Check the provider address"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("com.quorvane."), std::string::npos) << r.err;
            EXPECT_EQ((r.out + r.err).find("local file"), std::string::npos);
        }
    }
    // An encoding that is read is read by any of its names.
    for (std::string name : {"latin1", "l1", "ISO_8859-1", "ANSI_X3.4-1968"}) {
        provider.setAnswerFault([name](const TestRequest& req, TestResponse& res) {
            if (req.path == "/m8/feeds/contacts/default/full")
                res.body = std::regex_replace(res.body, std::regex("encoding=.UTF-8."), "encoding='" + name + "'");
        });
        auto r = quorvane({"plan"});
        EXPECT_EQ(r.code, 0) << name << ": " << r.err;
        EXPECT_NE(r.out.find("local: 1 to create"), std::string::npos) << name << ": " << r.out;
    }
    EXPECT_EQ(localNames().size(), 0u);
}

TEST_F(QuorvaneCommandTest, WithoutTheFakeProviderSigningInIsANetworkFailure) {
    auto r = quorvane({"signin", "--no-browser"});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("fake provider is not running"), std::string::npos) << r.err;
}

TEST_F(QuorvaneCommandTest, SignInSignOutAndProfilesKeepTheirOwnSignIn) {
    FakeProviderProcess provider({"--contacts", "3"});
    ASSERT_FALSE(provider.root().empty());

    auto in = signIn();
    EXPECT_EQ(in.code, 0) << in.err;
    EXPECT_NE(in.out.find("signed in as owner@example.com"), std::string::npos) << in.out;

    auto status = quorvane({"status"});
    EXPECT_EQ(status.code, 0) << status.err;
    EXPECT_NE(status.out.find("signed in: owner@example.com"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("provider: " + provider.root() + "m8/feeds/"), std::string::npos) << status.out;
    // Another profile has its own keychain item: nobody is signed in there.
    auto other = quorvane({"--profile", "google", "status"});
    EXPECT_NE(other.out.find("signed in: no"), std::string::npos) << other.out;
    EXPECT_NE(other.out.find("provider: https://www.google.com/m8/feeds/"), std::string::npos) << other.out;

    auto out = quorvane({"signout"});
    EXPECT_EQ(out.code, 0) << out.err;
    EXPECT_NE(out.out.find("signed out owner@example.com"), std::string::npos);
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
    EXPECT_EQ(quorvane({"signout"}).out, "not signed in\n");
}

TEST_F(QuorvaneCommandTest, ARefusedSignInExitsThreeAndStoresNothing) {
    FakeProviderProcess provider;
    ASSERT_EQ(quorvane({"config", "set", "client-secret", "not-the-registered-secret"}).code, 0);
    auto r = signIn();
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("sign-in failed"), std::string::npos) << r.err;
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
}

TEST_F(QuorvaneCommandTest, SignInFailureMessagePrefersTheProvidersOwnWords) {
    platform::Error error("com.quorvane.HTTPStatus", 400);
    EXPECT_EQ(QuorvaneModel::signInFailureMessage(error), error.localizedDescription());
    error.userInfo.set("error", platform::Value("invalid_grant"));
    EXPECT_EQ(QuorvaneModel::signInFailureMessage(error), "invalid_grant");
    std::string body = "{\"error\":\"invalid_client\"}";
    error.userInfo.set("data", platform::Value(platform::Bytes(body.begin(), body.end())));
    EXPECT_EQ(QuorvaneModel::signInFailureMessage(error), body);
}

TEST_F(QuorvaneCommandTest, DeleteAllAtTheProviderNeedsASignInAndSaysWhenEntriesRemain) {
    FakeProviderProcess provider({"--contacts", "40", "--page-cap", "1"});
    auto anonymous = quorvane({"delete-all", "--google", "--yes"});
    EXPECT_EQ(anonymous.code, 3);
    EXPECT_NE(anonymous.err.find("not signed in"), std::string::npos) << anonymous.err;
    ASSERT_EQ(signIn().code, 0);
    // One contact a page: the feed stops at the page limit, so contacts remain unseen.
    auto capped = quorvane({"delete-all", "--google", "--yes"});
    EXPECT_EQ(capped.code, 1) << capped.err;
    EXPECT_NE(capped.err.find("remain"), std::string::npos) << capped.err;
    // The rest goes in the next passes (a pass that read the rest page by page checks that the
    // list held still while it was read; the earlier passes' deletions can fill the pages of that
    // check, and the pass then says some may remain, as it must).
    auto again = quorvane({"-q", "delete-all", "--google", "--yes"});
    for (int pass = 0; pass < 3 && again.code == 1; ++pass) again = quorvane({"-q", "delete-all", "--google", "--yes"});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(again.out, "deleted every contact and user group of owner@example.com\n");
}

TEST_F(QuorvaneCommandTest, PlanListsOneLinePerContactWithASummaryAndAsJSON) {
    FakeProviderProcess provider({"--contacts", "4"});
    EXPECT_EQ(quorvane({"plan"}).code, 3);
    ASSERT_EQ(signIn().code, 0);
    auto plan = quorvane({"-v", "plan"});
    EXPECT_EQ(plan.code, 0) << plan.err;
    std::vector<std::string> lines;
    for (size_t at = 0; at < plan.out.size();) {
        size_t nl = plan.out.find('\n', at);
        lines.push_back(plan.out.substr(at, nl - at));
        at = nl + 1;
    }
    ASSERT_EQ(lines.size(), 5u) << plan.out;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i].rfind("+ ", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].find(" (locally)\tNew Contact"), std::string::npos) << lines[i];
    }
    EXPECT_EQ(lines[4], "Google: 0 to create, 0 to update, 0 to delete; local: 4 to create, 0 to update, 0 to delete; "
                        "0 unchanged");
    auto json = platform::Value::fromJSON(quorvane({"-q", "plan", "--mode", "google-to-local", "--json"}).out);
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["records"].size(), 4u);
    EXPECT_EQ((*json)["records"][0]["action"].asString(), "create");
    EXPECT_EQ((*json)["records"][0]["side"].asString(), "local");
    EXPECT_EQ((*json)["summary"]["createLocal"].asInt(), 4);
    EXPECT_TRUE((*json)["summary"]["feedsComplete"].asBool());
}

TEST_F(QuorvaneCommandTest, SyncThenNothingToDoAndDeletionsOnlyWhenConfirmedAndWithinTheLimit) {
    {
        FakeProviderProcess provider({"--contacts", "5"});
        ASSERT_EQ(signIn().code, 0);
        auto first = quorvane({"sync"});
        EXPECT_EQ(first.code, 0) << first.err;
        EXPECT_NE(first.out.find("local: 5 created"), std::string::npos) << first.out;
        // Off a terminal, progress is a plain line for each step, with the counts so far.
        EXPECT_NE(first.err.find("\nPlanning the changes (fetched 5)\n"), std::string::npos) << first.err;
        EXPECT_NE(first.err.find("\nSaving sync history (fetched 5, planned 5, written 5)\n"), std::string::npos)
            << first.err;
        auto second = quorvane({"-q", "sync"});
        EXPECT_EQ(second.code, 0) << second.err;
        EXPECT_EQ(second.err, "");
        EXPECT_NE(second.out.find("Google: 0 created, 0 updated, 0 deleted; local: 0 created, 0 updated, 0 deleted"),
                  std::string::npos)
            << second.out;
        // The whole list is kept beside the sync store, and a run with nothing changed leaves it be.
        const auto kept = app::Profile::named("fake")->dataFolder() / GoogleContactCache::kFileName;
        const auto keptAt = std::filesystem::last_write_time(kept);
        auto third = quorvane({"-q", "sync"});
        EXPECT_EQ(third.code, 0) << third.err;
        EXPECT_EQ(third.out, second.out);
        EXPECT_EQ(std::filesystem::last_write_time(kept), keptAt);
        EXPECT_NE(quorvane({"plan"}).out.find("5 unchanged"), std::string::npos);

        // A contact deleted locally since: its Google partner is to be deleted.
        platform::CNContactStore store;
        auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactGivenNameKey});
        ASSERT_TRUE(contacts && contacts->size() == 5);
        platform::CNSaveRequest request;
        request.deleteContact(contacts->front()->mutableCopy());
        ASSERT_TRUE(store.executeSaveRequest(request));
        auto plan = quorvane({"plan"});
        EXPECT_NE(plan.out.find("- "), std::string::npos) << plan.out;
        EXPECT_EQ(quorvane({"sync"}).code, 5);                                   // not confirmed
        EXPECT_EQ(quorvane({"sync", "--yes", "--max-delete", "0"}).code, 5);     // over the limit
        auto confirmed = quorvane({"sync", "--yes", "--max-delete", "1"});
        EXPECT_EQ(confirmed.code, 0) << confirmed.err;
        EXPECT_NE(confirmed.out.find("Google: 0 created, 0 updated, 1 deleted"), std::string::npos) << confirmed.out;
    }
    // The provider gone: safe to retry later.
    EXPECT_EQ(quorvane({"sync"}).code, 4);
    auto log = quorvane({"log"});
    EXPECT_EQ(log.code, 0);
    EXPECT_NE(log.out.find("\trefused\t"), std::string::npos) << log.out;
    EXPECT_NE(log.out.find("\tok\tGoogle +0 ~0 -1\t"), std::string::npos) << log.out;
}

// Under a file-size limit (a soft ulimit -f, SIGXFSZ at its default, set before the program
// starts) a command ends with its own sentence: a write refused at the limit is a failed write,
// never the end of the process. With telemetry, whose log store grows at every run (nothing takes
// its logs here), and a sync, whose own stores grow too: the run ends with its summary, or says
// what it could not write and why.
TEST_F(QuorvaneCommandTest, AFileSizeLimitFailsWritesAndNeverEndsTheCommand) {
    FakeProviderProcess provider({"--contacts", "40"});
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"config", "set", "telemetry-url", "https://127.0.0.1:9"}).code, 0);
    ASSERT_EQ(quorvane({"config", "set", "telemetry-app-secret", "secret"}).code, 0);
    ::signal(SIGXFSZ, SIG_DFL);  // what the command inherits
    for (const char* limit : {"65536", "131072", "262144"}) {
        for (const char* command : {"status", "sync"}) {
            ChildProcess child({"/usr/bin/prlimit", std::string("--fsize=") + limit + ":", QUORVANE_BINARY, command});
            const int code = child.wait();
            SCOPED_TRACE(std::string(command) + " under " + limit + " bytes: " + child.out() + child.err());
            EXPECT_LT(code, 128);
            if (code == 0) {
                EXPECT_FALSE(child.out().empty());
            } else {
                EXPECT_NE(child.err().find("\nquorvane: "), std::string::npos);
                EXPECT_NE(child.err().find("file-size limit of " + std::string(limit) + " bytes"), std::string::npos);
            }
        }
    }
}

TEST_F(QuorvaneCommandTest, AProviderThatAnswers503IsUnreachableAndSafeToRetry) {
    FakeProviderProcess provider({"--contacts", "3", "--contacts-status", "503"});
    ASSERT_EQ(signIn().code, 0);
    auto run = quorvane({"sync"});
    EXPECT_EQ(run.code, 4) << run.err;
    EXPECT_NE(run.err.find("a problem of its own"), std::string::npos) << run.err;
}

// Behind a tunnelling proxy the command acts on the provider's own answers: a healthy provider
// plans and the sign-in stays, a 503 is unreachable, a refused refresh is a refusal.
TEST_F(QuorvaneCommandTest, BehindAProxyTheCommandActsOnTheProvidersOwnAnswers) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    // The provider by a name that is not a loopback one, so that every request takes the proxy.
    const std::string loopback = provider.server().baseURL();
    std::string info = provider.writeInfoFile(app::Profile::fakeProviderInfoPath(), int64_t(::getpid()));
    for (size_t at = info.find(loopback); at != std::string::npos; at = info.find(loopback, at))
        info.replace(at, loopback.size(), "https://" + std::string(TestHTTPServer::kProxiedHostName) + ":" +
                                              std::to_string(provider.server().port()));
    ASSERT_TRUE(platform::writeFileAtomically(app::Profile::fakeProviderInfoPath(), info, 0644));
    TestConnectProxy proxy;
    struct ProxyVariable {
        explicit ProxyVariable(const std::string& address) { ::setenv("https_proxy", address.c_str(), 1); }
        ~ProxyVariable() { ::unsetenv("https_proxy"); }
    } variable(proxy.address());
    provider.expireAccessTokens();  // the plan refreshes the token first
    auto plan = quorvane({"plan"});
    EXPECT_EQ(plan.code, 0) << plan.err;
    EXPECT_NE(quorvane({"status"}).out.find("signed in: owner@example.com"), std::string::npos);
    EXPECT_FALSE(proxy.targets().empty());

    provider.setAnswerFault([](const TestRequest& req, TestResponse& res) {
        if (req.method == "GET" && req.path == "/m8/feeds/contacts/default/full") res.status = 503;
    });
    auto unavailable = quorvane({"plan"});
    EXPECT_EQ(unavailable.code, 4) << unavailable.err;

    provider.setAnswerFault(nullptr);

    // What the proxy itself refuses (the tunnel, its name, its certificate) is said as the
    // proxy's, never the provider's, and keeps the sign-in.
    TestHTTPServer selfSigned(TestHTTPServer::Security::SelfSignedHTTPS);
    TestConnectProxy refusing407(407), refusing403(403), refusing302(302);
    TestConnectProxy resetting(0, TestConnectProxy::Cut::ResetAfterHello), closing(0, TestConnectProxy::Cut::CloseAfterHello);
    const std::tuple<std::string, const char*, int> proxies[] = {
        {refusing407.address(), "The proxy would not open a connection to the provider", 6},
        {refusing403.address(), "The proxy would not open a connection to the provider", 6},
        {refusing302.address(), "The proxy would not open a connection to the provider", 6},
        {"http://no-such-proxy.invalid:3128", "The proxy's host name is not known.", 4},
        {"https://127.0.0.1:" + std::to_string(selfSigned.port()), "The proxy's identity could not be verified", 6},
        {"http://127.0.0.1:1", "Nothing answers at the proxy's address", 4},
        // A tunnel cut before the provider's handshake ended is the network's, not an identity.
        {resetting.address(), "The connection to the provider broke off. Nothing was lost", 4},
        {closing.address(), "The connection to the provider broke off. Nothing was lost", 4},
    };
    for (const auto& [address, says, code] : proxies) {
        SCOPED_TRACE(address);
        ::setenv("https_proxy", address.c_str(), 1);
        auto r = quorvane({"plan"});
        EXPECT_EQ(r.code, code) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("The provider"), std::string::npos) << r.err;
        EXPECT_NE(quorvane({"status"}).out.find("signed in: owner@example.com"), std::string::npos);
    }
    EXPECT_EQ(selfSigned.requestCount(), 0u);
    ::setenv("https_proxy", proxy.address().c_str(), 1);

    provider.server().on("POST", "/oauth2/v4/token", [](const TestRequest&, TestResponse& res) {
        res.status = 401;
        res.contentType = "application/json";
        res.body = R"({"error":"invalid_grant"})";
    });
    provider.expireAccessTokens();
    auto refused = quorvane({"plan"});
    EXPECT_EQ(refused.code, 3) << refused.err;
}

// A provider that rotates refresh tokens (and refuses used ones): each command stores the new one
// before it goes on, also one interrupted while the provider held the refresh's answer, and
// commands refreshing at once leave the newest stored. Nothing is revoked on the way.
TEST_F(QuorvaneCommandTest, ARotatedRefreshTokenIsStoredByEveryCommand) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    provider.setRotateRefreshTokens(true);
    for (int run = 0; run < 3; ++run) {
        auto r = quorvane({"-q", "plan"});
        ASSERT_EQ(r.code, 0) << run << ": " << r.err;
    }
    const std::string token = "/oauth2/v4/token";
    provider.server().hold(token);
    {
        ChildProcess child({QUORVANE_BINARY, "-q", "plan"});
        ASSERT_TRUE(provider.server().waitForHeld(token, 1, 120)) << child.err();
        child.signal(SIGINT);
        provider.server().release(token);
        EXPECT_EQ(child.wait(), 130) << child.err();
    }
    // Interrupted at once, answered 6 s later: past the moment the requests in flight are cancelled,
    // within the 10 s a command has after a signal. The refresh is waited for and its token stored.
    provider.setOAuthFault([](const TestRequest& req, TestResponse& res) {
        if (req.body.find("grant_type=refresh_token") != std::string::npos) res.delay = 6;
    });
    provider.expireAccessTokens();
    {
        const size_t sent = provider.tokenRequests();
        ChildProcess child({QUORVANE_BINARY, "-q", "plan"});
        ASSERT_TRUE(waitForTokenRequests(provider, sent + 1)) << child.err();
        child.signal(SIGINT);
        EXPECT_EQ(child.wait(), 130) << child.err();
    }
    provider.setOAuthFault(nullptr);
    {
        std::vector<std::unique_ptr<ChildProcess>> together;
        for (const char* command : {"plan", "status", "plan", "plan"})
            together.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{QUORVANE_BINARY, "-q", command}));
        for (auto& child : together) EXPECT_EQ(child->wait(), 0) << child->err();
    }
    auto last = quorvane({"-q", "plan"});
    EXPECT_EQ(last.code, 0) << last.err;
    EXPECT_EQ(provider.server().requestCount("/o/oauth2/revoke"), 0u);
}

// A provider that rotates refresh tokens and ends the whole grant when a replaced one comes back:
// commands of two profiles refreshing at once each take their profile's refresh lock, then the
// token the one before stored, so every one ends well and no replaced token is ever presented.
// The lock file is never followed through a symbolic link put in its place.
TEST_F(QuorvaneCommandTest, CommandsRefreshingAtOnceNeverPresentAReplacedRefreshToken) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    ASSERT_NO_FATAL_FAILURE(signInProfileTwo(provider));
    provider.setRotateRefreshTokens(true);
    provider.setRevokeGrantOnReuse(true);
    const auto lock = QuorvaneModel::signInLockPath(app::Profile::named("fake")->dataFolder());
    const auto target = lock.parent_path().parent_path() / "made-through-the-link";
    std::filesystem::create_directories(lock.parent_path());
    std::filesystem::remove(lock);
    std::filesystem::create_symlink(target, lock);
    for (int round = 0; round < 2; ++round) {  // 12 commands, 6 of each profile
        provider.expireAccessTokens();
        std::vector<std::unique_ptr<ChildProcess>> together;
        for (int i = 0; i < 6; ++i)
            together.push_back(std::make_unique<ChildProcess>(
                i % 2 ? std::vector<std::string>{QUORVANE_BINARY, "-q", "plan"}
                      : std::vector<std::string>{QUORVANE_BINARY, "--profile", "two", "-q", "plan"}));
        for (auto& child : together) EXPECT_EQ(child->wait(), 0) << round << ": " << child->err();
    }
    EXPECT_EQ(provider.replacedTokensPresented(), 0u);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_FALSE(std::filesystem::is_symlink(lock));
}

// A provider that rotates refresh tokens, ends the whole grant when a replaced one comes back and
// answers refreshes slowly: a new sign-in, a second plan or a sign-out made while a plan refreshes
// waits for it (saying so) instead of acting on the sign-in the plan is having replaced. The new
// sign-in and the sign-out stay, no replaced token is ever presented, and every command ends 0 or
// says why.
TEST_F(QuorvaneCommandTest, ASignInOrSignOutWhileAnotherCommandRefreshesStaysAndNoReplacedTokenIsPresented) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    provider.setRotateRefreshTokens(true);
    provider.setRevokeGrantOnReuse(true);
    // Runs the other command while a plan's refresh is carried out but not answered, until it
    // waits for the plan, then lets the answer go; answers the plan's result.
    auto whilePlanRefreshes = [&](const std::vector<std::string>& other) {
        provider.holdRefreshAnswers(true);
        ChildProcess plan({QUORVANE_BINARY, "plan"});
        EXPECT_TRUE(provider.waitForHeldRefreshes(1, 120)) << plan.err();
        std::vector<std::string> args = {QUORVANE_BINARY};
        args.insert(args.end(), other.begin(), other.end());
        ChildProcess second(args);
        // A sign-in's page is answered meanwhile, as the user's browser would.
        const std::string page = other[0] == "signin" ? second.readLine() : "";
        std::thread browser([&] {
            if (!page.empty()) EXPECT_EQ(completeSignInInBrowser(page, fakeCAFile()), 200);
        });
        EXPECT_TRUE(second.waitForError("changing the sign-in; waiting up to 60 s for it to end", 120)) << second.err();
        provider.holdRefreshAnswers(false);
        browser.join();
        EXPECT_EQ(second.wait(), 0) << second.err();
        CommandResult r;
        r.code = plan.wait();
        r.err = plan.err();
        return r;
    };
    auto plan = whilePlanRefreshes({"signin", "--no-browser"});
    EXPECT_EQ(plan.code, 0) << plan.err;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(quorvane({"-q", "plan"}).code, 0);  // the new sign-in holds

    plan = whilePlanRefreshes({"plan"});
    EXPECT_EQ(plan.code, 0) << plan.err;

    // The sign-out ends the grant the plan works with: the plan ends then, saying why.
    plan = whilePlanRefreshes({"signout"});
    if (plan.code) {
        EXPECT_EQ(plan.code, 3) << plan.err;
        EXPECT_NE(plan.err.find("You were signed out by another command while this one ran"), std::string::npos) << plan.err;
    }
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
    EXPECT_EQ(quorvane({"-q", "plan"}).code, 3);
    EXPECT_EQ(provider.replacedTokensPresented(), 0u);
}

// Ctrl-C or SIGTERM ends a command whose provider trickles its answer within 10 seconds, with
// exit code 130; the sync's run is in the log.
TEST_F(QuorvaneCommandTest, AnInterruptEndsACommandOnATricklingProviderWithinTenSeconds) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    const std::string feed = "/m8/feeds/contacts/default/full";
    provider.setAnswerFault([feed](const TestRequest& req, TestResponse& res) {
        if (req.method != "GET" || req.path != feed) return;
        res.contentType = "application/octet-stream";  // sent as it is, never compressed
        res.trickleEvery = 2;
    });
    for (auto [command, signal] : {std::pair{"plan", SIGINT}, std::pair{"sync", SIGTERM}}) {
        SCOPED_TRACE(command);
        const size_t asked = provider.server().requestCount(feed);
        ChildProcess child({QUORVANE_BINARY, command});
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (provider.server().requestCount(feed) == asked && std::chrono::steady_clock::now() < bound)
            provider.server().waitForRequestCount(provider.server().requestCount() + 1, 0.1);
        ASSERT_GT(provider.server().requestCount(feed), asked) << child.err();
        const auto signalled = std::chrono::steady_clock::now();
        child.signal(signal);
        const int code = child.wait();
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count(), 10.0);
        EXPECT_EQ(code, 130) << child.err();
    }
    auto log = quorvane({"log"});
    EXPECT_EQ(log.code, 0);
    EXPECT_NE(log.out.find("\tinterrupted\t"), std::string::npos) << log.out << log.err;
}

// A sync still going when the program ends for good (9 s after the signal: here its standard error
// is a full pipe nobody reads) is in the log as interrupted, and the standard error it shares with
// its parent is left blocking.
TEST_F(QuorvaneCommandTest, ASyncEndedByTheForcedExitIsRecordedAsInterrupted) {
    FakeProviderProcess provider({"--contacts", "2500"});
    ASSERT_EQ(signIn().code, 0);
    ChildProcess child({QUORVANE_BINARY, "-v", "sync", "--mode", "google-to-local", "--yes"}, false, true);
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (child.unreadErrorBytes() < 65000 && std::chrono::steady_clock::now() < bound) ::poll(nullptr, 0, 20);
    ASSERT_GE(child.unreadErrorBytes(), 65000u);
    child.signal(SIGINT);
    EXPECT_EQ(child.waitUnread(120), 130);  // the closing line has no room in the full pipe
    EXPECT_EQ(::fcntl(child.errorWriteEnd(), F_GETFL) & O_NONBLOCK, 0);
    auto log = quorvane({"log"});
    EXPECT_NE(log.out.find("\tinterrupted\t"), std::string::npos) << log.out << log.err;
    EXPECT_NE(quorvane({"log", "--show", "1"}).out.find("9 s after the signal"), std::string::npos);
}

TEST_F(QuorvaneCommandTest, SyncJSONGivesTheCountsPerSideTheFailuresTheRunAndTheExitCode) {
    ScriptedProvider provider;
    provider.addContact("<title>Ann Lee</title><gd:name><gd:givenName>Ann</gd:givenName></gd:name>", {"6contacts"});
    auto early = platform::Value::fromJSON(quorvane({"sync", "--json"}).out);
    ASSERT_TRUE(early);
    EXPECT_EQ((*early)["exitCode"].asInt(), 3);
    EXPECT_EQ((*early)["outcome"].asString(), "not started");
    EXPECT_NE((*early)["error"]["message"].asString().find("not signed in"), std::string::npos);

    ASSERT_EQ(signIn().code, 0);
    auto local = std::make_shared<platform::CNMutableContact>();
    local->setGivenName("Zed");
    platform::CNSaveRequest request;
    request.addContact(local, std::nullopt);
    ASSERT_TRUE(platform::CNContactStore().executeSaveRequest(request));
    provider.setBatchFault([](const std::string&, const std::string& type) -> std::optional<int> {
        return type == "insert" ? std::optional<int>(400) : std::nullopt;
    });
    auto r = quorvane({"sync", "--json"});
    EXPECT_EQ(r.code, 1) << r.err;
    auto json = platform::Value::fromJSON(r.out);
    ASSERT_TRUE(json) << r.out;
    EXPECT_EQ((*json)["command"].asString(), "sync");
    EXPECT_EQ((*json)["exitCode"].asInt(), 1);
    EXPECT_EQ((*json)["outcome"].asString(), "partial");
    EXPECT_EQ((*json)["summary"]["createLocal"].asInt(), 1);
    EXPECT_EQ((*json)["summary"]["createGoogle"].asInt(), 0);
    EXPECT_EQ((*json)["summary"]["failed"].asInt(), 1);
    EXPECT_EQ((*json)["planned"]["createGoogle"].asInt(), 1);
    // The records say what was planned, also of a contact the run wrote and let go of.
    ASSERT_EQ((*json)["records"].size(), 2u);
    std::set<std::string> records;
    for (size_t i = 0; i < 2; ++i) {
        const auto& record = (*json)["records"][i];
        records.insert(record["name"].asString() + " " + record["action"].asString() + " " + record["side"].asString());
    }
    EXPECT_EQ(records, (std::set<std::string>{"Ann create local", "Zed create google"}));
    ASSERT_EQ((*json)["failures"].size(), 1u);
    EXPECT_EQ((*json)["failures"][size_t(0)]["name"].asString(), "Zed");
    EXPECT_EQ((*json)["failures"][size_t(0)]["side"].asString(), "google");
    EXPECT_NE((*json)["failures"][size_t(0)]["reason"].asString().find("400"), std::string::npos);
    const int64_t run = (*json)["runId"].asInt();
    EXPECT_GT(run, 0);
    EXPECT_NE(r.err.find("quorvane log --show " + std::to_string(run) + " says which"), std::string::npos) << r.err;
    EXPECT_NE(quorvane({"log", "--show", std::to_string(run)}).out.find("Google refused Zed"), std::string::npos);
    // What the provider refused is not sent again; a provider that takes no batch at all ends
    // the run as unreachable once resending is over.
    const char* batch = "/m8/feeds/contacts/default/full/batch";
    EXPECT_EQ(provider.server().requestCount(batch), 1u);
    provider.setBatchFault(nullptr);
    provider.server().on("POST", batch, [](const TestRequest&, TestResponse& res) { res.status = 500; });
    auto busy = quorvane({"sync", "--json"});
    EXPECT_EQ(busy.code, 4) << busy.err;
    EXPECT_EQ((*platform::Value::fromJSON(busy.out))["exitCode"].asInt(), 4) << busy.out;
    EXPECT_NE(busy.err.find("a problem of its own right now"), std::string::npos) << busy.err;
    EXPECT_NE(busy.out.find("Google could not take it (500"), std::string::npos) << busy.out;
}

TEST_F(QuorvaneCommandTest, AnInterruptedSignInExits130) {
    FakeProviderProcess provider;
    ChildProcess child({QUORVANE_BINARY, "signin", "--no-browser"});
    ASSERT_FALSE(child.readLine().empty());
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(), 130);
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
}

TEST_F(QuorvaneCommandTest, ASignInNobodyAnswersEndsAfterItsTimeoutAndABrowserlessOnePrintsTheAddress) {
    FakeProviderProcess provider;
    // No browser can be opened (nothing on the search path): the address is printed all the same.
    std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (std::filesystem::path(std::getenv("HOME")) / "no-programs").c_str(), 1);
    ChildProcess child({QUORVANE_BINARY, "signin", "--timeout", "0.5"});
    ::setenv("PATH", savedPath.c_str(), 1);
    EXPECT_EQ(child.readLine().rfind("https://127.0.0.1:", 0), 0u) << child.err();
    EXPECT_EQ(child.wait(), 3) << child.err();
    EXPECT_NE(child.err().find("sign-in timed out"), std::string::npos) << child.err();
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
    EXPECT_EQ(quorvane({"signin", "--timeout", "0"}).code, 2);
}

// A new sign-in replaces the one before only once it is stored, and only then revokes it when it is
// of another account (of the same one it is forgotten: at this provider revoking it would end the
// new one too): one interrupted, timed out, refused or failing at the code exchange, or an answer
// that is not the sign-in's own, leaves the one before stored and valid. A sign-out forgets the
// sign-in in any case and says plainly, with a non-zero exit, when the provider did not revoke its token.
TEST_F(QuorvaneCommandTest, ASignInKeepsTheOneBeforeUntilStoredAndASignOutSaysWhatWasNotRevoked) {
    ScriptedProvider provider;
    provider.setOneAuthorizationPerAccount(true);
    ASSERT_EQ(signIn().code, 0);
    const std::string revoke = "/o/oauth2/revoke";
    // Runs a sign-in that the browser step answers (nullptr: nobody answers, then the signal).
    auto failedSignIn = [](std::vector<std::string> args, std::function<int(const std::string&)> browser, int signal) {
        args.insert(args.begin(), {QUORVANE_BINARY, "signin", "--no-browser"});
        ChildProcess child(args);
        const std::string address = child.readLine();
        if (browser) EXPECT_EQ(browser(address), signal ? 400 : 200);
        if (signal) child.signal(signal);
        return child.wait();
    };
    auto answer = [](std::function<std::string(std::string)> edit) {
        return [edit](const std::string& address) { return completeSignInInBrowser(address, fakeCAFile(), edit); };
    };
    auto replace = [](const std::string& from, const std::string& to) {
        return [from, to](std::string url) { return url.replace(url.find(from), from.size(), to); };
    };
    struct Case {
        const char* what;
        std::function<int()> signIn;
        int code;
    };
    const Case cases[] = {
        {"Ctrl-C", [&] { return failedSignIn({}, nullptr, SIGINT); }, 130},
        {"no answer in time", [&] { return failedSignIn({"--timeout", "0.5"}, nullptr, 0); }, 3},
        {"a wrong state", [&] { return failedSignIn({}, answer(replace("state=", "state=forged")), SIGINT); }, 130},
        {"access denied", [&] { return failedSignIn({}, answer(replace("code=", "error=access_denied&x=")), 0); }, 3},
        {"the code exchange fails",
         [&] {
             provider.setOAuthFault([](const TestRequest& req, TestResponse& res) {
                 if (req.body.find("grant_type=authorization_code") != std::string::npos) res.status = 500;
             });
             int code = failedSignIn({}, answer(nullptr), 0);
             provider.setOAuthFault(nullptr);
             return code;
         },
         4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.signIn(), c.code);
        EXPECT_NE(quorvane({"status"}).out.find("signed in: owner@example.com"), std::string::npos);
        EXPECT_EQ(quorvane({"-q", "plan"}).code, 0);
        EXPECT_EQ(provider.server().requestCount(revoke), 0u);
    }
    for (const std::string account : {"owner@example.com", "owner@example.com", "other@example.com"}) {
        const bool other = account != "owner@example.com";
        provider.setSignInAccount(account, other ? "2000002" : "1000001");
        auto again = signIn();
        EXPECT_EQ(again.code, 0) << again.err;
        EXPECT_EQ(provider.server().requestCount(revoke), other ? 1u : 0u) << account;
        // (A plan of the other account is refused: the sync history is the first one's.)
        EXPECT_EQ(quorvane({"-q", "plan"}).code, other ? 6 : 0) << account;
    }
    provider.setSignInAccount("", "");

    struct Out {
        const char* what;
        int status;  // 0: the answer is held
        int code;
        const char* says;
        const char* wait = "1";  // QUORVANE_PROVIDER_WAIT
    };
    const Out outs[] = {
        {"500", 500, 4, "could not be revoked at the provider: the provider has a problem of its own right now."},
        {"400", 400, 6, "could not be revoked at the provider: the provider turned the request down"},
        {"no answer", 0, 4, "could not be revoked at the provider: the provider did not answer within 1 s."},
        {"no answer, no quiet limit", 0, 4, "could not be revoked at the provider: the provider did not answer within 30 s.",
         "0"},
    };
    for (const auto& c : outs) {
        SCOPED_TRACE(c.what);
        ScopedEnvironment wait("QUORVANE_PROVIDER_WAIT", c.wait);
        provider.setOAuthFault(nullptr);
        ASSERT_EQ(signIn().code, 0);
        if (c.status) provider.setOAuthFault([&c](const TestRequest&, TestResponse& res) { res.status = c.status; });
        else provider.server().hold(revoke);
        auto r = quorvane({"signout"});
        provider.server().release(revoke);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find("signed out owner@example.com here, but its token " + std::string(c.says)), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
    }
    provider.setOAuthFault(nullptr);

    // Two sign-ins begun with nobody signed in: the later one forgets the one the first stored.
    const size_t revoked = provider.server().requestCount(revoke);
    ChildProcess first({QUORVANE_BINARY, "signin", "--no-browser"}), second({QUORVANE_BINARY, "signin", "--no-browser"});
    const std::string firstPage = first.readLine(), secondPage = second.readLine();
    EXPECT_EQ(completeSignInInBrowser(firstPage, fakeCAFile()), 200);
    EXPECT_EQ(first.wait(), 0) << first.err();
    EXPECT_EQ(completeSignInInBrowser(secondPage, fakeCAFile()), 200);
    EXPECT_EQ(second.wait(), 0) << second.err();
    EXPECT_EQ(provider.server().requestCount(revoke), revoked);
    EXPECT_EQ(quorvane({"-q", "plan"}).code, 0);
}

TEST_F(QuorvaneCommandTest, ConfigKeepsSettingsAndProviderKeysPerProfile) {
    EXPECT_EQ(quorvane({"config", "set", "syncDeletions", "off"}).code, 0);
    EXPECT_EQ(quorvane({"config", "get", "syncDeletions"}).out, "false\n");
    // A profile never made is refused, but where one is made: a new one says so.
    for (const auto& args : {std::vector<std::string>{"--profile", "work", "config", "get", "syncDeletions"},
                             std::vector<std::string>{"--profile", "work", "status"}}) {
        auto unknown = quorvane(args);
        EXPECT_EQ(unknown.code, 2);
        EXPECT_NE(unknown.err.find("there is no profile \"work\" (there are: fake, google)"), std::string::npos) << unknown.err;
    }
    // A refused setting makes no profile.
    for (const auto& args : {std::vector<std::string>{"--profile", "work", "config", "set", "noSuchSetting", "on"},
                             std::vector<std::string>{"--profile", "work", "config", "set", "syncDeletions", "maybe"}}) {
        auto refused = quorvane(args);
        EXPECT_EQ(refused.code, 2) << refused.err;
        EXPECT_NE(refused.err.find("the new profile \"work\" was not made"), std::string::npos) << refused.err;
        EXPECT_NE(quorvane({"--profile", "work", "status"}).err.find("there are: fake, google)"), std::string::npos);
    }
    auto made = quorvane({"--profile", "work", "config", "set", "syncDeletions", "on"});
    EXPECT_EQ(made.code, 0);
    EXPECT_NE(made.err.find("making the new profile \"work\""), std::string::npos) << made.err;
    EXPECT_EQ(quorvane({"--profile", "work", "config", "get", "syncDeletions"}).out, "true\n");
    EXPECT_EQ(quorvane({"--profile", "work", "status"}).code, 0);
    EXPECT_EQ(quorvane({"config", "set", "selectedGroupStrings_v1", "Family,Friends"}).code, 0);
    EXPECT_EQ(quorvane({"config", "get", "selectedGroupStrings_v1"}).out, "Family,Friends\n");

    const std::string root = "https://contacts.example.net/m8/feeds/";
    EXPECT_EQ(quorvane({"--profile", "work", "config", "set", "contacts-root", root}).code, 0);
    EXPECT_EQ(quorvane({"--profile", "work", "config", "get", "contacts-root"}).out, root + "\n");
    // The scope and every other address stay the provider's.
    EXPECT_EQ(quorvane({"--profile", "work", "config", "get", "token-url"}).out,
              "https://www.googleapis.com/oauth2/v4/token\n");
    // An empty value puts the default back.
    EXPECT_EQ(quorvane({"--profile", "work", "config", "set", "contacts-root", ""}).code, 0);
    EXPECT_EQ(quorvane({"--profile", "work", "config", "get", "contacts-root"}).out,
              "https://www.google.com/m8/feeds/\n");
}

// Whether the process has the file open.
bool hasOpen(pid_t pid, const std::filesystem::path& file) {
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
         it.increment(error))
        if (std::filesystem::read_symlink(it->path(), error) == file) return true;
    return false;
}

TEST_F(QuorvaneCommandTest, AccountsListTheLocalAccountWhichDeleteAllEmptiesOnlyWhenConfirmed) {
    // Commands started together on first use make one local account between them, also when they
    // meet at the store (another program writing it until each of them has opened it).
    const auto file = std::filesystem::canonical(platform::CNContactStore::defaultPath().parent_path()) / "Contacts.sqlite";
    for (int round = 0; round < 5; ++round) {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
        ASSERT_TRUE(platform::CNContactStore(file).containersMatchingPredicate(nullptr));
        sqlite3* writer = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &writer), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        std::vector<std::unique_ptr<ChildProcess>> commands;
        for (const char* command : {"status", "accounts", "log", "accounts"})
            commands.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{QUORVANE_BINARY, command}));
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < until &&
               !std::all_of(commands.begin(), commands.end(), [&](const auto& c) { return hasOpen(c->pid(), file); }))
            ::poll(nullptr, 0, 5);
        sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(writer);
        for (auto& command : commands) command->wait();
        auto containers = platform::CNContactStore(file).containersMatchingPredicate(nullptr);
        ASSERT_TRUE(containers);
        ASSERT_EQ(containers->size(), 1u) << "round " << round;
    }
    auto r = quorvane({"accounts"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\tlocal\t0 contacts\tread-write\tOn This Computer\t(synced)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(synced)"), std::string::npos) << r.out;
    std::string id = r.out.substr(0, r.out.find('\t'));
    // Off a terminal only --yes confirms.
    auto refused = quorvane({"delete-all", "--local", "--container", id});
    EXPECT_EQ(refused.code, 5);
    EXPECT_NE(refused.err.find("refused without --yes"), std::string::npos) << refused.err;
    auto done = quorvane({"-q", "delete-all", "--local", "--container", id, "--yes"});
    EXPECT_EQ(done.code, 0) << done.err;
    EXPECT_EQ(done.out, "deleted 0 contacts\n");
    EXPECT_EQ(done.err, "");
    EXPECT_EQ(quorvane({"log"}).err, "no runs yet\n");

    // At the question nothing has been written yet: Ctrl-C or SIGTERM ends the command at once.
    for (int signal : {SIGINT, SIGTERM}) {
        ChildProcess asked({QUORVANE_BINARY, "delete-all", "--local", "--container", id}, true);
        ASSERT_TRUE(asked.waitForError("? [y/N] ")) << asked.err();
        asked.signal(signal);
        EXPECT_EQ(asked.wait(), 130);
        EXPECT_NE(asked.err().find("interrupted; nothing was written"), std::string::npos) << asked.err();
    }
}

// Only the provider's own refusal signs the user out. What the client refuses itself (a next link
// to another origin it will not sign, a certificate it cannot verify, a provider that does not
// answer, a token answer it cannot read) and answers that are not that refusal (a quota, another
// origin's 401 to a request sent without the token, the token endpoint refusing the client) end
// the command with their reason and keep the sign-in, unrevoked, also for delete-all; a refused
// certificate gets no request at all.
TEST_F(QuorvaneCommandTest, TheClientsOwnRefusalsKeepTheSignInAndACertificateFailureSaysWhy) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    using S = TestHTTPServer::Security;
    const char* identity = "The provider's identity could not be verified, so nothing was sent to it.";
    const std::string elsewhere = "https://localhost:" + std::to_string(provider.server().port());
    struct Case {
        const char* what;
        std::optional<S> server;  // the contacts root is a server with such a certificate
        std::function<void()> before;
        int code;
        const char* says;
        const char* why;  // under -v
    };
    const Case cases[] = {
        {"a next link to another origin", std::nullopt,
         [&] {
             provider.setAnswerFault([elsewhere](const TestRequest& req, TestResponse& res) {
                 if (req.path.find("/groups/") == std::string::npos || res.status != 200) return;
                 res.body.insert(res.body.rfind("</feed>"), "<link rel='next' type='application/atom+xml' href='" +
                                                                elsewhere + "/m8/feeds/groups/default/full?start-index=9'/>");
             });
         },
         6, "not for the provider's own https address", "com.quorvane.QNOAuth2 -1004"},
        {"a certificate for another host", S::WrongHostHTTPS, nullptr, 6, identity, "subject name"},
        {"a certificate naming the host only by its common name", S::AddressOnlyHTTPS, nullptr, 6, identity, "subject name"},
        {"an expired certificate", S::ExpiredHTTPS, nullptr, 6, identity, "certificate has expired"},
        {"an unknown CA", S::OtherCAHTTPS, nullptr, 6, identity, "unable to get local issuer certificate"},
        {"a self-signed certificate", S::SelfSignedHTTPS, nullptr, 6, identity, "self-signed certificate"},
        {"nothing answers", std::nullopt,
         [] { ASSERT_EQ(quorvane({"config", "set", "contacts-root", "https://127.0.0.1:1/m8/feeds/"}).code, 0); }, 4,
         "Nothing answers at the provider's address", ""},
        {"an unreadable token answer", std::nullopt,
         [&] {
             provider.expireAccessTokens();
             provider.setOAuthFault([](const TestRequest&, TestResponse& res) { res.body = "{\"token_type\":"; });
         },
         6, "The provider's token answer could not be used", "com.quorvane.QNOAuth2 -1001"},
        // Answers that are not the provider's refusal of the sign-in.
        {"a quota answer", std::nullopt,
         [&] {
             provider.setAnswerFault([](const TestRequest&, TestResponse& res) {
                 res.status = 403;
                 res.contentType = "application/vnd.google.gdata.error+xml";
                 res.body = "<errors xmlns='http://schemas.google.com/g/2005'><error><domain>GData</domain>"
                            "<code>rateLimitExceeded</code><internalReason>Too many\nrequests</internalReason></error></errors>";
             });
         },
         4, "The provider asked to wait: a quota or rate limit of the account is used up. The provider said: "
            "rateLimitExceeded: Too many\\u000Arequests.", "HTTPStatus 403"},
        {"a JSON rate-limit answer", std::nullopt,
         [&] {
             provider.setAnswerFault([](const TestRequest&, TestResponse& res) {
                 res.status = 403;
                 res.contentType = "application/json";
                 res.body = R"({"error":{"code":403,"message":"Quota exceeded","status":"RESOURCE_EXHAUSTED"}})";
             });
         },
         4, "The provider said: RESOURCE_EXHAUSTED: Quota exceeded.", "HTTPStatus 403"},
        {"a redirect to another origin that answers 401", std::nullopt,
         [&] {
             provider.server().on("GET", "/moved/*", [](const TestRequest&, TestResponse& res) { res.status = 401; });
             provider.setAnswerFault([elsewhere](const TestRequest& req, TestResponse& res) {
                 res.status = 302;
                 res.setHeader("Location", elsewhere + "/moved" + req.path);
             });
         },
         6, "The provider turned the request down. The sign-in is kept.", "HTTPStatus 401"},
        {"a token endpoint refusing the client", std::nullopt,
         [&] {
             provider.setOAuthFault([](const TestRequest&, TestResponse& res) {
                 res.status = 401;
                 res.body = R"({"error":"invalid_client"})";
             });
         },
         6, "The provider turned the request down. The sign-in is kept.", "HTTPStatus 401"},
        {"a token endpoint answering 403", std::nullopt,
         [&] {
             provider.setOAuthFault([](const TestRequest&, TestResponse& res) {
                 res.status = 403;
                 res.body = R"({"error":"access_denied"})";
             });
         },
         6, "The sign-in is kept.", "HTTPStatus 403"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        provider.setAnswerFault(nullptr);
        std::optional<TestHTTPServer> bad;
        if (c.server) {
            bad.emplace(*c.server);
            const std::string root = *c.server == S::AddressOnlyHTTPS ? "https://localhost:" + std::to_string(bad->port())
                                                                       : bad->baseURL();
            ASSERT_EQ(quorvane({"config", "set", "contacts-root", root + "/m8/feeds/"}).code, 0);
        }
        if (c.before) c.before();
        auto r = quorvane({"-v", "plan"});
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("cancelled"), std::string::npos) << r.err;
        if (bad) EXPECT_EQ(bad->requestCount(), 0u);
        // Nor does a deletion at the provider sign out or revoke anything on such answers.
        EXPECT_NE(quorvane({"delete-all", "--google", "--yes"}).code, 0);
        provider.setAnswerFault(nullptr);
        provider.setOAuthFault(nullptr);
        ASSERT_EQ(quorvane({"config", "set", "contacts-root", ""}).code, 0);
        EXPECT_NE(quorvane({"status"}).out.find("signed in: owner@example.com"), std::string::npos);
        EXPECT_EQ(provider.server().requestCount("/o/oauth2/revoke"), 0u);
    }
    EXPECT_EQ(quorvane({"-q", "plan"}).code, 0);
}

// What the network sent reaches the terminal without control characters: a user name with
// escape sequences, a contact name with a C1 control; JSON stays JSON.
TEST_F(QuorvaneCommandTest, NetworkTextReachesTheTerminalWithoutControlCharacters) {
    const std::pair<std::string, std::string> printable[] = {
        {"plain \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"},
        {"\x1B]0;owned\x07", "\\u001B]0;owned\\u0007"},
        {"a\rb\x7F" "c\xC2\x9B" "2J", "a\\u000Db\\u007Fc\\u009B2J"},
        {"bad \xFF\xC0\xAF\xED\xA0\x80 bytes", "bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD bytes"},
        {"two\nlines\tand tab", "two\nlines\tand tab"},
        {"bidi \xE2\x80\xAEtxt.exe \xE2\x81\xA6x\xE2\x81\xA9 zero\xE2\x80\x8Bwidth \xEF\xBB\xBF", "bidi \\u202Etxt.exe \\u2066x\\u2069 zero\\u200Bwidth \\uFEFF"},
    };
    for (const auto& [in, out] : printable) EXPECT_EQ(app::Console::printable(in), out);
    EXPECT_EQ(app::Console::printable("two\nlines", false), "two\\u000Alines");
    EXPECT_EQ(app::Console::field("a\tb\nc"), "a\\u0009b\\u000Ac");

    FakeProvider::OAuthSettings hostile;
    hostile.userEmail = "owner\x1B]0;owned\x07\x1B[2J\t@example.com";
    ScriptedProvider provider(hostile);
    provider.addContact("<title>Ann \xC2\x9B" "2J Lee</title><gd:name><gd:givenName>Ann \xC2\x9B" "2J</gd:givenName></gd:name>",
                        {"6contacts"});
    auto in = signIn({"-v"});
    const std::string shown = "owner\\u001B]0;owned\\u0007\\u001B[2J\\u0009@example.com";
    EXPECT_NE(in.out.find("signed in as " + shown), std::string::npos) << in.out;
    EXPECT_NE(quorvane({"status"}).out.find("signed in: " + shown), std::string::npos);
    for (const auto& r : {in, quorvane({"status"}), quorvane({"-v", "plan"}), quorvane({"plan", "--json"})}) {
        for (const std::string& text : {r.out, r.err}) {
            EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
            EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
            EXPECT_EQ(text.find("\xC2\x9B"), std::string::npos) << text;
        }
    }
    auto json = platform::Value::fromJSON(quorvane({"plan", "--json"}).out);
    ASSERT_TRUE(json);
    EXPECT_NE(quorvane({"signout"}).out.find("signed out " + shown), std::string::npos);
}

// A value with line breaks, tabs or direction marks stays inside its line: no contact's name can
// print a line of its own (a fake deletion, a fake summary) in a plan, a sync or a run's log.
TEST_F(QuorvaneCommandTest, AValueWithLineBreaksStaysInsideItsLine) {
    ScriptedProvider provider;
    const std::string forged = "Bob\n- Alice Smith (on Google)\nGoogle: 0 to create\t\xE2\x80\xAE" "evil";
    provider.addContact("<title>" + forged + "</title><gd:name><gd:givenName>" + forged + "</gd:givenName></gd:name>",
                        {"6contacts"});
    ASSERT_EQ(signIn().code, 0);
    auto lines = [](const std::string& text) { return platform::split(text, "\n"); };
    const std::vector<std::vector<std::string>> commands = {
        {"plan"}, {"-v", "plan"}, {"sync", "--dry-run"}, {"-v", "sync", "--mode", "google-to-local", "--yes"}, {"log", "--show", "1"}};
    for (const auto& args : commands) {
        auto r = quorvane(args);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(r.code, 0) << r.err;
        for (const std::string& text : {r.out, r.err})
            for (const auto& line : lines(text)) {
                EXPECT_FALSE(platform::hasPrefix(line, "- Alice") || platform::hasPrefix(line, "Google: 0 to create\t"))
                    << line;
                EXPECT_EQ(line.find("\xE2\x80\xAE"), std::string::npos) << line;
            }
        if (args[0] == "plan") EXPECT_NE(r.out.find("Bob\\u000A- Alice"), std::string::npos) << r.out;
    }
    auto json = platform::Value::fromJSON(quorvane({"plan", "--json", "--mode", "local-to-google"}).out);
    ASSERT_TRUE(json);
    auto log = quorvane({"log"});
    EXPECT_EQ(lines(log.out).size(), 2u) << log.out;  // one run, and the last line feed
}

// The certificate file is a regular file of at most 1 MB: anything else is refused at once when it
// is set, and when it has become something else since, the command says so instead of hanging.
TEST_F(QuorvaneCommandTest, ACertificateFileIsARegularFileOfBoundedSize) {
    const std::filesystem::path folder = std::getenv("XDG_STATE_HOME");
    const std::filesystem::path fifo = folder / "ca.fifo", big = folder / "big.pem", good = folder / "ca.pem";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::resize_file((std::ofstream(big), big), 1024 * 1024 + 1);
    std::filesystem::copy_file(TestHTTPServer::caCertificatePath(), good);
    for (const std::string path : {std::string("/dev/zero"), fifo.string(), big.string(), folder.string(), (folder / "none").string()}) {
        auto r = quorvane({"config", "set", "ca-file", path});
        EXPECT_EQ(r.code, 2) << path;
        EXPECT_NE(r.err.find("cannot use " + path + " as a certificate file: "), std::string::npos) << r.err;
    }
    EXPECT_EQ(quorvane({"config", "get", "ca-file"}).out.find("fifo"), std::string::npos);

    ScriptedProvider provider;
    ASSERT_EQ(quorvane({"config", "set", "ca-file", good.string()}).code, 0);
    ASSERT_EQ(signIn().code, 0);
    std::filesystem::remove(good);
    ASSERT_EQ(::mkfifo(good.c_str(), 0600), 0);
    auto r = quorvane({"plan"});
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("it is not a regular file"), std::string::npos) << r.err;
}


// --- one run per profile, a history that cannot be read, what a run says when it cannot record itself ---

std::string personXML(const std::string& given, const std::string& family) {
    return "<title>" + given + " " + family + "</title><gd:name><gd:givenName>" + given + "</gd:givenName><gd:familyName>" +
           family + "</gd:familyName></gd:name>";
}

// "Given Family" of every contact on each side, a name as often as it is there.
std::multiset<std::string> localNames() {
    std::multiset<std::string> names;
    auto contacts = platform::CNContactStore().unifiedContactsMatchingPredicate(
        nullptr, {platform::CNContactGivenNameKey, platform::CNContactFamilyNameKey});
    for (const auto& c : contacts.valueOr(std::vector<platform::CNContactPtr>{})) names.insert(c->givenName() + " " + c->familyName());
    return names;
}
std::multiset<std::string> providerNames(const FakeProvider& provider) {
    auto text = [](const std::string& xml, const std::string& element) {
        size_t at = xml.find(element + ">");
        if (at == std::string::npos) return std::string();
        at += element.size() + 1;
        return xml.substr(at, xml.find('<', at) - at);
    };
    std::multiset<std::string> names;
    for (const auto& e : provider.entries(FakeProvider::Kind::Contacts))
        names.insert(text(e.xml, "givenName") + " " + text(e.xml, "familyName"));
    return names;
}
void addLocalContacts(const std::string& given, int count) {
    platform::CNSaveRequest request;
    for (int i = 0; i < count; ++i) {
        auto c = std::make_shared<platform::CNMutableContact>();
        c->setGivenName(given);
        c->setFamilyName("No " + std::to_string(i));
        request.addContact(c, std::nullopt);
    }
    ASSERT_TRUE(platform::CNContactStore().executeSaveRequest(request));
}
void expectEachOnce(const std::multiset<std::string>& names, size_t count, const char* side) {
    EXPECT_EQ(names.size(), count) << side;
    for (const auto& name : names) EXPECT_EQ(names.count(name), 1u) << name << " " << side;
}

// Stopped at a random batch of its writes (Ctrl-C, SIGTERM, the quiet limit, a lost answer, a
// refused batch), a sync records only what the provider confirmed: the plain runs after it carry
// every new contact and every edit, and nothing is made twice.
TEST_F(QuorvaneCommandTest, ASyncStoppedWhileWritingLosesNoEditAndTheNextRunsCompleteIt) {
    constexpr int kContacts = 700;  // seven batches, in two rounds of Google writes
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    ASSERT_NO_FATAL_FAILURE(addLocalContacts("Ida", kContacts));
    struct Stop {
        const char* what;
        int code;
        std::function<void(ChildProcess&, TestResponse&, std::atomic<bool>& released)> act;
    };
    const Stop stops[] = {
        {"Ctrl-C", 130, [](ChildProcess& c, TestResponse&, std::atomic<bool>&) { c.signal(SIGINT); }},
        {"SIGTERM", 130, [](ChildProcess& c, TestResponse&, std::atomic<bool>&) { c.signal(SIGTERM); }},
        {"the quiet limit", 4, [](ChildProcess&, TestResponse&, std::atomic<bool>& released) {
             while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(10));
         }},
        {"a lost answer", 4, [](ChildProcess&, TestResponse& res, std::atomic<bool>&) { res.closeAfter = 10; }},
        {"a refused batch", 3, [](ChildProcess&, TestResponse& res, std::atomic<bool>&) { res.status = 403; }},
    };
    std::mt19937 random(58);
    platform::CNContactStore store;
    for (int round = 0; round <= int(std::size(stops)); ++round) {
        const Stop& stop = stops[size_t(std::max(round - 1, 0))];
        const std::string note = "edit " + std::to_string(round);
        SCOPED_TRACE(std::string(stop.what) + ", " + note);
        // the first run creates every contact, each later one edits every note
        if (round > 0) ASSERT_NO_FATAL_FAILURE(setEveryNote(store, note));
        const size_t stopAt = 1 + random() % 6;
        std::atomic<size_t> answered{0};
        std::atomic<bool> released{false};
        std::unique_ptr<ChildProcess> child;
        provider.setAnswerFault([&](const TestRequest& req, TestResponse& res) {
            if (req.path != "/m8/feeds/contacts/default/full/batch") return;
            const size_t n = ++answered;
            if (n == stopAt || (n > stopAt && &stop == &stops[4]))
                stop.act(*child, res, released);
        });
        std::optional<ScopedEnvironment> quiet;
        if (&stop == &stops[2]) quiet.emplace("QUORVANE_PROVIDER_WAIT", "2");
        child = std::make_unique<ChildProcess>(std::vector<std::string>{QUORVANE_BINARY, "-q", "sync", "--yes"});
        quiet.reset();
        const int code = child->wait();
        released = true;
        provider.setAnswerFault(nullptr);
        EXPECT_TRUE(code == stop.code || (code == 0 && answered < stopAt)) << code << child->err();
        if (code == 130) {  // recorded as what it was, with what it wrote
            const std::string last = quorvane({"log", "--last", "1"}).out;
            EXPECT_NE(last.find("\tinterrupted\tGoogle +"), std::string::npos) << last;
            EXPECT_EQ(last.find("Google +0 ~0 -0"), std::string::npos) << last;
        }
        if (code == 3) ASSERT_EQ(signIn().code, 0);
        int plain = 1;
        for (int again = 0; again < 3 && plain != 0; ++again) plain = quorvane({"-q", "sync", "--yes"}).code;
        EXPECT_EQ(plain, 0);
        expectEachOnce(providerNames(provider), kContacts, "on the provider");
        expectEachOnce(localNames(), kContacts, "locally");
        size_t carried = 0;
        for (const auto& e : provider.entries(FakeProvider::Kind::Contacts)) carried += e.xml.find(note) != std::string::npos;
        EXPECT_EQ(carried, round > 0 ? size_t(kContacts) : 0u);
        if (HasFailure()) return;
    }
}

// A batch the provider carried out whose answer never came (the connection closed first, or a
// 500 came back) is sent once: nobody is made twice, nor said as changed by someone else, and a
// run that cannot know what became of it ends as a lost connection does.
TEST_F(QuorvaneCommandTest, AWriteCarriedOutWithoutAnAnswerIsSentOnceAndSaidAsLost) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    platform::CNContactStore store;
    const std::string contacts = "/m8/feeds/contacts/default/full/batch", groups = "/m8/feeds/groups/default/full/batch";
    struct Case {
        const char* what;
        const std::string& path;
        std::function<void()> change;  // on the local side
        bool closes;  // the connection closes once the batch was carried out; otherwise a 500 comes back
        int code;
    };
    auto newPeople = [](const char* given, bool inNewGroup) {
        return [given, inNewGroup] {
            platform::CNSaveRequest request;
            auto group = std::make_shared<platform::CNMutableGroup>();
            group->setName(std::string("Team ") + given);
            if (inNewGroup) request.addGroup(group, std::nullopt);
            for (int i = 0; i < 30; ++i) {
                auto c = std::make_shared<platform::CNMutableContact>();
                c->setGivenName(given);
                c->setFamilyName("No " + std::to_string(i));
                request.addContact(c, std::nullopt);
                if (inNewGroup) request.addMember(c, group);
            }
            ASSERT_TRUE(platform::CNContactStore().executeSaveRequest(request));
        };
    };
    auto editAll = [&store](const char* note) {
        return [&store, note] { setEveryNote(store, note); };
    };
    const Case cases[] = {
        {"creations, the connection closed", contacts, newPeople("Kim", false), true, 4},
        {"creations answered 500", contacts, newPeople("Lou", false), false, 0},
        {"edits, the connection closed", contacts, editAll("first"), true, 4},
        {"edits answered 500", contacts, editAll("second"), false, 4},
        {"a new group, the connection closed", groups, newPeople("Max", true), true, 4},
        {"a new group answered 500", groups, newPeople("Ned", true), false, 4},
    };
    const size_t groupsBefore = provider.entries(FakeProvider::Kind::Groups).size();
    size_t people = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.change();
        const size_t before = provider.server().requestCount(c.path);
        std::atomic<bool> faulted{false};
        provider.setAnswerFault([&](const TestRequest& req, TestResponse& res) {
            if (req.path != c.path || faulted.exchange(true)) return;
            if (c.closes) res.hangUp = true;
            else res.status = 500;
        });
        auto r = quorvane({"sync", "--yes"});
        provider.setAnswerFault(nullptr);
        EXPECT_EQ(r.code, c.code) << r.err;
        if (c.code == 4) EXPECT_NE(r.err.find("Nothing was lost: try again"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Changed on Google"), std::string::npos) << r.err;
        if (c.closes) EXPECT_EQ(provider.server().requestCount(c.path), before + 1);  // the batch went once
        EXPECT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
        people = providerNames(provider).size();
        expectEachOnce(providerNames(provider), people, "on the provider");
        expectEachOnce(localNames(), people, "locally");
        if (HasFailure()) return;
    }
    EXPECT_EQ(people, 120u);
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Groups).size(), groupsBefore + 2);
}

// Notes edited straight in the contact store (another connection) at random moments while a
// one-way run writes every local contact: no edit is written over, and none is recorded as in
// step (the next two-way plan sends each to Google). Repeated.
TEST_F(QuorvaneCommandTest, LocalEditsMadeAtAnyMomentOfARunAreNeverWrittenOver) {
    // Enough for hundreds of edits during a run's writes; each edit that meets a write makes that
    // write wait (SQLite's busy backoff), so more would only make the test long.
    constexpr int kContacts = 1000;
    ScriptedProvider provider;
    for (int i = 0; i < kContacts; ++i) provider.addContact(personXML("Noa", "No " + std::to_string(i)), {"6contacts"});
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    std::vector<std::pair<std::string, std::string>> people;  // identifier, name
    auto read = platform::CNContactStore().unifiedContactsMatchingPredicate(
        nullptr, {platform::CNContactGivenNameKey, platform::CNContactFamilyNameKey});
    ASSERT_TRUE(read);
    for (const auto& c : *read) people.emplace_back(c->identifier(), c->givenName() + " " + c->familyName());
    ASSERT_EQ(people.size(), size_t(kContacts));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(platform::CNContactStore::defaultPath().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 60000);
    auto note = [db](const std::string& id, const std::string* set) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, set ? "UPDATE contacts SET note = ?1 WHERE identifier = ?2" : "SELECT note FROM contacts WHERE identifier = ?2",
                           -1, &st, nullptr);
        if (set) sqlite3_bind_text(st, 1, set->c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, id.c_str(), -1, SQLITE_TRANSIENT);
        std::string out = sqlite3_step(st) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : "";
        sqlite3_finalize(st);
        return out;
    };
    std::mt19937 random(69);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ChildProcess child({QUORVANE_BINARY, "sync", "--mode", "google-to-local", "--force-update"});
        ASSERT_TRUE(child.waitForError("Pairing contacts"));
        fprintf(stderr, "TMP pairing %ld\n", (long)time(nullptr));  // read: from here on an edit is the user's
        std::map<std::string, std::string> edits;  // name -> the note it was left with
        int code;
        for (int n = 0; (code = child.waitUnread(0)) == -1; ++n) {
            const auto& [id, name] = people[random() % people.size()];
            edits[name] = "edit " + std::to_string(round) + "." + std::to_string(n);
            note(id, &edits[name]);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
        EXPECT_TRUE(code == 0 || code == 1) << code << child.err();
        ASSERT_GT(edits.size(), 10u);
        for (const auto& [id, name] : people)
            if (edits.count(name)) EXPECT_EQ(note(id, nullptr), edits[name]) << name;
        auto plan = quorvane({"plan", "--json"});
        auto planned = platform::Value::fromJSON(plan.out);
        ASSERT_TRUE(planned) << plan.out << plan.err;
        std::set<std::string> sent;
        for (const auto& r : (*planned)["records"].asArray())
            if (r["side"].asString() == "google" && r["action"].asString() == "update") sent.insert(r["name"].asString());
        for (const auto& [name, edit] : edits) EXPECT_TRUE(sent.count(name)) << name << " recorded as in step";
        if (HasFailure()) break;
    }
    sqlite3_close(db);
}

// A local group whose name is not UTF-8 fails alone, named in the failures: everything else is
// carried, no deleted contact comes back, and its members' memberships wait until it is renamed.
TEST_F(QuorvaneCommandTest, AGroupWhoseNameIsNotUTF8FailsAloneAndItsMembershipsWaitForItsRename) {
    ScriptedProvider provider;
    provider.addContact(personXML("Del", "Gone"), {"6contacts"});
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    platform::CNContactStore store;
    platform::CNSaveRequest request;
    auto synced = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactGivenNameKey});
    for (const auto& c : *synced) request.deleteContact(c->mutableCopy());
    auto group = std::make_shared<platform::CNMutableGroup>();
    group->setName("Team \xFF");
    request.addGroup(group, std::nullopt);
    for (const char* given : {"Mia", "Val"}) {
        auto c = std::make_shared<platform::CNMutableContact>();
        c->setGivenName(given);
        c->setFamilyName("New");
        request.addContact(c, std::nullopt);
        if (*given == 'M') request.addMember(c, group);
    }
    ASSERT_TRUE(store.executeSaveRequest(request));
    for (int run = 0; run < 2; ++run) {
        auto r = quorvane({"sync", "--yes", "--json"});
        EXPECT_EQ(r.code, 1) << r.err;
        auto json = platform::Value::fromJSON(r.out);
        ASSERT_TRUE(json) << r.out;
        ASSERT_EQ((*json)["failures"].size(), 1u) << r.out;
        EXPECT_EQ((*json)["failures"][size_t(0)]["name"].asString(), "group Team \\xFF");
        EXPECT_EQ(providerNames(provider), (std::multiset<std::string>{"Mia New", "Val New"}));
        EXPECT_EQ(localNames(), (std::multiset<std::string>{"Mia New", "Val New"}));
    }
    EXPECT_NE(quorvane({"sync"}).err.find("failed: group Team \\xFF (on Google): The group was not made"), std::string::npos);
    auto groups = store.groupsMatchingPredicate(nullptr);
    ASSERT_TRUE(groups && groups->size() == 1);
    group = (*groups)[0]->mutableCopy();
    group->setName("Team");
    platform::CNSaveRequest rename;
    rename.updateGroup(group);
    ASSERT_TRUE(store.executeSaveRequest(rename));
    auto r = quorvane({"sync"});
    EXPECT_EQ(r.code, 0) << r.err;
    std::string team;
    for (const auto& g : provider.entries(FakeProvider::Kind::Groups))
        if (g.xml.find(">Team<") != std::string::npos) team = g.id;
    ASSERT_FALSE(team.empty());
    size_t members = 0;
    for (const auto& c : provider.entries(FakeProvider::Kind::Contacts))
        members += c.xml.find(provider.idURL(FakeProvider::Kind::Groups, team)) != std::string::npos;
    EXPECT_EQ(members, 1u);
}

// Two syncs started together, of one profile or of two profiles whose accounts hold the same
// people (the local contacts are the machine's, shared by both): every person is one contact on
// every side, then and after.
TEST_F(QuorvaneCommandTest, TwoSyncsStartedTogetherLeaveEveryContactOnceOnEachSide) {
    ScriptedProvider provider;
    FakeProvider other;  // the profile "two"'s account
    ASSERT_EQ(signIn().code, 0);
    ASSERT_NO_FATAL_FAILURE(signInProfileTwo(other));
    ASSERT_EQ(quorvane({"plan"}).code, 0);  // makes the local account
    ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "600");
    const std::vector<std::string> sync = {QUORVANE_BINARY, "-q", "sync"};
    std::vector<std::string> syncTwo = sync;
    syncTwo.insert(syncTwo.begin() + 1, {"--profile", "two"});
    size_t expected = 0;
    for (const auto& [both, second] : {std::pair{"one profile", sync}, {"two profiles", syncTwo}}) {
        for (int round = 0; round < 3; ++round) {
            const std::string local = "Lin" + std::to_string(expected), remote = "Rae" + std::to_string(expected);
            ASSERT_NO_FATAL_FAILURE(addLocalContacts(local, 20));
            for (int i = 0; i < 20; ++i)
                for (FakeProvider* account : {static_cast<FakeProvider*>(&provider), &other})
                    account->addContact(personXML(remote, "No " + std::to_string(i)), {"6contacts"});
            expected += 40;
            ChildProcess first(sync), then(second);
            EXPECT_EQ(first.wait(), 0) << first.err();
            EXPECT_EQ(then.wait(), 0) << then.err();
            if (second == syncTwo && round == 2) {  // and the runs after, one after the other, double nobody either
                EXPECT_EQ(quorvane({"-q", "sync"}).code, 0);
                EXPECT_EQ(quorvane({"--profile", "two", "-q", "sync"}).code, 0);
            }
            expectEachOnce(localNames(), expected, both);
            expectEachOnce(providerNames(provider), expected, both);
            if (second == syncTwo) expectEachOnce(providerNames(other), expected, both);
            if (HasFailure()) return;
        }
    }
}

// Two profiles sync the one local account with two Google accounts. A local delete-all under one
// is carried to neither: the other's next sync (a scheduler's, with --yes) deletes nobody from its
// account and makes nobody anew, and while the other's history is in use it is refused. The
// other profile's advice names it, and the runs' records say what was written, once each.
TEST_F(QuorvaneCommandTest, ALocalDeleteAllIsCarriedToNoProfileAndEachProfilesAdviceNamesIt) {
    ScriptedProvider provider;
    FakeProvider other;  // the profile "two"'s account
    ASSERT_EQ(signIn().code, 0);
    ASSERT_NO_FATAL_FAILURE(signInProfileTwo(other));
    for (int i = 0; i < 3; ++i) other.addContact(personXML("Bea", "No " + std::to_string(i)), {"6contacts"});
    ASSERT_EQ(quorvane({"--profile", "two", "-q", "sync"}).code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    ASSERT_EQ(localNames().size(), 3u);
    ASSERT_EQ(providerNames(provider).size(), 3u);
    auto ids = [&other] {
        std::set<std::string> out;
        for (const auto& e : other.entries(FakeProvider::Kind::Contacts)) out.insert(e.id);
        return out;
    };
    const auto before = ids();
    auto accounts = quorvane({"accounts"});
    const std::string id = accounts.out.substr(0, accounts.out.find('\t'));
    {
        auto held = SyncLock::tryAcquire(SyncLock::pathInFolder(app::Profile::named("two")->dataFolder()));
        ASSERT_TRUE(held && *held);
        ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "0");
        auto busy = quorvane({"delete-all", "--local", "--container", id, "--yes"});
        EXPECT_EQ(busy.code, 5) << busy.err;
        EXPECT_NE(busy.err.find("the profile \"two\", which syncs them too"), std::string::npos) << busy.err;
        EXPECT_EQ(localNames().size(), 3u);
    }
    auto deleted = quorvane({"-q", "delete-all", "--local", "--container", id, "--yes"});
    ASSERT_EQ(deleted.code, 0) << deleted.err;
    ASSERT_EQ(localNames().size(), 0u);
    auto two = quorvane({"--profile", "two", "-q", "sync", "--yes"});
    EXPECT_EQ(two.code, 0) << two.err;
    EXPECT_EQ(ids(), before);  // nobody deleted, nobody made again
    EXPECT_EQ(localNames().size(), 3u);
    auto plan = quorvane({"plan"});
    EXPECT_EQ(plan.code, 0) << plan.err;
    EXPECT_EQ(plan.err.find("Mac account"), std::string::npos) << plan.err;

    // A Google creation is "create" in the run's JSON as in the plan's, and its record lists each
    // write once.
    ASSERT_NO_FATAL_FAILURE(addLocalContacts("Cy", 2));
    auto sync = platform::Value::fromJSON(quorvane({"sync", "--yes", "--json"}).out);
    ASSERT_TRUE(sync);
    size_t creates = 0;
    for (size_t i = 0; i < (*sync)["records"].size(); ++i)
        creates += (*sync)["records"][i]["action"].stringValue() == std::optional<std::string>("create");
    EXPECT_EQ(creates, 2u);
    EXPECT_EQ((*sync)["summary"]["createGoogle"].asInt(), 2);
    std::string log = quorvane({"log", "--show", std::to_string((*sync)["runId"].asInt())}).out;
    size_t created = 0;
    for (size_t at = log.find(": Created Cy"); at != std::string::npos; at = log.find(": Created Cy", at + 1)) ++created;
    EXPECT_EQ(created, 2u) << log;

    // Advice under the second profile names it; -v says why a deletion is planned.
    other.deleteContact(*before.begin());
    auto refused = quorvane({"--profile", "two", "sync"});
    EXPECT_EQ(refused.code, 5);
    EXPECT_NE(refused.err.find("quorvane --profile two plan; then run quorvane --profile two sync --yes"), std::string::npos)
        << refused.err;
    auto why = quorvane({"--profile", "two", "-q", "-v", "plan"});
    EXPECT_NE(why.out.find("Deleted on Google since the last sync"), std::string::npos) << why.out;
    ASSERT_EQ(quorvane({"--profile", "two", "signout"}).code, 0);
    EXPECT_NE(quorvane({"--profile", "two", "plan"}).err.find("Sign in first with: quorvane --profile two signin"),
              std::string::npos);
}

TEST_F(QuorvaneCommandTest, ARunWaitsForTheProfilesLockThenRefusesAndAKilledHolderBlocksNothing) {
    ScriptedProvider provider;
    provider.addContact(personXML("Ann", "Lee"), {"6contacts"});
    ASSERT_EQ(signIn().code, 0);
    {
        auto held = SyncLock::tryAcquire(SyncLock::pathInFolder(app::Profile::named("fake")->dataFolder()));
        ASSERT_TRUE(held && *held);
        // The lock a token refresh takes is in a folder of its own: a run holding the sync lock takes it.
        EXPECT_TRUE([] {
            auto refresh = SyncLock::tryAcquire(QuorvaneModel::signInLockPath(app::Profile::named("fake")->dataFolder()));
            return refresh && *refresh;
        }());
        {
            ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "0");
            for (const std::vector<std::string>& args : {std::vector<std::string>{"sync"}, {"delete-all", "--google", "--yes"}}) {
                auto r = quorvane(args);
                EXPECT_EQ(r.code, 5) << args[0] << ": " << r.err;
                EXPECT_NE(r.err.find("Another quorvane sync of this profile is still running"), std::string::npos) << r.err;
            }
            EXPECT_EQ(quorvane({"plan"}).code, 0);  // a plan only reads
            EXPECT_EQ(providerNames(provider).size(), 1u);
            EXPECT_EQ(localNames().size(), 0u);
        }
        // The lock file removed while held lets no second run in.
        std::filesystem::remove(SyncLock::pathInFolder(app::Profile::named("fake")->dataFolder()));
        {
            ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "0");
            EXPECT_EQ(quorvane({"sync"}).code, 5);
            EXPECT_EQ(localNames().size(), 0u);
        }
        // A wait that is not a number of seconds is refused, never taken for the default.
        // One reading for every command that reads it: decimal seconds, blanks around allowed.
        for (const char* junk : {"abc", "-1", "nan", "inf", "1e9", "0x10", "5s"}) {
            ScopedEnvironment wait("QUORVANE_LOCK_WAIT", junk);
            for (const char* command : {"sync", "signout", "plan"}) {
                auto r = quorvane({command});
                EXPECT_EQ(r.code, 2) << junk << " " << command;
                EXPECT_NE(r.err.find("QUORVANE_LOCK_WAIT must be a number of seconds"), std::string::npos) << r.err;
                EXPECT_NE(r.err.find(std::string("not \"") + junk + "\""), std::string::npos) << r.err;
            }
        }
        for (const char* spaced : {" 0", "0 "}) {
            ScopedEnvironment wait("QUORVANE_LOCK_WAIT", spaced);
            EXPECT_EQ(quorvane({"sync"}).code, 5) << spaced;
        }
        ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "600");
        ChildProcess waiting({QUORVANE_BINARY, "sync"});
        ASSERT_TRUE(waiting.waitForError("is running; waiting up to 600 s")) << waiting.err();
        held->reset();
        EXPECT_EQ(waiting.wait(), 0) << waiting.err();
        EXPECT_EQ(localNames().size(), 1u);
    }
    {
        // A run of another profile writing the local contacts: the same wait, said as that.
        auto held = SyncLock::tryAcquire(QuorvaneModel::localStoreLockPath(platform::CNContactStore::defaultPath()));
        ASSERT_TRUE(held && *held);
        provider.addContact(personXML("Bo", "Ray"), {"6contacts"});
        {
            ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "0");
            auto r = quorvane({"sync"});
            EXPECT_EQ(r.code, 5) << r.err;
            EXPECT_NE(r.err.find("A quorvane sync of another profile is still writing the local contacts"), std::string::npos)
                << r.err;
            EXPECT_EQ(quorvane({"plan"}).code, 0);
        }
        ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "600");
        ChildProcess waiting({QUORVANE_BINARY, "sync"});
        ASSERT_TRUE(waiting.waitForError("is writing the local contacts; waiting up to 600 s")) << waiting.err();
        EXPECT_EQ(localNames().size(), 1u);
        held->reset();
        EXPECT_EQ(waiting.wait(), 0) << waiting.err();
        EXPECT_EQ(localNames().size(), 2u);
    }
    ScopedEnvironment wait("QUORVANE_LOCK_WAIT", "0");
    {
        ChildProcess killed({QUORVANE_BINARY, "-v", "sync"});
        ASSERT_TRUE(killed.waitForError("-> fetchGroups")) << killed.err();
        killed.signal(SIGKILL);
        killed.wait();
    }
    auto next = quorvane({"sync"});
    EXPECT_EQ(next.code, 0) << next.err;
}

// The sign-in lock is its file's and its folder's, as the sync lock is: the file removed while a
// command refreshes lets no second refresh in, and a directory in its place sends no refresh (the
// command says which file), so a rotating provider never sees a refresh token twice.
TEST_F(QuorvaneCommandTest, TheSignInLockHoldsWhenItsFileIsRemovedAndRefusesADirectoryInItsPlace) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    provider.setRotateRefreshTokens(true);
    provider.setRevokeGrantOnReuse(true);
    const auto lock = QuorvaneModel::signInLockPath(app::Profile::named("fake")->dataFolder());
    provider.holdRefreshAnswers(true);
    ChildProcess first({QUORVANE_BINARY, "plan"});
    ASSERT_TRUE(provider.waitForHeldRefreshes(1, 120)) << first.err();
    std::filesystem::remove(lock);
    ChildProcess second({QUORVANE_BINARY, "plan"});
    EXPECT_TRUE(second.waitForError("changing the sign-in; waiting up to 60 s for it to end", 120)) << second.err();
    provider.holdRefreshAnswers(false);
    EXPECT_EQ(first.wait(), 0) << first.err();
    EXPECT_EQ(second.wait(), 0) << second.err();

    std::filesystem::remove(lock);
    std::filesystem::create_directory(lock);
    provider.expireAccessTokens();
    const size_t sent = provider.tokenRequests();
    auto r = quorvane({"plan"});
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find(lock.string() + " cannot be taken"), std::string::npos) << r.err;
    EXPECT_EQ(provider.tokenRequests(), sent);
    std::filesystem::remove(lock);
    EXPECT_EQ(quorvane({"-q", "plan"}).code, 0);
    EXPECT_EQ(provider.replacedTokensPresented(), 0u);
}

// A command goes on only with the sign-in it began with. Another account signed in meanwhile, or
// a sign-out, stops it (exit 3, saying which) at its next request, whether it was reading the
// list's pages or about to write: nothing is read or written with the other account's token, and
// the other sign-in stays.
TEST_F(QuorvaneCommandTest, ACommandGoesOnOnlyWithTheSignInItBeganWith) {
    ScriptedProvider provider;
    for (const char* given : {"Ann", "Bea", "Cy"}) provider.addContact(personXML(given, "Lee"), {"6contacts"});
    ASSERT_EQ(signIn().code, 0);
    ASSERT_NO_FATAL_FAILURE(addLocalContacts("Zed", 1));
    const std::string feed = "/m8/feeds/contacts/default/full", other = "other@example.com";
    struct Case {
        const char* what;
        std::vector<std::string> command;
        size_t pageCap;  // 1: the next request reads a page; 0: it writes
        bool otherAccount;  // signed in to another account, or signed out
        const char* says;
    };
    const char* changed = "The sign-in was changed by another command while this one ran";
    const char* signedOut = "You were signed out by another command while this one ran";
    const Case cases[] = {
        {"plan, another account while reading", {"plan"}, 1, true, changed},
        {"sync, another account before writing", {"sync", "--yes"}, 0, true, changed},
        {"delete-all, another account", {"delete-all", "--google", "--yes"}, 0, true, changed},
        {"sync, signed out while reading", {"sync", "--yes"}, 1, false, signedOut},
        {"sync, signed out before writing", {"sync", "--yes"}, 0, false, signedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        provider.setSignInAccount("", "");
        ASSERT_EQ(signIn().code, 0);
        provider.setPageCap(c.pageCap);
        provider.server().hold(feed);
        std::vector<std::string> args = {QUORVANE_BINARY};
        args.insert(args.end(), c.command.begin(), c.command.end());
        ChildProcess child(args);
        ASSERT_TRUE(provider.server().waitForHeld(feed, 1, 120)) << child.err();
        provider.setSignInAccount(other, "2000002");
        EXPECT_EQ(c.otherAccount ? signIn().code : quorvane({"signout"}).code, 0);
        provider.server().release(feed);
        EXPECT_EQ(child.wait(), 3) << child.err();
        EXPECT_NE(child.err().find(c.says), std::string::npos) << child.err();
        EXPECT_EQ(provider.feedRequestsSignedBy(other), 0u);
        EXPECT_EQ(providerNames(provider).size(), 3u);
        EXPECT_NE(quorvane({"status"}).out.find(c.otherAccount ? "signed in: " + other : "signed in: no"), std::string::npos);
    }
}

// A sign-in stored while a run the provider refused is ending (its other batch still in flight)
// stays: the run forgets the refused sign-in only while it is the one stored, also when that batch,
// refused then for the grant gone, goes again with the new sign-in.
TEST_F(QuorvaneCommandTest, ASignInStoredWhileARefusedRunEndsStays) {
    ScriptedProvider provider;
    provider.setOneAuthorizationPerAccount(true);
    ASSERT_EQ(signIn().code, 0);
    for (const bool heldBeforeServed : {false, true}) {
        SCOPED_TRACE(heldBeforeServed ? "held before it is served" : "its answer held");
        ASSERT_NO_FATAL_FAILURE(addLocalContacts(heldBeforeServed ? "Yve" : "Zed", 150));  // two batches, sent together
        std::mutex mutex;
        std::condition_variable changed;
        size_t batches = 0, tokensAtRevocation = 0;
        bool released = false;
        auto release = [&] {
            std::lock_guard hold(mutex);
            released = true;
            changed.notify_all();
        };
        // The first batch waits (carried out, or not yet); the grant ends meanwhile, so the
        // second batch, and the refresh after it, are refused.
        auto holdFirst = [&](const TestRequest& req) {
            if (req.path.find("/batch") == std::string::npos) return;
            std::unique_lock hold(mutex);
            if (batches++) return;
            tokensAtRevocation = provider.tokenRequests();
            provider.revokeAllTokens();
            changed.notify_all();
            changed.wait(hold, [&] { return released; });
        };
        if (heldBeforeServed) provider.setRequestGate(holdFirst);
        else provider.setAnswerFault([&](const TestRequest& req, TestResponse&) { holdFirst(req); });
        // The held request goes however the test ends, or the server could not stop.
        std::unique_ptr<void, std::function<void(void*)>> releaseAtEnd(&released, [&](void*) { release(); });
        ChildProcess sync({QUORVANE_BINARY, "sync", "--yes"});
        {
            std::unique_lock hold(mutex);
            ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(120), [&] { return batches > 0; })) << sync.err();
        }
        ASSERT_TRUE(waitForTokenRequests(provider, tokensAtRevocation + 1)) << sync.err();
        signIn();  // waits for the refused refresh to end; the grant before is gone already
        release();
        EXPECT_EQ(sync.wait(), 3) << sync.err();
        EXPECT_NE(sync.err().find(app::kNewerSignInKept), std::string::npos) << sync.err();
        EXPECT_NE(quorvane({"status"}).out.find("signed in: owner@example.com"), std::string::npos);
        provider.setAnswerFault(nullptr);
        provider.setRequestGate(nullptr);
        EXPECT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
    }
}

// A sign-out while the run's batches are in flight: the provider refuses them (401), and every
// contact they carried says it was not written because the sign-in is gone; after a new sign-in
// the next sync writes each of them once.
TEST_F(QuorvaneCommandTest, ContactsOfBatchesRefusedForASignOutSayTheSignInIsGone) {
    ScriptedProvider provider;
    provider.setOneAuthorizationPerAccount(true);
    ASSERT_EQ(signIn().code, 0);
    ASSERT_NO_FATAL_FAILURE(addLocalContacts("Zed", 150));  // two batches, sent together
    std::mutex mutex;
    std::condition_variable changed;
    size_t held = 0;
    bool released = false;
    auto release = [&] {
        std::lock_guard hold(mutex);
        released = true;
        changed.notify_all();
    };
    provider.setRequestGate([&](const TestRequest& req) {
        if (req.path.find("/batch") == std::string::npos) return;
        std::unique_lock hold(mutex);
        ++held;
        changed.notify_all();
        changed.wait(hold, [&] { return released; });
    });
    std::unique_ptr<void, std::function<void(void*)>> releaseAtEnd(&released, [&](void*) { release(); });
    ChildProcess sync({QUORVANE_BINARY, "sync", "--yes", "--json"});
    {
        std::unique_lock hold(mutex);
        ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(120), [&] { return held == 2; })) << sync.err();
    }
    EXPECT_EQ(quorvane({"signout"}).code, 0);
    release();
    EXPECT_EQ(sync.wait(), 3) << sync.err();
    EXPECT_NE(sync.err().find("Sign in again with: quorvane signin"), std::string::npos) << sync.err();
    auto json = platform::Value::fromJSON(sync.out());
    ASSERT_TRUE(json) << sync.out();
    ASSERT_EQ((*json)["failures"].size(), 150u) << sync.out();
    for (size_t i = 0; i < 150; ++i)
        ASSERT_EQ((*json)["failures"][i]["reason"].asString(), "Not written to Google (the sign-in is gone)") << i;
    provider.setRequestGate(nullptr);
    ASSERT_EQ(signIn().code, 0);
    EXPECT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
    EXPECT_EQ(providerNames(provider).size(), 150u);
}

// A history that cannot be read is not an empty one: plan and sync stop before planning, say which
// file and what to do, and write nothing; the file restored, the deletions are carried.
TEST_F(QuorvaneCommandTest, AHistoryThatCannotBeReadStopsPlanAndSyncAndNothingDeletedComesBack) {
    ScriptedProvider provider;
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(provider.addContact(personXML("Gus", "No " + std::to_string(i)), {"6contacts"}));
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    provider.deleteContact(ids[0]);
    platform::CNContactStore store;
    auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactFamilyNameKey});
    ASSERT_TRUE(contacts);
    for (const auto& c : *contacts)
        if (c->familyName() == "No 3") {
            platform::CNSaveRequest request;
            request.deleteContact(c->mutableCopy());
            ASSERT_TRUE(store.executeSaveRequest(request));
        }
    const auto folder = app::Profile::named("fake")->dataFolder();
    const auto file = SyncStore::pathInFolder(folder), saved = folder / "kept.sqlite";
    std::filesystem::copy_file(file, saved);
    auto clear = [&] {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove_all(file.string() + suffix);
    };
    const std::pair<const char*, std::function<void()>> damages[] = {
        {"empty", [&] { std::ofstream{file}; }},
        {"junk", [&] { std::ofstream(file) << std::string(5000, 'j'); }},
        {"a folder", [&] { std::filesystem::create_directory(file); }},
        {"no history table", [&] {
             std::filesystem::copy_file(saved, file);
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
             EXPECT_EQ(sqlite3_exec(db, "DROP TABLE sync_history", nullptr, nullptr, nullptr), SQLITE_OK);
             sqlite3_close(db);
         }},
    };
    for (const auto& [what, damage] : damages) {
        clear();
        damage();
        for (const std::vector<std::string>& args : {std::vector<std::string>{"plan"}, {"sync", "--yes"}}) {
            auto r = quorvane(args);
            EXPECT_EQ(r.code, 5) << what << ", " << args[0] << ": " << r.err;
            EXPECT_NE(r.err.find("The sync history " + file.string() + " cannot be read"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("Restore the file from a backup, or move it aside to start again as a first sync"),
                      std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("a contact edited on either side since the last sync may have that edit overwritten"),
                      std::string::npos)
                << r.err;
        }
        EXPECT_EQ(localNames().size(), 3u) << what;
        EXPECT_EQ(providerNames(provider).size(), 3u) << what;
        if (std::string(what) == "empty") EXPECT_EQ(std::filesystem::file_size(file), 0u);  // nothing written into it
    }
    // A store that is whole but cannot be used now names the cause and advises no setting aside:
    // held by another process while it needs upgrading, or written by a newer version.
    const std::pair<const char*, std::function<void(sqlite3*)>> causes[] = {
        {"is busy: another process", [](sqlite3* db) {
             EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version = 2; BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
         }},
        {"was written by a newer version of quorvane", [](sqlite3* db) {
             EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99;", nullptr, nullptr, nullptr), SQLITE_OK);
         }},
    };
    for (const auto& [says, hold] : causes) {
        clear();
        std::filesystem::copy_file(saved, file);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        hold(db);
        auto r = quorvane({"plan"});
        sqlite3_close(db);
        EXPECT_EQ(r.code, 5) << r.err;
        EXPECT_NE(r.err.find("The sync history " + file.string() + " " + says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("move it aside"), std::string::npos) << r.err;
    }
    // A read-only data folder says so (here mounted read-only for the command alone, as root passes
    // any permission), and leaves the history to use once it is writable.
    clear();
    std::filesystem::copy_file(saved, file);
    if (::geteuid() != 0 || ChildProcess({"/usr/bin/unshare", "-m", "/bin/true"}).wait() == 0) {
        std::vector<std::string> args = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                         "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\" \"$0\" && exec \"$1\" plan",
                                         folder.string(), QUORVANE_BINARY};
        if (::geteuid() != 0) {
            std::filesystem::permissions(folder, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
            args = {QUORVANE_BINARY, "plan"};
        }
        ChildProcess child(args);
        const int code = child.wait();
        std::filesystem::permissions(folder, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
        EXPECT_EQ(code, 5) << child.err();
        EXPECT_NE(child.err().find("The sync history " + file.string() + " cannot be written: the file or its folder is read-only"),
                  std::string::npos)
            << child.err();
    }
    auto restored = quorvane({"sync", "--yes"});
    EXPECT_EQ(restored.code, 0) << restored.err;
    EXPECT_EQ(localNames(), (std::multiset<std::string>{"Gus No 1", "Gus No 2"}));
    EXPECT_EQ(providerNames(provider), (std::multiset<std::string>{"Gus No 1", "Gus No 2"}));
}

// A run whose history or log cannot be saved still says what it wrote, and points at no run.
TEST_F(QuorvaneCommandTest, ARunThatCannotRecordItselfSaysWhatItWroteAndPointsAtNoRun) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"plan"}).code, 0);
    const auto file = SyncStore::pathInFolder(app::Profile::named("fake")->dataFolder());
    const struct {
        const char* table;
        bool refuseInserts;
        int code;
        const char* says;
        const char* out;
    } cases[] = {
        {"sync_log", true, 1, "the rest of the sync was done. (1 failed) The next sync tries them again.", "1 failed"},
        {"sync_history", false, 6, "The sync wrote its changes, but its history could not be saved", "Google: 2 created"},
    };
    int serial = 0;
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(addLocalContacts("Sal" + std::to_string(++serial), 1));
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        const std::string trigger = std::string("DROP TRIGGER IF EXISTS refuse; CREATE TRIGGER refuse BEFORE INSERT ON ") +
                                    c.table + " BEGIN SELECT RAISE(ABORT, 'refused'); END;";
        EXPECT_EQ(sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
        provider.setBatchFault([refuse = c.refuseInserts](const std::string&, const std::string& type) -> std::optional<int> {
            return refuse && type == "insert" ? std::optional<int>(400) : std::nullopt;
        });
        auto r = quorvane({"sync"});
        EXPECT_EQ(r.code, c.code) << c.table << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.table << ": " << r.err;
        EXPECT_EQ(r.err.find("RUN"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    }
}

// A provider that takes requests and never answers them holds no command for long.
// Holds the provider's answers that pass through it until it is opened (or goes).
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    size_t held = 0;
    ~Gate() { opened(); }
    void pass() {
        std::unique_lock lock(mutex);
        ++held;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
    }
    void opened() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
    bool holdsOne(double seconds) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return held > 0; });
    }
};

TEST_F(QuorvaneCommandTest, PlanSyncAndDeleteAllGiveUpOnAProviderThatStopsAnswering) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    auto gate = std::make_shared<Gate>();
    provider.setAnswerFault([gate](const TestRequest&, TestResponse&) { gate->pass(); });
    ScopedEnvironment wait("QUORVANE_PROVIDER_WAIT", "1");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"plan"}, {"sync"}, {"delete-all", "--google", "--yes"}}) {
        auto r = quorvane(args);
        EXPECT_EQ(r.code, 4) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("The provider stopped answering, so the command gave up waiting."), std::string::npos) << r.err;
    }
    gate->opened();
    // A provider that answers slowly has not stopped answering.
    provider.setAnswerFault([](const TestRequest& req, TestResponse& res) {
        if (req.path.find("/groups/") == std::string::npos) return;
        res.contentType = "application/octet-stream";  // sent as it is, never compressed
        res.trickleEvery = 0.002;
    });
    auto slow = quorvane({"plan"});
    EXPECT_EQ(slow.code, 0) << slow.err;
    provider.setAnswerFault(nullptr);
}

// A first sync whose photo downloads are cut short (a request the provider never answers, one
// answered 500, Ctrl-C while one is on its way) makes the contacts and says which photos did not
// arrive; the next sync brings them, as it does after a run killed then (its history unsaved).
TEST_F(QuorvaneCommandTest, PhotosACutSyncDidNotDownloadArriveWithTheNextSync) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    auto photos = [] {
        std::map<std::string, std::string> out;
        auto contacts = platform::CNContactStore().unifiedContactsMatchingPredicate(
            nullptr, {platform::CNContactGivenNameKey, platform::CNContactImageDataKey});
        for (const auto& c : contacts.valueOr(std::vector<platform::CNContactPtr>{}))
            out[c->givenName()] = c->imageData() ? std::string(c->imageData()->begin(), c->imageData()->end()) : "";
        return out;
    };
    for (const std::string cut : {"silent", "500", "interrupted", "killed"}) {
        SCOPED_TRACE(cut);
        for (const char* who : {"A", "B"}) {
            const std::string given = who + cut;
            provider.setPhoto(provider.addContact("<title>" + given + "</title><gd:name><gd:givenName>" + given +
                                                  "</gd:givenName></gd:name>", {"6contacts"}),
                              "\xFF\xD8 " + given + " \xFF\xD9");
        }
        auto gate = std::make_shared<Gate>();
        provider.setAnswerFault([gate, cut](const TestRequest& req, TestResponse& res) {
            if (req.method != "GET" || req.path.rfind("/m8/feeds/photos/", 0) != 0) return;
            if (cut == "500") res.status = 500;
            else gate->pass();
        });
        CommandResult r;
        if (cut == "interrupted" || cut == "killed") {
            ChildProcess child({QUORVANE_BINARY, "sync"});
            ASSERT_TRUE(gate->holdsOne(120)) << child.err();
            child.signal(cut == "killed" ? SIGKILL : SIGINT);
            r.code = child.wait();
            r.err = child.err();
        } else {
            ScopedEnvironment wait("QUORVANE_PROVIDER_WAIT", "1");
            r = quorvane({"sync"});
        }
        gate->opened();
        provider.setAnswerFault(nullptr);
        EXPECT_EQ(r.code, cut == "interrupted" ? 130 : cut == "killed" ? 128 + SIGKILL : 4) << r.err;
        if (cut != "killed") {
            EXPECT_NE(r.err.find("2 photos did not arrive; the next sync moves them: "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("B" + cut), std::string::npos) << r.err;
        }
        EXPECT_EQ(photos()["A" + cut], "");
        auto next = quorvane({"sync"});
        EXPECT_EQ(next.code, 0) << next.err;
        EXPECT_NE(next.out.find("2 photos moved"), std::string::npos) << next.out;
        for (const char* who : {"A", "B"}) EXPECT_EQ(photos()[who + cut], "\xFF\xD8 " + (who + cut) + " \xFF\xD9");
    }
}

// People alike on both sides and paired for the first time carry a photo held on one side only,
// either way: at a first sync; over a history that kept the photos on one side only (as a run
// without photos, or the first pairing of the previous release, left it); and when the pairs are
// formed again after a run stopped (Ctrl-C, or killed) once the provider had created the people
// new here and while its answer was held. Nobody is doubled, and the next run plans nothing.
TEST_F(QuorvaneCommandTest, APhotoOnOneSideOnlyIsCarriedWhenThePairIsFirstFormed) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    platform::CNContactStore store;
    auto jpeg = [](const std::string& who) { return "\xFF\xD8 " + who + " \xFF\xD9"; };
    auto localPhoto = [&](const std::string& given) -> std::string {
        for (const auto& c : store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactGivenNameKey, platform::CNContactImageDataKey})
                                 .valueOr(std::vector<platform::CNContactPtr>{}))
            if (c->givenName() == given) return c->imageData() ? std::string(c->imageData()->begin(), c->imageData()->end()) : "";
        return "none";
    };
    auto providerPhoto = [&](const std::string& given) -> std::string {
        for (const auto& e : provider.entries(FakeProvider::Kind::Contacts))
            if (e.xml.find(">" + given + "<") != std::string::npos) return e.photo.value_or("");
        return "none";
    };
    for (const std::string how : {"first", "history without photos", "interrupted", "killed"}) {
        SCOPED_TRACE(how);
        const bool stopped = how == "interrupted" || how == "killed";
        // A and B have a photo on the provider, C and D here; a stop's people are new here.
        const std::string row = std::to_string(localNames().size());
        std::vector<std::string> people;
        platform::CNSaveRequest add;
        for (const char* who : {"A", "B", "C", "D"}) {
            const std::string given = who + row;
            people.push_back(given);
            const bool here = *who == 'C' || *who == 'D';
            if (!stopped) {
                const auto id = provider.addContact(personXML(given, "Lee"), {"6contacts"});
                if (!here) provider.setPhoto(id, jpeg(given));
            }
            auto c = std::make_shared<platform::CNMutableContact>();
            c->setGivenName(given);
            c->setFamilyName("Lee");
            const std::string photo = jpeg(given);
            if (here) c->setImageData(platform::Bytes(photo.begin(), photo.end()));
            add.addContact(c, std::nullopt);
        }
        ASSERT_TRUE(store.executeSaveRequest(add));
        if (how == "history without photos") ASSERT_EQ(quorvane({"sync", "--no-photos"}).code, 0);
        if (stopped) {
            auto gate = std::make_shared<Gate>();
            provider.setAnswerFault([gate](const TestRequest& req, TestResponse&) {
                if (req.method == "POST" && req.path.find("/contacts/") != std::string::npos &&
                    req.path.find("batch") != std::string::npos)
                    gate->pass();
            });
            ChildProcess child({QUORVANE_BINARY, "sync"});
            ASSERT_TRUE(gate->holdsOne(120)) << child.err();
            child.signal(how == "killed" ? SIGKILL : SIGINT);
            child.wait();
            gate->opened();
            provider.setAnswerFault(nullptr);
            for (const auto& given : people) ASSERT_EQ(providerPhoto(given), "") << given << " was not created";
        }
        auto r = quorvane({"sync"});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(stopped ? "2 photos moved" : "4 photos moved"), std::string::npos) << r.out;
        for (const auto& given : people) {
            const std::string photo = stopped && given[0] < 'C' ? "" : jpeg(given);
            EXPECT_EQ(localPhoto(given), photo) << given;
            EXPECT_EQ(providerPhoto(given), photo) << given;
            EXPECT_EQ(providerNames(provider).count(given + " Lee"), 1u) << given;
            EXPECT_EQ(localNames().count(given + " Lee"), 1u) << given;
        }
        EXPECT_NE(quorvane({"plan"}).out.find("Google: 0 to create, 0 to update, 0 to delete; local: 0 to create, 0 to update"),
                  std::string::npos);
    }
}

// A run that wrote this computer's side and was killed before it saved its history, or whose
// provider answers were lost after the provider carried them out (a 500, a dropped connection),
// leaves pairs that the next run finds equal: it records them as found, so that a group edit
// made after, on either side, is carried as made and never undone.
TEST_F(QuorvaneCommandTest, AGroupEditAfterAKilledRunOrLostAnswersIsNotUndone) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    platform::CNContactStore store;
    auto membership = [&](const std::string& groupID) {
        return "<gContact:groupMembershipInfo deleted='false' href='" + provider.idURL(FakeProvider::Kind::Groups, groupID) + "'/>";
    };
    auto onProvider = [&](const std::string& id, const std::string& groupID) {
        return provider.entry(FakeProvider::Kind::Contacts, id)->xml.find(provider.idURL(FakeProvider::Kind::Groups, groupID)) !=
               std::string::npos;
    };
    auto local = [&](const std::string& given) {
        for (const auto& c : store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactGivenNameKey})
                                 .valueOr(std::vector<platform::CNContactPtr>{}))
            if (c->givenName() == given) return c;
        return platform::CNContactPtr();
    };
    auto group = [&](const std::string& name) {
        for (const auto& g : store.groupsMatchingPredicate(nullptr).valueOr(std::vector<platform::CNGroupPtr>{}))
            if (g->name() == name) return g;
        return platform::CNGroupPtr();
    };
    auto inLocalGroup = [&](const std::string& given, const std::string& name) {
        auto g = group(name);
        if (!g) return false;
        for (const auto& c : store.unifiedContactsMatchingPredicate(platform::CNContact::predicateForContactsInGroupWithIdentifier(g->identifier()),
                                                                    {platform::CNContactGivenNameKey})
                                 .valueOr(std::vector<platform::CNContactPtr>{}))
            if (c->givenName() == given) return true;
        return false;
    };
    auto sync = [] {
        auto r = quorvane({"-q", "sync"});
        EXPECT_EQ(r.code, 0) << r.err;
    };

    // Another device adds Ann to Club; the run writes it here and is killed in a photo download.
    const std::string club = provider.addGroup("Club");
    const std::string ann = provider.addContact(personXML("Ann", "Lee"), {"6contacts"});
    const std::string bo = provider.addContact(personXML("Bo", "Lee"), {"6contacts"});
    sync();
    provider.editContact(ann, [&](std::string& xml) { xml.insert(xml.rfind("</entry>"), membership(club)); });
    provider.setPhoto(bo, "\xFF\xD8 Bo \xFF\xD9");
    {
        auto gate = std::make_shared<Gate>();
        provider.setAnswerFault([gate](const TestRequest& req, TestResponse&) {
            if (req.method == "GET" && req.path.rfind("/m8/feeds/photos/", 0) == 0) gate->pass();
        });
        ChildProcess child({QUORVANE_BINARY, "sync"});
        ASSERT_TRUE(gate->holdsOne(120)) << child.err();
        child.signal(SIGKILL);
        child.wait();
        gate->opened();
        provider.setAnswerFault(nullptr);
    }
    ASSERT_TRUE(inLocalGroup("Ann", "Club"));
    sync();
    platform::CNSaveRequest leave;
    leave.removeMember(local("Ann"), group("Club"));
    ASSERT_TRUE(store.executeSaveRequest(leave));
    for (int run = 0; run < 2; ++run) {
        sync();
        EXPECT_FALSE(inLocalGroup("Ann", "Club")) << "run " << run;
        EXPECT_FALSE(onProvider(ann, club)) << "run " << run;
    }

    // Ann joins a group made here, and Bo's photo changes here; the provider's answers to the
    // writes are lost. Then another device deletes the group.
    for (const bool dropped : {false, true}) {
        SCOPED_TRACE(dropped ? "a dropped connection" : "a 500 after the work");
        const std::string name = dropped ? "Team" : "Band";
        auto made = std::make_shared<platform::CNMutableGroup>();
        made->setName(name);
        platform::CNSaveRequest join;
        join.addGroup(made, std::nullopt);
        ASSERT_TRUE(store.executeSaveRequest(join));
        platform::CNSaveRequest member;
        member.addMember(local("Ann"), group(name));
        auto photo = local("Bo")->mutableCopy();
        const std::string bytes = "\xFF\xD8 Bo " + name + " \xFF\xD9";
        photo->setImageData(platform::Bytes(bytes.begin(), bytes.end()));
        member.updateContact(photo);
        ASSERT_TRUE(store.executeSaveRequest(member));
        provider.setAnswerFault([dropped](const TestRequest& req, TestResponse& res) {
            if (req.method == "GET" || req.path.find("/groups/") != std::string::npos) return;
            if (dropped) res.closeAfter = 0;
            else res.status = 500;
        });
        {
            ScopedEnvironment wait("QUORVANE_PROVIDER_WAIT", "1");
            EXPECT_NE(quorvane({"-q", "sync"}).code, 0);
        }
        provider.setAnswerFault(nullptr);
        sync();
        std::string groupID;
        for (const auto& g : provider.entries(FakeProvider::Kind::Groups))
            if (g.xml.find(">" + name + "<") != std::string::npos) groupID = g.id;
        ASSERT_FALSE(groupID.empty());
        ASSERT_TRUE(onProvider(ann, groupID));
        ASSERT_TRUE(provider.deleteGroup(groupID));
        for (int run = 0; run < 2; ++run) {
            sync();
            EXPECT_FALSE(inLocalGroup("Ann", name)) << "run " << run;
            for (const auto& g : provider.entries(FakeProvider::Kind::Groups))
                EXPECT_EQ(g.xml.find(">" + name + "<"), std::string::npos) << name << " made again, run " << run;
        }
        EXPECT_EQ(provider.entry(FakeProvider::Kind::Contacts, bo)->photo, bytes);
    }
}

// --- settings that never undo the user's deletions or edits ---

// The phone numbers, e-mail addresses, IM addresses ("im SERVICE user"), social profiles ("sp
// SERVICE user") and postal addresses ("at street/city", then "/region/country" when it has
// either) of every contact on each side, sorted.
std::string regionAndCountry(const std::string& region, const std::string& country) {
    return region.empty() && country.empty() ? "" : "/" + region + "/" + country;
}
std::string upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
std::vector<std::string> localValues() {
    std::vector<std::string> out;
    auto contacts = platform::CNContactStore().unifiedContactsMatchingPredicate(
        nullptr, {platform::CNContactPhoneNumbersKey, platform::CNContactEmailAddressesKey, platform::CNContactInstantMessageAddressesKey,
                  platform::CNContactSocialProfilesKey, platform::CNContactPostalAddressesKey});
    for (const auto& c : contacts.valueOr(std::vector<platform::CNContactPtr>{})) {
        for (const auto& p : c->phoneNumbers()) out.push_back(p.value().stringValue);
        for (const auto& e : c->emailAddresses()) out.push_back(e.value());
        for (const auto& im : c->instantMessageAddresses()) out.push_back("im " + upper(im.value().service) + " " + im.value().username);
        for (const auto& sp : c->socialProfiles()) out.push_back("sp " + upper(sp.value().service) + " " + sp.value().username);
        for (const auto& a : c->postalAddresses())
            out.push_back("at " + a.value().street + "/" + a.value().city + regionAndCountry(a.value().state, a.value().country));
    }
    std::sort(out.begin(), out.end());
    return out;
}
std::vector<std::string> providerValues(const FakeProvider& provider) {
    std::vector<std::string> out;
    auto attribute = [](const std::string& element, const std::string& name) {
        std::smatch m;
        return std::regex_search(element, m, std::regex("\\b" + name + "=['\"]([^'\"]*)['\"]")) ? m[1].str() : std::string();
    };
    for (const auto& e : provider.entries(FakeProvider::Kind::Contacts)) {
        for (size_t at = e.xml.find("phoneNumber"); at != std::string::npos; at = e.xml.find("phoneNumber", at + 1)) {
            size_t open = e.xml.find('>', at), close = e.xml.find('<', open);
            if (e.xml[e.xml.rfind('<', at) + 1] != '/') out.push_back(e.xml.substr(open + 1, close - open - 1));
        }
        const std::regex element("<(?:\\w+:)?(email|im|userDefinedField)\\b[^>]*>"), postal("<(?:\\w+:)?structuredPostalAddress\\b.*?</(?:\\w+:)?structuredPostalAddress>");
        for (std::sregex_iterator it(e.xml.begin(), e.xml.end(), element), end; it != end; ++it) {
            const std::string kind = (*it)[1], text = (*it)[0];
            if (kind == "email") out.push_back(attribute(text, "address"));
            if (kind == "im") out.push_back("im " + upper(attribute(text, "protocol").substr(attribute(text, "protocol").find('#') + 1)) + " " + attribute(text, "address"));
            if (kind == "userDefinedField") out.push_back("sp " + upper(attribute(text, "key")) + " " + attribute(text, "value"));
        }
        for (std::sregex_iterator it(e.xml.begin(), e.xml.end(), postal), end; it != end; ++it) {
            auto part = [&](const std::string& name) {
                std::smatch m;
                const std::string text = (*it)[0];
                return std::regex_search(text, m, std::regex(name + ">([^<]*)<")) ? m[1].str() : std::string();
            };
            out.push_back("at " + part("street") + "/" + part("city") + regionAndCountry(part("region"), part("country")));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}
// The phone numbers, events ("event MM-DD") and relations of every contact on each side with their
// labels in one form (a local label's name, the provider's rel after any '#', else its label), sorted.
std::string labelName(const std::optional<std::string>& local) {
    std::string l = local.value_or("");
    if (l.rfind("_$<", 0) == 0 && l.size() > 6) l = l.substr(3, l.size() - 6);
    for (char& c : l) c = char(std::tolower(static_cast<unsigned char>(c)));
    return l;
}
std::vector<std::string> localLabels() {
    std::vector<std::string> out;
    auto contacts = platform::CNContactStore().unifiedContactsMatchingPredicate(
        nullptr, {platform::CNContactPhoneNumbersKey, platform::CNContactDatesKey, platform::CNContactRelationsKey});
    for (const auto& c : contacts.valueOr(std::vector<platform::CNContactPtr>{})) {
        for (const auto& p : c->phoneNumbers()) out.push_back("phone " + p.value().stringValue + " " + labelName(p.label()));
        for (const auto& d : c->dates()) {
            char day[8];
            std::snprintf(day, sizeof day, "%02d-%02d", int(d.value().month), int(d.value().day));
            out.push_back(std::string("event ") + day + " " + labelName(d.label()));
        }
        for (const auto& r : c->contactRelations()) out.push_back("relation " + r.value().name + " " + labelName(r.label()));
    }
    std::sort(out.begin(), out.end());
    return out;
}
std::vector<std::string> providerLabels(const FakeProvider& provider) {
    std::vector<std::string> out;
    const std::regex element("<(?:\\w+:)?(phoneNumber|event|relation)\\b([^>]*)>(.*?)</(?:\\w+:)?\\1>");
    auto label = [](const std::string& attributes) {
        std::smatch m;
        std::string l;
        if (std::regex_search(attributes, m, std::regex("\\brel=['\"]([^'\"]*)['\"]"))) l = m[1].str().substr(m[1].str().find('#') + 1);
        else if (std::regex_search(attributes, m, std::regex("\\blabel=['\"]([^'\"]*)['\"]"))) l = m[1];
        for (char& c : l) c = char(std::tolower(static_cast<unsigned char>(c)));
        return l;
    };
    for (const auto& e : provider.entries(FakeProvider::Kind::Contacts)) {
        for (std::sregex_iterator it(e.xml.begin(), e.xml.end(), element), end; it != end; ++it) {
            const std::string kind = (*it)[1], body = (*it)[3];
            std::smatch day;
            if (kind == "event" && std::regex_search(body, day, std::regex("startTime=['\"]\\d{4}-(\\d\\d-\\d\\d)")))
                out.push_back("event " + day[1].str() + " " + label((*it)[2]));
            else if (kind != "event")
                out.push_back((kind == "phoneNumber" ? "phone " : "relation ") + body + " " + label((*it)[2]));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}
// Changes the only local contact.
void editLocal(const std::function<void(platform::CNMutableContact&)>& edit) {
    platform::CNContactStore store;
    auto contacts = store.unifiedContactsMatchingPredicate(
        nullptr, {platform::CNContactGivenNameKey, platform::CNContactPhoneNumbersKey, platform::CNContactEmailAddressesKey,
                  platform::CNContactInstantMessageAddressesKey, platform::CNContactSocialProfilesKey,
                  platform::CNContactPostalAddressesKey, platform::CNContactNoteKey, platform::CNContactDatesKey,
                  platform::CNContactRelationsKey});
    ASSERT_TRUE(contacts && contacts->size() == 1);
    auto copy = (*contacts)[0]->mutableCopy();
    edit(*copy);
    platform::CNSaveRequest request;
    request.updateContact(copy);
    ASSERT_TRUE(store.executeSaveRequest(request));
}
platform::CNLabeledValue<platform::CNPhoneNumber> phone(const std::string& number) {
    return {platform::CNLabelPhoneNumberMobile, platform::CNPhoneNumber::phoneNumberWithStringValue(number)};
}
std::string countsLine(const std::string& out) { return out.substr(out.rfind("Google: ")); }

// A pair merged once carries each later one-sided change as made, removals included, and the
// plan says what the run does; a one-way merge that kept a value on its destination alone is not
// written again by the next one-way run, and the next two-way run carries that value.
TEST_F(QuorvaneCommandTest, AMergedPairCarriesLaterChangesAsMadeAndAOneWayMergeSettles) {
    ScriptedProvider provider;
    const std::string id = provider.addContact(
        personXML("Ann", "Lee") + "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>111</gd:phoneNumber>",
        {"6contacts"});
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"plan"}).code, 0);  // makes the local account
    auto ann = std::make_shared<platform::CNMutableContact>();
    ann->setGivenName("Ann");
    ann->setFamilyName("Lee");
    ann->setPhoneNumbers({phone("222")});
    platform::CNSaveRequest add;
    add.addContact(ann, std::nullopt);
    ASSERT_TRUE(platform::CNContactStore().executeSaveRequest(add));
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    const std::vector<std::string> merged = {"111", "222"};
    ASSERT_EQ(localValues(), merged);
    ASSERT_EQ(providerValues(provider), merged);

    // One side changes each time; the other side ends as it, and the plan's counts are the run's.
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"a phone removed locally", [&] { editLocal([&](auto& c) { c.setPhoneNumbers({phone("222")}); }); }},
        {"a phone changed on the provider", [&] {
             provider.editContact(id, [](std::string& xml) { xml.replace(xml.find(">222<"), 5, ">333<"); });
         }},
    };
    const std::vector<std::string> expected[] = {{"222"}, {"333"}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(changes[i].first);
        changes[i].second();
        auto plan = quorvane({"plan"});
        auto sync = quorvane({"sync"});
        ASSERT_EQ(sync.code, 0) << sync.err;
        EXPECT_EQ(localValues(), expected[i]);
        EXPECT_EQ(providerValues(provider), expected[i]);
        const bool toLocal = i == 1;
        EXPECT_NE(countsLine(plan.out).find(toLocal ? "Google: 0 to create, 0 to update, 0 to delete; local: 0 to create, 1 to update"
                                                    : "Google: 0 to create, 1 to update, 0 to delete; local: 0 to create, 0 to update"),
                  std::string::npos)
            << plan.out;
        EXPECT_NE(sync.out.find(toLocal ? "Google: 0 created, 0 updated, 0 deleted; local: 0 created, 1 updated"
                                        : "Google: 0 created, 1 updated, 0 deleted; local: 0 created, 0 updated"),
                  std::string::npos)
            << sync.out;
    }

    // A value added on the destination of a one-way merge stays there, once.
    editLocal([](auto& c) { c.setEmailAddresses({{platform::CNLabelHome, std::string("ann@example.com")}}); });
    ASSERT_EQ(quorvane({"-q", "sync", "--mode", "google-to-local"}).code, 0);
    auto again = quorvane({"sync", "--mode", "google-to-local"});
    EXPECT_NE(again.out.find("Google: 0 created, 0 updated, 0 deleted; local: 0 created, 0 updated"), std::string::npos) << again.out;
    EXPECT_EQ(providerValues(provider), std::vector<std::string>{"333"});
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    const std::vector<std::string> both = {"333", "ann@example.com"};
    EXPECT_EQ(localValues(), both);
    EXPECT_EQ(providerValues(provider), both);
    EXPECT_NE(quorvane({"plan"}).out.find("Google: 0 to create, 0 to update, 0 to delete; local: 0 to create, 0 to update"),
              std::string::npos);
}

// Edits made since the last run are judged against what that run left on each side: a merge
// never brings back a value removed on either side, after a one-way merge or over a history of
// the previous release (which kept no values: a value on one side only stays where it is), nor
// overwrites a field the other side changed; and two people of one name deleted one on each side
// are two deletions, never one merged contact.
// The merge's table is long: its rows run in five parts and the checks after it in a sixth, so
// that each part stays well within the per-test limit in a sanitizer build on a busy machine.
class QuorvaneMergeTest : public QuorvaneCommandTest {
protected:
    static constexpr size_t kRowParts = 5;
    // part 0: the checks after the table; part 1..kRowParts: every kRowParts-th row of the table.
    void mergeChecks(size_t part);
};
TEST_F(QuorvaneMergeTest, AMergeNeverBringsBackARemovalNorOverwritesTheOtherSidesEdit) { mergeChecks(0); }
TEST_F(QuorvaneMergeTest, AMergeNeverBringsBackARemovalNorOverwritesTheOtherSidesEditRows1) { mergeChecks(1); }
TEST_F(QuorvaneMergeTest, AMergeNeverBringsBackARemovalNorOverwritesTheOtherSidesEditRows2) { mergeChecks(2); }
TEST_F(QuorvaneMergeTest, AMergeNeverBringsBackARemovalNorOverwritesTheOtherSidesEditRows3) { mergeChecks(3); }
TEST_F(QuorvaneMergeTest, AMergeNeverBringsBackARemovalNorOverwritesTheOtherSidesEditRows4) { mergeChecks(4); }
TEST_F(QuorvaneMergeTest, AMergeNeverBringsBackARemovalNorOverwritesTheOtherSidesEditRows5) { mergeChecks(5); }

void QuorvaneMergeTest::mergeChecks(size_t part) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"plan"}).code, 0);  // makes the local account
    const auto folder = app::Profile::named("fake")->dataFolder();
    platform::CNContactStore store;
    std::string id;
    auto removeOnGoogle = [&](const std::string& value) {
        provider.editContact(id, [&](std::string& xml) {
            xml = std::regex_replace(xml, std::regex("<[^<>]*phoneNumber[^<>]*>" + value + "</[^<>]*phoneNumber>"), "");
        });
    };
    auto removeLocally = [&](const std::string& value) {
        editLocal([&](auto& c) {
            auto phones = c.phoneNumbers();
            std::erase_if(phones, [&](const auto& p) { return p.value().stringValue == value; });
            c.setPhoneNumbers(phones);
        });
    };
    // Group memberships: the contact starts in two groups of the provider's (and My Contacts).
    const std::map<std::string, std::string> groups = {{"Club", provider.addGroup("Club")}, {"Team", provider.addGroup("Team")}};
    auto membershipOf = [&](const std::string& groupID) {
        return std::regex("<[^<>]*groupMembershipInfo[^<>]*" + provider.idURL(FakeProvider::Kind::Groups, groupID) + "['\"][^<>]*/>");
    };
    auto membership = [&](const std::string& name) { return membershipOf(groups.at(name)); };
    // The groups of the provider's contact other than My Contacts, by title.
    auto providerGroups = [&] {
        std::vector<std::string> out;
        for (const auto& g : provider.entries(FakeProvider::Kind::Groups)) {
            std::smatch title;
            if (!std::regex_search(g.xml, title, std::regex("<(?:\\w+:)?title[^>]*>([^<]*)<")) || title[1].str().find("System Group") == 0)
                continue;
            if (std::regex_search(provider.entry(FakeProvider::Kind::Contacts, id)->xml, membershipOf(g.id))) out.push_back(title[1]);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    auto localGroups = [&] {
        std::vector<std::string> out;
        for (const auto& g : store.groupsMatchingPredicate(nullptr).valueOr(std::vector<platform::CNGroupPtr>{}))
            if (!store.unifiedContactsMatchingPredicate(platform::CNContact::predicateForContactsInGroupWithIdentifier(g->identifier()), {})->empty())
                out.push_back(g->name());
        std::sort(out.begin(), out.end());
        return out;
    };
    auto leaveOnGoogle = [&](const std::string& name) {
        provider.editContact(id, [&](std::string& xml) { xml = std::regex_replace(xml, membership(name), ""); });
    };
    auto leaveLocally = [&](const std::string& name) {
        auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactGivenNameKey});
        ASSERT_TRUE(contacts && contacts->size() == 1);
        platform::CNSaveRequest leave;
        for (const auto& g : store.groupsMatchingPredicate(nullptr).valueOr(std::vector<platform::CNGroupPtr>{}))
            if (g->name() == name) leave.removeMember((*contacts)[0], g);
        ASSERT_TRUE(store.executeSaveRequest(leave));
    };
    // A history of the previous release, which kept no values nor accounts (`merged`: every pair
    // marked merged).
    auto asPreviousRelease = [&](bool merged = true) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(SyncStore::pathInFolder(folder).c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               (std::string(merged ? "UPDATE sync_history SET previously_merged = 1;" : "") +
                                "ALTER TABLE sync_history DROP COLUMN apple_field_values;"
                                "ALTER TABLE sync_history DROP COLUMN google_field_values;"
                                "DROP TABLE history_accounts; PRAGMA user_version = 3;").c_str(),
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    };
    // Values of the release before the IM addresses and social profiles were recorded by service
    // and the postal addresses by region and country too: those fields kept under their older
    // numbers by the older rule (`older`: per field number, the identities both sides held), and
    // no labels.
    auto asOlderRuleRelease = [&](const std::map<uint8_t, std::vector<uint32_t>>& older) {
        auto rewrite = [&](const std::string& blob) {
            std::string out;
            auto put = [&](uint32_t n, int bytes) {
                for (int i = 0; i < bytes; ++i) out.push_back(char(uint8_t(n >> (8 * i))));
            };
            for (size_t at = 0; at + 3 <= blob.size();) {
                const uint8_t field = uint8_t(blob[at]);
                const size_t count = uint8_t(blob[at + 1]) | size_t(uint8_t(blob[at + 2])) << 8, end = at + 3 + count * 4;
                if (field < 14 || (field > 16 && field < 0x40)) out += blob.substr(at, end - at);
                at = end;
            }
            for (const auto& [field, keys] : older) {
                put(field, 1);
                put(uint32_t(keys.size()), 2);
                for (uint32_t k : keys) put(k, 4);
            }
            return out;
        };
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(SyncStore::pathInFolder(folder).c_str(), &db), SQLITE_OK);
        for (const char* column : {"apple_field_values", "google_field_values"}) {
            sqlite3_stmt* read = nullptr;
            ASSERT_EQ(sqlite3_prepare_v2(db, (std::string("SELECT rowid, ") + column + " FROM sync_history").c_str(), -1, &read, nullptr), SQLITE_OK);
            std::vector<std::pair<int64_t, std::string>> rows;
            while (sqlite3_step(read) == SQLITE_ROW)
                rows.emplace_back(sqlite3_column_int64(read, 0), std::string(static_cast<const char*>(sqlite3_column_blob(read, 1)),
                                                                             size_t(sqlite3_column_bytes(read, 1))));
            sqlite3_finalize(read);
            ASSERT_EQ(rows.size(), 1u);
            for (const auto& [row, blob] : rows) {
                sqlite3_stmt* write = nullptr;
                ASSERT_EQ(sqlite3_prepare_v2(db, (std::string("UPDATE sync_history SET ") + column + " = ?1 WHERE rowid = ?2").c_str(), -1, &write, nullptr), SQLITE_OK);
                const std::string values = rewrite(blob);
                sqlite3_bind_blob(write, 1, values.data(), int(values.size()), SQLITE_TRANSIENT);
                sqlite3_bind_int64(write, 2, row);
                EXPECT_EQ(sqlite3_step(write), SQLITE_DONE);
                sqlite3_finalize(write);
            }
        }
        sqlite3_close(db);
    };
    // A run that did its job (one-way runs over changes of the other side among them) says no error.
    auto sync = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"-q", "sync"});
        auto r = quorvane(args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err.find("error:"), std::string::npos) << r.err;
    };
    // The provider's note, set a minute after the local edits.
    auto noteOnGoogle = [&](const std::string& note) {
        provider.advanceTime(60);
        provider.editContact(id, [&](std::string& xml) {
            xml = std::regex_replace(xml, std::regex("<(\\w+:)?content\\b[^>]*>[^<]*</(\\w+:)?content>"), "");
            xml.insert(xml.rfind("</"), "<content type='text'>" + note + "</content>");
        });
    };
    auto joinLocalGroup = [&](const std::string& name) {
        auto group = std::make_shared<platform::CNMutableGroup>();
        group->setName(name);
        platform::CNSaveRequest make;
        make.addGroup(group, std::nullopt);
        ASSERT_TRUE(store.executeSaveRequest(make));
        auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactGivenNameKey});
        ASSERT_TRUE(contacts && contacts->size() == 1);
        platform::CNSaveRequest join;
        join.addMember((*contacts)[0], group);
        ASSERT_TRUE(store.executeSaveRequest(join));
    };
    using IM = platform::CNInstantMessageAddress;
    using Profile = platform::CNSocialProfile;
    using Values = std::vector<std::string>;
    struct Case {
        const char* what;
        std::function<void()> edits;
        Values local, google;  // phones and e-mail addresses after two more two-way runs
        Values localGroups = {"Club", "Team"}, googleGroups = {"Club", "Team"};  // and memberships
        std::string start = "";  // more values of the contact at the start
        Values localGroupsGone = {};  // local groups that must not be there after the runs
        Values labels = {};  // when given: phones, events and relations with their labels on each side
    };
    const Values club = {"Club"}, both = {"Club", "Team"};
    const std::string skype = "<gd:im address='kim' protocol='http://schemas.google.com/g/2005#SKYPE' rel='http://schemas.google.com/g/2005#home'/>",
                      twitter = "<gContact:userDefinedField key='Twitter' value='kim'/>",
                      mainStreet = "<gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#home'><gd:street>1 Main St</gd:street>"
                                   "<gd:city>Springfield</gd:city></gd:structuredPostalAddress>";
    const std::string anniversary = "<gContact:event rel='anniversary'><gd:when startTime='1990-05-17'/></gContact:event>",
                      brotherBob = "<gContact:relation rel='brother'>Bob</gContact:relation>";
    auto relabel = [](auto& list, const char* label) {
        list.at(0) = list.at(0).labeledValueBySettingLabel(std::string(label));
    };
    // A warning that names Ann Lee as left apart by the history of an earlier version.
    auto namesAnnApart = [](const CommandResult& run) {
        EXPECT_NE(run.err.find("1 pair holds values on one side only, left where they are as the history of an earlier version"),
                  std::string::npos) << run.err;
        EXPECT_NE(run.err.find(": Ann Lee"), std::string::npos) << run.err;
    };
    const uint32_t kimByName = *textKey(std::string("kim")), mainStreetByCity = *partsKey({"1 Main St", "Springfield", std::nullopt});
    auto jabberAndFacebook = [](auto& c) {
        c.setInstantMessageAddresses({{platform::CNLabelHome, IM{"kim", platform::CNInstantMessageServiceJabber}}});
        c.setSocialProfiles({{std::nullopt, Profile{"kim", platform::CNSocialProfileServiceFacebook}}});
    };
    const Case cases[] = {
        {"a one-way merge, then a removal on Google", [&] {
             editLocal([](auto& c) { c.setEmailAddresses({{platform::CNLabelHome, std::string("ann@example.com")}}); });
             sync({"--mode", "google-to-local"});
             removeOnGoogle("222");
             leaveOnGoogle("Team");
         }, {"111", "ann@example.com"}, {"111", "ann@example.com"}, club, club},
        {"a one-way merge, then a local removal", [&] {
             editLocal([](auto& c) { c.setEmailAddresses({{platform::CNLabelHome, std::string("ann@example.com")}}); });
             sync({"--mode", "google-to-local"});
             removeLocally("222");
             leaveLocally("Team");
         }, {"111", "ann@example.com"}, {"111", "ann@example.com"}, club, club},
        {"a one-way merge the other way, then a local removal", [&] {
             provider.editContact(id, [](std::string& xml) {
                 xml.insert(xml.rfind("</entry>"), "<gd:email rel='http://schemas.google.com/g/2005#home' address='ann@example.com'/>");
             });
             sync({"--mode", "local-to-google"});
             removeLocally("111");
             leaveLocally("Team");
         }, {"222", "ann@example.com"}, {"222", "ann@example.com"}, club, club},
        {"both sides changed: every membership left locally", [&] {
             leaveLocally("Team");
             leaveLocally("Club");
             removeOnGoogle("111");
         }, {"222"}, {"222"}, {}, {}},
        {"both sides changed: a membership left on Google", [&] {
             leaveOnGoogle("Team");
             removeLocally("222");
         }, {"111"}, {"111"}, club, club},
        {"the previous release's history, a local removal", [&] {
             asPreviousRelease();
             removeLocally("222");
             leaveLocally("Team");
         }, {"111"}, {"111", "222"}, club, both},
        {"the previous release's history, a removal on Google", [&] {
             asPreviousRelease();
             removeOnGoogle("111");
             leaveOnGoogle("Team");
         }, {"111", "222"}, {"222"}, both, club},
        {"a service changed locally, then a note edited on Google", [&] {
             editLocal(jabberAndFacebook);
             noteOnGoogle("P");
         }, {"111", "222", "im JABBER kim", "sp FACEBOOK kim"}, {"111", "222", "im JABBER kim", "sp FACEBOOK kim"}, both, both, skype + twitter},
        {"a service changed on Google, a phone removed locally", [&] {
             provider.editContact(id, [](std::string& xml) {
                 xml = std::regex_replace(xml, std::regex("#SKYPE"), "#JABBER");
                 xml = std::regex_replace(xml, std::regex("key=(['\"])Twitter"), "key=$1Facebook");
             });
             removeLocally("222");
         }, {"111", "im JABBER kim", "sp FACEBOOK kim"}, {"111", "im JABBER kim", "sp FACEBOOK kim"}, both, both, skype + twitter},
        {"a service changed locally, then a one-way merge of a note edited on Google", [&] {
             editLocal(jabberAndFacebook);
             noteOnGoogle("P");
             sync({"--mode", "google-to-local"});
         }, {"111", "222", "im JABBER kim", "sp FACEBOOK kim"}, {"111", "222", "im JABBER kim", "sp FACEBOOK kim"}, both, both, skype + twitter},
        {"an address and an IM address added locally, then a note edited on Google", [&] {
             editLocal([](auto& c) {
                 auto addresses = c.postalAddresses();
                 addresses.push_back({platform::CNLabelWork, platform::CNPostalAddress{.street = "2 Side St", .city = "Springfield"}});
                 c.setPostalAddresses(addresses);
                 auto ims = c.instantMessageAddresses();
                 ims.push_back({platform::CNLabelWork, IM{"bob", platform::CNInstantMessageServiceJabber}});
                 c.setInstantMessageAddresses(ims);
             });
             noteOnGoogle("P");
         }, {"111", "222", "at 1 Main St/Springfield", "at 2 Side St/Springfield", "im JABBER bob", "im SKYPE kim"},
         {"111", "222", "at 1 Main St/Springfield", "at 2 Side St/Springfield", "im JABBER bob", "im SKYPE kim"}, both, both, skype + mainStreet},
        {"a street edited locally, then a note edited on Google", [&] {
             editLocal([](auto& c) {
                 auto addresses = c.postalAddresses();
                 auto address = addresses.at(0).value();
                 address.street = "1 Main Street";
                 addresses[0] = {addresses[0].label(), address};
                 c.setPostalAddresses(addresses);
             });
             noteOnGoogle("P");
         }, {"111", "222", "at 1 Main Street/Springfield"}, {"111", "222", "at 1 Main Street/Springfield"}, both, both, mainStreet},
        {"a country set locally, then a note edited on Google", [&] {
             editLocal([](auto& c) {
                 auto addresses = c.postalAddresses();
                 auto address = addresses.at(0).value();
                 address.country = "Canada";
                 addresses[0] = {addresses[0].label(), address};
                 c.setPostalAddresses(addresses);
             });
             noteOnGoogle("P");
         }, {"111", "222", "at 1 Main St/Springfield//Canada"}, {"111", "222", "at 1 Main St/Springfield//Canada"}, both, both, mainStreet},
        {"a group deleted locally, then a note edited on Google", [&] {
             platform::CNSaveRequest remove;
             for (const auto& g : store.groupsMatchingPredicate(nullptr).valueOr(std::vector<platform::CNGroupPtr>{}))
                 if (g->name() == "Team") remove.deleteGroup(g->mutableCopy());
             ASSERT_TRUE(store.executeSaveRequest(remove));
             noteOnGoogle("P");
         }, {"111", "222"}, {"111", "222"}, club, club, "", {"Team"}},
        {"a group made locally joined, then a note edited on Google", [&] {
             joinLocalGroup("Book");
             noteOnGoogle("P");
         }, {"111", "222"}, {"111", "222"}, {"Book", "Club", "Team"}, {"Book", "Club", "Team"}},
        {"every Google update failed while a removal on Google was carried, then the number put back locally", [&] {
             editLocal([](auto& c) { c.setNote("L"); });
             provider.advanceTime(60);
             removeOnGoogle("222");
             provider.setBatchFault([](const std::string&, const std::string& type) {
                 return type == "update" ? std::optional<int>(500) : std::nullopt;
             });
             EXPECT_EQ(quorvane({"-q", "sync"}).code, 1);
             provider.setBatchFault(nullptr);
             ASSERT_EQ(localValues(), (Values{"111"}));
             editLocal([](auto& c) { c.setPhoneNumbers({phone("111"), phone("222")}); });
         }, {"111", "222"}, {"111", "222"}},
        {"the previous release's history, then after its first run a removal on Google and an addition locally", [&] {
             asPreviousRelease();
             sync({});
             removeOnGoogle("111");
             leaveOnGoogle("Team");
             sync({});
             editLocal([](auto& c) { c.setPhoneNumbers({phone("222"), phone("333")}); });
         }, {"222", "333"}, {"222", "333"}, club, club},
        // Its first run one way, which leaves the pair as it is: its record gains what each side
        // holds, and the run names the pair it leaves apart.
        {"the previous release's history with the sides apart, a first run one way, then a removal on Google", [&] {
             editLocal([](auto& c) { c.setEmailAddresses({{platform::CNLabelHome, std::string("ann@example.com")}}); });
             sync({"--mode", "google-to-local"});
             asPreviousRelease(false);
             auto first = quorvane({"sync", "--mode", "google-to-local"});
             EXPECT_NE(first.err.find("1 pair holds values on one side only, left where they are as the history of an earlier "
                                      "version cannot tell which side removed them (remove them where they are not wanted): Ann Lee"),
                       std::string::npos) << first.err;
             removeOnGoogle("111");
             leaveOnGoogle("Team");
         }, {"222", "ann@example.com"}, {"222"}, club, club},
        {"the previous release's history with the sides apart, a first run the other way, then a local removal", [&] {
             provider.editContact(id, [](std::string& xml) {
                 xml.insert(xml.rfind("</entry>"), "<gd:email rel='http://schemas.google.com/g/2005#home' address='ann@example.com'/>");
             });
             sync({"--mode", "local-to-google"});
             asPreviousRelease(false);
             auto first = platform::Value::fromJSON(quorvane({"sync", "--mode", "local-to-google", "--json"}).out);
             ASSERT_TRUE(first && (*first)["warnings"].size() == 1u);
             EXPECT_NE((*first)["warnings"][0].asString().find("1 pair holds values on one side only"), std::string::npos);
             removeLocally("222");
             leaveLocally("Team");
         }, {"111"}, {"111", "ann@example.com"}, club, club},
        {"the previous release's history with the sides apart, then a removal on each side", [&] {
             editLocal([](auto& c) { c.setEmailAddresses({{platform::CNLabelHome, std::string("ann@example.com")}}); });
             sync({"--mode", "google-to-local"});
             asPreviousRelease();
             sync({});
             removeOnGoogle("111");
             leaveOnGoogle("Team");
             sync({});
             removeLocally("222");
         }, {"ann@example.com"}, {}, club, club},
        // A label changed on one side is a change of that side, also when the other side changes
        // the contact later; a second value of one identity added on one side stays.
        {"a phone relabelled locally, then a note edited on Google", [&] {
             editLocal([&](auto& c) {
                 auto phones = c.phoneNumbers();
                 relabel(phones, platform::CNLabelWork);
                 c.setPhoneNumbers(phones);
             });
             noteOnGoogle("P");
         }, {"111", "222"}, {"111", "222"}, both, both, "", {}, {"phone 111 work", "phone 222 mobile"}},
        {"an event and a relation relabelled on Google, and a note edited locally", [&] {
             provider.editContact(id, [](std::string& xml) {
                 xml = std::regex_replace(xml, std::regex("rel=(['\"])anniversary"), "rel=$1other");
                 xml = std::regex_replace(xml, std::regex("rel=(['\"])brother"), "rel=$1friend");
             });
             editLocal([](auto& c) { c.setNote("L"); });
         }, {"111", "222"}, {"111", "222"}, both, both, anniversary + brotherBob, {},
         {"event 05-17 other", "phone 111 mobile", "phone 222 mobile", "relation Bob friend"}},
        {"a second event of the same day added locally, then a note edited on Google", [&] {
             editLocal([](auto& c) {
                 auto dates = c.dates();
                 dates.push_back({platform::CNLabelOther, dates.at(0).value()});
                 c.setDates(dates);
             });
             noteOnGoogle("P");
         }, {"111", "222"}, {"111", "222"}, both, both, anniversary, {},
         {"event 05-17 anniversary", "event 05-17 other", "phone 111 mobile", "phone 222 mobile"}},
        {"a second relation of the same name added on Google, and a note edited locally", [&] {
             provider.editContact(id, [&](std::string& xml) {
                 xml.insert(xml.rfind("</entry>"), "<gContact:relation rel='friend'>Bob</gContact:relation>");
             });
             editLocal([](auto& c) { c.setNote("L"); });
         }, {"111", "222"}, {"111", "222"}, both, both, brotherBob, {},
         {"phone 111 mobile", "phone 222 mobile", "relation Bob brother", "relation Bob friend"}},
        // Values of the older-rule release: a change it can still tell is carried after a first
        // run one way toward the side that made it; one it cannot (an IM address's service) is
        // named, whichever way the first run goes.
        {"the older-rule release's values, a city changed on Google, a first run one way toward it", [&] {
             asOlderRuleRelease({{4, {mainStreetByCity}}, {8, {kimByName}}});
             provider.editContact(id, [](std::string& xml) { xml = std::regex_replace(xml, std::regex(">Springfield<"), ">Shelbyville<"); });
             sync({"--mode", "local-to-google"});
         }, {"111", "222", "at 1 Main St/Shelbyville", "im SKYPE kim"}, {"111", "222", "at 1 Main St/Shelbyville", "im SKYPE kim"},
         both, both, skype + mainStreet},
        {"the older-rule release's values, a city changed locally, a first run one way toward it", [&] {
             asOlderRuleRelease({{4, {mainStreetByCity}}});
             editLocal([](auto& c) {
                 auto addresses = c.postalAddresses();
                 auto address = addresses.at(0).value();
                 address.city = "Shelbyville";
                 addresses[0] = addresses[0].labeledValueBySettingValue(address);
                 c.setPostalAddresses(addresses);
             });
             sync({"--mode", "google-to-local"});
         }, {"111", "222", "at 1 Main St/Shelbyville"}, {"111", "222", "at 1 Main St/Shelbyville"}, both, both, mainStreet},
        {"the older-rule release's values, a service changed locally, a first run one way toward it", [&] {
             asOlderRuleRelease({{8, {kimByName}}, {10, {kimByName}}});
             editLocal(jabberAndFacebook);
             namesAnnApart(quorvane({"sync", "--mode", "google-to-local"}));
         }, {"111", "222", "im JABBER kim", "sp FACEBOOK kim"}, {"111", "222", "im SKYPE kim", "sp FACEBOOK kim"}, both, both,
         skype + "<gContact:userDefinedField key='Facebook' value='kim'/>"},
        {"the older-rule release's values, a service changed locally and a note on Google, a first run two-way", [&] {
             asOlderRuleRelease({{8, {kimByName}}, {10, {kimByName}}});
             editLocal(jabberAndFacebook);
             noteOnGoogle("P");
             namesAnnApart(quorvane({"sync"}));
         }, {"111", "222", "im JABBER kim", "sp FACEBOOK kim"}, {"111", "222", "im SKYPE kim", "sp FACEBOOK kim"}, both, both,
         skype + "<gContact:userDefinedField key='Facebook' value='kim'/>"},
    };
    for (const auto& c : cases) {
        if (part == 0 || size_t(&c - cases) % kRowParts != part - 1) continue;
        SCOPED_TRACE(c.what);
        id = provider.addContact(personXML("Ann", "Lee") +
                                     "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>111</gd:phoneNumber>"
                                     "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>222</gd:phoneNumber>" + c.start,
                                 {"6contacts", groups.at("Club"), groups.at("Team")});
        sync({});
        ASSERT_EQ(localValues(), providerValues(provider));
        ASSERT_EQ(localGroups(), both);
        c.edits();
        for (int run = 0; run < 2; ++run) {
            sync({});
            EXPECT_EQ(localValues(), c.local) << "run " << run;
            EXPECT_EQ(providerValues(provider), c.google) << "run " << run;
            EXPECT_EQ(localGroups(), c.localGroups) << "run " << run;
            EXPECT_EQ(providerGroups(), c.googleGroups) << "run " << run;
            for (const auto& g : store.groupsMatchingPredicate(nullptr).valueOr(std::vector<platform::CNGroupPtr>{}))
                EXPECT_EQ(std::count(c.localGroupsGone.begin(), c.localGroupsGone.end(), g->name()), 0) << g->name() << " made again, run " << run;
            if (!c.labels.empty()) {
                EXPECT_EQ(localLabels(), c.labels) << "run " << run;
                EXPECT_EQ(providerLabels(provider), c.labels) << "run " << run;
            }
        }
        if (!c.labels.empty()) EXPECT_NE(quorvane({"plan"}).out.find("0 to update, 0 to delete; local: 0 to create, 0 to update"), std::string::npos);
        // Each case starts afresh.
        provider.deleteContact(id);
        auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {});
        platform::CNSaveRequest remove;
        for (const auto& contact : contacts.valueOr(std::vector<platform::CNContactPtr>{})) remove.deleteContact(contact->mutableCopy());
        ASSERT_TRUE(store.executeSaveRequest(remove));
        for (const char* file : {"SyncData.sqlite", "SyncData.sqlite-wal", "SyncData.sqlite-shm", "GoogleContacts.cache"})
            std::filesystem::remove(folder / file);
    }
    if (part != 0) return;

    // Both sides edit different fields of one contact, the later edit on either side: each keeps
    // its field, on both sides.
    for (const bool localLater : {true, false}) {
        SCOPED_TRACE(localLater ? "the local edit later" : "the provider's edit later");
        id = provider.addContact(personXML("A", "Lee"), {"6contacts"});
        sync({});
        auto editGoogle = [&] { provider.editContact(id, [](std::string& xml) { xml.replace(xml.find(">A<"), 3, ">A-prov<"); }); };
        auto editNote = [] {
            platform::CNContactStore s;
            auto all = s.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactNoteKey});
            auto copy = (*all)[0]->mutableCopy();
            copy->setNote("L2");
            platform::CNSaveRequest request;
            request.updateContact(copy);
            ASSERT_TRUE(s.executeSaveRequest(request));
        };
        // The provider's edit made before the local one, or stamped a minute after it.
        if (localLater) {
            editGoogle();
            editNote();
        } else {
            editNote();
            provider.advanceTime(60);
            editGoogle();
        }
        sync({});
        EXPECT_EQ(localNames(), (std::multiset<std::string>{"A-prov Lee"}));
        EXPECT_EQ(providerNames(provider), (std::multiset<std::string>{"A-prov Lee"}));
        auto local = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactNoteKey});
        EXPECT_EQ((*local)[0]->note(), "L2");
        EXPECT_NE(provider.entry(FakeProvider::Kind::Contacts, id)->xml.find("L2</"), std::string::npos);
        provider.deleteContact(id);
        platform::CNSaveRequest remove;
        remove.deleteContact((*local)[0]->mutableCopy());
        ASSERT_TRUE(store.executeSaveRequest(remove));
        for (const char* file : {"SyncData.sqlite", "SyncData.sqlite-wal", "SyncData.sqlite-shm", "GoogleContacts.cache"})
            std::filesystem::remove(folder / file);
    }

    // A card deleted and a like one made before the next run, on either side: the new card takes
    // the deleted one's place, and none of the deleted card's values come back, asked or not.
    auto clearBothSides = [&] {
        for (const auto& e : provider.entries(FakeProvider::Kind::Contacts)) provider.deleteContact(e.id);
        platform::CNSaveRequest remove;
        for (const auto& c : store.unifiedContactsMatchingPredicate(nullptr, {}).valueOr(std::vector<platform::CNContactPtr>{}))
            remove.deleteContact(c->mutableCopy());
        ASSERT_TRUE(store.executeSaveRequest(remove));
        for (const char* file : {"SyncData.sqlite", "SyncData.sqlite-wal", "SyncData.sqlite-shm", "GoogleContacts.cache"})
            std::filesystem::remove(folder / file);
    };
    for (const bool onGoogle : {false, true}) {
        SCOPED_TRACE(onGoogle ? "made again on the provider" : "made again locally");
        const auto kimXML = [](const std::string& number) {
            return personXML("Kim", "Lee") + "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>" + number + "</gd:phoneNumber>";
        };
        id = provider.addContact(kimXML("0001"), {"6contacts"});
        sync({});
        ASSERT_EQ(localValues(), Values{"0001"});
        if (onGoogle) {
            provider.deleteContact(id);
            id = provider.addContact(kimXML("0009"), {"6contacts"});
        } else {
            auto kim = store.unifiedContactsMatchingPredicate(nullptr, {});
            platform::CNSaveRequest remake;
            remake.deleteContact((*kim)[0]->mutableCopy());
            auto again = std::make_shared<platform::CNMutableContact>();
            again->setGivenName("Kim");
            again->setFamilyName("Lee");
            again->setPhoneNumbers({phone("0009")});
            remake.addContact(again, std::nullopt);
            ASSERT_TRUE(store.executeSaveRequest(remake));
        }
        quorvane({"sync", "--max-delete", "0"});
        sync({});
        EXPECT_EQ(localValues(), Values{"0009"});
        EXPECT_EQ(providerValues(provider), Values{"0009"});
        clearBothSides();
    }

    // Two people of one name and organisation, one deleted locally and the other on the provider.
    const std::string x = provider.addContact(personXML("Sam", "Roe") + "<gd:organization rel='http://schemas.google.com/g/2005#work'><gd:orgName>Acme</gd:orgName></gd:organization>"
                                              "<gd:email rel='http://schemas.google.com/g/2005#home' address='x@example.com'/>", {"6contacts"});
    const std::string y = provider.addContact(personXML("Sam", "Roe") + "<gd:organization rel='http://schemas.google.com/g/2005#work'><gd:orgName>Acme</gd:orgName></gd:organization>"
                                              "<gd:email rel='http://schemas.google.com/g/2005#home' address='y@example.com'/>", {"6contacts"});
    sync({});
    ASSERT_EQ(localValues(), (Values{"x@example.com", "y@example.com"}));
    provider.deleteContact(y);
    auto people = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactEmailAddressesKey});
    for (const auto& p : people.valueOr(std::vector<platform::CNContactPtr>{})) {
        if (p->emailAddresses().empty() || p->emailAddresses()[0].value() != "x@example.com") continue;
        platform::CNSaveRequest remove;
        remove.deleteContact(p->mutableCopy());
        ASSERT_TRUE(store.executeSaveRequest(remove));
    }
    auto unasked = quorvane({"sync"});
    EXPECT_EQ(unasked.code, 5) << unasked.out << unasked.err;  // deletions are asked about
    auto deleted = quorvane({"sync", "--yes"});
    EXPECT_EQ(deleted.code, 0) << deleted.err;
    EXPECT_NE(deleted.out.find("Google: 0 created, 0 updated, 1 deleted; local: 0 created, 0 updated, 1 deleted"), std::string::npos)
        << deleted.out;
    EXPECT_EQ(localValues(), Values{});
    EXPECT_EQ(providerValues(provider), Values{});
}

// Settings that cannot be taken stop plan and sync with a sentence naming the file and the key,
// before anything is written: values out of range at `config set`, junk in the file, a file that
// cannot be read or is gone. The history stays, so once the file is mended the deletion is carried.
TEST_F(QuorvaneCommandTest, SettingsThatCannotBeTakenStopTheRunAndTheHistoryStays) {
    ScriptedProvider provider;
    std::vector<std::string> ids;
    for (int i = 0; i < 2; ++i) ids.push_back(provider.addContact(personXML("Gus", "No " + std::to_string(i)), {"6contacts"}));
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"contactSourceMode", "9"}, {"contactSourceMode", "-1"}, {"ignoreNewContactsSettings", "5"}, {"syncDeletions", "maybe"}}) {
        auto r = quorvane({"config", "set", key, value});
        EXPECT_EQ(r.code, 2) << key << " " << value;
        EXPECT_NE(r.err.find("is no value for " + key), std::string::npos) << r.err;
    }
    provider.deleteContact(ids[0]);
    const auto file = app::Profile::named("fake")->configFolder() / "settings.json";
    std::string saved;
    {
        std::ifstream in(file);
        saved.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto withValue = [&](const char* key, const char* json) {
        auto settings = platform::Value::fromJSON(saved);
        ASSERT_TRUE(settings);
        settings->set(key, *platform::Value::fromJSON(json));
        std::ofstream(file) << settings->toJSON(true);
    };
    const std::tuple<const char*, std::function<void()>, std::string> damages[] = {
        {"maybe", [&] { withValue("syncDeletions", "\"maybe\""); }, "holds \"maybe\" for \"syncDeletions\""},
        {"null", [&] { withValue("syncDeletions", "null"); }, "holds null for \"syncDeletions\""},
        {"a list", [&] { withValue("syncDeletions", "[]"); }, "holds [] for \"syncDeletions\""},
        {"out of range", [&] { withValue("contactSourceMode", "9"); }, "for \"contactSourceMode\", which takes a whole number from 0 to 2"},
        {"not JSON", [&] { std::ofstream(file) << "{\"syncDeletions\": tru"; }, "cannot be read"},
        {"removed", [&] { std::filesystem::remove(file); }, "is missing, though this profile has synced before"},
    };
    for (const auto& [what, damage, sentence] : damages) {
        damage();
        for (const std::vector<std::string>& args : {std::vector<std::string>{"plan"}, {"sync", "--yes"}}) {
            auto r = quorvane(args);
            EXPECT_EQ(r.code, 5) << what << ", " << args[0] << ": " << r.err;
            EXPECT_NE(r.err.find("The settings file " + file.string()), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(sentence), std::string::npos) << what << ": " << r.err;
        }
        EXPECT_EQ(localNames().size(), 2u) << what;
        EXPECT_EQ(providerNames(provider).size(), 1u) << what;
    }
    std::ofstream(file) << saved;
    ASSERT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
    EXPECT_EQ(localNames(), std::multiset<std::string>{"Gus No 1"});
    EXPECT_EQ(providerNames(provider), std::multiset<std::string>{"Gus No 1"});
}

// Choosing the local account: automatic choice meeting a second account refuses and copies into
// neither; a selection change that would forget deletions not yet carried asks for --yes; a clear
// that cannot be saved stops the run and is made by the next one; a filter matching nothing says so.
TEST_F(QuorvaneCommandTest, AccountChoicesAndFiltersNeverUndoADeletionUnasked) {
    ScriptedProvider provider;
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(provider.addContact(personXML("Una", "No " + std::to_string(i)), {"6contacts"}));
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    platform::CNContactStore store;
    auto work = store.addContainer("Work", platform::CNContainerType::Local);
    ASSERT_TRUE(work);
    auto refused = quorvane({"sync", "--yes"});
    EXPECT_EQ(refused.code, 5) << refused.err;
    EXPECT_NE(refused.err.find("\"Work\" (" + (*work)->identifier() + ")"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("contactSourceMode to 1"), std::string::npos) << refused.err;
    std::string home;
    for (const auto& c : store.containersMatchingPredicate(nullptr).valueOr(std::vector<platform::CNContainerPtr>{}))
        if (c->identifier() != (*work)->identifier()) home = c->identifier();
    ASSERT_EQ(quorvane({"config", "set", "customContainerID", home}).code, 0);
    ASSERT_EQ(quorvane({"config", "set", "contactSourceMode", "1"}).code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    expectEachOnce(localNames(), 3, "locally");

    // To all accounts, which clears the history while a deletion is still to be carried.
    provider.deleteContact(ids[0]);
    ASSERT_EQ(quorvane({"config", "set", "contactSourceMode", "2"}).code, 0);
    auto plan = quorvane({"plan"});
    EXPECT_EQ(plan.code, 0) << plan.err;
    EXPECT_NE(plan.err.find("still holds 1 deletion not yet carried"), std::string::npos) << plan.err;
    auto asked = quorvane({"sync"});
    EXPECT_EQ(asked.code, 5);
    EXPECT_NE(asked.err.find("Run quorvane sync --yes to go ahead anyway"), std::string::npos) << asked.err;
    EXPECT_EQ(localNames().size(), 3u);
    ASSERT_EQ(quorvane({"config", "set", "contactSourceMode", "1"}).code, 0);
    ASSERT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
    EXPECT_EQ(localNames(), (std::multiset<std::string>{"Una No 1", "Una No 2"}));

    // Another Google account than the one noted: the clear waits for a store that takes it.
    ASSERT_EQ(quorvane({"config", "set", "previousGmailUsername", "someone.else@example.com"}).code, 0);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(SyncStore::pathInFolder(app::Profile::named("fake")->dataFolder()).c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        auto busy = quorvane({"sync", "--yes"});
        EXPECT_EQ(busy.code, 5) << busy.err;
        EXPECT_NE(busy.err.find("It could not be"), std::string::npos) << busy.err;
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    EXPECT_EQ(quorvane({"config", "get", "previousGmailUsername"}).out, "someone.else@example.com\n");
    auto cleared = quorvane({"-v", "sync", "--yes"});
    EXPECT_EQ(cleared.code, 0) << cleared.err;
    EXPECT_NE(cleared.err.find("Cleared sync history since a new Google account was selected."), std::string::npos);
    EXPECT_NE(quorvane({"config", "get", "previousGmailUsername"}).out, "someone.else@example.com\n");
    expectEachOnce(localNames(), 2, "locally");
    expectEachOnce(providerNames(provider), 2, "on the provider");
    // The same with a settings file made anew: the user the store noted answers for it.
    ASSERT_EQ(quorvane({"config", "set", "previousGmailUsername", ""}).code, 0);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(SyncStore::pathInFolder(app::Profile::named("fake")->dataFolder()).c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE history_accounts SET google_user = 'someone.else@example.com'", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    cleared = quorvane({"-v", "sync", "--yes"});
    EXPECT_EQ(cleared.code, 0) << cleared.err;
    EXPECT_NE(cleared.err.find("Cleared sync history since a new Google account was selected."), std::string::npos);
    expectEachOnce(localNames(), 2, "locally");

    // A group filter naming a group neither side has.
    ASSERT_EQ(quorvane({"config", "set", "filterByGroups_v1", "true"}).code, 0);
    ASSERT_EQ(quorvane({"config", "set", "selectedGroupStrings_v1", "Nobody"}).code, 0);
    EXPECT_NE(quorvane({"plan"}).err.find("Nothing matches the group filter (\"Nobody\")"), std::string::npos);
    EXPECT_NE(quorvane({"sync"}).err.find("Nothing matches the group filter (\"Nobody\")"), std::string::npos);
}

// The history keeps which local accounts it belongs to, whatever the settings say: a settings file
// made anew, a store of the previous release (judged by what its records name) and a choice of
// another account all meet the changed selection (noted by plan, refused by sync until --yes) while
// deletions wait to be carried, and accounts and status name the history's account, not the one
// automatic choice would take while it is refused.
TEST_F(QuorvaneCommandTest, TheHistoryKeepsItsAccountsAndAnyChangeOfThemAsksFirst) {
    ScriptedProvider provider;
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(provider.addContact(personXML("Ola", "No " + std::to_string(i)), {"6contacts"}));
    ASSERT_EQ(signIn().code, 0);
    ASSERT_EQ(quorvane({"config", "set", "contactSourceMode", "2"}).code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    provider.deleteContact(ids[0]);
    auto deleteLocal = [](const std::string& family) {
        platform::CNContactStore store;
        platform::CNSaveRequest request;
        auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactFamilyNameKey});
        for (const auto& c : contacts.valueOr(std::vector<platform::CNContactPtr>{}))
            if (c->familyName() == family) request.deleteContact(c->mutableCopy());
        EXPECT_TRUE(store.executeSaveRequest(request));
    };
    deleteLocal("No 1");
    const auto settings = app::Profile::named("fake")->configFolder() / "settings.json";
    const auto expectAsked = [&](const char* what, const std::string& says) {
        SCOPED_TRACE(what);
        auto plan = quorvane({"plan", "--json"});
        EXPECT_EQ(plan.code, 0) << plan.err;
        EXPECT_NE(plan.out.find(says), std::string::npos) << plan.out;
        EXPECT_NE(plan.out.find("2 deletions not yet carried"), std::string::npos) << plan.out;
        auto sync = quorvane({"sync"});
        EXPECT_EQ(sync.code, 5) << sync.err;
        EXPECT_NE(sync.err.find("Run quorvane sync --yes to"), std::string::npos) << sync.err;
        EXPECT_EQ(localNames(), (std::multiset<std::string>{"Ola No 0", "Ola No 2", "Ola No 3"}));
        EXPECT_EQ(providerNames(provider), (std::multiset<std::string>{"Ola No 1", "Ola No 2", "Ola No 3"}));
    };
    // Settings lost and made anew (automatic choice): the history still belongs to all accounts.
    std::filesystem::remove(settings);
    EXPECT_EQ(quorvane({"plan"}).code, 5);
    ASSERT_EQ(quorvane({"config", "set", "syncPhotosSetting", "true"}).code, 0);
    expectAsked("settings made anew", "local account selection changed");
    // A store of the previous release, which noted the selection nowhere: its records name it.
    auto previousRelease = [&] {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(SyncStore::pathInFolder(app::Profile::named("fake")->dataFolder()).c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "DROP TABLE history_accounts; PRAGMA user_version = 4", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    previousRelease();
    expectAsked("the previous release's store", "local account selection changed");

    // One container to another: the history belongs to the one before.
    ASSERT_EQ(quorvane({"config", "set", "contactSourceMode", "2"}).code, 0);
    ASSERT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
    ASSERT_EQ(quorvane({"config", "set", "contactSourceMode", "0"}).code, 0);
    ASSERT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);  // all accounts to the only one
    platform::CNContactStore store;
    const std::string home = store.containersMatchingPredicate(nullptr).valueOr(std::vector<platform::CNContainerPtr>{nullptr})[0]->identifier();
    auto work = store.addContainer("Work", platform::CNContainerType::Local);
    ASSERT_TRUE(work);
    ids.push_back(provider.addContact(personXML("Ola", "No 4"), {"6contacts"}));
    ids.push_back(provider.addContact(personXML("Ola", "No 5"), {"6contacts"}));
    ASSERT_EQ(quorvane({"-q", "sync", "--yes"}).code, 5);  // automatic choice meets two
    auto accounts = quorvane({"accounts"});
    EXPECT_EQ(accounts.out.find("(synced)"), std::string::npos) << accounts.out;
    EXPECT_NE(accounts.out.find(home + "\t"), accounts.out.find("(history)")) << accounts.out;
    EXPECT_LT(accounts.out.find(home + "\t"), accounts.out.find("(history)")) << accounts.out;
    EXPECT_EQ(accounts.out.find("Work\t(history)"), std::string::npos) << accounts.out;
    EXPECT_NE(accounts.err.find("Automatic choice of the local account is refused"), std::string::npos) << accounts.err;
    auto status = quorvane({"status"});
    EXPECT_NE(status.out.find("local account: none: automatic choice is refused"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("history belongs to: \"On This Computer\" [" + home + "]"), std::string::npos) << status.out;
    ASSERT_EQ(quorvane({"config", "set", "customContainerID", home}).code, 0);
    ASSERT_EQ(quorvane({"config", "set", "contactSourceMode", "1"}).code, 0);
    ASSERT_EQ(quorvane({"-q", "sync"}).code, 0);
    deleteLocal("No 4");
    ASSERT_EQ(quorvane({"config", "set", "customContainerID", (*work)->identifier()}).code, 0);
    auto plan = quorvane({"plan"});
    EXPECT_NE(plan.err.find("belongs to \"On This Computer\" (" + home + "), and \"Work\" has none"), std::string::npos)
        << plan.err;
    EXPECT_NE(plan.err.find("1 deletion not yet carried"), std::string::npos) << plan.err;
    EXPECT_EQ(quorvane({"sync"}).code, 5);
    EXPECT_EQ(store.countOfContactsMatchingPredicate(platform::CNContact::predicateForContactsInContainerWithIdentifier(
                  (*work)->identifier())).valueOr(9), 0u);
}

// A copy the provider made late of a local contact's Google contact comes before the one the
// history pairs it with; with that local contact left out by the group filter, neither Google
// contact is taken for one whose local partner was deleted: nothing is deleted on Google (even
// after the paired one was edited there), nothing copied locally, and the plan says what it keeps.
TEST_F(QuorvaneCommandTest, AGoogleContactWhoseLocalPartnerIsLeftOutIsNeitherDeletedNorCopied) {
    ScriptedProvider provider;
    ASSERT_EQ(signIn().code, 0);
    platform::CNContactStore store;
    platform::CNSaveRequest request;
    auto group = std::make_shared<platform::CNMutableGroup>();
    group->setName("Friends");
    request.addGroup(group, std::nullopt);
    auto ann = std::make_shared<platform::CNMutableContact>();
    ann->setGivenName("Ann");
    ann->setFamilyName("Lee");
    request.addContact(ann, std::nullopt);
    request.addMember(ann, group);
    ASSERT_TRUE(store.executeSaveRequest(request));
    ASSERT_EQ(quorvane({"config", "set", "filterByGroups_v1", "true"}).code, 0);
    ASSERT_EQ(quorvane({"config", "set", "selectedGroupStrings_v1", "Friends"}).code, 0);
    auto tagged = [&](const std::string& family) {
        return personXML("Ann", family) + "<gd:extendedProperty name='quorvane-local-record' value='" + ann->identifier() + "'/>";
    };
    std::atomic<bool> late{false};  // an earlier run's creation, carried out once this run has read the list
    provider.setAnswerFault([&](const TestRequest& req, TestResponse&) {
        if (req.method == "GET" && req.path == "/m8/feeds/contacts/default/full" && !late.exchange(true))
            provider.addContact(tagged("Lee"), {"6contacts", "6friends"});
    });
    ASSERT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
    provider.setAnswerFault(nullptr);
    ASSERT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 2u);
    platform::CNSaveRequest leave;
    leave.removeMember(ann, group);
    ASSERT_TRUE(store.executeSaveRequest(leave));
    for (const bool editedOnGoogle : {false, true}) {
        SCOPED_TRACE(editedOnGoogle ? "the paired one edited on Google" : "two of one name");
        if (editedOnGoogle) {
            ASSERT_TRUE(provider.replaceContact(provider.entries(FakeProvider::Kind::Contacts)[1].id, tagged("Leigh"), {"6contacts", "6friends"}));
        }
        auto plan = quorvane({"plan"});
        EXPECT_EQ(plan.code, 0) << plan.err;
        EXPECT_NE(plan.out.find("0 to create, 0 to update, 0 to delete; local: 0 to create"), std::string::npos) << plan.out;
        EXPECT_EQ(plan.err.find("was deleted"), std::string::npos) << plan.err;
        EXPECT_NE(plan.err.find("1 local contacts the filters leave alone were found by Google contacts"), std::string::npos) << plan.err;
    }
    ASSERT_EQ(quorvane({"-q", "sync", "--yes"}).code, 0);
    EXPECT_EQ(providerNames(provider), (std::multiset<std::string>{"Ann Lee", "Ann Leigh"}));
    EXPECT_EQ(localNames(), std::multiset<std::string>{"Ann Lee"});
}

}  // namespace
}  // namespace quorvane::test
