// Pairing: the partner of a contact by history, hash name and the scan (PairingIndex), and the
// ignore-new and group filters applied around it.

#include "gdata/GDataTextConstruct.h"
#include "sync/PairingIndex.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

using platform::CNContactPtr;
using GoogleContactPtr = std::shared_ptr<GDataEntryContact>;

namespace {

const std::string kSystemGroupPrefix = "System Group: ";

std::string withoutSystemGroupPrefix(std::string title) {
    for (size_t at = title.find(kSystemGroupPrefix); at != std::string::npos; at = title.find(kSystemGroupPrefix, at)) {
        title.erase(at, kSystemGroupPrefix.size());
    }
    return title;
}

}  // namespace

std::string QuorvaneModel::getContactHashNameWithFirstNameString(
    const std::optional<std::string>& firstName, const std::optional<std::string>& middleName,
    const std::optional<std::string>& lastName, const std::optional<std::string>& prefix,
    const std::optional<std::string>& suffix, const std::optional<std::string>& organization) {
    const std::optional<std::string>* parts[] = {&firstName, &middleName, &lastName, &prefix, &suffix, &organization};
    bool allEmpty = true;
    for (const auto* p : parts) allEmpty = allEmpty && (!*p || (*p)->empty());
    if (allEmpty) return "";
    std::string hash;
    for (size_t i = 0; i < 6; ++i) {
        if (i) hash += ' ';
        if (*parts[i]) hash += **parts[i];
    }
    return hash;
}

namespace {

std::string hashNameOfFacts(const PairingIndex::ContactFacts& f) {
    return QuorvaneModel::getContactHashNameWithFirstNameString(f.given, f.middle, f.family, f.prefix, f.suffix,
                                                                f.organization);
}

}  // namespace

std::string QuorvaneModel::getAppleContactHashName(const CNContactPtr& contact) {
    return contact ? hashNameOfFacts(PairingIndex::factsOfAppleContact(*contact)) : "";
}

std::string QuorvaneModel::getGoogleContactHashName(const GoogleContactPtr& contact) {
    return contact ? hashNameOfFacts(PairingIndex::factsOfGoogleContact(*contact)) : "";
}

bool QuorvaneModel::alreadyPairedWithAnotherAppleContactWithGoogleContact(const GoogleContactPtr& google,
                                                                          const CNContactPtr& apple) {
    if (!google) return false;
    auto id = google->identifier();
    if (!id) return false;
    auto paired = syncHistory().pairedAppleID(*id);
    if (!paired || paired->empty()) return false;
    return stringsDifferWithString1(paired, apple ? std::optional<std::string>(apple->identifier()) : std::nullopt);
}

bool QuorvaneModel::alreadyPairedWithAnotherGoogleContactWithAppleContact(const CNContactPtr& apple,
                                                                          const GoogleContactPtr& google) {
    if (!apple) return false;
    auto paired = syncHistory().pairedGoogleID(apple->identifier());
    if (!paired || paired->empty()) return false;
    return stringsDifferWithString1(paired, google ? google->identifier() : std::nullopt);
}

void QuorvaneModel::resetPairingIndex() { mPairingIndex.reset(); }

void QuorvaneModel::releasePairingState() {
    resetPairingIndex();
    mGoogleContactDict = {};
    mGoogleContactsByLocalRecord = {};
    mGoogleCopiesByLocalRecord = {};
    mGoogleDuplicatesDetected = {};
    mGoogleContactRecordIDsByHashName = {};
    mAppleContactRecordIDsByHashName = {};
    mHistoryContactsOutsideSelection.reset();
}

PairingIndex& QuorvaneModel::pairingIndex() {
    if (mPairingIndex) return *mPairingIndex;
    std::vector<GoogleContactPtr> google;
    if (mContactFeed && mContactFeed->entries()) {
        google.reserve(mContactFeed->entries()->size());
        for (const auto& e : *mContactFeed->entries()) google.push_back(std::dynamic_pointer_cast<GDataEntryContact>(e));
    }
    // The scan for a Google contact's partner passes over Facebook contacts (unless that account
    // is the one synced) and, when all accounts are synced, read-only ones.
    const bool syncingFacebook = isSyncingFacebook();
    const bool allAccounts = !mSelectedContainer;
    // Asked when the local side's buckets are made, at the first search for a local partner.
    mPairingIndex = std::make_unique<PairingIndex>(google, mExistingAppleContacts, [=, this](const CNContactPtr& a) {
        if (!syncingFacebook && isFacebookContact(a)) return false;
        if (allAccounts && isReadOnlyContactWithContact(a)) return false;
        return true;
    });
    return *mPairingIndex;
}

void QuorvaneModel::tagWithLocalRecord(GDataEntryContact& entry, const std::string& localID) {
    if (auto old = entry.extendedPropertyForName(kLocalRecordPropertyName)) entry.removeExtendedProperty(old);
    entry.addExtendedProperty(GDataExtendedProperty::propertyWithName(kLocalRecordPropertyName, localID));
}

std::optional<std::string> QuorvaneModel::localRecordOfGoogleContact(const GDataEntryContact& entry) {
    const auto values = GoogleContactCache::readValues(entry, GoogleContactCache::Values::kProperties);
    const auto* property = values.property(kLocalRecordPropertyName);
    auto value = property ? property->value : std::nullopt;
    if (!value || value->empty()) return std::nullopt;
    return value;
}

void QuorvaneModel::preparePairingDicts() {
    mGoogleContactsByLocalRecord.clear();
    mGoogleCopiesByLocalRecord.clear();
    mGoogleContactDict.clear();
    mExistingAppleContactDict.clear();
    mHistoryContactsOutsideSelection.reset();
    mGoogleContactRecordIDsByHashName.clear();
    mAppleContactRecordIDsByHashName.clear();
    mGoogleDuplicatesDetected.clear();
    clearAlreadyMatched();
    resetPairingIndex();
    // The index reads every Google contact's facts once; the hash names below take them from it.
    const PairingIndex& index = pairingIndex();

    // Hash name -> the one contact that holds it: a name held more than once is marked (an empty
    // identifier) as it is seen again, and left out at the end.
    const size_t googleCount = mContactFeed && mContactFeed->entries() ? mContactFeed->entries()->size() : 0;
    mGoogleContactDict.reserve(googleCount);
    mGoogleContactRecordIDsByHashName.reserve(googleCount);
    // Each hashed contact with its name (the map's own key, which stays where it is).
    std::vector<std::pair<GoogleContactPtr, const std::string*>> hashed;
    hashed.reserve(googleCount);
    bool googleShared = false;
    if (mContactFeed && mContactFeed->entries()) {
        for (const auto& e : *mContactFeed->entries()) {
            auto g = std::dynamic_pointer_cast<GDataEntryContact>(e);
            auto id = g ? g->identifier() : std::nullopt;
            if (!id || id->empty()) continue;
            if (auto local = localRecordOfGoogleContact(*g)) {
                auto [first, added] = mGoogleContactsByLocalRecord.emplace(*local, g);
                if (!added) {
                    auto& copies = mGoogleCopiesByLocalRecord[*local];
                    if (copies.empty()) copies.push_back(first->second);
                    copies.push_back(g);
                }
            }
            auto hash = hashNameOfFacts(index.googleFacts(*g));
            if (!hash.empty()) {
                auto [held, added] = mGoogleContactRecordIDsByHashName.try_emplace(std::move(hash), *id);
                if (!added) {
                    held->second.clear();
                    googleShared = true;
                }
                hashed.emplace_back(g, &held->first);
            }
            mGoogleContactDict.insert_or_assign(std::move(*id), std::move(g));
        }
    }
    if (googleShared) {
        // The contacts of each name held more than once, the names in the order first seen.
        std::unordered_map<const std::string*, std::vector<GoogleContactPtr>> holders;
        std::vector<const std::string*> order;
        for (const auto& [g, hash] : hashed) {
            if (!mGoogleContactRecordIDsByHashName.at(*hash).empty()) continue;
            auto& list = holders[hash];
            if (list.empty()) order.push_back(hash);
            list.push_back(g);
        }
        for (const std::string* hash : order) {
            auto& list = holders[hash];
            mGoogleDuplicatesDetected.insert(mGoogleDuplicatesDetected.end(), list.begin(), list.end());
        }
        std::erase_if(mGoogleContactRecordIDsByHashName, [](const auto& item) { return item.second.empty(); });
    }

    const bool syncingFacebook = isSyncingFacebook();
    mExistingAppleContactDict.reserve(mExistingAppleContacts.size());
    mAppleContactRecordIDsByHashName.reserve(mExistingAppleContacts.size());
    bool appleShared = false;
    for (const auto& a : mExistingAppleContacts) {
        if (!a) continue;
        mExistingAppleContactDict[a->identifier()] = a;
        if (!syncingFacebook && isFacebookContact(a)) continue;
        if (!mSelectedContainer && isReadOnlyContactWithContact(a)) continue;
        auto hash = getAppleContactHashName(a);
        if (hash.empty()) continue;
        auto [held, added] = mAppleContactRecordIDsByHashName.try_emplace(std::move(hash), a->identifier());
        if (!added) {
            held->second.clear();
            appleShared = true;
        }
    }
    if (appleShared) std::erase_if(mAppleContactRecordIDsByHashName, [](const auto& item) { return item.second.empty(); });
}

GoogleContactPtr QuorvaneModel::keptCopyOfGoogleContact(const GoogleContactPtr& contact) {
    if (!contact || mGoogleCopiesByLocalRecord.empty()) return nullptr;
    auto local = localRecordOfGoogleContact(*contact);
    auto copies = local ? mGoogleCopiesByLocalRecord.find(*local) : mGoogleCopiesByLocalRecord.end();
    if (copies == mGoogleCopiesByLocalRecord.end()) return nullptr;
    // The one paired in this run; before its pairing (its local contact left out by a filter, or
    // later in the feed), the one the history pairs: a copy the provider made late may come first.
    GoogleContactPtr kept, recorded;
    for (const auto& g : copies->second) {
        if (isGoogleContactAlreadyMatched(g)) {
            kept = g;
            break;
        }
        if (!recorded && hasSyncHistoryRecordWithGoogleRecord(g)) recorded = g;
    }
    if (!kept) kept = recorded ? recorded : copies->second.front();
    return kept == contact ? nullptr : kept;
}

GoogleContactPtr QuorvaneModel::getBestGoogleContactMatchWithAppleContact(const CNContactPtr& apple) {
    if (!apple) return nullptr;
    // 1. The pair the history remembers, when its Google contact is still there and not yet
    //    taken in this run (two local contacts may remember the same Google one; only one gets it).
    if (auto paired = syncHistory().pairedGoogleID(apple->identifier()); paired && !paired->empty()) {
        if (auto found = mGoogleContactDict.find(*paired);
            found != mGoogleContactDict.end() && found->second && !isGoogleContactAlreadyMatched(found->second)) {
            return found->second;
        }
    }
    // A contact whose recorded partner is gone is that partner's deletion, never a match for
    // another contact that has a partner of its own (two contacts whose records name others).
    const bool recorded = syncHistory().hasRecordForAppleID(apple->identifier());
    auto candidate = [this, recorded](const GoogleContactPtr& g, const CNContactPtr& a) {
        return !alreadyPairedWithAnotherAppleContactWithGoogleContact(g, a) && !isGoogleContactAlreadyMatched(g) &&
               !(recorded && syncHistory().hasRecordForGoogleID(g->identifier()) &&
                 !syncHistory().recordForPair(a->identifier(), g->identifier().value_or("")));
    };
    // 1b. The Google contact made from this one, whose creation a run did not see confirmed.
    if (auto made = mGoogleContactsByLocalRecord.find(apple->identifier());
        made != mGoogleContactsByLocalRecord.end() && candidate(made->second, apple)) {
        return made->second;
    }
    // 2. The one Google contact of the same hash name.
    const auto facts = PairingIndex::factsOfAppleContact(*apple);
    if (auto hash = hashNameOfFacts(facts); !hash.empty()) {
        if (auto id = mGoogleContactRecordIDsByHashName.find(hash);
            id != mGoogleContactRecordIDsByHashName.end() && !id->second.empty()) {
            if (auto found = mGoogleContactDict.find(id->second); found != mGoogleContactDict.end() && found->second) {
                if (candidate(found->second, apple)) return found->second;
            }
        }
    }
    // 3. The scan.
    return pairingIndex().bestGoogleContactForAppleContact(apple, facts, candidate);
}

CNContactPtr QuorvaneModel::getBestAppleContactMatchWithGoogleContact(const GoogleContactPtr& google) {
    if (!google) return nullptr;
    const std::string googleID = google->identifier().value_or("");
    if (auto paired = syncHistory().pairedAppleID(googleID); paired && !paired->empty()) {
        if (auto found = mExistingAppleContactDict.find(*paired);
            found != mExistingAppleContactDict.end() && found->second && !isAppleContactAlreadyMatched(found->second)) {
            return found->second;
        }
    }
    const bool recorded = syncHistory().hasRecordForGoogleID(googleID);
    auto candidate = [this, recorded](const CNContactPtr& a, const GoogleContactPtr& g) {
        return !alreadyPairedWithAnotherGoogleContactWithAppleContact(a, g) && !isAppleContactAlreadyMatched(a) &&
               !(recorded && syncHistory().hasRecordForAppleID(a->identifier()) &&
                 !syncHistory().recordForPair(a->identifier(), g->identifier().value_or("")));
    };
    // The local contact it was made from.
    if (auto local = localRecordOfGoogleContact(*google)) {
        if (auto found = mExistingAppleContactDict.find(*local); found != mExistingAppleContactDict.end() && found->second &&
                                                                 candidate(found->second, google)) {
            return found->second;
        }
    }
    const PairingIndex& index = pairingIndex();
    if (auto hash = hashNameOfFacts(index.googleFacts(*google)); !hash.empty()) {
        if (auto id = mAppleContactRecordIDsByHashName.find(hash);
            id != mAppleContactRecordIDsByHashName.end() && !id->second.empty()) {
            if (auto found = mExistingAppleContactDict.find(id->second);
                found != mExistingAppleContactDict.end() && found->second) {
                if (candidate(found->second, google)) return found->second;
            }
        }
    }
    return index.bestAppleContactForGoogleContact(google, candidate);
}

std::unordered_set<std::string> QuorvaneModel::getSelectedGroupURLDict() {
    std::unordered_set<std::string> selected;
    if (!mGroupFeed || !mGroupFeed->entries()) return selected;
    const auto& chosen = selectedGroupSet_Lower();
    for (const auto& group : *mGroupFeed->entries()) {
        auto title = group->title();
        auto text = title ? title->stringValue() : std::nullopt;
        if (!text) continue;
        auto id = group->identifier();
        if (id && chosen.count(platform::lowercase(withoutSystemGroupPrefix(*text)))) selected.insert(*id);
    }
    return selected;
}

namespace {

bool shouldIgnore(int32_t mode, bool hasPhone, bool hasEmail) {
    switch (mode) {
        case 1: return true;
        case 2: return !hasPhone;
        case 3: return !hasEmail;
        case 4: return !hasPhone && !hasEmail;
        default: return false;
    }
}

}  // namespace

bool QuorvaneModel::shouldIgnoreNewAppleContact(const CNContactPtr& contact) {
    if (!contact) return false;
    const bool phones = contact->isKeyAvailable(platform::CNContactPhoneNumbersKey) && !contact->phoneNumbers().empty();
    const bool emails = contact->isKeyAvailable(platform::CNContactEmailAddressesKey) && !contact->emailAddresses().empty();
    return shouldIgnore(ignoreNewContactsSetting(), phones, emails);
}

bool QuorvaneModel::shouldIgnoreNewGoogleContact(const GoogleContactPtr& contact) {
    if (!contact) return false;
    return shouldIgnore(ignoreNewContactsSetting(), !contact->phoneNumbers().empty(), !contact->emailAddresses().empty());
}

bool QuorvaneModel::appleContactHasMatchingGroups(const CNContactPtr& contact) {
    if (!isGroupFilterActive()) return true;
    if (!contact) return false;
    auto groups = mGroupMembershipByPerson.find(contact->identifier());
    if (groups == mGroupMembershipByPerson.end()) return false;
    const auto& chosen = selectedGroupSet_Lower();
    for (const auto& name : groups->second) {
        if (chosen.count(platform::lowercase(name))) return true;
    }
    return false;
}

bool QuorvaneModel::googleContactHasMatchingGroups(const GoogleContactPtr& contact) {
    if (!isGroupFilterActive()) return true;
    if (!contact) return false;
    for (const auto& membership : GoogleContactCache::readValues(*contact, GoogleContactCache::Values::kGroups).groups) {
        if (const auto& href = membership.href; href && mSelectedGroupURLDict.count(*href)) return true;
    }
    return false;
}

platform::Result<void> QuorvaneModel::loadExistingAppleContactsWithKeySet(ContactKeySet keySet) {
    auto contacts = getAppleContactsInSelectedContainerWithKeySet(keySet);
    if (!contacts) {
        mExistingAppleContacts.clear();
        return contacts.error();
    }
    mExistingAppleContacts = std::move(*contacts);
    // The photos' bytes are let go once the contact cache holds their sizes and digests, which is
    // all the planning reads of them: a photo the run moves is read from the store when it goes,
    // and an address book of photos would otherwise be held whole through the run.
    for (auto& contact : mExistingAppleContacts) {
        if (!contact) continue;
        const bool photo = (contact->isKeyAvailable(platform::CNContactImageDataKey) && contact->imageData()) ||
                           (contact->isKeyAvailable(platform::CNContactThumbnailImageDataKey) && contact->thumbnailImageData());
        if (photo) contact = storeCachedAppleContactWithContact(contact, keySet);
    }
    return {};
}

}  // namespace quorvane
