// Local to Google conversion: a local contact written into a Google contact entry field by field
// (the rows of ContactFieldTable), with its group memberships; the local group names of each
// contact; new Google groups for local group names; the run log line of a written contact.

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Log.h"
#include "sync/ContactFieldTable.h"
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

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

}  // namespace

void QuorvaneModel::updateGoogleContact(const std::shared_ptr<GDataEntryContact>& google,
                                        const platform::CNContactPtr& apple, const platform::CNContactPtr& actualApple,
                                        const NSSyncRecordPtr& record,
                                        const std::optional<std::vector<std::string>>& appleGroupNames) {
    QV_ASSERT(google && apple && record, "a contact entry, a local contact and a sync record are needed");
    if (!google || !apple || !record) return;
    const bool merge = record->mMergeContacts;
    const bool created = record->mCreatedNewContact;
    const bool replace = !merge || created;

    // The fields, in the table's order; the photo row sets the photo flags.
    const ContactFieldToGoogle fields{*this, google, *apple, *record, merge, created, replace};
    // A merge with history is judged against what the last run left on each side.
    setFieldMergeBase(merge && !created ? record->mFieldBase.get() : nullptr);
    for (const auto& row : contactFieldTable()) row.toGoogle(fields);
    setFieldMergeBase(nullptr);

    // Group memberships.
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
        const bool localGroups = appleContactSupportsGroups(actualApple);
        if (merge || !localGroups) {
            auto googleNames = getGoogleContactGroupNamesWithContact(google, false);
            // A merge with history drops a membership either side left since, and adds one only
            // where it was added since.
            if (merge && !created && localGroups && record->mFieldBase) {
                names = mergedGroupNames(*record->mFieldBase, true, names, googleNames);
            } else if (!googleNames.empty()) {
                names = combineStringArraysWithArray1(names, googleNames);
            }
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

    // Logged when Google confirms the write (the run's execution), not here: a converted entry
    // may never be sent.
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

LocalGroupMembership QuorvaneModel::getGroupMembershipByPersonWithError() {
    LocalGroupMembership membership;
    auto groups = getAppleGroupsInSelectedContainerWithError();
    if (!groups) {
        membership.unread = groups.error();
        return membership;
    }
    for (const auto& group : *groups) {
        if (!group) continue;
        auto name = withoutSystemGroupPrefix(group->name());
        if (stringEffectivelyEmptyWithString(name)) continue;
        auto contacts = getAppleContactsInGroup(group, 0);
        if (!contacts) {
            membership.unread = contacts.error();
            continue;
        }
        for (const auto& contact : *contacts) {
            if (!contact || contact->identifier().empty()) continue;
            auto& names = membership.byPerson[contact->identifier()];
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
    return membership;
}

platform::Result<void> QuorvaneModel::updateGroupMembershipByPersonWithError() {
    auto membership = getGroupMembershipByPersonWithError();
    mGroupMembershipByPerson = std::move(membership.byPerson);
    if (membership.unread) return *membership.unread;
    return {};
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
