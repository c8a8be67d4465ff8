// Merging converted values into the destination side of a pair: each multi-valued field is
// rebuilt from the source's values, keeping (with the merge choice) the destination's values the
// source does not have, a value being one by its identity (ValueIdentity, the field table's). The
// local side also keeps within what an Exchange account stores.

#include <algorithm>
#include <functional>

#include "gdata/GDataWhen.h"
#include "sync/ContactFieldTable.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

// The field as it ends on the Google side: without merge the new values alone; with merge the
// existing values that are none of the new values (ValueIdentity), in their order, then the new
// values. With a maximum, new values are appended only while the field holds fewer than that many.
// With a merge base (FieldValues.h), a value on one side alone goes as its fate says: an
// existing value the source removed since is dropped, and a new value joins only when the
// source added it since.
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> mergedGoogleList(const std::vector<std::shared_ptr<T>>& existing,
                                                                const std::vector<std::shared_ptr<T>>& newValues,
                                                                bool mergeContacts, const ValueIdentity& identity,
                                                                std::optional<size_t> maxCount = std::nullopt,
                                                                const FieldMergeBase* base = nullptr, MergeField field = {}) {
    if (!mergeContacts) base = nullptr;
    // A value held by one side alone: what becomes of it.
    auto fate = [&](const T& value, bool local) {
        auto k = identity(value);
        return k ? base->fate(local, field, *k) : ValueFate::Copy;
    };
    auto heldIn = [&](const std::vector<std::shared_ptr<T>>& list, const T& value) {
        return std::any_of(list.begin(), list.end(), [&](const std::shared_ptr<T>& v) { return v && identity.same(*v, value); });
    };
    std::vector<std::shared_ptr<T>> result;
    if (mergeContacts) {
        for (const auto& old : existing) {
            if (!old) continue;
            if (!heldIn(newValues, *old) && !(base && fate(*old, false) == ValueFate::Drop)) result.push_back(old);
        }
    }
    for (const auto& v : newValues) {
        if (!v) continue;
        if (maxCount && result.size() >= *maxCount) break;
        if (base && fate(*v, true) != ValueFate::Copy && !heldIn(existing, *v)) continue;
        result.push_back(v);
    }
    if (result.empty()) return std::nullopt;
    return result;
}

// The local side's merge: with merge and a property that was read, each existing value that is
// not skipped and that no value of V (as it grows) is (ValueIdentity) is appended to V; then, with
// a limit, V loses its first values until it fits; V becomes the property.
template <class T>
void mergeAppleList(platform::CNMutableContact& contact, const char* key,
                    const std::vector<platform::CNLabeledValue<T>>& (platform::CNContact::*getter)() const,
                    void (platform::CNMutableContact::*setter)(std::vector<platform::CNLabeledValue<T>>),
                    std::vector<platform::CNLabeledValue<T>>& newValues, bool mergeContacts,
                    std::optional<size_t> limit, const std::function<bool(const T&)>& skip,
                    const ValueIdentity& identity, const FieldMergeBase* base = nullptr, MergeField field = {}) {
    if (mergeContacts && contact.isKeyAvailable(key)) {
        const auto existing = (contact.*getter)();
        // Judged against the last run: a new value the local side lacks joins only when Google
        // added it since; an existing one Google removed since is dropped.
        auto fate = [&](const T& value, bool local) {
            auto k = identity(value);
            return k ? base->fate(local, field, *k) : ValueFate::Copy;
        };
        if (base) {
            std::erase_if(newValues, [&](const platform::CNLabeledValue<T>& v) {
                const bool held = std::any_of(existing.begin(), existing.end(), [&](const platform::CNLabeledValue<T>& old) {
                    return !skip(old.value()) && identity.same(old.value(), v.value());
                });
                return !held && fate(v.value(), false) != ValueFate::Copy;
            });
        }
        for (const auto& old : existing) {
            if (skip(old.value())) continue;
            bool covered = std::any_of(newValues.begin(), newValues.end(),
                                       [&](const platform::CNLabeledValue<T>& v) { return identity.same(old.value(), v.value()); });
            if (!covered && !(base && fate(old.value(), true) == ValueFate::Drop)) newValues.push_back(old);
        }
    }
    if (limit && newValues.size() > *limit) {
        newValues.erase(newValues.begin(), newValues.begin() + static_cast<std::ptrdiff_t>(newValues.size() - *limit));
    }
    (contact.*setter)(newValues);
}

bool dateComponentsAreNil(const platform::DateComponents& c) {
    return !platform::DateComponents::isSet(c.year) && !platform::DateComponents::isSet(c.month) &&
           !platform::DateComponents::isSet(c.day);
}

}  // namespace

// ----- Google side -----

void QuorvaneModel::mergeNewGoogleEmailsWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                          const std::vector<std::shared_ptr<GDataEmail>>& newEmails,
                                                          bool mergeContacts) {
    if (!contact) return;
    contact->setEmailAddresses(mergedGoogleList(contact->emailAddresses(), newEmails, mergeContacts, ValueIdentity(*this),
                                                std::nullopt, mFieldMergeBase, MergeField::Emails));
}

void QuorvaneModel::mergeNewGooglePhonesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact, const std::vector<std::shared_ptr<GDataPhoneNumber>>& newPhones,
    bool mergeContacts) {
    if (!contact) return;
    contact->setPhoneNumbers(mergedGoogleList(contact->phoneNumbers(), newPhones, mergeContacts, ValueIdentity(*this),
                                              kMaxGooglePhoneNumbers, mFieldMergeBase, MergeField::Phones));
}

void QuorvaneModel::mergeNewGoogleAddressesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataStructuredPostalAddress>>& newAddresses, bool mergeContacts) {
    if (!contact) return;
    contact->setStructuredPostalAddresses(mergedGoogleList(contact->structuredPostalAddresses(), newAddresses, mergeContacts,
                                                           ValueIdentity(*this), std::nullopt, mFieldMergeBase,
                                                           MergeField::Addresses));
}

void QuorvaneModel::mergeNewGoogleURLsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataContactWebsiteLink>>& newURLs, bool mergeContacts) {
    if (!contact) return;
    contact->setWebsiteLinks(mergedGoogleList(contact->websiteLinks(), newURLs, mergeContacts, ValueIdentity(*this),
                                              std::nullopt, mFieldMergeBase, MergeField::URLs));
}

void QuorvaneModel::mergeNewGoogleRelationsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataContactRelation>>& newRelations, bool mergeContacts) {
    if (!contact) return;
    contact->setRelations(mergedGoogleList(contact->relations(), newRelations, mergeContacts, ValueIdentity(*this),
                                           std::nullopt, mFieldMergeBase, MergeField::Relations));
}

void QuorvaneModel::mergeNewGoogleIMAddressesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact, const std::vector<std::shared_ptr<GDataIM>>& newIMAddresses,
    bool mergeContacts) {
    if (!contact) return;
    contact->setIMAddresses(mergedGoogleList(contact->IMAddresses(), newIMAddresses, mergeContacts, ValueIdentity(*this),
                                             std::nullopt, mFieldMergeBase, MergeField::IMs));
}

void QuorvaneModel::mergeNewGoogleEventsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact, const std::vector<std::shared_ptr<GDataContactEvent>>& newEvents,
    bool mergeContacts) {
    if (!contact) return;
    contact->setEvents(mergedGoogleList(contact->events(), newEvents, mergeContacts, ValueIdentity(*this), std::nullopt,
                                        mFieldMergeBase, MergeField::Events));
}

void QuorvaneModel::mergeNewGoogleUserDefinedFieldsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataContactUserDefinedField>>& newUserDefinedFields, bool mergeContacts) {
    if (!contact) return;
    contact->setUserDefinedFields(mergedGoogleList(contact->userDefinedFields(), newUserDefinedFields, mergeContacts,
                                                   ValueIdentity(*this), std::nullopt, mFieldMergeBase,
                                                   MergeField::SocialProfiles));
}

// ----- Local side -----

void QuorvaneModel::mergeNewAppleEmailsWithAppleContact(
    const platform::CNMutableContactPtr& contact, std::vector<platform::CNLabeledValue<std::string>>& newEmailAddresses,
    bool mergeContacts, bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<std::string>(
        *contact, platform::CNContactEmailAddressesKey, &platform::CNContact::emailAddresses,
        &platform::CNMutableContact::setEmailAddresses, newEmailAddresses, mergeContacts,
        exchangeDestination ? std::optional<size_t>(kExchangeMaxEmailAddresses) : std::nullopt,
        [](const std::string& v) { return v.empty(); }, ValueIdentity(*this), mFieldMergeBase, MergeField::Emails);
}

void QuorvaneModel::mergeNewApplePhonesWithAppleContact(
    const platform::CNMutableContactPtr& contact,
    std::vector<platform::CNLabeledValue<platform::CNPhoneNumber>>& newPhoneNumbers, bool mergeContacts,
    bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<platform::CNPhoneNumber>(
        *contact, platform::CNContactPhoneNumbersKey, &platform::CNContact::phoneNumbers,
        &platform::CNMutableContact::setPhoneNumbers, newPhoneNumbers, mergeContacts,
        exchangeDestination ? std::optional<size_t>(kExchangeMaxPhoneNumbers) : std::nullopt,
        [](const platform::CNPhoneNumber& v) { return v.stringValue.empty(); }, ValueIdentity(*this), mFieldMergeBase,
        MergeField::Phones);
}

void QuorvaneModel::mergeNewAppleAddressesWithAppleContact(
    const platform::CNMutableContactPtr& contact,
    std::vector<platform::CNLabeledValue<platform::CNPostalAddress>>& newPostalAddresses, bool mergeContacts,
    bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<platform::CNPostalAddress>(
        *contact, platform::CNContactPostalAddressesKey, &platform::CNContact::postalAddresses,
        &platform::CNMutableContact::setPostalAddresses, newPostalAddresses, mergeContacts,
        exchangeDestination ? std::optional<size_t>(kExchangeMaxPostalAddresses) : std::nullopt,
        [](const platform::CNPostalAddress&) { return false; }, ValueIdentity(*this), mFieldMergeBase,
        MergeField::Addresses);
}

void QuorvaneModel::mergeNewAppleURLsWithAppleContact(
    const platform::CNMutableContactPtr& contact, std::vector<platform::CNLabeledValue<std::string>>& newURLAddresses,
    bool mergeContacts, bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<std::string>(
        *contact, platform::CNContactUrlAddressesKey, &platform::CNContact::urlAddresses,
        &platform::CNMutableContact::setUrlAddresses, newURLAddresses, mergeContacts,
        exchangeDestination ? std::optional<size_t>(kExchangeMaxURLAddresses) : std::nullopt,
        [](const std::string& v) { return v.empty(); }, ValueIdentity(*this), mFieldMergeBase, MergeField::URLs);
}

void QuorvaneModel::mergeNewAppleRelationsWithAppleContact(
    const platform::CNMutableContactPtr& contact,
    std::vector<platform::CNLabeledValue<platform::CNContactRelation>>& newRelations, bool mergeContacts,
    bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<platform::CNContactRelation>(
        *contact, platform::CNContactRelationsKey, &platform::CNContact::contactRelations,
        &platform::CNMutableContact::setContactRelations, newRelations, mergeContacts,
        exchangeDestination ? std::optional<size_t>(kExchangeMaxRelations) : std::nullopt,
        [](const platform::CNContactRelation& v) { return v.name.empty(); }, ValueIdentity(*this), mFieldMergeBase,
        MergeField::Relations);
}

void QuorvaneModel::mergeNewAppleIMAddressesWithAppleContact(
    const platform::CNMutableContactPtr& contact,
    std::vector<platform::CNLabeledValue<platform::CNInstantMessageAddress>>& newIMAddresses, bool mergeContacts,
    bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<platform::CNInstantMessageAddress>(
        *contact, platform::CNContactInstantMessageAddressesKey, &platform::CNContact::instantMessageAddresses,
        &platform::CNMutableContact::setInstantMessageAddresses, newIMAddresses, mergeContacts,
        exchangeDestination ? std::optional<size_t>(kExchangeMaxIMAddresses) : std::nullopt,
        [](const platform::CNInstantMessageAddress& v) { return v.username.empty(); }, ValueIdentity(*this),
        mFieldMergeBase, MergeField::IMs);
}

void QuorvaneModel::mergeNewAppleEventsWithAppleContact(
    const platform::CNMutableContactPtr& contact,
    std::vector<platform::CNLabeledValue<platform::DateComponents>>& newEvents, bool mergeContacts,
    bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<platform::DateComponents>(
        *contact, platform::CNContactDatesKey, &platform::CNContact::dates, &platform::CNMutableContact::setDates,
        newEvents, mergeContacts, exchangeDestination ? std::optional<size_t>(kExchangeMaxDates) : std::nullopt,
        // A date with no day, month or year is no date at all.
        [](const platform::DateComponents& v) { return dateComponentsAreNil(v); }, ValueIdentity(*this),
        mFieldMergeBase, MergeField::Events);
}

void QuorvaneModel::mergeNewAppleSocialProfilesWithAppleContact(
    const platform::CNMutableContactPtr& contact,
    std::vector<platform::CNLabeledValue<platform::CNSocialProfile>>& newSocialProfiles, bool mergeContacts) {
    if (!contact) return;
    mergeAppleList<platform::CNSocialProfile>(
        *contact, platform::CNContactSocialProfilesKey, &platform::CNContact::socialProfiles,
        &platform::CNMutableContact::setSocialProfiles, newSocialProfiles, mergeContacts, std::nullopt,
        [](const platform::CNSocialProfile& v) { return v.username.empty(); }, ValueIdentity(*this), mFieldMergeBase,
        MergeField::SocialProfiles);
}

}  // namespace quorvane
