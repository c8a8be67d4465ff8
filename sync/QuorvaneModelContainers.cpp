// The model's account classification of local contact containers, the container and contact
// source records built from it, the contact image helpers, and the cache of fully
// fetched contacts.

#include "platform/foundation/Strings.h"
#include "sync/ContentDigest.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {

constexpr std::string_view kAccountSuffix = ":ABAccount";

// Cached copies of a contact stay current while the store's modification date is not later
// than the stored one by more than this.
constexpr platform::TimeInterval kCacheDateTolerance = 0.1;

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return platform::caseFold(text).find(platform::caseFold(part)) != std::string::npos;
}

// Whether a privileges entry (a list of privilege names, or one text) names the privilege.
bool hasPrivilege(const platform::Value& privileges, std::string_view privilege) {
    if (privileges.isString()) return privileges.asString().find(privilege) != std::string::npos;
    if (privileges.isArray()) {
        for (const auto& p : privileges.asArray()) {
            if (p.isString() && p.asString() == privilege) return true;
        }
    }
    return false;
}

bool isReadOnlyHomeEntry(const platform::Value& entry) {
    const platform::Value* privileges = entry.find("privileges");
    if (!privileges) return false;
    return hasPrivilege(*privileges, "DAV::read") && !hasPrivilege(*privileges, "DAV::write");
}

}  // namespace

platform::ACAccountStore& QuorvaneModel::accountStore() {
    if (!mAccountStore) mAccountStore = std::make_unique<platform::ACAccountStore>(mContactStore->path());
    return *mAccountStore;
}

namespace {

// The "properties" of the container's account; nullopt when it cannot be read.
std::optional<platform::Value> accountPropertiesOf(platform::ACAccountStore& store, const platform::CNContainer& container) {
    std::string identifier = container.identifier();
    if (platform::hasSuffix(identifier, kAccountSuffix)) identifier.resize(identifier.size() - kAccountSuffix.size());
    if (identifier.empty()) return std::nullopt;
    auto account = store.accountWithIdentifier(identifier).valueOr(std::nullopt);
    if (!account) return std::nullopt;
    return account->properties();
}

}  // namespace

// The account of a CardDAV container whose server name holds every one of the given words.
static bool cardDAVServerNameContains(QuorvaneModel& model, const platform::CNContainerPtr& container,
                                      std::initializer_list<std::string_view> words) {
    if (!container || container->type() != platform::CNContainerType::CardDAV) return false;
    auto properties = accountPropertiesOf(model.accountStore(), *container);
    if (!properties) return false;
    auto serverName = (*properties)["servername"].stringValue();
    if (!serverName) return false;
    for (auto word : words) {
        if (!containsIgnoringCase(*serverName, word)) return false;
    }
    return true;
}

bool QuorvaneModel::isFacebookContainer(const platform::CNContainerPtr& container) {
    return cardDAVServerNameContains(*this, container, {"facebook.com"});
}

bool QuorvaneModel::isGoogleContainer(const platform::CNContainerPtr& container) {
    return cardDAVServerNameContains(*this, container, {"google"});
}

bool QuorvaneModel::isICloudContainer(const platform::CNContainerPtr& container) {
    return cardDAVServerNameContains(*this, container, {"icloud.com"});
}

bool QuorvaneModel::isYahooContainer(const platform::CNContainerPtr& container) {
    return cardDAVServerNameContains(*this, container, {"yahoo.com", "carddav"});
}

bool QuorvaneModel::isFacebookContainer_Fast(const platform::CNContainerPtr& container) {
    return container && mFacebookContainerID && container->identifier() == *mFacebookContainerID;
}

bool QuorvaneModel::isExchangeContainer(const platform::CNContainerPtr& container) {
    return container && container->type() == platform::CNContainerType::Exchange;
}

bool QuorvaneModel::isReadOnlyContainer(const platform::CNContainerPtr& container) {
    if (!container) return false;
    auto properties = accountPropertiesOf(accountStore(), *container);
    if (!properties) return false;
    const platform::Value* homeInfo = properties->find("HomeInfo");
    if (!homeInfo) return false;
    if (homeInfo->isArray()) {
        for (const auto& entry : homeInfo->asArray()) {
            if (isReadOnlyHomeEntry(entry)) return true;
        }
    } else if (homeInfo->isDictionary()) {
        for (const auto& [key, entry] : homeInfo->asDictionary()) {
            if (isReadOnlyHomeEntry(entry)) return true;
        }
    }
    return false;
}

std::optional<std::string> QuorvaneModel::getUsernameFromContainer(const platform::CNContainerPtr& container) {
    if (!container) return std::nullopt;
    auto properties = accountPropertiesOf(accountStore(), *container);
    if (!properties) return std::nullopt;
    return (*properties)["userName"].stringValue();
}

std::string QuorvaneModel::getUsername() {
    if (!mAuth) return "";
    return mAuth->userEmail().value_or("");
}

int32_t QuorvaneModel::getNumAccountsExcludingFacebookAndGoogle() {
    int32_t count = 0;
    for (const auto& container : getAppleContainersWithError().valueOr(std::vector<platform::CNContainerPtr>{})) {
        if (!isFacebookContainer(container) && !isGoogleContainer(container)) ++count;
    }
    return count;
}

int32_t QuorvaneModel::getContainerAccountTypeWithContainer(const platform::CNContainerPtr& container) {
    if (!container) return ContainerAccountTypeNone;
    if (isICloudContainer(container)) return ContainerAccountTypeICloud;
    if (isFacebookContainer(container)) return ContainerAccountTypeFacebook;
    if (isGoogleContainer(container)) return ContainerAccountTypeGoogle;
    if (isYahooContainer(container)) return ContainerAccountTypeYahoo;
    if (cardDAVServerNameContains(*this, container, {"linkedin"})) return ContainerAccountTypeLinkedIn;
    switch (container->type()) {
        case platform::CNContainerType::CardDAV: return ContainerAccountTypeOtherCardDAV;
        case platform::CNContainerType::Exchange: return ContainerAccountTypeExchange;
        case platform::CNContainerType::Local: return ContainerAccountTypeLocal;
        default: return ContainerAccountTypeNone;
    }
}

namespace {

// The display name of an account kind.
std::string accountTypeName(int32_t type) {
    switch (type) {
        case ContainerAccountTypeICloud: return Utils::localized("Global_iCloud", "iCloud");
        case ContainerAccountTypeFacebook: return Utils::localized("Global_Facebook", "Facebook");
        case ContainerAccountTypeGoogle: return Utils::localized("Global_Google", "Google");
        case ContainerAccountTypeYahoo: return Utils::localized("Global_Yahoo", "Yahoo");
        case ContainerAccountTypeLinkedIn: return Utils::localized("Global_LinkedIn", "LinkedIn");
        case ContainerAccountTypeOtherCardDAV: return Utils::localized("Global_CardDAV", "CardDAV");
        case ContainerAccountTypeExchange: return Utils::localized("Global_Exchange", "Exchange");
        case ContainerAccountTypeLocal: return Utils::localized("Global_OnThisComputer", "On This Computer");
        default: return Utils::localized("Global_Unknown", "Unknown");
    }
}

}  // namespace

NSContainerInfoPtr QuorvaneModel::getContainerInfoWithContainer(const platform::CNContainerPtr& container) {
    if (!container) return nullptr;
    auto info = std::make_shared<NSContainerInfo>();
    info->mContainer = container;
    info->mContainerIdentifier = container->identifier();
    info->mContainerAccountType = getContainerAccountTypeWithContainer(container);
    info->mUsername = getUsernameFromContainer(container);
    info->mReadOnlySource = isReadOnlyContainer(container);

    const std::string typeName = accountTypeName(info->mContainerAccountType);
    info->mConciseDescription = typeName;
    const std::string& name = container->name();
    info->mDescription = (platform::isBlank(name) || platform::equalsIgnoringCase(name, typeName))
                             ? typeName
                             : typeName + ": " + name;

    if (!container->identifier().empty()) {
        auto count = mContactStore->countOfContactsMatchingPredicate(
            platform::CNContact::predicateForContactsInContainerWithIdentifier(container->identifier()));
        info->mNumContacts = count ? int32_t(*count) : 0;
    }
    return info;
}

NSContactSourceRecord_QVPtr QuorvaneModel::getContactSourceRecordWithContainer(const platform::CNContainerPtr& container) {
    if (!container) return nullptr;
    auto info = getContainerInfoWithContainer(container);
    auto record = std::make_shared<NSContactSourceRecord_QV>();
    record->mContactSourceMode = ContactSourceModeCustomContainer;
    record->mContainer = container;
    record->mDescription = info->mDescription;
    record->mConciseDescription = info->mConciseDescription;
    record->mUsername = info->mUsername;
    record->mReadOnlySource = info->mReadOnlySource;
    record->mContactCount = info->mNumContacts;
    record->mContainerAccountType = info->mContainerAccountType;
    return record;
}

NSContactSourceRecord_QVPtr QuorvaneModel::getEmptyContactSourceRecord() {
    auto record = std::make_shared<NSContactSourceRecord_QV>();
    record->mContactSourceMode = ContactSourceModeAutoSelect;
    record->mDescription = "";
    record->mConciseDescription = "";
    record->mUsername = "";
    return record;
}

NSContactSourceRecord_QVPtr QuorvaneModel::getContactSourceRecordWithContactSourceMode(
    int32_t mode, const std::optional<std::string>& customSourceID) {
    auto described = [this](int32_t recordMode, std::string text) {
        auto record = getEmptyContactSourceRecord();
        record->mContactSourceMode = recordMode;
        record->mDescription = text;
        record->mConciseDescription = std::move(text);
        return record;
    };
    if (mode == ContactSourceModeAllAccounts) return described(mode, Utils::localized("Global_All", "All"));
    if (mode == ContactSourceModeCustomContainer) {
        if (auto record = getContactSourceRecordWithContainer(getContainerWithIdentifier(customSourceID))) return record;
        return described(mode, Utils::localized("QVR_Invalid", "Invalid"));
    }
    return described(ContactSourceModeAutoSelect, Utils::localized("Global_AutoSelect", "Auto Select"));
}

std::optional<platform::Bytes> QuorvaneModel::getAppleContactImageData(const platform::CNContactPtr& contact) {
    if (!contact) return std::nullopt;
    return LocalContactAsRead::localPhotoOf(*contact);
}

platform::CNContactPtr QuorvaneModel::getCachedAppleContactWithPartialContact(const platform::CNContactPtr& contact,
                                                                              ContactKeySet keySet) {
    if (!contact || contact->identifier().empty()) return nullptr;
    auto it = mCachedAppleContactDict.find(contact->identifier());
    if (it == mCachedAppleContactDict.end()) return nullptr;
    const auto current = getModificationDateWithAppleContact(contact);
    for (const auto& cached : it->second) {
        if (!cached || cached->mKeySet != keySet) continue;
        // Without both dates nothing shows the copy is current.
        if (!current || !cached->mModificationDate) return nullptr;
        if (cached->mModificationDate->addingTimeInterval(kCacheDateTolerance) < *current) return nullptr;
        return cached->mAppleContact;
    }
    return nullptr;
}

platform::CNContactPtr QuorvaneModel::storeCachedAppleContactWithContact(const platform::CNContactPtr& contact,
                                                                         ContactKeySet keySet) {
    if (!contact || contact->identifier().empty()) return contact;
    auto entry = std::make_shared<NSCachedAppleContact>();
    // 10,000 contacts with photos would hold about 500 MB of images: the cache keeps their sizes.
    if (contact->isKeyAvailable(platform::CNContactImageDataKey) ||
        contact->isKeyAvailable(platform::CNContactThumbnailImageDataKey)) {
        auto image = getAppleContactImageData(contact);
        entry->mImageSize = image ? int32_t(image->size()) : 0;
        entry->mImageDigest = photoDigest(image);
        entry->mAppleContact = contact->copyWithoutImageData();
    } else {
        entry->mAppleContact = contact;
    }
    entry->mModificationDate = getModificationDateWithAppleContact(contact);
    entry->mKeySet = keySet;
    platform::CNContactPtr kept = entry->mAppleContact;
    auto& list = mCachedAppleContactDict[contact->identifier()];
    for (auto& cached : list) {
        if (cached && cached->mKeySet == keySet) {
            cached = std::move(entry);
            return kept;
        }
    }
    list.push_back(std::move(entry));
    return kept;
}

}  // namespace quorvane
