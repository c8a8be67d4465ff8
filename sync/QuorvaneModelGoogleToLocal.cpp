// Google to local conversion: a Google contact entry written into a local contact field by
// field, the reverse of the local to Google conversion, and the local groups it belongs in.
//
// Every value is read through the written-value lists the comparison uses and every label through
// the reverse label converters, so a contact written one way and read back the other compares
// equal to its source.

#include "gdata/GDataContactEvent.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Log.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

template <class T>
GmailLabelInfo labelInfo(const T& element) {
    return GmailLabelInfo{element.rel(), element.label()};
}

std::string nameText(const std::shared_ptr<GDataNameElement>& part) {
    return part ? part->stringValue().value_or("") : "";
}

std::string nameYomi(const std::shared_ptr<GDataNameElement>& part) {
    if (!part) return "";
    return QuorvaneModel::getWrittenPhoneticName(part->stringValue(), part->yomi()).value_or("");
}

}  // namespace

void QuorvaneModel::updateAppleContact(const platform::CNMutableContactPtr& apple,
                                       const std::shared_ptr<GDataEntryContact>& google, const NSSyncRecordPtr& record,
                                       bool googleHadPhoto) {
    QV_ASSERT(apple && google && record, "a local contact, a contact entry and a sync record are needed");
    if (!apple || !google || !record) return;
    const bool merge = record->mMergeContacts;
    const bool created = record->mCreatedNewContact;
    const bool replace = !merge || created;
    // A new contact lands where new contacts go; an existing one stays in its own account.
    const bool exchange = created ? isExchangeDestinationForNewContacts()
                                  : isExchangeContact(apple) || (contactSourceMode() != ContactSourceModeAllAccounts &&
                                                                 isExchangeDestinationForNewContacts());
    // Merging keeps the stored values of a list, which it must have read to keep.
    auto writesList = [&](const char* key) { return !merge || apple->isKeyAvailable(key); };

    // Name and phonetic name.
    {
        auto name = google->name();
        auto given = name ? name->givenName() : nullptr;
        auto additional = name ? name->additionalName() : nullptr;
        auto family = name ? name->familyName() : nullptr;
        const std::string prefix = name ? name->namePrefix().value_or("") : "";
        const std::string suffix = name ? name->nameSuffix().value_or("") : "";
        const bool anyPart = !nameText(given).empty() || !nameText(additional).empty() || !nameText(family).empty() ||
                             !prefix.empty() || !suffix.empty();
        if (replace || anyPart) {
            apple->setGivenName(nameText(given));
            apple->setMiddleName(nameText(additional));
            apple->setFamilyName(nameText(family));
            apple->setNamePrefix(prefix);
            apple->setNameSuffix(suffix);
            apple->setPhoneticGivenName(nameYomi(given));
            apple->setPhoneticMiddleName(nameYomi(additional));
            apple->setPhoneticFamilyName(nameYomi(family));
        }
    }

    // Nickname.
    {
        auto nickname = google->nickname();
        if (replace || !isEmpty(nickname)) apple->setNickname(nickname.value_or(""));
    }

    // E-mail addresses.
    if (writesList(platform::CNContactEmailAddressesKey)) {
        std::vector<platform::CNLabeledValue<std::string>> emails;
        for (const auto& email : getWrittenGoogleEmails(*google)) {
            emails.emplace_back(convertToAppleEmailLabelWithGoogleLabel(labelInfo(*email)), email->address().value_or(""));
        }
        mergeNewAppleEmailsWithAppleContact(apple, emails, merge, exchange);
    }

    // Phone numbers.
    if (writesList(platform::CNContactPhoneNumbersKey)) {
        std::vector<platform::CNLabeledValue<platform::CNPhoneNumber>> phones;
        for (const auto& phone : getWrittenGooglePhones(*google)) {
            phones.emplace_back(convertToApplePhoneLabelWithGoogleLabel(labelInfo(*phone)),
                                platform::CNPhoneNumber{phone->stringValue().value_or("")});
        }
        mergeNewApplePhonesWithAppleContact(apple, phones, merge, exchange);
    }

    // Postal addresses: post box, street and neighbourhood become the one street text; a street
    // alone keeps its lines.
    if (writesList(platform::CNContactPostalAddressesKey)) {
        std::vector<platform::CNLabeledValue<platform::CNPostalAddress>> addresses;
        for (const auto& address : getValidPostalAddressesWithGoogleContact(google)) {
            platform::CNPostalAddress postal;
            const bool streetOnly = stringEffectivelyEmptyWithString(address->POBox()) &&
                                    stringEffectivelyEmptyWithString(address->neighborhood());
            postal.street = (streetOnly ? trimWhitespaceFromString(address->street())
                                        : getGoogleStreetAddressWithPostalAddress(address))
                                .value_or("");
            postal.city = address->city().value_or("");
            postal.state = address->region().value_or("");
            postal.postalCode = address->postCode().value_or("");
            postal.country = address->countryName().value_or("");
            if (isValidCountryCode(address->countryCode())) postal.ISOCountryCode = *address->countryCode();
            addresses.emplace_back(convertToAppleAddressLabelWithGoogleLabel(labelInfo(*address)), std::move(postal));
        }
        mergeNewAppleAddressesWithAppleContact(apple, addresses, merge, exchange);
    }

    // Birthday: the day Google stores, without a year for a year-less one.
    {
        auto day = getDayWithGoogleBirthday(*google);
        if (replace || day) apple->setBirthday(day);
    }

    // Web addresses.
    if (writesList(platform::CNContactUrlAddressesKey)) {
        std::vector<platform::CNLabeledValue<std::string>> urls;
        for (const auto& link : getWrittenGoogleURLs(*google)) {
            urls.emplace_back(convertToAppleURLLabelWithGoogleLabel(labelInfo(*link)), link->href().value_or(""));
        }
        mergeNewAppleURLsWithAppleContact(apple, urls, merge, exchange);
    }

    // Relations (an empty name is written too, as the other direction does).
    if (writesList(platform::CNContactRelationsKey)) {
        std::vector<platform::CNLabeledValue<platform::CNContactRelation>> relations;
        for (const auto& relation : google->relations()) {
            if (!relation) continue;
            relations.emplace_back(convertToAppleRelationLabelWithGoogleLabel(labelInfo(*relation)),
                                   platform::CNContactRelation{relation->stringValue().value_or("")});
        }
        mergeNewAppleRelationsWithAppleContact(apple, relations, merge, exchange);
    }

    // Instant messaging.
    if (writesList(platform::CNContactInstantMessageAddressesKey)) {
        std::vector<platform::CNLabeledValue<platform::CNInstantMessageAddress>> ims;
        for (const auto& im : getWrittenGoogleIMAddresses(*google)) {
            ims.emplace_back(convertToAppleIMLabelWithGoogleLabel(labelInfo(*im)),
                             platform::CNInstantMessageAddress{im->address().value_or(""),
                                                               convertToAppleIMProtocolWithGoogleProtocol(im->protocol())});
        }
        mergeNewAppleIMAddressesWithAppleContact(apple, ims, merge, exchange);
    }

    // Events by their day.
    if (writesList(platform::CNContactDatesKey)) {
        std::vector<platform::CNLabeledValue<platform::DateComponents>> dates;
        for (const auto& event : getWrittenGoogleEvents(*google)) {
            dates.emplace_back(convertToAppleEventLabelWithGoogleLabel(labelInfo(*event)), *getDayWithGoogleEvent(*event));
        }
        mergeNewAppleEventsWithAppleContact(apple, dates, merge, exchange);
    }

    // User-defined fields as social profiles; an Exchange account keeps none.
    if (!exchange && writesList(platform::CNContactSocialProfilesKey)) {
        std::vector<platform::CNLabeledValue<platform::CNSocialProfile>> profiles;
        for (const auto& field : getWrittenGoogleUserDefinedFields(*google)) {
            profiles.emplace_back(std::nullopt,
                                  platform::CNSocialProfile{field->stringValue().value_or(""),
                                                            convertToAppleSocialProfileServiceWithGoogleLabel(field->key())});
        }
        mergeNewAppleSocialProfilesWithAppleContact(apple, profiles, merge);
    }

    // Note: without the merge flag always (empty for none); with it only a real note.
    {
        auto content = google->content();
        auto note = content ? content->stringValue() : std::nullopt;
        if (!merge || !stringEffectivelyEmptyWithString(note)) apple->setNote(note.value_or(""));
    }

    // Organisation: each part from the first Google organisation that has it, which is what the
    // comparison accepts as equal.
    {
        std::optional<std::string> orgName, title, department;
        for (const auto& organization : google->organizations()) {
            if (!organization) continue;
            if (!orgName && !stringEffectivelyEmptyWithString(organization->orgName())) orgName = organization->orgName();
            if (!title && !stringEffectivelyEmptyWithString(organization->orgTitle())) title = organization->orgTitle();
            if (!department && !stringEffectivelyEmptyWithString(organization->orgDepartment())) {
                department = organization->orgDepartment();
            }
        }
        if (replace || orgName || title || department) {
            apple->setOrganizationName(orgName.value_or(""));
            apple->setJobTitle(title.value_or(""));
            apple->setDepartmentName(department.value_or(""));
        }
    }

    // Photo: Google's photo was removed since the last sync.
    if (replace && !created && googleHadPhoto && syncPhotosSetting()) {
        auto photo = google->photoLink();
        if (!photo || isEmpty(photo->ETag())) apple->setImageData(std::nullopt);
    }

    addToLogWithSyncRecord(record, created, false);
}

platform::CNMutableContactPtr QuorvaneModel::createAppleContactWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& google, const NSSyncRecordPtr& record) {
    QV_ASSERT(record, "a sync record is needed");
    if (!record) return nullptr;
    record->mCreatedNewContact = true;
    auto apple = std::make_shared<platform::CNMutableContact>();
    updateAppleContact(apple, google, record, false);
    return apple;
}

std::optional<std::vector<std::string>> QuorvaneModel::getAppleGroupNamesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& google, const NSSyncRecordPtr& record,
    const std::optional<std::vector<std::string>>& currentAppleGroupNames) {
    if (!google || !selectedAppleAccountSupportsGroups()) return std::nullopt;
    auto names = getGoogleContactGroupNamesWithContact(google, true);
    if (record && record->mMergeContacts && !record->mCreatedNewContact && currentAppleGroupNames) {
        names = combineStringArraysWithArray1(names, *currentAppleGroupNames);
    }
    if (autoAddContactsToGroup() && !stringEffectivelyEmptyWithString(autoAddToGroupName())) {
        names = combineStringArraysWithArray1(names, {trimWhitespaceFromString(autoAddToGroupName()).value_or("")});
    }
    return names;
}

}  // namespace quorvane
