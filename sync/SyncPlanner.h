#pragma once
// SyncPlanner: the sync records of a run. It pairs every contact (local contacts first, then the
// Google contacts left over) and decides each pair's action. The work is cut into slices so that
// the run can keep the main run loop turning: pairLocalContacts and pairGoogleContacts each do at
// most a given number of contacts per call; planPairs decides at most a given number of records.
//
// A stage of typed values: it takes SyncPlanner::Input (the run's downloaded feeds, the local
// contacts read for the run, the Google duplicates and the settings it reads) and gives the plan
// (SyncPlan): the records, sorted by their sort key, and what they amount to. A record of action 0
// that the planner held back for safety carries its reason in the summary's notes. What it asks
// about single contacts and pairs (filters, pairing, the history's strategy, the comparison) goes
// through SyncPlanner::Context; the run answers it from the model (SyncRun::ModelPlanning), a
// test from tables.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/contacts/CNContact.h"
#include "platform/foundation/Date.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/NSSyncRecord.h"
#include "sync/SyncStrategy.h"
#include "sync/SyncTypes.h"

namespace quorvane {

// What a plan amounts to, for the summary line and the run's result.
struct SyncPlanSummary {
    size_t createLocal = 0, updateLocal = 0, deleteLocal = 0;
    size_t createGoogle = 0, updateGoogle = 0, deleteGoogle = 0;
    size_t unchanged = 0;
    size_t googleDuplicates = 0;
    // Google copies of a contact that has another with the same content, deleted on Google
    // (counted in deleteGoogle, never in deletions(): nothing of the user's goes).
    size_t copiesRemoved = 0;
    // The Google feeds were whole: deletions could be planned.
    bool googleFeedsComplete = false;
    // Why some changes were held back (the feed was not whole, ...), one line each.
    std::vector<std::string> notes;
    size_t deletions() const { return deleteLocal + deleteGoogle - copiesRemoved; }
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
    using GoogleContactPtr = std::shared_ptr<GDataEntryContact>;

    // What the planner reads, as values.
    struct Input {
        int32_t syncMode = SyncModeTwoWay;  // SyncMode
        // The run's downloaded feeds: the Google contacts in feed order, and whether both are whole.
        GoogleFeeds feeds;
        // The local contacts of the synced account, read with every field, in store order.
        std::vector<platform::CNContactPtr> localContacts;
        // The Google contacts that share their hash name with another: never deleted.
        std::vector<GoogleContactPtr> googleDuplicates;
        // The synced account itself is read-only or a social network's: its contacts are not
        // filtered out for being read-only.
        bool syncingReadOnlyAccount = false;
        // The settings.
        bool ignoreEmptyContacts = false;
        bool ignoreOtherContacts = false;
        bool forceUpdate = false;  // force-update on and the run not automatic
    };

    // What the planner asks about single contacts and pairs. Called on the main thread only,
    // during the calls of the planner.
    class Context {
    public:
        virtual ~Context() = default;
        // The filters: a contact with a name (or organisation, e-mail...), in the group filter,
        // whose destination may be written (not read-only nor a social network's); a Google
        // contact in no group ("Other contacts").
        virtual bool appleContactHasName(const platform::CNContactPtr& contact) = 0;
        virtual bool appleContactHasMatchingGroups(const platform::CNContactPtr& contact) = 0;
        virtual bool appleContactReadOnly(const platform::CNContactPtr& contact) = 0;
        virtual bool googleContactHasName(const GoogleContactPtr& contact) = 0;
        virtual bool googleContactHasMatchingGroups(const GoogleContactPtr& contact) = 0;
        virtual bool googleContactIsOther(const GoogleContactPtr& contact) = 0;
        // The pairing: the best partner not yet paired (nullptr for none), and the pairs made.
        virtual GoogleContactPtr bestGoogleMatch(const platform::CNContactPtr& apple) = 0;
        virtual platform::CNContactPtr bestAppleMatch(const GoogleContactPtr& google) = 0;
        virtual void setPaired(const platform::CNContactPtr& apple, const GoogleContactPtr& google) = 0;
        virtual bool isApplePaired(const platform::CNContactPtr& apple) = 0;
        virtual bool isGooglePaired(const GoogleContactPtr& google) = 0;
        // The decision: the pair's strategy from the history (either side may be absent); whether
        // the pair differs and the difference found (ContactDifference); My Contacts membership;
        // the local contact's modification date, else its creation date; whether the photo moves;
        // the ignore-new setting for a contact without partner.
        virtual SyncStrategyInfo strategy(const platform::CNContactPtr& apple, const GoogleContactPtr& google) = 0;
        virtual bool contactsDiffer(const platform::CNContactPtr& reference, const platform::CNContactPtr& apple,
                                    const GoogleContactPtr& google, int32_t* difference) = 0;
        virtual bool belongsToMyContacts(const GoogleContactPtr& google) = 0;
        virtual std::optional<platform::Date> appleContactDate(const platform::CNContactPtr& apple) = 0;
        virtual bool shouldSyncPhoto(const platform::CNContactPtr& apple, const GoogleContactPtr& google,
                                     int32_t action, const SyncStrategyInfo& strategy) = 0;
        virtual bool ignoreNewAppleContact(const platform::CNContactPtr& apple) = 0;
        virtual bool ignoreNewGoogleContact(const GoogleContactPtr& google) = 0;
        // Of Google contacts made twice from one local contact (a creation the provider carried
        // out after the run that sent it gave up), the copy kept for another copy; nullptr for a
        // contact without copies or the kept one. Whether two Google contacts hold the same content.
        virtual GoogleContactPtr keptCopyOf(const GoogleContactPtr&) { return nullptr; }
        virtual bool sameGoogleContent(const GoogleContactPtr&, const GoogleContactPtr&) { return false; }
        // A new, empty record (the model's records ask it for their texts).
        virtual NSSyncRecordPtr newSyncRecord() = 0;
        // The whole entry of a Google contact that may be a summary of the kept list (the
        // contact itself when it is whole); nullptr when it cannot be read. Whatever is compared
        // field by field or given an action is made whole first.
        virtual GoogleContactPtr wholeGoogleContact(const GoogleContactPtr& google) { return google; }
        // What the comparison would find, when the values already read of a Google contact that
        // is a summary (not made whole) tell it: the first row's values differ. nullopt when
        // only the whole entry tells.
        virtual std::optional<int32_t> differenceSeenInSummary(const platform::CNContactPtr&, const GoogleContactPtr&) {
            return std::nullopt;
        }
        // What a whole Google contact holds, field by field, for the history (nullopt: not read).
        virtual std::optional<FieldValues> googleFieldValues(const GoogleContactPtr&) { return std::nullopt; }
    };

    // The planner of one run; the context must outlive it.
    SyncPlanner(Context& context, Input input);
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
    // The whole Google entry of the record, for a comparison; nullptr (the record held back)
    // when the kept entry cannot be read. The record keeps what it holds, often a summary of the
    // kept list (GoogleContactCache): the executor makes an entry whole again only for the moment
    // it writes or sends it, so a large plan does not hold every entry whole. A pair is compared
    // on its summary first (Context::differenceSeenInSummary), so that one whose difference shows
    // there is read whole only by the executor's write.
    GoogleContactPtr wholeGoogleContact(NSSyncRecord& record);
    // The action of a pair, with `whole` the entry read for its comparison (nullptr when it was not).
    void decidePairAction(NSSyncRecord& record, const SyncStrategyInfo& strategy, GoogleContactPtr& whole);
    void tally(const NSSyncRecord& record);

    Context& mContext;
    Input mInput;
    bool mFeedsComplete = false;
    std::vector<std::shared_ptr<GDataEntryContact>> mGoogleContacts;  // feed order
    size_t mLocalNext = 0, mLocalTotal = 0;
    size_t mGoogleNext = 0, mGoogleTotal = 0;
    std::vector<Pair> mPairs;
    std::vector<platform::CNContactPtr> mUnpairedLocal;  // local contacts the first pass found no partner for
    size_t mPlanNext = 0;
    SyncPlan mPlan;
    std::map<std::string, size_t> mHeld;  // records held back (or removed as copies), by note
    std::unordered_set<const NSSyncRecord*> mCopiesRemoved;  // records that delete a Google copy
};

}  // namespace quorvane
