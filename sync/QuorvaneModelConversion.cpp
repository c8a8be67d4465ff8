// Local to Google conversion: a local contact written into a Google contact entry field by field,
// with its group memberships; the local group names of each contact; new Google groups for local
// group names; the run log line of a written contact.

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Log.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {

constexpr const char* kSystemGroupPrefix = "System Group: ";

std::optional<std::string> withoutSystemGroupPrefix(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return platform::replaceAll(*text, kSystemGroupPrefix, "");
}

// A group entry's title text without "System Group: "; nil when it has none.
std::optional<std::string> groupTitleName(const std::shared_ptr<GDataEntryBase>& group) {
    if (!group) return std::nullopt;
    auto title = group->title();
    return title ? withoutSystemGroupPrefix(title->stringValue()) : std::nullopt;
}

// nil for an empty string, so that setters leave out the element.
std::optional<std::string> nonEmpty(const std::optional<std::string>& s) {
    if (!s || s->empty()) return std::nullopt;
    return s;
}

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

}  // namespace

// The instant a local date is written as. Google birthdays and events name a day in UTC (the
// birthday is written as its UTC day, an event date in the universal zone), so the instant is
// taken at noon UTC of the local date's day: noon in the local zone would already be the previous
// day in UTC for zones thirteen or more hours ahead of it.
static std::optional<platform::Date> googleDayDate(const std::optional<platform::DateComponents>& components) {
    if (!components) return std::nullopt;
    platform::DateComponents c = *components;
    if (!platform::DateComponents::isSet(c.year)) c.year = QuorvaneModel::kNoYear;
    if (!platform::DateComponents::isSet(c.hour)) c.hour = 12;
    static const platform::Calendar utc(platform::TimeZone::universal());
    return utc.date(c);
}

void QuorvaneModel::updateGoogleContact(const std::shared_ptr<GDataEntryContact>& google,
                                        const platform::CNContactPtr& apple, const platform::CNContactPtr& actualApple,
                                        const NSSyncRecordPtr& record,
                                        const std::optional<std::vector<std::string>>& appleGroupNames) {
    QV_ASSERT(google && apple && record, "a contact entry, a local contact and a sync record are needed");
    if (!google || !apple || !record) return;
    const bool merge = record->mMergeContacts;
    const bool created = record->mCreatedNewContact;
    const bool replace = !merge || created;

    // 1. Name.
    {
        auto given = truncateStringToDefaultMaxGoogleLength(apple->givenName());
        auto middle = truncateStringToDefaultMaxGoogleLength(apple->middleName());
        auto family = truncateStringToDefaultMaxGoogleLength(apple->familyName());
        auto prefix = truncateStringToDefaultMaxGoogleLength(apple->namePrefix());
        auto suffix = truncateStringToDefaultMaxGoogleLength(apple->nameSuffix());
        auto phoneticGiven = truncateStringToDefaultMaxGoogleLength(apple->phoneticGivenName());
        auto phoneticMiddle = truncateStringToDefaultMaxGoogleLength(apple->phoneticMiddleName());
        auto phoneticFamily = truncateStringToDefaultMaxGoogleLength(apple->phoneticFamilyName());
        auto name = GDataName::nameWithPrefix(prefix, given, middle, family, suffix);
        auto setYomi = [](const std::shared_ptr<GDataNameElement>& part, const std::optional<std::string>& yomi) {
            if (part && !isEmpty(yomi)) part->setYomi(yomi);
        };
        setYomi(name->givenName(), getWrittenPhoneticName(given, phoneticGiven));
        setYomi(name->additionalName(), getWrittenPhoneticName(middle, phoneticMiddle));
        setYomi(name->familyName(), getWrittenPhoneticName(family, phoneticFamily));
        // A phonetic name counts only with its part: alone it writes nothing, and merging must not
        // replace Google's name by an empty one for it.
        const bool anyPart = !isEmpty(given) || !isEmpty(middle) || !isEmpty(family) || !isEmpty(prefix) ||
                             !isEmpty(suffix);
        if (replace || anyPart) google->setName(name);
    }

    // 2. Nickname.
    {
        auto nickname = truncateStringToDefaultMaxGoogleLength(apple->nickname());
        if (replace || !isEmpty(nickname)) google->setNickname(nonEmpty(nickname));
    }

    // 3. E-mail addresses.
    {
        std::vector<std::shared_ptr<GDataEmail>> emails;
        for (const auto& labeled : getWrittenAppleEmails(*apple)) {
            auto info = convertToGoogleEmailLabelWithAppleLabel(labeled.label());
            auto email = GDataEmail::emailWithLabel(info.label, truncateString(labeled.value(), kMaxGoogleEmailPhoneLength));
            email->setRel(info.rel);
            emails.push_back(email);
        }
        mergeNewGoogleEmailsWithGoogleContact(google, emails, merge);
    }

    // 4. Phone numbers.
    {
        std::vector<std::shared_ptr<GDataPhoneNumber>> phones;
        for (const auto& labeled : getWrittenApplePhones(*apple)) {
            const auto& number = labeled.value().stringValue;
            auto info = convertToGooglePhoneLabelWithAppleLabel(labeled.label());
            auto phone = GDataPhoneNumber::phoneNumberWithString(truncateString(number, kMaxGoogleEmailPhoneLength));
            phone->setRel(info.rel);
            phone->setLabel(info.label);
            phones.push_back(phone);
        }
        mergeNewGooglePhonesWithGoogleContact(google, phones, merge);
    }

    // 5. Postal addresses, when they were fetched.
    if (apple->isKeyAvailable(platform::CNContactPostalAddressesKey)) {
        std::vector<std::shared_ptr<GDataStructuredPostalAddress>> addresses;
        for (const auto& labeled : getWrittenApplePostalAddresses(*apple)) {
            const auto& postal = labeled.value();
            auto address = GDataStructuredPostalAddress::structuredPostalAddress();
            auto part = [&](const std::optional<std::string>& value) -> std::optional<std::string> {
                if (stringEffectivelyEmptyWithString(value)) return std::nullopt;
                return truncateStringToDefaultMaxGoogleLength(value);
            };
            if (auto v = part(getAppleStreetAddressWithPostalAddress(postal))) address->setStreet(v);
            if (auto v = part(postal.city)) address->setCity(v);
            if (auto v = part(postal.state)) address->setRegion(v);
            if (auto v = part(postal.postalCode)) address->setPostCode(v);
            if (auto v = part(postal.country)) address->setCountryName(v);
            auto code = truncateStringToDefaultMaxGoogleLength(postal.ISOCountryCode);
            if (isValidCountryCode(code)) address->setCountryCode(code);
            auto info = convertToGoogleAddressLabelWithAppleLabel(labeled.label());
            address->setRel(info.rel);
            address->setLabel(info.label);
            addresses.push_back(address);
        }
        mergeNewGoogleAddressesWithGoogleContact(google, addresses, merge);
    }

    // 6. Birthday.
    {
        auto date = googleDayDate(getWrittenAppleBirthday(*apple));
        if (replace || date) google->setBirthdayWithDate(date);
    }

    // 7. Web addresses.
    {
        std::vector<std::shared_ptr<GDataContactWebsiteLink>> links;
        for (const auto& labeled : getWrittenAppleURLs(*apple)) {
            auto info = convertToGoogleURLLabelWithAppleLabel(labeled.label());
            links.push_back(GDataContactLink::linkWithRel<GDataContactWebsiteLink>(info.rel, info.label, labeled.value()));
        }
        mergeNewGoogleURLsWithGoogleContact(google, links, merge);
    }

    // 8. Relations (an empty name is written too).
    {
        std::vector<std::shared_ptr<GDataContactRelation>> relations;
        for (const auto& labeled : apple->contactRelations()) {
            auto info = convertToGoogleRelationLabelWithAppleLabel(labeled.label());
            relations.push_back(GDataContactRelation::relationWithRel(
                info.rel, info.label, truncateStringToDefaultMaxGoogleLength(labeled.value().name)));
        }
        mergeNewGoogleRelationsWithGoogleContact(google, relations, merge);
    }

    // 9. Instant messaging, when it was fetched.
    if (apple->isKeyAvailable(platform::CNContactInstantMessageAddressesKey)) {
        std::vector<std::shared_ptr<GDataIM>> ims;
        for (const auto& labeled : getWrittenAppleIMAddresses(*apple)) {
            const auto& im = labeled.value();
            auto info = convertToGoogleIMLabelWithAppleLabel(labeled.label());
            ims.push_back(GDataIM::IMWithProtocol(convertToGoogleIMProtocolWithAppleProtocol(im.service), info.rel,
                                                  info.label, truncateStringToDefaultMaxGoogleLength(im.username)));
        }
        mergeNewGoogleIMAddressesWithGoogleContact(google, ims, merge);
    }

    // 10. Events: dates without time in the universal zone.
    {
        std::vector<std::shared_ptr<GDataContactEvent>> events;
        for (const auto& labeled : getWrittenAppleDates(*apple)) {
            auto date = googleDayDate(labeled.value());
            if (!date) continue;
            GDataDateTime start(*date, platform::TimeZone::universal());
            start.setHasTime(false);
            auto info = convertToGoogleEventLabelWithAppleLabel(labeled.label());
            events.push_back(
                GDataContactEvent::eventWithRel(info.rel, info.label, GDataWhen::whenWithStartTime(start, std::nullopt)));
        }
        mergeNewGoogleEventsWithGoogleContact(google, events, merge);
    }

    // 11. Social profiles, when they were fetched, as user-defined fields.
    if (apple->isKeyAvailable(platform::CNContactSocialProfilesKey)) {
        std::vector<std::shared_ptr<GDataContactUserDefinedField>> fields;
        for (const auto& labeled : getWrittenAppleSocialProfiles(*apple)) {
            const auto& profile = labeled.value();
            fields.push_back(GDataContactUserDefinedField::userDefinedFieldWithKey(
                convertToGoogleSocialProfileLabelWithAppleLabel(profile.service), profile.username));
        }
        mergeNewGoogleUserDefinedFieldsWithGoogleContact(google, fields, merge);
    }

    // 12. Note: without the merge flag always (empty content for no note); with it only a real note.
    {
        const auto& note = apple->note();
        if (!merge) {
            google->setContentWithString(truncateString(note, kMaxGoogleNoteLength));
        } else if (!note.empty() && !stringEffectivelyEmptyWithString(note)) {
            google->setContentWithString(truncateString(note, kMaxGoogleNoteLength));
        }
    }

    // 13. Organization: one organization of rel "other" replaces Google's.
    {
        auto orgName = truncateStringToDefaultMaxGoogleLength(apple->organizationName());
        auto title = truncateStringToDefaultMaxGoogleLength(apple->jobTitle());
        auto department = truncateStringToDefaultMaxGoogleLength(apple->departmentName());
        if (replace || !isEmpty(orgName) || !isEmpty(title) || !isEmpty(department)) {
            google->setOrganizations(std::vector<std::shared_ptr<GDataOrganization>>{});
            auto organization = GDataOrganization::organizationWithName(nonEmpty(orgName));
            if (!stringEffectivelyEmptyWithString(title)) organization->setOrgTitle(title);
            if (!stringEffectivelyEmptyWithString(department)) organization->setOrgDepartment(department);
            organization->setRel(std::string(kGDataContactOther));
            google->addOrganization(organization);
        }
    }

    // 14. Photo flags (never cleared here).
    if (record->mSyncPhoto && apple->imageDataAvailable()) {
        mHasABPhotosToSubmit = true;
        if (created) mHasABPhotosToSubmitForNewRecord = true;
    }

    // 15. Group memberships.
    {
        const bool wasInMyContacts = belongsToMyContacts(google);
        auto myContacts = mGroupFeed ? mGroupFeed->entryForSystemGroupID(kGDataSystemGroupIDMyContacts) : nullptr;
        auto myContactsName = groupTitleName(myContacts);
        // Without a My Contacts group in the feed there is no id to point at: the contact gets no
        // My Contacts membership rather than one without a group.
        auto myContactsID = myContacts ? myContacts->identifier() : std::nullopt;
        auto addMyContacts = [&] {
            if (myContactsID) google->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(myContactsID));
        };

        std::vector<std::string> names = trimWhitespaceFromStringArray(appleGroupNames.value_or(std::vector<std::string>{}));
        if (merge || !appleContactSupportsGroups(actualApple)) {
            auto googleNames = getGoogleContactGroupNamesWithContact(google, false);
            if (!googleNames.empty()) names = combineStringArraysWithArray1(names, googleNames);
        }
        if (autoAddContactsToGroup() && !isEmpty(autoAddToGroupName())) {
            auto autoName = trimWhitespaceFromString(autoAddToGroupName());
            names = combineStringArraysWithArray1(names, std::vector<std::string>{autoName.value_or("")});
        }

        google->setGroupMembershipInfos(std::vector<std::shared_ptr<GDataGroupMembershipInfo>>{});
        if (names.empty()) {
            addMyContacts();
        } else {
            bool noneAdded = true;
            bool myContactsAdded = false;
            const auto& entries = mGroupFeed ? mGroupFeed->entries() : std::nullopt;
            for (const auto& name : names) {
                if (stringEffectivelyEmptyWithString(name)) continue;
                std::shared_ptr<GDataEntryBase> group;
                if (myContacts && stringsEqualWithString1(myContactsName, name)) {
                    group = myContacts;
                } else if (entries) {
                    std::shared_ptr<GDataEntryBase> systemMatch;
                    for (const auto& entry : *entries) {
                        if (!stringsEqualWithString1(groupTitleName(entry), name)) continue;
                        auto contactGroup = std::dynamic_pointer_cast<GDataEntryContactGroup>(entry);
                        if (!contactGroup || !contactGroup->systemGroup()) {
                            group = entry;
                            break;
                        }
                        if (!systemMatch) systemMatch = entry;
                    }
                    if (!group) group = systemMatch;
                }
                if (!group) continue;  // the run creates missing groups before it submits contacts
                google->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(group->identifier()));
                noneAdded = false;
                if (group == myContacts) myContactsAdded = true;
            }
            if (!myContactsAdded && (noneAdded || wasInMyContacts || created)) addMyContacts();
        }
    }

    // 16. Log.
    addToLogWithSyncRecord(record, created, true);
}

std::shared_ptr<GDataEntryContact> QuorvaneModel::createGoogleContactWithAppleContact(
    const platform::CNContactPtr& apple, const platform::CNContactPtr& actualApple, const NSSyncRecordPtr& record,
    const std::optional<std::vector<std::string>>& appleGroupNames) {
    QV_ASSERT(record, "a sync record is needed");
    if (!record) return nullptr;
    record->mCreatedNewContact = true;
    registerContactClasses();
    auto google = GDataEntryContact::object();
    updateGoogleContact(google, apple, actualApple, record, appleGroupNames);
    return google;
}

std::map<std::string, std::vector<std::string>> QuorvaneModel::getGroupMembershipByPersonWithError(
    std::optional<platform::Error>* error) {
    std::map<std::string, std::vector<std::string>> byPerson;
    for (const auto& group : getAppleGroupsInSelectedContainerWithError(error)) {
        if (!group) continue;
        auto name = withoutSystemGroupPrefix(group->name());
        if (stringEffectivelyEmptyWithString(name)) continue;
        for (const auto& contact : getAppleContactsInGroup(group, 0, error)) {
            if (!contact || contact->identifier().empty()) continue;
            auto& names = byPerson[contact->identifier()];
            bool listed = false;
            for (const auto& existing : names) {
                if (stringsEqualWithString1(existing, name)) {
                    listed = true;
                    break;
                }
            }
            if (!listed) names.push_back(*name);
        }
    }
    return byPerson;
}

std::shared_ptr<GDataEntryContactGroup> QuorvaneModel::createGoogleGroupWithABGroupName(
    const std::optional<std::string>& name) {
    if (stringEffectivelyEmptyWithString(name)) return nullptr;
    for (const char* systemName : {"My Contacts", "Friends", "Family", "Coworkers"}) {
        if (stringsEqualWithString1(name, std::string(systemName))) return nullptr;
    }
    if (mGroupFeed && mGroupFeed->entries()) {
        for (const auto& entry : *mGroupFeed->entries()) {
            auto title = groupTitleName(entry);
            if (title && stringsEqualWithString1(title, name)) return nullptr;
        }
    }
    return GDataEntryContactGroup::contactGroupEntryWithTitle(name);
}

void QuorvaneModel::addToLogWithSyncRecord(const NSSyncRecordPtr& record, bool createdNewContact, bool updatedGoogle) {
    if (!record || isEmpty(record->mDescription)) return;
    std::string line = updatedGoogle ? getGoogleAccountName() : getAppleAccountName();
    line += ": ";
    line += createdNewContact ? Utils::localized("QVR_Created", "Created") : Utils::localized("QVR_Updated", "Updated");
    line += " ";
    line += *record->mDescription;
    if (!createdNewContact) {
        auto reason = record->getSyncReasonString(0);
        if (!reason.empty()) line += " (" + reason + ")";
    }
    line += "\n";
    mRunLog.appendRaw(line);
}

}  // namespace quorvane
