#include "sync/QuorvaneModel.h"

#include "oauth2/QNOAuth2WindowController.h"
#include "platform/contacts/CNContactKeys.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "sync/DisplayDateFormatter.h"
#include "sync/PairingIndex.h"
#include "sync/SyncRun.h"

namespace quorvane {

namespace {

// The shared instance. Main thread only, as every caller of the model is, so no lock.
QuorvaneModelPtr gSharedModel;

}  // namespace

QuorvaneModelPtr QuorvaneModel::sharedQuorvaneModel() {
    if (!gSharedModel) gSharedModel = std::make_shared<QuorvaneModel>();
    return gSharedModel;
}

bool QuorvaneModel::hasSharedQuorvaneModel() { return gSharedModel != nullptr; }

void QuorvaneModel::shutdown() { gSharedModel.reset(); }

QuorvaneModel::QuorvaneModel(Environment environment) : mGregorianCalendar(environment.timeZone) {
    // The store handles.
    mUserDefaults = environment.userDefaults ? std::move(environment.userDefaults)
                                             : platform::UserDefaults::standardUserDefaults();
    if (environment.contactStore) {
        mContactStore = std::move(environment.contactStore);
        // The record view must read the same store as the contacts it is asked about.
        mAddressBookRef = environment.addressBook ? std::move(environment.addressBook)
                                                  : std::make_shared<platform::ABAddressBook>(mContactStore->path());
    } else {
        mContactStore = std::make_shared<platform::CNContactStore>();
        mAddressBookRef = environment.addressBook ? std::move(environment.addressBook)
                                                  : platform::ABAddressBook::sharedAddressBook();
    }
    mPauseBetweenGmailRequests = 0.15f;

    // The run state starts empty.
    mDataFolder = std::move(environment.dataFolder);
    mSignInLockWait = environment.signInLockWait;
    mDummyContact = std::make_shared<platform::CNMutableContact>();

    // The settings, then the signed-in account. An item that holds nothing to sign requests with
    // means nobody is signed in.
    mSettings = std::make_unique<SyncSettings>(mUserDefaults, getDefaultAutoAddToGroupName());
    loadSettings();
    mKeychainItemName = environment.keychainItemName.empty() ? kKeychainItemName : environment.keychainItemName;
    mClientID = environment.clientID.empty() ? kOAuth2ClientID : environment.clientID;
    mClientSecret = environment.clientSecret.empty() ? kOAuth2ClientSecret : environment.clientSecret;
    auto auth = QNOAuth2WindowController::authForGoogleFromKeychainForName(mKeychainItemName, mClientID, mClientSecret);
    setGoogleAuthorization(auth && auth->canAuthorize() ? std::move(auth) : nullptr);

    mDateFormatter.dateFormat = DisplayDateFormatter::patternForTemplate("MM/dd/yy hh:mm:ssa");
    mAccountStore = std::make_unique<platform::ACAccountStore>(mContactStore->path());

    // Changes of any contact store. A store announces a save on the thread that saved; the model
    // is main-thread only, so a change announced elsewhere is handed to the main thread, where it
    // is dropped when the model has gone in the meantime.
    mAliveMarker = std::make_shared<int>(0);
    std::weak_ptr<int> alive = mAliveMarker;
    QuorvaneModel* self = this;
    mAddressBookObserver = platform::NotificationCenter::defaultCenter().addObserver(
        platform::CNContactStoreDidChangeNotification, nullptr, nullptr,
        [self, alive](const platform::Notification& notification) {
            if (platform::RunLoop::isMainThread()) {
                if (alive.lock()) self->onAddressBookChangedExternally(notification);
                return;
            }
            platform::DispatchQueue::main()->async([self, alive, notification] {
                if (alive.lock()) self->onAddressBookChangedExternally(notification);
            });
        });
}

void QuorvaneModel::leaveRunDataToProcessExit() {
#if !defined(__SANITIZE_ADDRESS__)
    struct RunData {
        std::shared_ptr<GDataFeedContact> contactFeed;
        std::shared_ptr<GDataFeedContactGroup> groupFeed;
        std::unordered_map<std::string, std::shared_ptr<GDataEntryContact>> googleContactDict;
        std::vector<platform::CNContactPtr> existingAppleContacts;
        std::unordered_map<std::string, platform::CNContactPtr> existingAppleContactDict;
        std::map<std::string, std::vector<NSCachedAppleContactPtr>> cachedAppleContactDict;
        std::unordered_map<std::string, std::string> googleByHashName, appleByHashName;
        std::unordered_map<std::string, std::shared_ptr<GDataEntryContact>> googleContactsByLocalRecord;
        std::unordered_map<std::string, std::vector<std::shared_ptr<GDataEntryContact>>> googleCopiesByLocalRecord;
        std::unique_ptr<PairingIndex> pairingIndex;
        std::unordered_map<std::string, std::vector<std::string>> groupMembershipByPerson;
        std::map<std::string, bool> exchange, googleCardDAV, facebook, readOnly;
        std::unordered_set<std::string> googleMatched, appleMatched;
        SyncHistory history;
        std::shared_ptr<SyncRun> run;  // its plan's records
    };
    // Held from a static, so the blocks stay reachable until the exit.
    static auto* left = new std::vector<RunData*>;
    left->push_back(new RunData{std::move(mContactFeed), std::move(mGroupFeed), std::move(mGoogleContactDict),
                                std::move(mExistingAppleContacts), std::move(mExistingAppleContactDict),
                                std::move(mCachedAppleContactDict), std::move(mGoogleContactRecordIDsByHashName),
                                std::move(mAppleContactRecordIDsByHashName), std::move(mGoogleContactsByLocalRecord),
                                std::move(mGoogleCopiesByLocalRecord), std::move(mPairingIndex),
                                std::move(mGroupMembershipByPerson), std::move(mExchangeContactDict),
                                std::move(mGoogleCardDAVContactDict), std::move(mFacebookContactDict),
                                std::move(mReadOnlyContactDict), std::move(mGoogleRecordsAlreadyMatched),
                                std::move(mAppleRecordsAlreadyMatched), std::move(mSyncHistory), std::move(mSyncRun)});
    mSyncHistory = SyncHistory();
#endif
}

QuorvaneModel::~QuorvaneModel() {
    if (mAddressBookObserver) platform::NotificationCenter::defaultCenter().removeObserver(mAddressBookObserver);
    mAddressBookObserver.reset();
    mAliveMarker.reset();
}

}  // namespace quorvane
