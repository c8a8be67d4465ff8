#include "sync/NSSyncRecord.h"

#include "sync/DisplayDateFormatter.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {

std::string displayString(const std::optional<platform::Date>& date) {
    return date ? DisplayDateFormatter::stringFromDate(*date) : std::string();
}

struct ReasonText {
    const char* plainKey;
    const char* plainText;
    const char* changedKey;
    const char* changedText;
};

// By ContactDifference, from 2 (name) to 17 (new contact).
constexpr ReasonText kReasons[] = {
    {"QVR_Name", "Name", "QVR_NameChanged", "Name Changed"},
    {"QVR_Email", "Email", "QVR_EmailChanged", "Email Changed"},
    {"QVR_Phone", "Phone", "QVR_PhoneChanged", "Phone Changed"},
    {"QVR_Address", "Address", "QVR_AddressChanged", "Address Changed"},
    {"QVR_Birthday", "Birthday", "QVR_BirthdayChanged", "Birthday Changed"},
    {"QVR_URL", "Web Address", "QVR_URLChange", "Web Address Changed"},
    {"QVR_Relation", "Relation", "QVR_RelationshipChanged", "Relationship Changed"},
    {"QVR_IMAccount", "IM Account", "QVR_IMAccountChanged", "IM Account Changed"},
    {"QVR_Event", "Event", "QVR_EventChanged", "Event Changed"},
    {"QVR_SocialProfile", "Social Profile", "QVR_SocialProfileChanged", "Social Profile Changed"},
    {"QVR_Notes", "Notes", "QVR_NotesChanged", "Notes Changed"},
    {"QVR_Organization", "Organization", "QVR_OrganizationChanged", "Organization Changed"},
    {"Global_Groups", "Groups", "QVR_GroupsChanged", "Groups Changed"},
    {"QVR_MyContacts", "Contacts Group", "QVR_MyContactsChanged", "Missing from Contacts (My Contacts) Group"},
    {"QVR_Photo", "Photo", "QVR_PhotoChanged", "Photo Changed"},
    {"QVR_NewContact", "New Contact", "QVR_NewContact", "New Contact"},
};

}  // namespace

std::shared_ptr<QuorvaneModel> NSSyncRecord::model() const {
    if (mHasModel) return mModel.lock();
    return QuorvaneModel::sharedQuorvaneModel();
}

std::string NSSyncRecord::getAppleContactLastUpdateString() const {
    if (!mAppleContact) return "";
    auto m = model();
    return m ? displayString(m->getModificationDateWithAppleContact(mAppleContact)) : std::string();
}

std::string NSSyncRecord::getGoogleContactLastUpdateString() const {
    if (!mGoogleContact) return "";
    auto updated = mGoogleContact->updatedDate();
    return displayString(updated ? updated->date() : std::nullopt);
}

std::string NSSyncRecord::getLastSyncTime() const { return displayString(mLastSyncDate); }

std::string NSSyncRecord::getAppleContactDescription() const {
    return QuorvaneModel::getDescriptionWithAppleContact(mAppleContact);
}

std::string NSSyncRecord::getGoogleContactDescription() const {
    return QuorvaneModel::getDescriptionWithGoogleContact(mGoogleContact, false);
}

void NSSyncRecord::generateDescriptionAndSortString() {
    if (mAppleContact && (mSyncAction != SyncActionGoogleToMac || !mGoogleContact)) {
        mDescription = QuorvaneModel::getDescriptionWithAppleContact(mAppleContact);
        mSortString = QuorvaneModel::getSortStringWithAppleContact(mAppleContact, *mDescription);
    } else if (mGoogleContact) {
        mDescription = QuorvaneModel::getDescriptionWithGoogleContact(mGoogleContact, false);
        mSortString = QuorvaneModel::getSortStringWithGoogleContact(mGoogleContact, *mDescription);
    } else {
        mDescription = "";
        mSortString = "";
    }
}

std::string NSSyncRecord::getSyncActionDescription() const {
    auto m = model();
    return m ? m->getSyncActionDescriptionForSyncAction(mSyncAction) : std::string();
}

std::string NSSyncRecord::getSyncReasonString(int32_t detailLevel) const {
    const bool bothSides = mAppleContact && mGoogleContact;
    if (mSyncAction == SyncActionDeleteContact) {
        if (detailLevel != 2) return "";
        return bothSides ? Utils::localized("QVR_DeletingContacts", "Deleting Contacts")
                         : Utils::localized("QVR_DeletingMatchingContact", "Deleting Matching Contact");
    }
    if (mSyncAction == SyncActionNoUpdate) {
        // Nothing to say when the user switched the planned change off, or in a manual run.
        if (mInitialSyncAction != SyncActionNoUpdate) return "";
        auto m = model();
        if (!m || m->syncMode() == SyncModeManual) return "";
        return Utils::localized("QVR_AlreadySynced", "Already Synced");
    }
    if (mHasSyncHistory) {
        if (mContactDifference < ContactDifferenceName || mContactDifference > ContactDifferenceNewContact) return "";
        const ReasonText& r = kReasons[mContactDifference - ContactDifferenceName];
        return detailLevel == 0 ? Utils::localized(r.plainKey, r.plainText)
                                : Utils::localized(r.changedKey, r.changedText);
    }
    if (mContactDifference == ContactDifferenceNewContact) return Utils::localized("QVR_NewContact", "New Contact");
    if (mMergeContacts && bothSides) {
        return detailLevel == 2 ? Utils::localized("QVR_MergingUnSyncedContacts", "Merging unsynced contacts")
                                : Utils::localized("Global_Merge", "Merge");
    }
    return detailLevel == 2 ? Utils::localized("QVR_UnsyncedContacts", "Unsynced Contacts") : std::string();
}

}  // namespace quorvane
