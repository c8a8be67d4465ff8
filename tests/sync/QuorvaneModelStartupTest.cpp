// Start-up of the sync model: the settings read from a real user-defaults file, the signed-in
// account read from the keychain record, the watch on the contact store, the shared instance and
// the contacts service.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "oauth2/QNOAuth2WindowController.h"
#include "platform/contacts/CNSaveRequest.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "platform/store/Keychain.h"
#include "platform/store/UserDefaults.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane {
namespace {

using platform::Date;
using platform::UserDefaults;
using platform::Value;

class QuorvaneModelStartupTest : public testing::SyncModelTestBase {
protected:
    void SetUp() override {
        QNOAuth2WindowController::removeAuthFromKeychainForName(QuorvaneModel::kKeychainItemName);
        SyncModelTestBase::SetUp();
    }
    void TearDown() override {
        QuorvaneModel::shutdown();
        QNOAuth2WindowController::removeAuthFromKeychainForName(QuorvaneModel::kKeychainItemName);
        platform::UserDefaults::standardUserDefaults()->removeObjectForKey(
            QNOAuth2WindowController::prefsKeyForName(QuorvaneModel::kKeychainItemName));
    }

    std::filesystem::path defaultsPath() const { return dir_ / "defaults.json"; }

    // Another start of the application: a new model reading the defaults file afresh.
    std::shared_ptr<QuorvaneModel> startModel() {
        QuorvaneModel::Environment env;
        env.userDefaults = std::make_shared<UserDefaults>(defaultsPath());
        env.contactStore = store_;
        env.timeZone = platform::TimeZone::universal();
        return std::make_shared<QuorvaneModel>(std::move(env));
    }

    static std::shared_ptr<QNOAuth2Authentication> signedInAuth(const std::string& email) {
        auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
            "Google", platform::URL::URLWithString("https://127.0.0.1/token"), "urn:ietf:wg:oauth:2.0:oob",
            std::string(QuorvaneModel::kOAuth2ClientID), std::string(QuorvaneModel::kOAuth2ClientSecret));
        auth->setRefreshToken("refresh-" + email);
        auth->setUserEmail(email);
        auth->setUserEmailIsVerified("true");
        return auth;
    }

    void saveLocalContact(const std::string& given) {
        platform::CNSaveRequest request;
        auto contact = std::make_shared<platform::CNMutableContact>();
        contact->setGivenName(given);
        request.addContact(contact, std::nullopt);
        auto saved = store_->executeSaveRequest(request);
        ASSERT_TRUE(saved) << saved.error().localizedDescription();
    }
};

TEST_F(QuorvaneModelStartupTest, EmptyDefaultsGiveEveryDefaultAndWriteNothing) {
    auto m = startModel();
    const auto never = Date::fromUnix(0);

    EXPECT_EQ(m->selectedManualSyncMode(), 0);
    EXPECT_EQ(m->selectedAutoSyncMode(), 0);
    EXPECT_TRUE(m->syncPhotosSetting());
    EXPECT_TRUE(m->mergeContacts_2Way());
    EXPECT_TRUE(m->mergeContacts_1Way());
    EXPECT_TRUE(m->ignoreOtherContacts());
    EXPECT_FALSE(m->forceUpdateContacts());
    EXPECT_TRUE(m->syncDeletedContacts());
    EXPECT_TRUE(m->detectGoogleDuplicates());
    EXPECT_TRUE(m->batchGoogleContacts());
    EXPECT_TRUE(m->syncCountryCodes());
    EXPECT_FALSE(m->welcomeMessageShown());
    EXPECT_TRUE(m->showContactAccountWarnings());
    EXPECT_TRUE(m->showLeaveAReviewPrompt());
    EXPECT_FALSE(m->tellAFriendMessageShown());
    EXPECT_FALSE(m->likeUsOnFacebookMessageShown());
    EXPECT_EQ(m->contactSourceMode(), ContactSourceModeAutoSelect);
    EXPECT_EQ(m->customContainerID(), std::nullopt);
    EXPECT_EQ(m->previousContainerID(), std::nullopt);
    EXPECT_EQ(m->previousGmailUsername(), std::nullopt);
    EXPECT_EQ(m->selectedLanguage(), 0);
    EXPECT_FLOAT_EQ(m->autoSyncUpdateInterval_Minutes(), 5.0f);
    EXPECT_TRUE(m->confirmPendingDeletions());
    EXPECT_FALSE(m->useBlackAndWhiteIcon());
    EXPECT_TRUE(m->attachAppToMenuBar());
    EXPECT_TRUE(m->showSyncTypeAlert());
    EXPECT_TRUE(m->showICloudTip());
    EXPECT_TRUE(m->showGoogleAccountTip());
    EXPECT_EQ(m->originalAppVersion(), std::nullopt);
    EXPECT_TRUE(m->showEditSyncActionsAlert());
    EXPECT_FALSE(m->filterByGroups());
    EXPECT_EQ(m->ignoreNewContactsSetting(), 0);
    EXPECT_TRUE(m->ignoreEmptyContacts());
    EXPECT_FALSE(m->autoAddContactsToGroup());
    EXPECT_EQ(m->autoAddToGroupName(), std::optional<std::string>("Modified by: Quorvane"));
    EXPECT_EQ(m->autoAddToGroupName(), m->getDefaultAutoAddToGroupName());
    EXPECT_FALSE(m->skipSyncConfirmationAlert());
    EXPECT_FALSE(m->hasSentInitalLaunchAnswerEvent());
    EXPECT_TRUE(m->showManualSyncAlert());
    EXPECT_FALSE(m->hasShownSkipSyncConfirmationTip());
    EXPECT_EQ(m->lastICloudTipDate(), never);
    EXPECT_EQ(m->lastGoogleAccountTipDate(), never);
    EXPECT_EQ(m->lastLeaveReviewPromptDate(), never);
    EXPECT_EQ(m->autoSyncLastUpdate(), never);
    EXPECT_EQ(m->lastCompletedSyncDate(), std::nullopt);
    EXPECT_TRUE(m->selectedGroupSet().empty());
    EXPECT_TRUE(m->selectedGroupSet_Lower().empty());

    // Idle, nobody signed in, the handles and the run state made.
    EXPECT_EQ(internals(m).mAuth, nullptr);
    EXPECT_EQ(internals(m).mGoogleContactService, nullptr);
    EXPECT_FLOAT_EQ(internals(m).mPauseBetweenGmailRequests, 0.15f);
    EXPECT_TRUE(m->log().empty());
    ASSERT_NE(internals(m).mDummyContact, nullptr);
    EXPECT_EQ(internals(m).mDummyContact->givenName(), "");
    EXPECT_NE(internals(m).mAccountStore, nullptr);
    EXPECT_NE(internals(m).mDateFormatter.dateFormat.find("ss"), std::string::npos) << internals(m).mDateFormatter.dateFormat;
    EXPECT_FALSE(internals(m).mDateFormatter.stringFromDate(Date::fromUnix(5)).empty());
    EXPECT_EQ(internals(m).mLastAddressBookChangeDate, std::nullopt);

    // Starting reads only; no key was written.
    EXPECT_FALSE(std::filesystem::exists(defaultsPath()));
}

// Every setter stores under its key at once; the next start reads each value back.
TEST_F(QuorvaneModelStartupTest, SettersStoreAndTheNextStartReadsEveryValueBack) {
    const Date d1 = Date::fromUnix(1'600'000'000), d2 = Date::fromUnix(1'600'000'100),
               d3 = Date::fromUnix(1'600'000'200), d4 = Date::fromUnix(1'600'000'300),
               d5 = Date::fromUnix(1'600'000'400);
    {
        auto m = startModel();
        m->setSelectedManualSyncMode(SyncModeManual);
        m->setSelectedAutoSyncMode(2);
        m->setSyncPhotosSetting(false);
        m->setMergeContacts_2Way(false);
        m->setMergeContacts_1Way(false);
        m->setIgnoreOtherContacts(false);
        m->setForceUpdateContacts(true);
        m->setSyncDeletedContacts(false);
        m->setDetectGoogleDuplicates(false);
        m->setBatchGoogleContacts(false);
        m->setSyncCountryCodes(false);
        m->setWelcomeMessageShown(true);
        m->setShowContactAccountWarnings(false);
        m->setShowLeaveAReviewPrompt(false);
        m->setTellAFriendMessageShown(true);
        m->setLikeUsOnFacebookMessageShown(true);
        m->setContactSourceMode(ContactSourceModeCustomContainer);
        m->setCustomContainerID("C1:ABAccount");
        m->setPreviousContainerID("C0:ABAccount");
        m->setPreviousGmailUsername("ann@example.com");
        m->setSelectedLanguage(4);
        m->setAutoSyncUpdateInterval_Minutes(12.5f);
        m->setConfirmPendingDeletions(false);
        m->setUseBlackAndWhiteIcon(true);
        m->setAttachAppToMenuBar(false);
        m->setShowSyncTypeAlert(false);
        m->setShowICloudTip(false);
        m->setShowGoogleAccountTip(false);
        m->setOriginalAppVersion("3.1");
        m->setShowEditSyncActionsAlert(false);
        m->setFilterByGroups(true);
        m->setIgnoreNewContactsSetting(2);
        m->setIgnoreEmptyContacts(false);
        m->setAutoAddContactsToGroup(true);
        m->setAutoAddToGroupName("Synced");
        m->setSkipSyncConfirmationAlert(true);
        m->setHasSentInitalLaunchAnswerEvent(true);
        m->setShowManualSyncAlert(false);
        m->setHasShownSkipSyncConfirmationTip(true);
        m->setLastICloudTipDate(d1);
        m->setLastGoogleAccountTipDate(d2);
        m->setLastLeaveReviewPromptDate(d3);
        m->setAutoSyncLastUpdate(d4);
        m->setLastCompletedSyncDate(d5);
        m->setSelectedGroupStrings({"Friends", "Work", "friends"});
        EXPECT_EQ(m->selectedGroupSet(), (std::set<std::string>{"Friends", "Work"}));
        EXPECT_EQ(m->selectedGroupSet_Lower(), (std::set<std::string>{"friends", "work"}));
        EXPECT_EQ(m->autoAddToGroupName(), std::optional<std::string>("Synced"));
    }

    auto m = startModel();
    EXPECT_EQ(m->selectedManualSyncMode(), SyncModeManual);
    EXPECT_EQ(m->selectedAutoSyncMode(), 2);
    EXPECT_FALSE(m->syncPhotosSetting());
    EXPECT_FALSE(m->mergeContacts_2Way());
    EXPECT_FALSE(m->mergeContacts_1Way());
    EXPECT_FALSE(m->ignoreOtherContacts());
    EXPECT_TRUE(m->forceUpdateContacts());
    EXPECT_FALSE(m->syncDeletedContacts());
    EXPECT_FALSE(m->detectGoogleDuplicates());
    EXPECT_FALSE(m->batchGoogleContacts());
    EXPECT_FALSE(m->syncCountryCodes());
    EXPECT_TRUE(m->welcomeMessageShown());
    EXPECT_FALSE(m->showContactAccountWarnings());
    EXPECT_FALSE(m->showLeaveAReviewPrompt());
    EXPECT_TRUE(m->tellAFriendMessageShown());
    EXPECT_TRUE(m->likeUsOnFacebookMessageShown());
    EXPECT_EQ(m->contactSourceMode(), ContactSourceModeCustomContainer);
    EXPECT_EQ(m->customContainerID(), std::optional<std::string>("C1:ABAccount"));
    EXPECT_EQ(m->previousContainerID(), std::optional<std::string>("C0:ABAccount"));
    EXPECT_EQ(m->previousGmailUsername(), std::optional<std::string>("ann@example.com"));
    EXPECT_EQ(m->selectedLanguage(), 4);
    EXPECT_FLOAT_EQ(m->autoSyncUpdateInterval_Minutes(), 12.5f);
    EXPECT_FALSE(m->confirmPendingDeletions());
    EXPECT_TRUE(m->useBlackAndWhiteIcon());
    EXPECT_FALSE(m->attachAppToMenuBar());
    EXPECT_FALSE(m->showSyncTypeAlert());
    EXPECT_FALSE(m->showICloudTip());
    EXPECT_FALSE(m->showGoogleAccountTip());
    EXPECT_EQ(m->originalAppVersion(), std::optional<std::string>("3.1"));
    EXPECT_FALSE(m->showEditSyncActionsAlert());
    EXPECT_TRUE(m->filterByGroups());
    EXPECT_EQ(m->ignoreNewContactsSetting(), 2);
    EXPECT_FALSE(m->ignoreEmptyContacts());
    EXPECT_TRUE(m->autoAddContactsToGroup());
    EXPECT_EQ(m->autoAddToGroupName(), std::optional<std::string>("Synced"));
    EXPECT_TRUE(m->skipSyncConfirmationAlert());
    EXPECT_TRUE(m->hasSentInitalLaunchAnswerEvent());
    EXPECT_FALSE(m->showManualSyncAlert());
    EXPECT_TRUE(m->hasShownSkipSyncConfirmationTip());
    EXPECT_EQ(m->lastICloudTipDate(), d1);
    EXPECT_EQ(m->lastGoogleAccountTipDate(), d2);
    EXPECT_EQ(m->lastLeaveReviewPromptDate(), d3);
    EXPECT_EQ(m->autoSyncLastUpdate(), d4);
    EXPECT_EQ(m->lastCompletedSyncDate(), d5);
    EXPECT_EQ(m->selectedGroupSet(), (std::set<std::string>{"Friends", "Work"}));
    EXPECT_EQ(m->selectedGroupSet_Lower(), (std::set<std::string>{"friends", "work"}));

    // Clearing a text or date setting removes its key: the next start has the default again.
    m->setAutoAddToGroupName(std::nullopt);
    m->setLastICloudTipDate(std::nullopt);
    m->setLastCompletedSyncDate(std::nullopt);
    m->setCustomContainerID(std::nullopt);
    auto again = startModel();
    EXPECT_EQ(again->autoAddToGroupName(), again->getDefaultAutoAddToGroupName());
    EXPECT_EQ(again->lastICloudTipDate(), Date::fromUnix(0));
    EXPECT_EQ(again->lastCompletedSyncDate(), std::nullopt);
    EXPECT_EQ(again->customContainerID(), std::nullopt);
}

// Values written by other hands (older versions, the defaults tool) convert as number objects do.
TEST_F(QuorvaneModelStartupTest, StoredObjectsOfOtherKindsConvert) {
    {
        UserDefaults d(defaultsPath());
        d.setObject(Value("YES"), "forceUpdateContacts");   // a text taken as a BOOL
        d.setObject(Value(0), "syncPhotosSetting");         // a number taken as a BOOL
        d.setObject(Value("0"), "syncDeletions");
        d.setObject(Value("3"), "selectedManualSyncMode");  // a text taken as an integer
        d.setObject(Value(2.9), "selectedLanguage_v3");     // a fraction cut to an integer
        d.setObject(Value(int64_t(1) << 40), "selectedAutoSyncMode");
        d.setObject(Value(0), "autoUpdateInterval");        // no lower bound at start-up
        d.setObject(Value(int64_t(42)), "originalAppVersion");  // a number read as its text
        d.setObject(Value::array(), "autoAddToGroupName");       // no text at all: the default
        d.setObject(Value("2020-01-01"), "lastICloudTipDate");  // no date: the default
        d.setObject(Value("yesterday"), "lastCompletedSyncDate");
        Value::Array groups{Value("Family"), Value(7), Value("Work"), Value("FAMILY"), Value("family")};
        d.setObject(Value(std::move(groups)), "selectedGroupStrings_v1");
    }
    auto m = startModel();
    EXPECT_TRUE(m->forceUpdateContacts());
    EXPECT_FALSE(m->syncPhotosSetting());
    EXPECT_FALSE(m->syncDeletedContacts());
    EXPECT_EQ(m->selectedManualSyncMode(), 3);
    EXPECT_EQ(m->selectedLanguage(), 2);
    EXPECT_EQ(m->selectedAutoSyncMode(), std::numeric_limits<int32_t>::max());
    EXPECT_FLOAT_EQ(m->autoSyncUpdateInterval_Minutes(), 0.0f);
    EXPECT_EQ(m->originalAppVersion(), std::optional<std::string>("42"));
    EXPECT_EQ(m->autoAddToGroupName(), m->getDefaultAutoAddToGroupName());
    EXPECT_EQ(m->lastICloudTipDate(), Date::fromUnix(0));
    EXPECT_EQ(m->lastCompletedSyncDate(), std::nullopt);
    // Names that differ only in letter case enter once, in the case of their first occurrence.
    EXPECT_EQ(m->selectedGroupSet(), (std::set<std::string>{"Family", "Work"}));
    EXPECT_EQ(m->selectedGroupSet_Lower(), (std::set<std::string>{"family", "work"}));
}

TEST_F(QuorvaneModelStartupTest, StoredAuthorizationIsLoadedAtStart) {
    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(QuorvaneModel::kKeychainItemName,
                                                                    signedInAuth("ann@example.com")));
    auto m = startModel();
    ASSERT_NE(internals(m).mAuth, nullptr);
    EXPECT_TRUE(internals(m).mAuth->canAuthorize());
    EXPECT_EQ(internals(m).mAuth->refreshToken(), std::optional<std::string>("refresh-ann@example.com"));
    EXPECT_EQ(internals(m).mAuth->userEmail(), std::optional<std::string>("ann@example.com"));
    EXPECT_EQ(internals(m).mAuth->clientID(), std::optional<std::string>(QuorvaneModel::kOAuth2ClientID));
    EXPECT_EQ(internals(m).mAuth->clientSecret(), std::optional<std::string>(QuorvaneModel::kOAuth2ClientSecret));
    EXPECT_EQ(internals(m).mAuth->serviceProvider(), std::optional<std::string>("Google"));

    // An item that holds nothing to sign with is nobody signed in.
    ASSERT_TRUE(QNOAuth2WindowController::removeAuthFromKeychainForName(QuorvaneModel::kKeychainItemName));
    const std::string junk = "email=ann%40example.com&scope=x";
    ASSERT_EQ(platform::Keychain::defaultKeychain()->addGenericPassword(QuorvaneModel::kKeychainItemName,
                                                                        kQNOAuth2KeychainAccountName,
                                                                        platform::Bytes(junk.begin(), junk.end())),
              platform::KeychainStatus::Success);
    UserDefaults::standardUserDefaults()->setObject(
        Value(true), QNOAuth2WindowController::prefsKeyForName(QuorvaneModel::kKeychainItemName));
    EXPECT_EQ(internals(startModel()).mAuth, nullptr);
}

TEST_F(QuorvaneModelStartupTest, ShutdownLetsTheNextSharedInstanceReadSettingsAndKeychainAgain) {
    auto defaults = UserDefaults::standardUserDefaults();
    defaults->setObject(Value(3), "selectedLanguage_v3");
    auto first = QuorvaneModel::sharedQuorvaneModel();
    EXPECT_EQ(QuorvaneModel::sharedQuorvaneModel(), first);
    EXPECT_EQ(first->selectedLanguage(), 3);
    EXPECT_EQ(internals(first).mAuth, nullptr);

    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(QuorvaneModel::kKeychainItemName,
                                                                    signedInAuth("bob@example.com")));
    defaults->setObject(Value(1), "selectedLanguage_v3");
    EXPECT_EQ(internals(QuorvaneModel::sharedQuorvaneModel()).mAuth, nullptr);  // the same instance, not read again

    std::weak_ptr<QuorvaneModel> gone = first;
    first.reset();
    QuorvaneModel::shutdown();
    EXPECT_TRUE(gone.expired());
    auto second = QuorvaneModel::sharedQuorvaneModel();
    EXPECT_EQ(second->selectedLanguage(), 1);
    ASSERT_NE(internals(second).mAuth, nullptr);
    EXPECT_EQ(internals(second).mAuth->userEmail(), std::optional<std::string>("bob@example.com"));
    defaults->removeObjectForKey("selectedLanguage_v3");
}

TEST_F(QuorvaneModelStartupTest, ContactStoreChangesAreNoted) {
    ASSERT_TRUE(store_->addContainer("On This Computer", platform::CNContainerType::Local));
    auto m = startModel();
    ASSERT_EQ(internals(m).mLastAddressBookChangeDate, std::nullopt);

    // A save on the main thread is noted at once.
    const Date before = Date::now();
    saveLocalContact("Ann");
    ASSERT_TRUE(internals(m).mLastAddressBookChangeDate.has_value());
    EXPECT_GE(*internals(m).mLastAddressBookChangeDate, before);
    EXPECT_LE(*internals(m).mLastAddressBookChangeDate, Date::now());

    // A save on another thread is noted on the main thread.
    internals(m).mLastAddressBookChangeDate.reset();
    std::thread saver([&] { saveLocalContact("Bob"); });
    saver.join();
    EXPECT_EQ(internals(m).mLastAddressBookChangeDate, std::nullopt);
    EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return internals(m).mLastAddressBookChangeDate.has_value(); }, 60));

    // A model that has gone is not told, neither at once nor later.
    std::weak_ptr<QuorvaneModel> gone = m;
    m.reset();
    model_.reset();
    ASSERT_TRUE(gone.expired());
    saveLocalContact("Cid");
    std::thread late([&] { saveLocalContact("Dan"); });
    late.join();
    std::atomic<bool> drained{false};
    platform::DispatchQueue::main()->async([&] { drained = true; });
    EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return drained.load(); }, 60));
}

TEST_F(QuorvaneModelStartupTest, ContactsServiceIsMadeOnceAndCarriesTheCurrentAuthorization) {
    auto m = startModel();
    auto service = m->getGoogleContactService();
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(service->serviceShouldFollowNextLinks());
    EXPECT_FALSE(service->isServiceRetryEnabled());
    EXPECT_EQ(service->username(), std::nullopt);
    EXPECT_EQ(service->authorizer(), nullptr);

    internals(m).mAuth = signedInAuth("ann@example.com");
    auto again = m->getGoogleContactService();
    EXPECT_EQ(again, service);
    EXPECT_EQ(again->authorizer().get(), static_cast<QNFetcherAuthorizationProtocol*>(internals(m).mAuth.get()));

    // Signed out: the next use leaves requests unsigned.
    internals(m).mAuth = nullptr;
    EXPECT_EQ(m->getGoogleContactService()->authorizer(), nullptr);
    EXPECT_EQ(m->getGoogleContactService(), service);
}

}  // namespace
}  // namespace quorvane
