// Merging converted values into the destination side of a pair: each multi-valued field is
// rebuilt from the source's values, keeping (with the merge choice) the destination's values the
// source does not have. The local side also keeps within what an Exchange account stores.

#include <algorithm>
#include <functional>

#include "gdata/GDataWhen.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

// The field as it ends on the Google side: without merge the new values alone; with merge the
// existing values that no new value equals, in their order, then the new values. With a
// maximum, new values are appended only while the field holds fewer than that many.
// With a merge base (FieldValues.h), a value on one side alone goes as its fate says: an
// existing value the source removed since is dropped, and a new value joins only when the
// source added it since.
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> mergedGoogleList(
    const std::vector<std::shared_ptr<T>>& existing, const std::vector<std::shared_ptr<T>>& newValues,
    bool mergeContacts, const std::function<bool(const std::shared_ptr<T>&, const std::shared_ptr<T>&)>& equal,
    std::optional<size_t> maxCount = std::nullopt, const FieldMergeBase* base = nullptr, MergeField field = {},
    const std::function<std::optional<uint32_t>(const T&)>& key = nullptr) {
    if (!mergeContacts || !key) base = nullptr;
    // A value held by one side alone: what becomes of it.
    auto fate = [&](const T& value, bool local) {
        auto k = key(value);
        return k ? base->fate(local, field, *k) : ValueFate::Copy;
    };
    std::vector<std::shared_ptr<T>> result;
    if (mergeContacts) {
        for (const auto& old : existing) {
            if (!old) continue;
            bool replaced = std::any_of(newValues.begin(), newValues.end(),
                                        [&](const std::shared_ptr<T>& v) { return v && equal(old, v); });
            if (!replaced && !(base && fate(*old, false) == ValueFate::Drop)) result.push_back(old);
        }
    }
    for (const auto& v : newValues) {
        if (!v) continue;
        if (maxCount && result.size() >= *maxCount) break;
        if (base && fate(*v, true) != ValueFate::Copy &&
            !std::any_of(existing.begin(), existing.end(), [&](const std::shared_ptr<T>& old) { return old && equal(old, v); })) {
            continue;
        }
        result.push_back(v);
    }
    if (result.empty()) return std::nullopt;
    return result;
}

// The local side's merge: with merge and a property that was read, each existing value that is
// not skipped and that no value of V (as it grows) equals is appended to V; then, with a limit,
// V loses its first values until it fits; V becomes the property.
template <class T>
void mergeAppleList(platform::CNMutableContact& contact, const char* key,
                    const std::vector<platform::CNLabeledValue<T>>& (platform::CNContact::*getter)() const,
                    void (platform::CNMutableContact::*setter)(std::vector<platform::CNLabeledValue<T>>),
                    std::vector<platform::CNLabeledValue<T>>& newValues, bool mergeContacts,
                    std::optional<size_t> limit, const std::function<bool(const T&)>& skip,
                    const std::function<bool(const T&, const T&)>& equal, const FieldMergeBase* base = nullptr,
                    MergeField field = {}, const std::function<std::optional<uint32_t>(const T&)>& valueKey = nullptr) {
    if (mergeContacts && contact.isKeyAvailable(key)) {
        const auto existing = (contact.*getter)();
        if (base && valueKey) {
            // Judged against the last run: a new value the local side lacks joins only when
            // Google added it since; an existing one Google removed since is dropped.
            auto fate = [&](const T& value, bool local) {
                auto k = valueKey(value);
                return k ? base->fate(local, field, *k) : ValueFate::Copy;
            };
            std::erase_if(newValues, [&](const platform::CNLabeledValue<T>& v) {
                const bool held = std::any_of(existing.begin(), existing.end(), [&](const platform::CNLabeledValue<T>& old) {
                    return !skip(old.value()) && equal(old.value(), v.value());
                });
                return !held && fate(v.value(), false) != ValueFate::Copy;
            });
            for (const auto& old : existing) {
                if (skip(old.value())) continue;
                bool covered = std::any_of(newValues.begin(), newValues.end(),
                                           [&](const platform::CNLabeledValue<T>& v) { return equal(old.value(), v.value()); });
                if (!covered && fate(old.value(), true) != ValueFate::Drop) newValues.push_back(old);
            }
        } else {
            for (const auto& old : existing) {
                if (skip(old.value())) continue;
                bool covered = std::any_of(newValues.begin(), newValues.end(), [&](const platform::CNLabeledValue<T>& v) {
                    return equal(old.value(), v.value());
                });
                if (!covered) newValues.push_back(old);
            }
        }
    }
    if (limit && newValues.size() > *limit) {
        newValues.erase(newValues.begin(), newValues.begin() + static_cast<std::ptrdiff_t>(newValues.size() - *limit));
    }
    (contact.*setter)(newValues);
}

// The digest of a value, as FieldMergeBase judges it.
template <class T, class F>
std::function<std::optional<uint32_t>(const T&)> keyOf(F key) {
    return key;
}

// An element the caller owns, for an operation that takes a shared pointer and keeps none.
std::shared_ptr<GDataStructuredPostalAddress> unowned(const GDataStructuredPostalAddress& a) {
    return std::shared_ptr<GDataStructuredPostalAddress>(std::shared_ptr<GDataStructuredPostalAddress>{},
                                                         const_cast<GDataStructuredPostalAddress*>(&a));
}

bool dateComponentsAreNil(const platform::DateComponents& c) {
    return !platform::DateComponents::isSet(c.year) && !platform::DateComponents::isSet(c.month) &&
           !platform::DateComponents::isSet(c.day);
}

std::optional<platform::DateComponents> eventStartComponents(const GDataContactEvent& event) {
    auto when = event.when();
    if (!when) return std::nullopt;
    auto start = when->startTime();
    if (!start) return std::nullopt;
    return start->dateComponents();
}

}  // namespace

// ----- Google side -----

void QuorvaneModel::mergeNewGoogleEmailsWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                          const std::vector<std::shared_ptr<GDataEmail>>& newEmails,
                                                          bool mergeContacts) {
    if (!contact) return;
    contact->setEmailAddresses(mergedGoogleList<GDataEmail>(
        contact->emailAddresses(), newEmails, mergeContacts,
        [this](const std::shared_ptr<GDataEmail>& a, const std::shared_ptr<GDataEmail>& b) {
            return stringsEqualWithString1(a->address(), b->address());
        },
        std::nullopt, mFieldMergeBase, MergeField::Emails,
        keyOf<GDataEmail>([](const GDataEmail& v) { return textKey(v.address()); })));
}

void QuorvaneModel::mergeNewGooglePhonesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact, const std::vector<std::shared_ptr<GDataPhoneNumber>>& newPhones,
    bool mergeContacts) {
    if (!contact) return;
    contact->setPhoneNumbers(mergedGoogleList<GDataPhoneNumber>(
        contact->phoneNumbers(), newPhones, mergeContacts,
        [this](const std::shared_ptr<GDataPhoneNumber>& a, const std::shared_ptr<GDataPhoneNumber>& b) {
            return phoneNumbersEqualWithString1(a->stringValue(), b->stringValue());
        },
        kMaxGooglePhoneNumbers,
        mFieldMergeBase, MergeField::Phones,
        keyOf<GDataPhoneNumber>([](const GDataPhoneNumber& v) { return phoneKey(v.stringValue()); })));
}

void QuorvaneModel::mergeNewGoogleAddressesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataStructuredPostalAddress>>& newAddresses, bool mergeContacts) {
    if (!contact) return;
    contact->setStructuredPostalAddresses(mergedGoogleList<GDataStructuredPostalAddress>(
        contact->structuredPostalAddresses(), newAddresses, mergeContacts,
        [this](const std::shared_ptr<GDataStructuredPostalAddress>& a,
               const std::shared_ptr<GDataStructuredPostalAddress>& b) {
            if (!stringsEqualWithString1(a->city(), b->city()) &&
                !stringsEqualWithString1(a->postCode(), b->postCode())) {
                return false;
            }
            return stringsEqualWithString1(getGoogleStreetAddressWithPostalAddress(a),
                                           getGoogleStreetAddressWithPostalAddress(b));
        },
        std::nullopt, mFieldMergeBase, MergeField::Addresses,
        keyOf<GDataStructuredPostalAddress>([this](const GDataStructuredPostalAddress& v) { return googlePostalKey(unowned(v)); })));
}

void QuorvaneModel::mergeNewGoogleURLsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataContactWebsiteLink>>& newURLs, bool mergeContacts) {
    if (!contact) return;
    contact->setWebsiteLinks(mergedGoogleList<GDataContactWebsiteLink>(
        contact->websiteLinks(), newURLs, mergeContacts,
        [this](const std::shared_ptr<GDataContactWebsiteLink>& a, const std::shared_ptr<GDataContactWebsiteLink>& b) {
            return stringsEqualWithString1(a->href(), b->href());
        },
        std::nullopt, mFieldMergeBase, MergeField::URLs,
        keyOf<GDataContactWebsiteLink>([](const GDataContactWebsiteLink& v) { return textKey(v.href()); })));
}

void QuorvaneModel::mergeNewGoogleRelationsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataContactRelation>>& newRelations, bool mergeContacts) {
    if (!contact) return;
    contact->setRelations(mergedGoogleList<GDataContactRelation>(
        contact->relations(), newRelations, mergeContacts,
        [this](const std::shared_ptr<GDataContactRelation>& a, const std::shared_ptr<GDataContactRelation>& b) {
            return stringsEqualWithString1(a->stringValue(), b->stringValue());
        },
        std::nullopt, mFieldMergeBase, MergeField::Relations,
        keyOf<GDataContactRelation>([](const GDataContactRelation& v) { return textKey(v.stringValue()); })));
}

void QuorvaneModel::mergeNewGoogleIMAddressesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact, const std::vector<std::shared_ptr<GDataIM>>& newIMAddresses,
    bool mergeContacts) {
    if (!contact) return;
    contact->setIMAddresses(
        mergedGoogleList<GDataIM>(contact->IMAddresses(), newIMAddresses, mergeContacts,
                                  [this](const std::shared_ptr<GDataIM>& a, const std::shared_ptr<GDataIM>& b) {
                                      return stringsEqualWithString1(a->address(), b->address()) &&
                                             stringsEqualWithString1(a->protocol(), b->protocol());
                                  },
        std::nullopt, mFieldMergeBase, MergeField::IMs,
        keyOf<GDataIM>([](const GDataIM& v) { return textKey(v.address()); })));
}

void QuorvaneModel::mergeNewGoogleEventsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact, const std::vector<std::shared_ptr<GDataContactEvent>>& newEvents,
    bool mergeContacts) {
    if (!contact) return;
    contact->setEvents(mergedGoogleList<GDataContactEvent>(
        contact->events(), newEvents, mergeContacts,
        [this](const std::shared_ptr<GDataContactEvent>& a, const std::shared_ptr<GDataContactEvent>& b) {
            return !datesDifferIgnoringTimeWithDateComponentsA(eventStartComponents(*a), eventStartComponents(*b));
        },
        std::nullopt, mFieldMergeBase, MergeField::Events,
        keyOf<GDataContactEvent>([this](const GDataContactEvent& v) { return googleEventKey(v); })));
}

void QuorvaneModel::mergeNewGoogleUserDefinedFieldsWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact,
    const std::vector<std::shared_ptr<GDataContactUserDefinedField>>& newUserDefinedFields, bool mergeContacts) {
    if (!contact) return;
    contact->setUserDefinedFields(mergedGoogleList<GDataContactUserDefinedField>(
        contact->userDefinedFields(), newUserDefinedFields, mergeContacts,
        [this](const std::shared_ptr<GDataContactUserDefinedField>& a,
               const std::shared_ptr<GDataContactUserDefinedField>& b) {
            return stringsEqualWithString1(a->key(), b->key()) &&
                   stringsEqualWithString1(a->stringValue(), b->stringValue());
        },
        std::nullopt, mFieldMergeBase, MergeField::SocialProfiles,
        keyOf<GDataContactUserDefinedField>([](const GDataContactUserDefinedField& v) { return textKey(v.stringValue()); })));
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
        [](const std::string& v) { return v.empty(); },
        [this](const std::string& a, const std::string& b) { return stringsEqualWithString1(a, b); },
        mFieldMergeBase, MergeField::Emails,
        keyOf<std::string>([](const std::string& v) { return textKey(v); }));
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
        [](const platform::CNPhoneNumber& v) { return v.stringValue.empty(); },
        [this](const platform::CNPhoneNumber& a, const platform::CNPhoneNumber& b) {
            return phoneNumbersEqualWithString1(a.stringValue, b.stringValue);
        },
        mFieldMergeBase, MergeField::Phones,
        keyOf<platform::CNPhoneNumber>([](const platform::CNPhoneNumber& v) { return phoneKey(v.stringValue); }));
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
        [](const platform::CNPostalAddress&) { return false; },
        [this](const platform::CNPostalAddress& a, const platform::CNPostalAddress& b) {
            if (!stringsEqualWithString1(a.city, b.city) && !stringsEqualWithString1(a.postalCode, b.postalCode)) {
                return false;
            }
            return stringsEqualWithString1(getAppleStreetAddressWithPostalAddress(a),
                                           getAppleStreetAddressWithPostalAddress(b));
        },
        mFieldMergeBase, MergeField::Addresses,
        keyOf<platform::CNPostalAddress>([this](const platform::CNPostalAddress& v) { return localPostalKey(v); }));
}

void QuorvaneModel::mergeNewAppleURLsWithAppleContact(
    const platform::CNMutableContactPtr& contact, std::vector<platform::CNLabeledValue<std::string>>& newURLAddresses,
    bool mergeContacts, bool exchangeDestination) {
    if (!contact) return;
    mergeAppleList<std::string>(
        *contact, platform::CNContactUrlAddressesKey, &platform::CNContact::urlAddresses,
        &platform::CNMutableContact::setUrlAddresses, newURLAddresses, mergeContacts,
        exchangeDestination ? std::optional<size_t>(kExchangeMaxURLAddresses) : std::nullopt,
        [](const std::string& v) { return v.empty(); },
        [this](const std::string& a, const std::string& b) { return stringsEqualWithString1(a, b); },
        mFieldMergeBase, MergeField::URLs,
        keyOf<std::string>([](const std::string& v) { return textKey(v); }));
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
        [](const platform::CNContactRelation& v) { return v.name.empty(); },
        [this](const platform::CNContactRelation& a, const platform::CNContactRelation& b) {
            return stringsEqualWithString1(a.name, b.name);
        },
        mFieldMergeBase, MergeField::Relations,
        keyOf<platform::CNContactRelation>([](const platform::CNContactRelation& v) { return textKey(v.name); }));
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
        [](const platform::CNInstantMessageAddress& v) { return v.username.empty(); },
        [this](const platform::CNInstantMessageAddress& a, const platform::CNInstantMessageAddress& b) {
            return stringsEqualWithString1(a.service, b.service) && stringsEqualWithString1(a.username, b.username);
        },
        mFieldMergeBase, MergeField::IMs,
        keyOf<platform::CNInstantMessageAddress>([](const platform::CNInstantMessageAddress& v) { return textKey(v.username); }));
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
        [](const platform::DateComponents& v) { return dateComponentsAreNil(v); },
        [this](const platform::DateComponents& a, const platform::DateComponents& b) {
            return !datesDifferIgnoringTimeWithDateComponentsA(a, b);
        },
        mFieldMergeBase, MergeField::Events,
        keyOf<platform::DateComponents>([this](const platform::DateComponents& v) { return dayKey(getDayWithDateComponents(v)); }));
}

void QuorvaneModel::mergeNewAppleSocialProfilesWithAppleContact(
    const platform::CNMutableContactPtr& contact,
    std::vector<platform::CNLabeledValue<platform::CNSocialProfile>>& newSocialProfiles, bool mergeContacts) {
    if (!contact) return;
    mergeAppleList<platform::CNSocialProfile>(
        *contact, platform::CNContactSocialProfilesKey, &platform::CNContact::socialProfiles,
        &platform::CNMutableContact::setSocialProfiles, newSocialProfiles, mergeContacts, std::nullopt,
        [](const platform::CNSocialProfile& v) { return v.username.empty(); },
        [this](const platform::CNSocialProfile& a, const platform::CNSocialProfile& b) {
            return stringsEqualWithString1(a.service, b.service) && stringsEqualWithString1(a.username, b.username);
        },
        mFieldMergeBase, MergeField::SocialProfiles,
        keyOf<platform::CNSocialProfile>([](const platform::CNSocialProfile& v) { return textKey(v.username); }));
}

}  // namespace quorvane
