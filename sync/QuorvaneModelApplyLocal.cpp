// Writing the local side of a run: the planned records that go Google to local, and the local
// deletions the plan found, saved in bounded requests in slices on the main run loop, after the
// local groups they need are created.

#include <algorithm>
#include <set>

#include "platform/contacts/CNSaveRequest.h"
#include "sync/ContentDigest.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

constexpr const char* kSystemGroupPrefix = "System Group: ";

std::string groupKey(const std::string& name) {
    return platform::lowercase(platform::replaceAll(name, kSystemGroupPrefix, ""));
}

// What a written contact is read with: everything the conversion and the merges read (not the
// photo, which the conversion only ever removes).
const std::vector<platform::CNKeyDescriptor>& writeKeys() {
    static const std::vector<platform::CNKeyDescriptor> keys = [] {
        std::vector<platform::CNKeyDescriptor> k;
        for (const auto& key : platform::CNContactAllKeys()) {
            if (key != platform::CNContactImageDataKey && key != platform::CNContactThumbnailImageDataKey) k.emplace_back(key);
        }
        return k;
    }();
    return keys;
}

}  // namespace

struct QuorvaneModel::LocalApplyState {
    // One record's changes, added to whichever request saves them.
    struct Pending {
        NSSyncRecordPtr record;
        std::function<void(platform::CNSaveRequest&)> add;
        size_t operations = 0;
        std::optional<std::vector<std::string>> groupNames;  // its local groups once saved
    };
    LocalApplyProgress progress;
    LocalApplyFinished finished;
    std::vector<NSSyncRecordPtr> planned;  // every record given
    std::vector<NSSyncRecordPtr> records;  // the records that write the local side
    size_t next = 0;
    std::optional<std::string> containerID;  // where new contacts and groups go; nil: the default account
    bool groups = false;                      // the synced account keeps groups
    std::map<std::string, platform::CNGroupPtr> groupsByKey;
    std::vector<Pending> pending;
    size_t pendingOperations = 0;
    size_t written = 0;
    size_t failed = 0;
    std::optional<platform::Error> firstError;
};

void QuorvaneModel::performSynchronization_Step1(const std::vector<NSSyncRecordPtr>& records,
                                                 LocalApplyProgress progress, LocalApplyFinished finished) {
    auto state = std::make_shared<LocalApplyState>();
    state->progress = std::move(progress);
    state->finished = std::move(finished);
    state->planned = records;
    for (const auto& r : records) {
        if (!r) continue;
        const bool write = r->mSyncAction == SyncActionGoogleToMac && r->mGoogleContact;
        const bool remove = r->mSyncAction == SyncActionDeleteContact && r->mAppleContact && !r->mGoogleContact;
        if (!write && !remove) continue;
        if (r->mAppleContact && isReadOnlyContactWithContact(r->mAppleContact)) {
            r->mAppleUpdateFailed = true;
            ++state->failed;
            appendStringToLog("Not written, the local contact is read-only: " + r->mDescription.value_or(""));
            continue;
        }
        state->records.push_back(r);
    }
    if (contactSourceMode() != ContactSourceModeAllAccounts && mSelectedContainer) {
        state->containerID = mSelectedContainer->identifier();
    }
    state->groups = state->containerID && selectedAppleAccountSupportsGroups();
    afterDelay(0, [this, state] { performSynchronization_Step1_Groups(state); });
}

void QuorvaneModel::performSynchronization_Step1_Groups(const std::shared_ptr<LocalApplyState>& state) {
    if (state->groups && !state->records.empty()) {
        for (const auto& group : getAppleGroupsInSelectedContainerWithError().valueOr(std::vector<platform::CNGroupPtr>{})) {
            if (group) state->groupsByKey.emplace(groupKey(group->name()), group);
        }
        std::vector<platform::CNMutableGroupPtr> made;
        mPendingSaveRequest = std::make_unique<platform::CNSaveRequest>();
        for (const auto& name : getRequiredAppleGroupNamesForSync(state->planned)) {
            if (stringEffectivelyEmptyWithString(name) || state->groupsByKey.count(groupKey(name))) continue;
            auto group = std::make_shared<platform::CNMutableGroup>();
            group->setName(name);
            mPendingSaveRequest->addGroup(group, state->containerID);
            made.push_back(group);
        }
        // Without its groups a contact is still written; only those memberships are missing.
        if (!made.empty() && executeSaveRequest()) {
            for (const auto& group : made) {
                state->groupsByKey.emplace(groupKey(group->name()), group);
                appendStringToLog(getAppleAccountName() + ": Created group " + group->name());
            }
        }
        mPendingSaveRequest.reset();
    }
    afterDelay(0, [this, state] { performSynchronization_Step1_Slice(state); });
}

void QuorvaneModel::performSynchronization_Step1_Slice(const std::shared_ptr<LocalApplyState>& state) {
    auto& s = *state;
    const size_t end = std::min(s.records.size(), s.next + kLocalRecordsPerSlice);

    // The slice's existing contacts, read again in full in one fetch.
    std::map<std::string, platform::CNContactPtr> stored;
    std::vector<std::string> identifiers;
    for (size_t i = s.next; i < end; ++i) {
        const auto& r = s.records[i];
        if (r->mAppleContact) identifiers.push_back(r->mAppleContact->identifier());
    }
    if (!identifiers.empty()) {
        auto fetched = mContactStore->unifiedContactsMatchingPredicate(
            platform::CNContact::predicateForContactsWithIdentifiers(identifiers), writeKeys());
        if (!fetched) appendStringToLog("Failed to read local contacts: " + fetched.error().localizedDescription());
        for (const auto& contact : fetched.valueOr(std::vector<platform::CNContactPtr>{})) stored[contact->identifier()] = contact;
    }

    for (; s.next < end; ++s.next) {
        const auto r = s.records[s.next];
        LocalApplyState::Pending p{r, nullptr, 1, std::nullopt};
        std::shared_ptr<GDataEntryContact> google;
        // A contact edited since the run read it (while the run waited for its plan to be
        // confirmed, say) is not written over: it waits for the next run, which sees the edit.
        // Seen here, it is not written at all; edited later, the save that would write it finds
        // the edit in its own transaction (below).
        // The check covers the whole contact: its fields, its photo and the account it is in.
        const LocalContactAsRead asRead = localContactAsRead(*r);
        if (r->mAppleContact) {
            auto it = stored.find(r->mAppleContact->identifier());
            if (it != stored.end() && !asRead.fieldsHeldBy(*it->second)) {
                leftChangedLocally(*r);
                continue;
            }
        }
        if (r->mSyncAction == SyncActionDeleteContact) {
            auto doomed = r->mAppleContact->mutableCopy();
            p.add = [doomed, asRead](platform::CNSaveRequest& request) { asRead.remove(request, doomed, writeKeys()); };
        } else if (!(google = wholeGoogleContact(r->mGoogleContact))) {
            // The local contact takes every field of the entry: never from a summary of the kept
            // list, and the whole entry is held only while it is written.
            r->mAppleUpdateFailed = true;
            ++s.failed;
            appendStringToLog("Not written, the kept copy of the Google contact could not be read: " + r->mDescription.value_or(""));
            continue;
        } else {
            platform::CNMutableContactPtr contact;
            const bool created = !r->mAppleContact;
            std::optional<std::vector<std::string>> current;
            if (created) {
                contact = createAppleContactWithGoogleContact(google, r);
            } else {
                auto it = stored.find(r->mAppleContact->identifier());
                if (it == stored.end()) {
                    r->mAppleUpdateFailed = true;
                    ++s.failed;
                    appendStringToLog("Not written, the local contact could not be read: " + r->mDescription.value_or(""));
                    continue;
                }
                contact = it->second->mutableCopy();
                // The text's update removes a photo Google no longer has only when the photo goes this way too.
                const bool googleHadPhoto = r->photoAction() == SyncActionGoogleToMac && r->mHasSyncHistory &&
                                            r->mPreviousGoogleETag && !r->mPreviousGoogleETag->empty();
                updateAppleContact(contact, google, r, googleHadPhoto);
                current = getAppleContactGroupNamesWithAppleContactID(contact->identifier());
            }
            r->mMutableAppleContact = contact;
            // What the Google side holds, read while its entry is whole, for the history.
            if (!r->mGoogleFieldValues) r->mGoogleFieldValues = googleFieldValues(*google);

            // Group memberships to add and to remove, for groups the account holds.
            std::vector<std::pair<platform::CNGroupPtr, bool>> memberships;
            if (s.groups) {
                if (auto wanted = getAppleGroupNamesWithGoogleContact(google, r, current)) {
                    std::set<std::string> wantedKeys, currentKeys;
                    for (const auto& name : *wanted) wantedKeys.insert(groupKey(name));
                    for (const auto& name : current.value_or(std::vector<std::string>{})) currentKeys.insert(groupKey(name));
                    p.groupNames.emplace();
                    for (const auto& name : *wanted) {
                        auto group = s.groupsByKey.find(groupKey(name));
                        if (group == s.groupsByKey.end()) continue;
                        p.groupNames->push_back(name);
                        if (!currentKeys.count(groupKey(name))) memberships.emplace_back(group->second, true);
                    }
                    for (const auto& name : current.value_or(std::vector<std::string>{})) {
                        auto group = s.groupsByKey.find(groupKey(name));
                        if (group != s.groupsByKey.end() && !wantedKeys.count(groupKey(name))) {
                            memberships.emplace_back(group->second, false);
                        }
                    }
                }
            }
            p.operations = 1 + memberships.size();
            p.add = [contact, created, container = s.containerID, memberships, asRead](platform::CNSaveRequest& request) {
                if (created) {
                    request.addContact(contact, container);
                } else {
                    asRead.update(request, contact, writeKeys());
                }
                for (const auto& [group, add] : memberships) {
                    if (add) {
                        request.addMember(contact, group);
                    } else {
                        request.removeMember(contact, group);
                    }
                }
            };
        }
        if (s.pendingOperations + p.operations > kMaxLocalSaveOperations) performSynchronization_Step1_Flush(s);
        s.pendingOperations += p.operations;
        s.pending.push_back(std::move(p));
    }

    const size_t total = s.records.size();
    if (s.next < total) {
        if (s.progress) s.progress(s.next, total);
        afterDelay(0, [this, state] { performSynchronization_Step1_Slice(state); });
        return;
    }
    performSynchronization_Step1_Flush(s);
    if (s.progress) s.progress(total, total);
    std::optional<platform::Error> error;
    if (s.written == 0 && s.failed > 0) {
        error = s.firstError.value_or(platform::Error(kQuorvaneModelErrorDomain, kQuorvaneModelErrorNoLocalWrite));
        if (!s.firstError) {
            error->userInfo.set(platform::Error::kLocalizedDescriptionKey,
                                platform::Value(std::string("No local contact could be written.")));
        }
    }
    auto finished = std::move(s.finished);
    if (finished) finished(error);
}

LocalContactAsRead QuorvaneModel::localContactAsRead(const NSSyncRecord& record) {
    LocalContactAsRead read;
    if (record.mAppleContact) {
        read.fields = localContentDigest(*record.mAppleContact);
        read.photo = applePhotoDigestAsRead(record.mAppleContact);
    } else {
        read.photo = 0;  // made by this run, without a photo
    }
    if (contactSourceMode() != ContactSourceModeAllAccounts && mSelectedContainer) read.container = mSelectedContainer->identifier();
    return read;
}

void QuorvaneModel::leftChangedLocally(NSSyncRecord& record) {
    record.mAppleUpdateFailed = record.mAppleChangedDuringSync = true;
    appendStringToLog("Changed locally during the sync, left for the next run: " + record.mDescription.value_or(""));
}

void QuorvaneModel::performSynchronization_Step1_Flush(LocalApplyState& s) {
    if (s.pending.empty()) return;
    auto save = [this](const std::vector<LocalApplyState::Pending*>& entries) {
        mPendingSaveRequest = std::make_unique<platform::CNSaveRequest>();
        for (auto* entry : entries) entry->add(*mPendingSaveRequest);
        return executeSaveRequest();
    };
    auto succeeded = [&](LocalApplyState::Pending& p) {
        ++s.written;
        p.record->mLocalWriteOwed = false;
        if (p.record->mSyncAction == SyncActionDeleteContact) {
            mGroupMembershipByPerson.erase(p.record->mAppleContact->identifier());
        } else if (p.groupNames) {
            mGroupMembershipByPerson[p.record->mMutableAppleContact->identifier()] = *p.groupNames;
        }
    };
    // A contact edited since the run read it fails the whole save, naming it: it is left for the
    // next run and the others are saved again without it.
    auto changed = [&](const platform::Error& error) -> LocalApplyState::Pending* {
        if (error.domain != platform::CNErrorDomain || error.code != platform::CNErrorCodeRecordChanged) return nullptr;
        const std::string& id = error.userInfo[platform::CNErrorUserInfoAffectedRecordIdentifiersKey][0].asString();
        for (auto& p : s.pending)
            if (p.record->mAppleContact && p.record->mAppleContact->identifier() == id) return &p;
        return nullptr;
    };
    std::vector<LocalApplyState::Pending*> all;
    for (auto& p : s.pending) all.push_back(&p);
    bool saved = false;
    while (!all.empty() && !(saved = save(all))) {
        auto* edited = changed(syncErrors().back());
        if (!edited) break;
        leftChangedLocally(*edited->record);
        std::erase(all, edited);
    }
    if (saved) {
        for (auto* p : all) succeeded(*p);
    } else {
        // One bad contact must not fail the others: each record again on its own.
        for (auto* p : all) {
            if (all.size() > 1 && save({p})) {
                succeeded(*p);
                continue;
            }
            const auto& error = syncErrors().back();
            if (changed(error) == p) {
                leftChangedLocally(*p->record);
                continue;
            }
            // A contact to delete that is already gone is deleted.
            if (p->record->mSyncAction == SyncActionDeleteContact && error.domain == platform::CNErrorDomain &&
                error.code == platform::CNErrorCodeRecordDoesNotExist) {
                succeeded(*p);
                continue;
            }
            p->record->mAppleUpdateFailed = true;
            ++s.failed;
            if (!s.firstError) s.firstError = error;
        }
    }
    s.pending.clear();
    s.pendingOperations = 0;
}

}  // namespace quorvane
