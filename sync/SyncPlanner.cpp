// The planner of a run: the two pairing passes and the action of each pair.

#include "sync/SyncPlanner.h"

#include <algorithm>

#include "gdata/GDataFeedContact.h"
#include "sync/ContactText.h"

namespace quorvane {

using platform::CNContactPtr;
using GoogleContactPtr = std::shared_ptr<GDataEntryContact>;

SyncPlanner::SyncPlanner(Context& context, Input input) : mContext(context), mInput(std::move(input)) {
    const GoogleFeeds& feeds = mInput.feeds;
    mFeedsComplete = feeds.complete();
    mPlan.summary.googleFeedsComplete = mFeedsComplete;
    mPlan.summary.googleDuplicates = mInput.googleDuplicates.size();
    if (feeds.contacts.feed && feeds.contacts.feed->entries()) {
        for (const auto& e : *feeds.contacts.feed->entries()) {
            if (auto g = std::dynamic_pointer_cast<GDataEntryContact>(e)) mGoogleContacts.push_back(g);
        }
    }
    mLocalTotal = mInput.localContacts.size();
    mGoogleTotal = mGoogleContacts.size();
}

bool SyncPlanner::appleContactReadOnly(const CNContactPtr& contact) { return mContext.appleContactReadOnly(contact); }

bool SyncPlanner::appleContactFiltered(const CNContactPtr& contact) {
    if (mInput.ignoreEmptyContacts && !mContext.appleContactHasName(contact)) return true;
    if (!mContext.appleContactHasMatchingGroups(contact)) return true;
    return !mInput.syncingReadOnlyAccount && appleContactReadOnly(contact);
}

bool SyncPlanner::googleContactFiltered(const GoogleContactPtr& contact) {
    if (mInput.ignoreOtherContacts && mContext.googleContactIsOther(contact)) return true;
    if (!mContext.googleContactHasMatchingGroups(contact)) return true;
    return mInput.ignoreEmptyContacts && !mContext.googleContactHasName(contact);
}

bool SyncPlanner::pairLocalContacts(size_t count) {
    for (; mLocalNext < mLocalTotal && count > 0; ++mLocalNext, --count) {
        const auto& apple = mInput.localContacts[mLocalNext];
        if (!apple || appleContactFiltered(apple)) continue;
        auto google = mContext.bestGoogleMatch(apple);
        if (!google) {
            // Held until the Google pass, which may still find it a partner.
            mUnpairedLocal.push_back(apple);
            continue;
        }
        mContext.setPaired(apple, google);
        mPairs.push_back({apple, google});
    }
    return mLocalNext >= mLocalTotal;
}

bool SyncPlanner::pairGoogleContacts(size_t count) {
    for (; mGoogleNext < mGoogleTotal && count > 0; ++mGoogleNext, --count) {
        const auto& google = mGoogleContacts[mGoogleNext];
        if (mContext.isGooglePaired(google) || googleContactFiltered(google)) continue;
        // A second copy of one local contact's Google contact pairs with nothing (decided alone).
        if (mContext.keptCopyOf(google)) {
            mPairs.push_back({nullptr, google});
            continue;
        }
        auto apple = mContext.bestAppleMatch(google);
        if (apple) mContext.setPaired(apple, google);
        mPairs.push_back({apple, google, apple && appleContactFiltered(apple)});
    }
    if (mGoogleNext < mGoogleTotal) return false;
    for (const auto& apple : mUnpairedLocal) {
        if (!mContext.isApplePaired(apple)) mPairs.push_back({apple, nullptr});
    }
    mUnpairedLocal.clear();
    return true;
}

bool SyncPlanner::planPairs(size_t count) {
    for (; mPlanNext < mPairs.size() && count > 0; ++mPlanNext, --count) {
        const auto& pair = mPairs[mPlanNext];
        auto record = mContext.newSyncRecord();
        record->mAppleContact = pair.apple;
        record->mAppleContact_Reference = pair.apple;
        record->mGoogleContact = pair.google;
        if (pair.appleFiltered) {
            hold(*record, "local contacts the filters leave alone were found by Google contacts and left as they are");
            record->generateDescriptionAndSortString();
        } else if (auto problem = pair.apple ? unusableLocalContact(*pair.apple) : std::nullopt) {
            // Nothing of it is read as empty nor sent: it fails alone, on every run, until mended.
            hold(*record, "local contacts were left as they are on both sides: a stored value of theirs cannot be read "
                          "or sent (the run lists each)");
            record->mRefusedBecause = std::move(problem);
            record->generateDescriptionAndSortString();
        } else {
            decide(record);
        }
        tally(*record);
        mPlan.records.push_back(record);
    }
    if (mPlanNext < mPairs.size()) return false;
    // Compared in place: a copy of both strings at every comparison cost more than the sort.
    std::stable_sort(mPlan.records.begin(), mPlan.records.end(), [](const NSSyncRecordPtr& a, const NSSyncRecordPtr& b) {
        static const std::string none;
        return (a->mSortString ? *a->mSortString : none) < (b->mSortString ? *b->mSortString : none);
    });
    auto& notes = mPlan.summary.notes;
    for (const auto& [note, n] : mHeld) notes.push_back(std::to_string(n) + " " + note);
    if (!mFeedsComplete) {
        notes.insert(notes.begin(),
                     "The Google feed is incomplete (" + mInput.feeds.incompleteReason + "): no deletion is planned on either side");
    }
    return true;
}

SyncPlanner::GoogleContactPtr SyncPlanner::wholeGoogleContact(NSSyncRecord& record) {
    auto whole = mContext.wholeGoogleContact(record.mGoogleContact);
    if (!whole) {
        hold(record, "contacts were left as they are: the kept copy of their Google side could not be read (the next "
                     "run downloads the whole list)");
    }
    return whole;
}

void SyncPlanner::hold(NSSyncRecord& record, const std::string& note) {
    record.mSyncAction = SyncActionNoUpdate;
    ++mHeld[note];
}

void SyncPlanner::tally(const NSSyncRecord& r) {
    auto& summary = mPlan.summary;
    switch (r.mSyncAction) {
        case SyncActionGoogleToMac: ++(r.mAppleContact ? summary.updateLocal : summary.createLocal); break;
        case SyncActionMacToGoogle: ++(r.mGoogleContact ? summary.updateGoogle : summary.createGoogle); break;
        case SyncActionDeleteContact:
            ++(r.mAppleContact ? summary.deleteLocal : summary.deleteGoogle);
            if (mCopiesRemoved.count(&r)) ++summary.copiesRemoved;
            break;
        default: ++summary.unchanged; break;
    }
}

void SyncPlanner::decide(const NSSyncRecordPtr& record) {
    auto& r = *record;
    const SyncStrategyInfo strategy = mContext.strategy(r.mAppleContact, r.mGoogleContact);
    r.mHasSyncHistory = strategy.historyFound;
    r.mPreviouslyMerged = strategy.previouslyMerged;
    // A pair found equal is recorded as it is found wherever its record says otherwise (a side
    // changed, its groups, its photo state: a run stopped before it saved its history, or whose
    // answers were lost, wrote them), and when the history lacks the content digests, so that
    // the next run decides by content. A pair whose record agrees is not written again.
    r.mTimeStampsChanged = strategy.eitherContactChanged || strategy.appleGroupsChanged || strategy.googleGroupsChanged ||
                           strategy.photoStateFound || strategy.historyLacksDigests || strategy.historyLacksPhotoDigest ||
                           strategy.historyLacksFieldValues;
    r.mPhotoStateAsFound = strategy.photoStateFound;
    r.mFieldBase = strategy.fieldBase;
    r.mLastSyncDate = strategy.lastSyncDate;
    r.mPreviousApplePhotoSize = strategy.previousApplePhotoSize;
    r.mPreviousApplePhotoDigest = strategy.previousApplePhotoDigest;
    r.mPreviousGoogleETag = strategy.previousGoogleETag;
    r.mGoogleETagPreviouslyPendingAssignment = strategy.googleETagPendingAssignment;
    r.mGoogleETagPendingAssignment = strategy.googleETagPendingAssignment;
    r.mSyncAction = SyncActionNoUpdate;
    if (r.mAppleContact && r.mGoogleContact) {
        decidePair(r, strategy);
    } else if (r.mAppleContact) {
        decideAppleOnly(r, strategy);
    } else if (r.mGoogleContact) {
        decideGoogleOnly(r, strategy);
    }
    if (r.mSyncAction == SyncActionGoogleToMac || r.mSyncAction == SyncActionMacToGoogle) {
        r.mMergeContacts = strategy.mergeContacts && r.mAppleContact && r.mGoogleContact;
        r.mSyncPhoto = mContext.shouldSyncPhoto(r.mAppleContact, r.mGoogleContact, r.photoAction(), strategy);
    }
    r.mVerifyApplePhoto = strategy.applePhotoUnverified && r.mAppleContact && r.mGoogleContact &&
                          r.mSyncAction != SyncActionDeleteContact && r.photoAction() != SyncActionGoogleToMac;
    r.mInitialSyncAction = r.mSyncAction;
    r.generateDescriptionAndSortString();
}

// The action rule of a pair (both contacts present):
//   - it does not differ (comparison, "My Contacts" membership in modes two-way and local to
//     Google, photo, force-update): no action, marked confirmed equal;
//   - Google to local mode: update local; local to Google mode: update Google;
//   - two-way (and manual) with history: the side that changed since the last sync wins; both
//     changed: the newer update date wins (a tie updates Google); neither changed although the
//     pair differs (a field one side cannot hold exactly): no action unless force-update, so that
//     such a pair is not written back and forth on every run; but a pair that a one-way merge
//     left holding values on one side alone is taken as at its first pairing;
//   - one-way with history: a pair neither side of which changed since the last sync gets no
//     action (it is not written again on every run);
//   - two-way without history: the newer side wins; a photo on one side only moves to the other
//     (nothing says the side without one removed it), as it does over a record that kept the
//     photo on one side only;
//   - merged (instead of replaced) as the strategy says (the merge settings);
//   - a missing "My Contacts" membership alone always goes to Google, a photo change alone the
//     way the photo changed;
//   - a photo moves the way it changed (both changed: the newer side's) even when the text goes
//     the other way: a photo change never counts as a change of its side's text;
//   - a local destination that is read-only or a social-network contact is never written.
void SyncPlanner::decidePair(NSSyncRecord& r, const SyncStrategyInfo& strategy) {
    GoogleContactPtr whole;
    decidePairAction(r, strategy, whole);
    // What the Google side holds, read while it is whole, so that the history need not read it
    // again; of a pair sent to Google, the answer's values take their place.
    if (whole && r.mSyncAction != SyncActionMacToGoogle && !r.mGoogleFieldValues)
        r.mGoogleFieldValues = mContext.googleFieldValues(whole);
}

void SyncPlanner::decidePairAction(NSSyncRecord& r, const SyncStrategyInfo& strategy, GoogleContactPtr& whole) {
    const auto& apple = r.mAppleContact;
    const auto& google = r.mGoogleContact;
    int32_t difference = ContactDifferenceNone;
    // Both sides still hold what the last sync recorded of them (content digests and group
    // names): such a pair gets no action whatever a comparison would find, so it is not compared
    // field by field; a one-way run does not write it again either. Only a two-way run looks again
    // at a pair that a one-way merge left holding values on one side alone (previouslyMerged), so
    // that they reach the other side; one-way runs leave it, and its record, as they are.
    const bool twoWay = mInput.syncMode != SyncModeGoogleToMac && mInput.syncMode != SyncModeMacToGoogle;
    const bool inStep = strategy.historyFound && !strategy.historyLacksDigests && !strategy.appleContactChanged &&
                        !strategy.googleContactChanged && !strategy.appleGroupsChanged && !strategy.googleGroupsChanged;
    const bool leftApart = inStep && strategy.previouslyMerged;
    const bool unchangedSinceLastSync = inStep && !(twoWay && leftApart);
    // A comparison reads every field: of the whole entry, unless what was read of it already
    // shows where it differs.
    bool differs = false;
    if (!unchangedSinceLastSync) {
        if (auto seen = mContext.differenceSeenInSummary(r.mAppleContact_Reference, google)) {
            differs = true;
            difference = *seen;
        } else {
            whole = wholeGoogleContact(r);
            if (!whole) return;
            differs = mContext.contactsDiffer(r.mAppleContact_Reference, apple, whole, &difference);
        }
    }
    int32_t only = SyncActionNoUpdate;  // a direction forced by what alone differs
    if (!differs && mInput.syncMode != SyncModeGoogleToMac && !mContext.belongsToMyContacts(google)) {
        differs = true;
        difference = ContactDifferenceMyContactsMembership;
        only = SyncActionMacToGoogle;
    }
    auto newer = [&]() {
        const auto appleDate = mContext.appleContactDate(apple);
        std::optional<platform::Date> googleDate;
        if (auto updated = google->updatedDate()) googleDate = updated->date();
        if (googleDate && (!appleDate || *googleDate > *appleDate)) return SyncActionGoogleToMac;
        return SyncActionMacToGoogle;
    };
    // A photo moves on its own, the way it changed (both changed: the newer side's), whichever
    // way the text goes: a side whose photo alone changed never makes its text win.
    int32_t photo = SyncActionNoUpdate;
    if (strategy.applePhotoChanged && strategy.googlePhotoChanged) photo = newer();
    else if (strategy.applePhotoChanged) photo = SyncActionMacToGoogle;
    else if (strategy.googlePhotoChanged) photo = SyncActionGoogleToMac;
    if (!differs && photo != SyncActionNoUpdate) {
        differs = true;
        difference = ContactDifferencePhoto;
        only = photo;
    }
    const bool force = mInput.forceUpdate;
    r.mContactDifference = difference;
    if (!differs && !force) {
        r.mContactsConfirmedEquivalentBeforeSync = !leftApart || twoWay;
        return;
    }

    int32_t action = SyncActionNoUpdate;
    if (mInput.syncMode == SyncModeGoogleToMac) {
        action = SyncActionGoogleToMac;
    } else if (mInput.syncMode == SyncModeMacToGoogle) {
        action = SyncActionMacToGoogle;
    } else if (only != SyncActionNoUpdate) {
        action = only;
    } else if (!strategy.historyFound) {
        action = newer();
    } else {
        const bool appleChanged = strategy.appleContactChanged || strategy.appleGroupsChanged;
        const bool googleChanged = strategy.googleContactChanged || strategy.googleGroupsChanged;
        if (appleChanged && googleChanged) action = newer();
        else if (appleChanged) action = SyncActionMacToGoogle;
        else if (googleChanged) action = SyncActionGoogleToMac;
        else if (photo != SyncActionNoUpdate) action = photo;  // the text is the same: the photo's side writes it
        else if (force || leftApart) action = newer();
    }
    if (photo != SyncActionNoUpdate && action != SyncActionNoUpdate && photo != action) r.mPhotoAction = photo;
    if (action == SyncActionGoogleToMac && appleContactReadOnly(apple)) {
        hold(r, "pairs were left as they are: their local contact is read-only");
        return;
    }
    if (action == SyncActionNoUpdate && differs) {
        hold(r, "pairs differ although neither side changed since the last sync (a field one side cannot hold exactly): "
                "left as they are");
        return;
    }
    r.mSyncAction = action;
}

// A local contact without partner: deleted only when the history shows its Google partner was
// deleted (and deletions go this way) and the Google feed is whole; never created on Google from
// an incomplete feed either (its partner may be among the contacts not fetched), nor in Google to
// local mode, nor when the ignore-new setting leaves it out. One whose Google partner is still
// there is neither deleted nor made a second time.
void SyncPlanner::decideAppleOnly(NSSyncRecord& r, const SyncStrategyInfo& strategy) {
    if (strategy.counterpartElsewhere) {
        hold(r, "local contacts whose Google partner still exists but is not paired with them in this run were left as they are");
        return;
    }
    if (strategy.counterpartDeleted) {
        if (!mFeedsComplete) {
            hold(r, "local contacts whose Google partner is missing were kept: the Google feed is incomplete");
        } else if (appleContactReadOnly(r.mAppleContact)) {
            hold(r, "local contacts whose Google partner was deleted were kept: they are read-only");
        } else {
            r.mSyncAction = SyncActionDeleteContact;
        }
        return;
    }
    if (mInput.syncMode == SyncModeGoogleToMac || mContext.ignoreNewAppleContact(r.mAppleContact)) return;
    if (!mFeedsComplete) {
        hold(r, "local contacts without a Google partner were not created on Google: the Google feed is incomplete");
        return;
    }
    r.mSyncAction = SyncActionMacToGoogle;
    r.mContactDifference = ContactDifferenceNewContact;
}

// A Google contact without partner: deleted only with the history's evidence and a whole feed
// (one that shares its name with another is no less deleted: its partner was); otherwise created
// locally unless in local to Google mode or left out by the ignore-new setting. One whose local
// partner is still in the store (in an account not synced, or paired with another contact) is
// neither deleted nor copied locally.
void SyncPlanner::decideGoogleOnly(NSSyncRecord& r, const SyncStrategyInfo& strategy) {
    if (strategy.counterpartElsewhere) {
        hold(r, "Google contacts whose local partner still exists but is not paired with them in this run were left as they are");
        return;
    }
    if (strategy.counterpartDeleted) {
        if (!mFeedsComplete) {
            hold(r, "Google contacts whose local partner was deleted were kept: the Google feed is incomplete");
            return;
        }
        r.mSyncAction = SyncActionDeleteContact;
        return;
    }
    // A copy made by a creation the provider carried out late: never copied locally (the local
    // contact has its partner); removed when it holds what the kept copy holds, else left for
    // the user to choose.
    if (auto kept = mContext.keptCopyOf(r.mGoogleContact)) {
        if (!mFeedsComplete || mInput.syncMode == SyncModeGoogleToMac) {
            hold(r, "Google contacts made twice from one local contact were left as they are");
        } else if (!mContext.sameGoogleContent(r.mGoogleContact, kept)) {
            hold(r, "Google contacts made twice from one local contact hold different values and were left on Google: "
                    "delete the copy you do not want there");
        } else {
            r.mSyncAction = SyncActionDeleteContact;
            mCopiesRemoved.insert(&r);
            ++mHeld["Google contacts made twice from one local contact are removed from Google (the other copy, which "
                    "holds the same, stays)"];
        }
        return;
    }
    if (mInput.syncMode == SyncModeMacToGoogle || mContext.ignoreNewGoogleContact(r.mGoogleContact)) return;
    r.mSyncAction = SyncActionGoogleToMac;
    r.mContactDifference = ContactDifferenceNewContact;
}

}  // namespace quorvane
