#pragma once
// A signed-in contacts service on a fake provider, as the sync tests that talk to the provider
// need it, and a way to wait for the service's answers on the main run loop.

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/FakeProvider.h"

namespace quorvane::test {

struct ProviderAccount {
    FakeProvider provider;
    std::shared_ptr<QNOAuth2Authentication> auth;
    std::shared_ptr<GDataServiceGoogleContact> service;

    ProviderAccount() {
        registerContactClasses();
        FakeProvider::OAuthSettings oauth;
        auth = QNOAuth2Authentication::authenticationWithServiceProvider(
            "Google", platform::URL::URLWithString(provider.tokenURL()), "http://127.0.0.1/oauth2callback",
            oauth.clientID, oauth.clientSecret);
        auto tokens = provider.issueTokens();
        auth->setAccessToken(tokens.accessToken);
        auth->setRefreshToken(tokens.refreshToken);
        auth->setExpiresIn(3600);
        service = GDataServiceGoogleContact::contactService();
        service->setAuthorizer(auth);
        service->setServiceShouldFollowNextLinks(true);
    }

    // The contacts feed as the service reads it (every page).
    std::shared_ptr<GDataFeedContact> contactsFeed() {
        bool done = false;
        std::shared_ptr<GDataFeedContact> feed;
        service->fetchFeedWithURL(*platform::URL::URLWithString(provider.feedURL(FakeProvider::Kind::Contacts)),
                                  [&](const GDataServiceTicketPtr&, const GDataObjectPtr& object,
                                      const std::optional<platform::Error>& error) {
                                      EXPECT_FALSE(error) << error->userInfo.toJSON();
                                      feed = std::dynamic_pointer_cast<GDataFeedContact>(object);
                                      done = true;
                                  });
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return done; }, 60));
        return feed;
    }

    // The service's current entry of one contact.
    std::shared_ptr<GDataEntryContact> contact(const std::string& id) {
        auto feed = contactsFeed();
        if (!feed) return nullptr;
        auto entry = feed->entryForIdentifier(provider.idURL(FakeProvider::Kind::Contacts, id));
        return std::dynamic_pointer_cast<GDataEntryContact>(entry);
    }
};

}  // namespace quorvane::test
