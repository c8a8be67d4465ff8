#pragma once
// A sync model signed in to a fake provider on 127.0.0.1, whose feeds it downloads.

#include <functional>
#include <string>

#include "platform/runloop/RunLoop.h"
#include "tests/sync/ProviderAccountTestSupport.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {

class ProviderSyncTestBase : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        account.auth->setUserEmail(test::FakeProvider::OAuthSettings().userEmail);
        internals(model_).mAuth = account.auth;
        GDataServiceGoogleContact::setContactServiceRootURLString(provider.feedsRoot());
    }

    // The model's session lets its connections go before the provider stops (a server waits for
    // the connections it still holds).
    void TearDown() override {
        std::weak_ptr<QuorvaneModel> model = model_;
        model_.reset();
        EXPECT_TRUE(model.expired()) << "the model outlived its test";
        GDataServiceGoogleContact::setContactServiceRootURLString(std::nullopt);
    }

    // A contact named "<given> <family>" in My Contacts (or in no group for an Other contact).
    std::string addPerson(const std::string& given, const std::string& family, bool other = false,
                          const std::string& extraXML = "") {
        return provider.addContact("<gd:name><gd:givenName>" + given + "</gd:givenName><gd:familyName>" + family +
                                       "</gd:familyName></gd:name>" + extraXML,
                                   other ? std::vector<std::string>{} : std::vector<std::string>{"6contacts"});
    }

    // Downloads both feeds; the error, if any.
    std::optional<platform::Error> fetchFeeds() {
        bool done = false;
        std::optional<platform::Error> error;
        model_->fetchAllGroupsAndContactsWithFinishedSelector([&] { done = true; },
                                                              [&](const platform::Error& e) {
                                                                  error = e;
                                                                  done = true;
                                                              });
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return done; }, 60));
        return error;
    }

    test::ProviderAccount account;
    test::FakeProvider& provider = account.provider;
};

}  // namespace quorvane::testing
