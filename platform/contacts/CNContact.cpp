#include "platform/contacts/CNContact.h"

#include <algorithm>

#include "platform/contacts/CNContainer.h"
#include "platform/contacts/CNGroup.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UUID.h"

namespace quorvane::platform {

const std::vector<std::string>& CNContactAllKeys() {
    static const std::vector<std::string> keys(std::begin(kCNContactKeyOrder), std::end(kCNContactKeyOrder));
    return keys;
}

bool CNContactIsKnownKey(const std::string& key) {
    const auto& all = CNContactAllKeys();
    return std::find(all.begin(), all.end(), key) != all.end();
}

std::string CNLabeledValueNewIdentifier() { return UUID::pooled().uuidString(); }

std::string CNNewRecordIdentifier(const char* suffix) { return UUID::pooled().uuidString() + suffix; }

CNContact::CNContact(CNContactFields fields, std::set<std::string> availableKeys) : f_(std::move(fields)) {
    availableKeys.insert(CNContactIdentifierKey);
    available_ = std::make_shared<const std::set<std::string>>(std::move(availableKeys));
    computeAvailableMask();
}

CNContact::CNContact(CNContactFields fields, KeySet availableKeys) : f_(std::move(fields)), available_(std::move(availableKeys)) {
    if (!available_) available_ = std::make_shared<const std::set<std::string>>();
    computeAvailableMask();
    if (!available_->count(CNContactIdentifierKey)) makeAvailable(CNContactIdentifierKey);
}

CNContact::CNContact(KeySet availableKeys) : available_(std::move(availableKeys)) {
    if (!available_) available_ = std::make_shared<const std::set<std::string>>();
    computeAvailableMask();
    if (!available_->count(CNContactIdentifierKey)) makeAvailable(CNContactIdentifierKey);
}

void CNContact::computeAvailableMask() {
    // The contacts of one fetch share their key set: its mask is worked out once, for the first.
    struct Last {
        std::weak_ptr<const std::set<std::string>> keys;
        const std::set<std::string>* raw = nullptr;
        uint32_t mask = 0;
    };
    thread_local Last last;
    // The same owner as the set held here (the weak pointer keeps its owner's record from being
    // reused) and the same set.
    if (last.raw == available_.get() && !last.keys.owner_before(available_) && !available_.owner_before(last.keys)) {
        availableMask_ = last.mask;
        return;
    }
    availableMask_ = 0;
    for (const auto& key : *available_)
        if (int index = CNContactKeyIndex(key); index >= 0) availableMask_ |= 1u << index;
    last = {available_, available_.get(), availableMask_};
}

void CNContact::makeAvailable(const char* key) {
    const int index = CNContactKeyIndex(key);
    if (index >= 0 ? (availableMask_ & (1u << index)) != 0 : available_->count(key) != 0) return;
    auto copy = std::make_shared<std::set<std::string>>(*available_);
    copy->insert(key);
    available_ = std::move(copy);
    if (index >= 0) availableMask_ |= 1u << index;
}

bool CNContact::isKeyAvailable(std::string_view key) const {
    if (int index = CNContactKeyIndex(key); index >= 0) return (availableMask_ & (1u << index)) != 0;
    return available_->count(std::string(key)) != 0;  // a key the store does not know
}

bool CNContact::areKeysAvailable(const std::vector<CNKeyDescriptor>& keys) const {
    for (const auto& d : keys)
        for (const auto& k : d.keys())
            if (!isKeyAvailable(k)) return false;
    return true;
}

void CNContact::reportUnfetched(const char* key) const {
    QV_ASSERT(false, std::string("A property was read that was not fetched: ") + key + " of contact " + f_.identifier);
}

std::shared_ptr<CNContact> CNContact::copy() const { return std::make_shared<CNContact>(f_, available_); }

std::shared_ptr<CNMutableContact> CNContact::mutableCopy() const { return std::make_shared<CNMutableContact>(f_, available_); }

std::shared_ptr<CNContact> CNContact::copyWithoutImageData() const {
    CNContactFields fields = f_;
    fields.imageData.reset();
    fields.thumbnailImageData.reset();
    std::set<std::string> keys = *available_;
    keys.erase(CNContactImageDataKey);
    keys.erase(CNContactThumbnailImageDataKey);
    return std::make_shared<CNContact>(std::move(fields), std::move(keys));
}

CNPredicatePtr CNContact::predicateForContactsWithIdentifiers(std::vector<std::string> identifiers) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::ContactsWithIdentifiers, std::move(identifiers));
}
CNPredicatePtr CNContact::predicateForContactsInContainerWithIdentifier(std::string containerIdentifier) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::ContactsInContainer,
                                         std::vector<std::string>{std::move(containerIdentifier)});
}
CNPredicatePtr CNContact::predicateForContactsInGroupWithIdentifier(std::string groupIdentifier) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::ContactsInGroup, std::vector<std::string>{std::move(groupIdentifier)});
}

namespace {
// Every key, the identifier's too: one set shared by every new contact.
const CNContact::KeySet& allKeys() {
    static const CNContact::KeySet keys = [] {
        const auto& all = CNContactAllKeys();
        auto set = std::make_shared<std::set<std::string>>(all.begin(), all.end());
        set->insert(CNContactIdentifierKey);
        return CNContact::KeySet(std::move(set));
    }();
    return keys;
}
}  // namespace

CNMutableContact::CNMutableContact() : CNContact(CNContactFields{}, allKeys()) {
    f_.identifier = CNNewRecordIdentifier(":ABPerson");
}

void CNMutableContact::setImageData(std::optional<Bytes> v) {
    if (v && v->empty()) v.reset();
    set(CNContactImageDataKey, f_.imageData, std::move(v));
}

// Groups and containers.

std::shared_ptr<CNMutableGroup> CNGroup::mutableCopy() const { return std::make_shared<CNMutableGroup>(identifier_, name_); }

CNMutableGroup::CNMutableGroup() : CNGroup(CNNewRecordIdentifier(":ABGroup"), std::string()) {}

CNPredicatePtr CNGroup::predicateForGroupsWithIdentifiers(std::vector<std::string> identifiers) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::GroupsWithIdentifiers, std::move(identifiers));
}
CNPredicatePtr CNGroup::predicateForGroupsInContainerWithIdentifier(std::string containerIdentifier) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::GroupsInContainer,
                                         std::vector<std::string>{std::move(containerIdentifier)});
}

CNPredicatePtr CNContainer::predicateForContainersWithIdentifiers(std::vector<std::string> identifiers) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::ContainersWithIdentifiers, std::move(identifiers));
}
CNPredicatePtr CNContainer::predicateForContainerOfContactWithIdentifier(std::string contactIdentifier) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::ContainerOfContact,
                                         std::vector<std::string>{std::move(contactIdentifier)});
}
CNPredicatePtr CNContainer::predicateForContainerOfGroupWithIdentifier(std::string groupIdentifier) {
    return std::make_shared<CNPredicate>(CNPredicate::Kind::ContainerOfGroup, std::vector<std::string>{std::move(groupIdentifier)});
}

}  // namespace quorvane::platform
