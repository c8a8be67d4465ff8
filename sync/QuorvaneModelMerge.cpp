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

// How a list merges, from each value's keys (ValueIdentity::keys): the destination's values
// (`existing`, those skipped left out) and the source's (`incoming`).
struct ListMergePlan {
    std::vector<bool> takeNew;                      // per source value: it goes in
    std::vector<std::optional<size_t>> existingFor;  // per source value: the destination's form kept in its place
    std::vector<bool> keepExisting;                 // per destination value: kept besides the source's
};

// Without a merge base a source value replaces every destination value of its identity, and the
// destination's other values stay. With one (FieldMergeBase), each source value is paired with
// one destination value, of its version first, then of its identity; a pair in two versions
// (a label changed) takes the destination's where the source's is the one the source held at the
// last run (only the destination changed it), else the source's. A value of either side left
// unpaired goes as its fate says: by its version where the other side holds its identity in
// other values (a second value of one identity added, or removed, since), else by its identity.
// On the local side (`growing`) a destination value is also taken as covered by the values
// already taken: one of an identity taken before without a base, or of a version taken before with one.
ListMergePlan planListMerge(const std::vector<ValueKeys>& existing, const std::vector<bool>& skipped,
                            const std::vector<ValueKeys>& incoming, bool sourceLocal, const FieldMergeBase* base,
                            MergeField field, bool growing) {
    const size_t n = incoming.size(), m = existing.size();
    ListMergePlan plan{std::vector<bool>(n, true), std::vector<std::optional<size_t>>(n), std::vector<bool>(m, false)};
    std::vector<std::optional<size_t>> pairOfNew(n);
    std::vector<bool> paired(m, false);
    if (base) {
        for (const bool byVersion : {true, false}) {
            for (size_t i = 0; i < n; ++i) {
                for (size_t j = 0; j < m && !pairOfNew[i]; ++j) {
                    if (skipped[j] || paired[j]) continue;
                    if (byVersion ? existing[j].version != incoming[i].version : existing[j].id != incoming[i].id) continue;
                    pairOfNew[i] = j;
                    paired[j] = true;
                }
            }
        }
    }
    auto holds = [](const std::vector<ValueKeys>& list, const std::vector<bool>* skip, auto part, const std::optional<uint32_t>& key) {
        for (size_t j = 0; j < list.size(); ++j)
            if (!(skip && (*skip)[j]) && list[j].*part == key) return true;
        return false;
    };
    auto olderHeldIn = [&](const std::vector<ValueKeys>& list, const ValueKeys& v) {
        return v.older && holds(list, nullptr, &ValueKeys::older, v.older);
    };
    std::vector<ValueKeys> inResult;
    for (size_t i = 0; i < n; ++i) {
        const auto& v = incoming[i];
        if (!base || !v.id) {
            plan.takeNew[i] = true;
        } else if (pairOfNew[i]) {
            const auto& kept = existing[*pairOfNew[i]];
            if (kept.version != v.version && v.version && base->heldVersion(sourceLocal, field, *v.version, true) == true)
                plan.existingFor[i] = *pairOfNew[i];
        } else if (holds(existing, &skipped, &ValueKeys::id, v.id)) {
            plan.takeNew[i] = v.version && base->versionFate(sourceLocal, field, *v.version) == ValueFate::Copy;
        } else {
            plan.takeNew[i] = base->fate(sourceLocal, field, *v.id, v.older, olderHeldIn(existing, v)) == ValueFate::Copy;
        }
        if (plan.takeNew[i]) inResult.push_back(plan.existingFor[i] ? existing[*plan.existingFor[i]] : v);
    }
    for (size_t j = 0; j < m; ++j) {
        const auto& e = existing[j];
        if (skipped[j] || paired[j]) continue;
        const bool covered = holds(incoming, nullptr, &ValueKeys::id, e.id);
        bool keep;
        if (!base || !e.id) keep = !covered;
        else if (covered) keep = e.version && base->versionFate(!sourceLocal, field, *e.version) != ValueFate::Drop;
        else keep = base->fate(!sourceLocal, field, *e.id, e.older, olderHeldIn(incoming, e)) != ValueFate::Drop;
        if (keep && growing && holds(inResult, nullptr, base ? &ValueKeys::version : &ValueKeys::id, base ? e.version : e.id))
            keep = false;
        plan.keepExisting[j] = keep;
        if (keep) inResult.push_back(e);
    }
    return plan;
}

// The field as it ends on the Google side (the source is local): without merge the new values
// alone; with merge the existing values kept (planListMerge), in their order, then the new values
// taken. With a maximum, new values are appended only while the field holds fewer than that many.
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> mergedGoogleList(const std::vector<std::shared_ptr<T>>& existing,
                                                                const std::vector<std::shared_ptr<T>>& newValues,
                                                                bool mergeContacts, const ValueIdentity& identity,
                                                                std::optional<size_t> maxCount = std::nullopt,
                                                                const FieldMergeBase* base = nullptr, MergeField field = {}) {
    std::vector<std::shared_ptr<T>> incoming;
    for (const auto& v : newValues)
        if (v) incoming.push_back(v);
    std::vector<std::shared_ptr<T>> result;
    ListMergePlan plan{std::vector<bool>(incoming.size(), true), std::vector<std::optional<size_t>>(incoming.size()), {}};
    if (mergeContacts) {
        std::vector<ValueKeys> oldKeys, newKeys;
        std::vector<bool> skipped;
        for (const auto& old : existing) {
            oldKeys.push_back(old ? identity.keys(field, *old) : ValueKeys{});
            skipped.push_back(!old);
        }
        for (const auto& v : incoming) newKeys.push_back(identity.keys(field, *v));
        plan = planListMerge(oldKeys, skipped, newKeys, true, base, field, false);
        for (size_t j = 0; j < existing.size(); ++j)
            if (plan.keepExisting[j]) result.push_back(existing[j]);
    }
    for (size_t i = 0; i < incoming.size(); ++i) {
        if (maxCount && result.size() >= *maxCount) break;
        if (plan.takeNew[i]) result.push_back(plan.existingFor[i] ? existing[*plan.existingFor[i]] : incoming[i]);
    }
    if (result.empty()) return std::nullopt;
    return result;
}

// The local side's merge (the source is Google): with merge and a property that was read, V
// becomes the new values taken (planListMerge), then the existing values kept that are not
// skipped; then, with a limit, V loses its first values until it fits; V becomes the property.
template <class T>
void mergeAppleList(platform::CNMutableContact& contact, const char* key,
                    const std::vector<platform::CNLabeledValue<T>>& (platform::CNContact::*getter)() const,
                    void (platform::CNMutableContact::*setter)(std::vector<platform::CNLabeledValue<T>>),
                    std::vector<platform::CNLabeledValue<T>>& newValues, bool mergeContacts,
                    std::optional<size_t> limit, const std::function<bool(const T&)>& skip,
                    const ValueIdentity& identity, const FieldMergeBase* base = nullptr, MergeField field = {}) {
    if (mergeContacts && contact.isKeyAvailable(key)) {
        const auto existing = (contact.*getter)();
        std::vector<ValueKeys> oldKeys, newKeys;
        std::vector<bool> skipped;
        for (const auto& old : existing) {
            skipped.push_back(skip(old.value()));
            oldKeys.push_back(identity.keys(field, old));
        }
        for (const auto& v : newValues) newKeys.push_back(identity.keys(field, v));
        const auto plan = planListMerge(oldKeys, skipped, newKeys, false, base, field, true);
        std::vector<platform::CNLabeledValue<T>> merged;
        for (size_t i = 0; i < newValues.size(); ++i)
            if (plan.takeNew[i]) merged.push_back(plan.existingFor[i] ? existing[*plan.existingFor[i]] : newValues[i]);
        for (size_t j = 0; j < existing.size(); ++j)
            if (plan.keepExisting[j]) merged.push_back(existing[j]);
        newValues = std::move(merged);
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
