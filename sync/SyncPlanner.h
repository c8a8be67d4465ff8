#pragma once
// SyncPlanner: the sync records of a run. It prepares the pairing inputs from the downloaded
// feeds and the synced local account, pairs every contact (local contacts first, then the Google
// contacts left over), and decides each pair's action. The work is cut into slices so that the
// run can keep the main run loop turning: pairLocalContacts and pairGoogleContacts each do at most
// a given number of contacts per call; planPairs decides at most a given number of records.
//
// It takes the run's downloaded feeds (GoogleFeeds) and gives the plan (SyncPlan): the records,
// sorted by their sort key, and what they amount to. A record of action 0 that the planner held
// back for safety carries its reason in the summary's notes.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/foundation/Error.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/NSSyncRecord.h"
#include "sync/SyncStrategy.h"

namespace quorvane {

class QuorvaneModel;

// What a plan amounts to, for the summary line and the run's result.
struct SyncPlanSummary {
    size_t createLocal = 0, updateLocal = 0, deleteLocal = 0;
    size_t createGoogle = 0, updateGoogle = 0, deleteGoogle = 0;
    size_t unchanged = 0;
    size_t googleDuplicates = 0;
    // The Google feeds were whole: deletions could be planned.
    bool googleFeedsComplete = false;
    // Why some changes were held back (the feed was not whole, ...), one line each.
    std::vector<std::string> notes;
    size_t deletions() const { return deleteLocal + deleteGoogle; }
    size_t changes() const {
        return createLocal + updateLocal + deleteLocal + createGoogle + updateGoogle + deleteGoogle;
    }
};

// What the plan stage hands on: one record per pair or lone contact, in plan order, and the summary.
struct SyncPlan {
    std::vector<NSSyncRecordPtr> records;
    SyncPlanSummary summary;
};

class SyncPlanner {
public:
    // The planner of a run of `syncMode` (SyncMode) on the model.
    SyncPlanner(QuorvaneModel& model, int32_t syncMode);

    // Reads the synced local account (every field) and builds the pairing inputs over the feeds
    // (the model's current ones: googleFeeds()); fails when the local contacts cannot be read.
    platform::Result<void> prepare(const GoogleFeeds& feeds);
    // Pair at most `count` more contacts; true once every contact of the pass is done.
    bool pairLocalContacts(size_t count);
    bool pairGoogleContacts(size_t count);
    // Decide at most `count` more records; true once all are decided (the records are then sorted
    // into the plan).
    bool planPairs(size_t count);

    // Progress of the current pass: done out of total.
    size_t pairedSoFar() const { return mLocalNext + mGoogleNext; }
    size_t pairingTotal() const { return mLocalTotal + mGoogleTotal; }
    size_t plannedSoFar() const { return mPlanNext; }
    size_t planTotal() const { return mPairs.size(); }
    const SyncPlanSummary& plan() const { return mPlan.summary; }
    // The plan, once planPairs returned true; the planner keeps nothing of it.
    SyncPlan takePlan() { return std::move(mPlan); }

    // The action of one pair (either side may be absent), as the planner decides it. Public so
    // that every row of the rule can be tested.
    void decide(const NSSyncRecordPtr& record);

private:
    struct Pair {
        platform::CNContactPtr apple;
        std::shared_ptr<GDataEntryContact> google;
        bool appleFiltered = false;  // a local contact the filters leave alone, found by a Google one
    };
    // Local contacts the run leaves alone: empty ones (when ignored), those outside the group
    // filter, and read-only or Facebook ones unless that account is the one synced.
    bool appleContactFiltered(const platform::CNContactPtr& contact);
    // Google contacts left unpaired that the run leaves alone: Other contacts (when ignored),
    // those outside the group filter, and empty ones (when ignored).
    bool googleContactFiltered(const std::shared_ptr<GDataEntryContact>& contact);
    // The destination of a local write cannot take it.
    bool appleContactReadOnly(const platform::CNContactPtr& contact);
    void decidePair(NSSyncRecord& record, const SyncStrategyInfo& strategy);
    void decideAppleOnly(NSSyncRecord& record, const SyncStrategyInfo& strategy);
    void decideGoogleOnly(NSSyncRecord& record, const SyncStrategyInfo& strategy);
    void hold(NSSyncRecord& record, const std::string& note);
    // Puts the whole Google entry in place of a summary of the kept list (GoogleContactCache);
    // false (the record held back) when the kept entry cannot be read.
    bool makeGoogleContactWhole(NSSyncRecord& record);
    void tally(const NSSyncRecord& record);

    QuorvaneModel& mModel;
    int32_t mSyncMode;
    bool mFeedsComplete = false;
    std::string mFeedIncompleteReason;
    bool mSyncingReadOnlyAccount = false;
    std::vector<std::shared_ptr<GDataEntryContact>> mGoogleContacts;  // feed order
    size_t mLocalNext = 0, mLocalTotal = 0;
    size_t mGoogleNext = 0, mGoogleTotal = 0;
    std::vector<Pair> mPairs;
    std::vector<platform::CNContactPtr> mUnpairedLocal;  // local contacts the first pass found no partner for
    size_t mPlanNext = 0;
    SyncPlan mPlan;
    std::map<std::string, size_t> mHeld;  // records held back, by note
    std::unordered_set<const GDataEntryContact*> mGoogleDuplicates;  // the model's, for lookups
};

}  // namespace quorvane
