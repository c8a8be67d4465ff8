// The model's road into the local contact store: the containers and the one to sync, the
// summary of the accounts, and contact and group fetches by key set through the cache of fully
// fetched contacts.

#include <algorithm>

#include "platform/contacts/CNContactViewController.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {

// A fetch of identifiers that gives back a different number of contacts is tried this many
// more times.
constexpr int kMaxChunkRefetches = 5;

}  // namespace

platform::Result<std::vector<platform::CNContainerPtr>> QuorvaneModel::getAppleContainersWithError() {
    return mContactStore->containersMatchingPredicate(nullptr);
}

platform::CNContainerPtr QuorvaneModel::getContainerWithIdentifier(const std::optional<std::string>& identifier) {
    if (!identifier) return nullptr;
    auto containers =
        mContactStore->containersMatchingPredicate(platform::CNContainer::predicateForContainersWithIdentifiers({*identifier}));
    if (!containers || containers->empty()) return nullptr;
    return containers->front();
}

platform::Result<void> QuorvaneModel::updateSelectedContainerWithError() {
    mSelectedContainer = nullptr;
    mSelectedContainerLocked.reset();
    mFacebookContainerID.reset();
    mCurrentSourceRecord = nullptr;
    mNumABGoogleAccounts = 0;
    mUsingiCloud = false;
    mUsingExchange = false;
    mUsingGoogleCardDAV = false;
    mDefaultContainerIsExchange = false;
    mHasExchangeAccount = false;

    const auto read = getAppleContainersWithError();
    const auto containers = read.valueOr(std::vector<platform::CNContainerPtr>{});
    const std::string defaultIdentifier = mContactStore->defaultContainerIdentifier();

    for (const auto& container : containers) {
        if (!mFacebookContainerID && isFacebookContainer(container)) mFacebookContainerID = container->identifier();
        if (isGoogleContainer(container)) ++mNumABGoogleAccounts;
        if (isExchangeContainer(container)) mHasExchangeAccount = true;
        if (!defaultIdentifier.empty() && defaultIdentifier == container->identifier() &&
            container->type() == platform::CNContainerType::Exchange) {
            mDefaultContainerIsExchange = true;
        }
    }

    // The first of iCloud, Google and Exchange that the container is sets its usage flag.
    auto noteUsage = [this](const platform::CNContainerPtr& container) {
        if (isICloudContainer(container)) {
            mUsingiCloud = true;
        } else if (isGoogleContainer(container)) {
            mUsingGoogleCardDAV = true;
        } else if (isExchangeContainer(container)) {
            mUsingExchange = true;
        }
    };

    switch (contactSourceMode()) {
        case ContactSourceModeAllAccounts:
            for (const auto& container : containers) noteUsage(container);
            break;
        case ContactSourceModeCustomContainer:
            if (customContainerID()) mSelectedContainer = getContainerWithIdentifier(customContainerID());
            if (mSelectedContainer) noteUsage(mSelectedContainer);
            break;
        case ContactSourceModeAutoSelect:
            mSelectedContainer = getAutoSelectedContainerWithContainers(containers);
            if (mSelectedContainer) noteUsage(mSelectedContainer);
            break;
        default:
            break;
    }

    mCurrentSourceRecord = getContactSourceRecordWithContainer(mSelectedContainer);
    if (!read) return read.error();
    return {};
}

platform::CNContainerPtr QuorvaneModel::getAutoSelectedContainer() {
    return getAutoSelectedContainerWithContainers(getAppleContainersWithError().valueOr(std::vector<platform::CNContainerPtr>{}));
}

platform::CNContainerPtr QuorvaneModel::getAutoSelectedContainerWithContainers(
    const std::vector<platform::CNContainerPtr>& containers) {
    platform::CNContainerPtr local, googleCardDAV, otherCardDAV, otherType;
    for (const auto& container : containers) {
        if (!container) continue;
        if (isFacebookContainer_Fast(container) || isReadOnlyContainer(container)) continue;
        if (isICloudContainer(container)) return container;
        switch (container->type()) {
            case platform::CNContainerType::Local:
                local = container;
                break;
            case platform::CNContainerType::CardDAV:
                (isGoogleContainer(container) ? googleCardDAV : otherCardDAV) = container;
                break;
            default:
                otherType = container;
                break;
        }
    }
    if (local) return local;
    if (otherCardDAV) return otherCardDAV;
    if (otherType) return otherType;
    return googleCardDAV;
}

bool QuorvaneModel::shouldPromptToSelectDeviceAccount() {
    if (contactSourceMode() != ContactSourceModeAutoSelect) return false;
    auto chosen = getAutoSelectedContainer();
    if (!chosen) return true;
    if (chosen->type() != platform::CNContainerType::Local && !isICloudContainer(chosen)) return true;
    return getNumAccountsExcludingFacebookAndGoogle() > 1;
}

AppleSourceInfo QuorvaneModel::getAppleSourceInfo() {
    AppleSourceInfo info;
    const auto containers = getAppleContainersWithError().valueOr(std::vector<platform::CNContainerPtr>{});
    platform::CNContainerPtr autoSelected;
    if (contactSourceMode() == ContactSourceModeAutoSelect) autoSelected = getAutoSelectedContainerWithContainers(containers);

    platform::CNContainerPtr facebook;
    for (const auto& container : containers) {
        if (isFacebookContainer(container)) {
            facebook = container;
            break;
        }
    }

    const std::string signedInUser = getUsername();
    // A Google account whose user name is unknown may be the signed-in user's; a known one must
    // hold that user's name. Nobody signed in matches no known user name.
    auto isSameUser = [&](const platform::CNContainerPtr& container) {
        auto username = getUsernameFromContainer(container);
        if (!username || username->empty()) return true;
        if (signedInUser.empty()) return false;
        return platform::caseFold(*username).find(platform::caseFold(signedInUser)) != std::string::npos;
    };

    bool foundChosen = false;
    for (const auto& container : containers) {
        if (!container) continue;
        const bool isFacebook = container == facebook;
        if (!isFacebook) ++info.numContainersExcludingFacebook;
        bool chosen = false;
        if (contactSourceMode() == ContactSourceModeCustomContainer &&
            stringsEqualWithString1(container->identifier(), customContainerID())) {
            chosen = true;
            foundChosen = true;
            if (isReadOnlyContainer(container)) info.selectedContainerIsReadOnly = true;
        }
        switch (container->type()) {
            case platform::CNContainerType::Local:
                info.hasLocalOrICloudContainer = true;
                break;
            case platform::CNContainerType::Exchange:
                info.hasExchangeContainer = true;
                break;
            case platform::CNContainerType::CardDAV:
                if (isFacebook) {
                    if (chosen) info.selectedContainerIsFacebook = true;
                } else if (isICloudContainer(container)) {
                    info.hasLocalOrICloudContainer = true;
                } else if (isGoogleContainer(container)) {
                    info.hasGoogleContainer = true;
                    if (chosen) info.selectedContainerIsGoogle = true;
                    if (autoSelected && container == autoSelected) info.autoSelectedContainerIsGoogle = true;
                    if (isSameUser(container)) {
                        info.hasSameUserGoogleContainer = true;
                        if (chosen) info.selectedContainerIsSameUserGoogle = true;
                    }
                } else if (isYahooContainer(container)) {
                    info.hasYahooContainer = true;
                }
                break;
            default:
                break;
        }
    }
    if (contactSourceMode() == ContactSourceModeCustomContainer && !foundChosen) info.selectedContainerMissing = true;
    return info;
}

std::vector<platform::CNKeyDescriptor> QuorvaneModel::getContactKeysWithKeySet(ContactKeySet keySet) {
    using namespace platform;
    switch (keySet) {
        case 0:
            return {CNContactIdentifierKey};
        case 1:
            return {CNContactIdentifierKey, CNContactModificationDateKey, CNContactCreationDateKey};
        case 2:
            return {CNContactIdentifierKey, CNContactCreationDateKey, CNContactModificationDateKey,
                    CNContactPostalAddressesKey};
        case 3:
            return {CNContactIdentifierKey, CNContactCreationDateKey, CNContactModificationDateKey,
                    CNContactInstantMessageAddressesKey};
        case 4:
            return {CNContactIdentifierKey, CNContactCreationDateKey, CNContactModificationDateKey,
                    CNContactSocialProfilesKey};
        case 5:
        case 6: {
            std::vector<CNKeyDescriptor> keys = {
                CNContactIdentifierKey, CNContactCreationDateKey, CNContactModificationDateKey,
                CNContactNamePrefixKey, CNContactGivenNameKey, CNContactMiddleNameKey, CNContactFamilyNameKey,
                CNContactPreviousFamilyNameKey, CNContactNameSuffixKey, CNContactNicknameKey,
                CNContactOrganizationNameKey, CNContactDepartmentNameKey, CNContactJobTitleKey,
                CNContactPhoneticGivenNameKey, CNContactPhoneticMiddleNameKey, CNContactPhoneticFamilyNameKey,
                CNContactBirthdayKey, CNContactNonGregorianBirthdayKey, CNContactNoteKey, CNContactImageDataKey,
                CNContactThumbnailImageDataKey, CNContactImageDataAvailableKey, CNContactPhoneNumbersKey,
                CNContactEmailAddressesKey};
            if (keySet == 6) {
                keys.insert(keys.end(), {CNContactPostalAddressesKey, CNContactDatesKey, CNContactUrlAddressesKey,
                                         CNContactRelationsKey, CNContactSocialProfilesKey,
                                         CNContactInstantMessageAddressesKey});
            } else {
                keys.insert(keys.end(), {CNContactDatesKey, CNContactUrlAddressesKey, CNContactRelationsKey});
            }
            return keys;
        }
        default:
            return {CNContactViewController::descriptorForRequiredKeys()};
    }
}

platform::Result<std::vector<platform::CNContactPtr>> QuorvaneModel::doGetAppleContactsMatchingPredicate(
    const platform::CNPredicatePtr& predicate, ContactKeySet keySet) {
    platform::CNContactFetchRequest request(getContactKeysWithKeySet(keySet));
    request.setUnifyResults(false);
    request.setMutableObjects(false);
    request.setPredicate(predicate);

    std::vector<platform::CNContactPtr> contacts;
    platform::Error storeError;
    auto fetch = [&]() {
        auto done = mContactStore->enumerateContactsWithFetchRequest(
            request, [&](const platform::CNContactPtr& contact, bool&) { contacts.push_back(contact); });
        if (!done) storeError = done.error();
        return done.ok();
    };
    if (!fetch()) {
        // One more try from scratch; its outcome is the answer.
        contacts.clear();
        if (!fetch()) return storeError;
    }
    return contacts;
}

platform::Result<std::vector<platform::CNContactPtr>> QuorvaneModel::getAppleContactsMatchingPredicate(
    const platform::CNPredicatePtr& predicate, ContactKeySet keySet) {
    if (keySet < 2 || keySet > 5) return doGetAppleContactsMatchingPredicate(predicate, keySet);

    // What the cache keeps of a contact it stored (the contact without its image bytes): the
    // result is the same whether it came from the store or from the cache.
    auto cachedCopy = [&](const platform::CNContactPtr& contact) -> platform::CNContactPtr {
        if (!contact) return contact;
        auto it = mCachedAppleContactDict.find(contact->identifier());
        if (it == mCachedAppleContactDict.end()) return contact;
        for (const auto& cached : it->second) {
            if (cached && cached->mKeySet == keySet) return cached->mAppleContact;
        }
        return contact;
    };
    std::vector<platform::CNContactPtr> result;
    std::vector<std::string> missing;
    // The first error of any fetch is kept: a later fetch that succeeds must not hide that the
    // result is short.
    std::optional<platform::Error> firstError;
    auto keepFirst = [&](const std::optional<platform::Error>& e) {
        if (e && !firstError) firstError = e;
    };
    auto partials = doGetAppleContactsMatchingPredicate(predicate, 1);
    if (!partials) return partials.error();
    for (const auto& partial : *partials) {
        if (!partial || partial->identifier().empty()) continue;
        if (auto cached = getCachedAppleContactWithPartialContact(partial, keySet)) {
            result.push_back(std::move(cached));
        } else {
            missing.push_back(partial->identifier());
        }
    }

    for (size_t start = 0; start < missing.size(); start += kMaxIdentifiersPerFetch) {
        const size_t end = std::min(missing.size(), start + kMaxIdentifiersPerFetch);
        std::vector<std::string> chunk(missing.begin() + ptrdiff_t(start), missing.begin() + ptrdiff_t(end));
        auto chunkPredicate = platform::CNContact::predicateForContactsWithIdentifiers(chunk);
        std::optional<platform::Error> chunkError;
        std::vector<platform::CNContactPtr> contacts;
        auto fetchChunk = [&] {
            auto fetched = doGetAppleContactsMatchingPredicate(chunkPredicate, keySet);
            if (!fetched) chunkError = fetched.error();
            contacts = std::move(fetched).valueOr(std::vector<platform::CNContactPtr>{});
        };
        fetchChunk();
        for (int retry = 0; retry < kMaxChunkRefetches && contacts.size() != chunk.size(); ++retry) fetchChunk();
        // A chunk that came complete in the end has nothing to report.
        if (contacts.size() != chunk.size()) {
            keepFirst(chunkError);
            platform::Error countError("Contacts Framework", -1);
            countError.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                                    "There was an error fetching your MacOS contacts.  Please try to sync once again.  "
                                    "If the problem persists, please contact support.");
            keepFirst(countError);
        }
        for (const auto& contact : contacts) {
            storeCachedAppleContactWithContact(contact, keySet);
            result.push_back(cachedCopy(contact));
        }
    }
    if (firstError) return *firstError;
    return result;
}

platform::Result<std::vector<platform::CNContactPtr>> QuorvaneModel::getAppleContactsInContainer(
    const platform::CNContainerPtr& container, ContactKeySet keySet) {
    platform::CNPredicatePtr predicate;
    if (container && !container->identifier().empty()) {
        predicate = platform::CNContact::predicateForContactsInContainerWithIdentifier(container->identifier());
    }
    return getAppleContactsMatchingPredicate(predicate, keySet);
}

platform::Result<std::vector<std::string>> QuorvaneModel::getEveryAppleContactIdentifier() {
    auto identifiers = mContactStore->identifiersOfContactsMatchingPredicate(nullptr);
    if (!identifiers) identifiers = mContactStore->identifiersOfContactsMatchingPredicate(nullptr);  // one more try
    return identifiers;
}

platform::Result<std::vector<platform::CNContactPtr>> QuorvaneModel::getAppleContactsInSelectedContainerWithKeySet(
    ContactKeySet keySet) {
    return getAppleContactsInContainer(mSelectedContainer, keySet);
}

platform::Result<std::vector<platform::CNGroupPtr>> QuorvaneModel::getAppleGroupsInContainer(
    const platform::CNContainerPtr& container) {
    const bool hasIdentifier = container && !container->identifier().empty();
    if (hasIdentifier && mHasExchangeAccount) {
        auto groups = mContactStore->groupsMatchingPredicate(nullptr);
        if (!groups) return groups.error();
        std::vector<platform::CNGroupPtr> kept;
        for (const auto& group : *groups) {
            if (!group || group->identifier().empty()) continue;
            std::optional<std::string> containerID;
            if (auto it = mGroupContainerIDDict.find(group->identifier()); it != mGroupContainerIDDict.end()) {
                containerID = it->second;
            } else {
                auto owners = mContactStore->containersMatchingPredicate(
                    platform::CNContainer::predicateForContainerOfGroupWithIdentifier(group->identifier()));
                if (owners && !owners->empty() && owners->front() && !owners->front()->identifier().empty()) {
                    containerID = owners->front()->identifier();
                    mGroupContainerIDDict[group->identifier()] = *containerID;
                }
            }
            if (containerID && stringsEqualWithString1(containerID, container->identifier())) kept.push_back(group);
        }
        return kept;
    }

    platform::CNPredicatePtr predicate;
    if (hasIdentifier) predicate = platform::CNGroup::predicateForGroupsInContainerWithIdentifier(container->identifier());
    return mContactStore->groupsMatchingPredicate(predicate);
}

platform::Result<std::vector<platform::CNGroupPtr>> QuorvaneModel::getAppleGroupsInSelectedContainerWithError() {
    return getAppleGroupsInContainer(mSelectedContainer);
}

platform::Result<std::vector<platform::CNContactPtr>> QuorvaneModel::getAppleContactsInGroup(
    const platform::CNGroupPtr& group, ContactKeySet keySet) {
    if (!group || group->identifier().empty()) return std::vector<platform::CNContactPtr>{};
    return getAppleContactsMatchingPredicate(
        platform::CNContact::predicateForContactsInGroupWithIdentifier(group->identifier()), keySet);
}

}  // namespace quorvane
