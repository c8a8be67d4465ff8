// The built `quorvane` program against the fake provider program.

#include <gtest/gtest.h>

#include "app/Profile.h"
#include "sync/QuorvaneModel.h"
#include "tests/app/CommandTestSupport.h"

namespace quorvane::test {
namespace {

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

TEST(QuorvaneCommandTest, UsageErrorsExitTwo) {
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
        {"delete-all", "--local", "--container", "no-such-account", "--yes"},
        {"log", "--last", "0"},
        {"log", "--show", "1"},
    };
    for (const auto& args : cases) {
        auto r = quorvane(args);
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(r.code, 2) << line << r.err;
        EXPECT_TRUE(r.out.empty()) << line;
    }
}

TEST(QuorvaneCommandTest, WithoutTheFakeProviderSigningInIsANetworkFailure) {
    auto r = quorvane({"signin", "--no-browser"});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("fake provider is not running"), std::string::npos) << r.err;
}

TEST(QuorvaneCommandTest, SignInSignOutAndProfilesKeepTheirOwnSignIn) {
    FakeProviderProcess provider({"--contacts", "3"});
    ASSERT_FALSE(provider.root().empty());

    auto in = signIn();
    EXPECT_EQ(in.code, 0) << in.err;
    EXPECT_NE(in.out.find("signed in as owner@example.com"), std::string::npos) << in.out;

    auto status = quorvane({"status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(status.out.find("signed in: owner@example.com"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("provider: " + provider.root() + "m8/feeds/"), std::string::npos) << status.out;
    // Another profile has its own keychain item: nobody is signed in there.
    auto other = quorvane({"--profile", "google", "status"});
    EXPECT_NE(other.out.find("signed in: no"), std::string::npos) << other.out;
    EXPECT_NE(other.out.find("provider: https://www.google.com/m8/feeds/"), std::string::npos) << other.out;

    auto out = quorvane({"signout"});
    EXPECT_EQ(out.code, 0);
    EXPECT_NE(out.out.find("signed out owner@example.com"), std::string::npos);
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
    EXPECT_EQ(quorvane({"signout"}).out, "not signed in\n");
}

TEST(QuorvaneCommandTest, ARefusedSignInExitsThreeAndStoresNothing) {
    FakeProviderProcess provider;
    ASSERT_EQ(quorvane({"config", "set", "client-secret", "not-the-registered-secret"}).code, 0);
    auto r = signIn();
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("sign-in failed"), std::string::npos) << r.err;
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
}

TEST(QuorvaneCommandTest, SignInFailureMessagePrefersTheProvidersOwnWords) {
    platform::Error error("com.quorvane.HTTPStatus", 400);
    EXPECT_EQ(QuorvaneModel::signInFailureMessage(error), error.localizedDescription());
    error.userInfo.set("error", platform::Value("invalid_grant"));
    EXPECT_EQ(QuorvaneModel::signInFailureMessage(error), "invalid_grant");
    std::string body = "{\"error\":\"invalid_client\"}";
    error.userInfo.set("data", platform::Value(platform::Bytes(body.begin(), body.end())));
    EXPECT_EQ(QuorvaneModel::signInFailureMessage(error), body);
}

TEST(QuorvaneCommandTest, AnInterruptedSignInExits130) {
    FakeProviderProcess provider;
    ChildProcess child({QUORVANE_BINARY, "signin", "--no-browser"});
    ASSERT_FALSE(child.readLine().empty());
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(), 130);
    EXPECT_NE(quorvane({"status"}).out.find("signed in: no"), std::string::npos);
}

TEST(QuorvaneCommandTest, ConfigKeepsSettingsAndProviderKeysPerProfile) {
    EXPECT_EQ(quorvane({"config", "set", "syncDeletions", "off"}).code, 0);
    EXPECT_EQ(quorvane({"config", "get", "syncDeletions"}).out, "false\n");
    EXPECT_EQ(quorvane({"--profile", "work", "config", "get", "syncDeletions"}).out, "true\n");
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

TEST(QuorvaneCommandTest, AccountsListTheLocalAccountWhichDeleteAllEmptiesOnlyWhenConfirmed) {
    auto r = quorvane({"accounts"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\tlocal\t0 contacts\tread-write\t"), std::string::npos) << r.out;
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
}

}  // namespace
}  // namespace quorvane::test
