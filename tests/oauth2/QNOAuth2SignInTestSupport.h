#pragma once
// Shared set-up of the sign-in tests: the fake provider's endpoints in place of the real ones,
// and a recorder of notifications.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oauth2/QNOAuth2SignIn.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/FakeProvider.h"

namespace quorvane::test {

inline constexpr const char* kTestClientID = "quorvane-test-client";
inline constexpr const char* kTestClientSecret = "quorvane-test-secret";

class SignInTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        QNOAuth2SignIn::Endpoints e = QNOAuth2SignIn::defaultEndpoints();
        e.authorizationURL = provider.authorizationURL();
        e.tokenURL = provider.tokenURL();
        e.revocationURL = provider.revokeURL();
        e.userInfoURL = provider.userInfoURL();
        QNOAuth2SignIn::setEndpoints(e);
        for (const char* name : {kQNOAuth2UserSignedIn, kQNOAuthNetworkLost, kQNOAuthNetworkFound, kQNOAuth2FetchStarted,
                                 kQNOAuth2FetchStopped})
            observers.push_back(platform::NotificationCenter::defaultCenter().addObserver(
                name, nullptr, nullptr, [this](const platform::Notification& n) {
                    std::string type = n.userInfo[kQNOAuth2FetchTypeKey].asString();
                    notifications.push_back(type.empty() ? n.name : n.name + ":" + type);
                }));
    }
    void TearDown() override {
        observers.clear();
        QNOAuth2SignIn::setEndpoints(QNOAuth2SignIn::defaultEndpoints());
    }

    // The provider's redirect URI for these tests: a loopback address the page never loads.
    std::string redirectURI() const { return "http://127.0.0.1/oauth2callback"; }

    std::shared_ptr<QNOAuth2Authentication> standardAuth(std::optional<std::string> scope = std::string("https://www.google.com/m8/feeds/")) {
        return QNOAuth2SignIn::standardGoogleAuthenticationForScope(std::move(scope), kTestClientID, kTestClientSecret);
    }

    static bool pumpUntil(const std::function<bool()>& predicate, double seconds = 60) {
        return platform::RunLoop::main()->runUntil(predicate, seconds);
    }

    size_t count(const std::string& name) const {
        size_t n = 0;
        for (const auto& s : notifications) n += s == name;
        return n;
    }

    FakeProvider provider;
    std::vector<platform::NotificationCenter::TokenPtr> observers;
    std::vector<std::string> notifications;
};

}  // namespace quorvane::test
