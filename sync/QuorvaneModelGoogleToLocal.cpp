// Google to local conversion: a Google contact entry written into a local contact field by
// field (the rows of ContactFieldTable), the reverse of the local to Google conversion, and the
// local groups it belongs in.

#include "platform/foundation/Log.h"
#include "sync/ContactFieldTable.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

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
    // The fields, in the table's order; the photo row removes a photo Google no longer has.
    const ContactFieldToLocal fields{*this, apple, google, merge, created, replace, exchange, googleHadPhoto};
    // A merge with history is judged against what the last run left on each side.
    setFieldMergeBase(merge && !created ? record->mFieldBase.get() : nullptr);
    for (const auto& row : contactFieldTable()) row.toLocal(fields);
    setFieldMergeBase(nullptr);

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
    if (record && record->mMergeContacts && !record->mCreatedNewContact) {
        // With history, judged against the last run (a contact in no group holds none).
        if (record->mFieldBase) {
            names = mergedGroupNames(*record->mFieldBase, false, names, currentAppleGroupNames.value_or(std::vector<std::string>{}));
        } else if (currentAppleGroupNames) {
            names = combineStringArraysWithArray1(names, *currentAppleGroupNames);
        }
    }
    if (autoAddContactsToGroup() && !stringEffectivelyEmptyWithString(autoAddToGroupName())) {
        names = combineStringArraysWithArray1(names, {trimWhitespaceFromString(autoAddToGroupName()).value_or("")});
    }
    return names;
}

}  // namespace quorvane
