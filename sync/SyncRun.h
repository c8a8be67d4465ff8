#pragma once
// SyncRun: one sync run as a state machine, owned by the model and driven in short slices on the
// main run loop so that the program stays responsive and progress can be drawn.
//
//   checkAccounts -> fetchGroups -> fetchContacts -> loadHistory -> pair -> plan
//     -> [confirm] -> execute -> keepList -> finished
//
// Every change of state goes through setState, which logs it and reports progress; each state's
// work is one function (run<State>). A state either finishes its work in one call and moves on,
// starts something asynchronous whose callback moves on, or (pair, plan) works until its slice of
// time is used and is called again. Any state may end the run with an outcome (finish).
//
// The states hand typed values on: fetchContacts takes the downloaded feeds (GoogleFeeds);
// loadHistory reads the local contacts and the history and makes the planner's input
// (SyncPlanner::Input: the feeds, the local contacts, the settings it reads); pair and plan turn
// that into the plan (SyncPlan); execute hands the plan to a SyncExecutor, whose result
// (SyncRunResult, and the records' flags) is what the history is written from. The stages ask the
// model only through their narrow interfaces, which the run answers from the model
// (ModelPlanning for the planner, ModelExecution for the executor).
//
// A run that only plans (Options::planOnly) ends after plan and records nothing. Otherwise the
// optional confirm hook sees the plan and may refuse it, and execute hands the records to a
// SyncExecutor (which applies them, writes the history and records the run); a run that ends
// before execute records its outcome itself.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "sync/SyncExecutor.h"
#include "sync/SyncPlanner.h"

namespace quorvane {

class QuorvaneModel;

class SyncRun;

struct SyncRunOptions {
    int32_t syncMode = SyncModeTwoWay;  // SyncMode
    bool automatic = false;
    // End after the plan state (the plan is then shown, not applied).
    bool planOnly = true;
    // Asked with the plan before anything is written; answering false ends the run refused.
    std::function<void(SyncRun& run, std::function<void(bool proceed)> answer)> confirm;
    // The user agreed beforehand to a clear of the history that forgets deletions not yet carried
    // (QuorvaneModel::loadSyncHistoryForRun); without it such a run is refused before planning.
    bool historyClearConfirmed = false;
    // The longest piece of work between two turns of the run loop, in seconds.
    double sliceSeconds = 0.03;
    // How the run's record says an error: in the sentence the user is told (the error's own
    // description when not given), so that the log reads as the command did.
    std::function<std::string(const platform::Error&)> describeError;
};

class SyncRun : public std::enable_shared_from_this<SyncRun> {
public:
    enum class State { idle, checkAccounts, fetchGroups, fetchContacts, loadHistory, pair, plan, confirm, execute, keepList, finished };

    using Options = SyncRunOptions;
    using Finished = std::function<void(SyncRun& run)>;

    // Use start(): a run lives while its steps are queued.
    SyncRun(QuorvaneModel& model, Options options);

    // Begins at checkAccounts; `finished` runs once, on the main run loop, when the run ends.
    void start(Finished finished);
    // Ends the run after the work in flight, with the outcome given (Interrupted: the user asked;
    // Network: the provider went quiet), saving the history of what completed.
    void cancel(SyncRunOutcome as = SyncRunOutcome::Interrupted);

    State state() const { return mState; }
    // How the run ended (with the executor's counts when it got that far); valid once finished.
    const SyncRunResult& result() const { return mResult; }
    SyncRunOutcome outcome() const { return mResult.outcome; }
    const std::optional<platform::Error>& error() const { return mResult.error; }
    // Why the run ended when it did not end well; "" otherwise.
    const std::string& message() const { return mMessage; }
    // After a refusal of the sign-in: whether the run forgot it (false: a newer one is kept);
    // nullopt when the run forgot nothing.
    std::optional<bool> signInForgotten() const { return mSignInForgotten; }
    const Options& options() const { return mOptions; }
    // Why the confirmation about to answer no refuses the plan, for the run's record; "The plan
    // was not confirmed" when not said.
    void setRefusal(std::string why) { mRefusal = std::move(why); }
    // The plan (valid once the plan state is done: planned()).
    const SyncPlanSummary& plan() const { return mPlan.summary; }
    // The planned records in plan order; once executed, with what was done to each.
    const std::vector<NSSyncRecordPtr>& records() const { return mPlan.records; }
    // The feeds the run downloaded (valid after fetchContacts).
    const GoogleFeeds& feeds() const { return mFeeds; }
    bool planned() const { return mPlanned; }
    // What has been written so far (the final counts once finished).
    const SyncRunCounts& counts() const { return mExecutor ? mExecutor->counts() : mResult.counts; }

    static const char* nameOfState(State state);
    // A count as progress shows it: "4,200".
    static std::string grouped(size_t n);
    // The outcome an error of a fetch stands for: Auth for a refused authorization, Network for a
    // connection that timed out, was lost or is offline (or a host that cannot be reached) and for
    // a provider that answered 5xx or 429, Other otherwise.
    static SyncRunOutcome outcomeForError(const platform::Error& error);

    // The planner's questions answered by the model: its pairing indexes, filters, history and
    // comparison, as preparePlanning left them.
    class ModelPlanning final : public SyncPlanner::Context {
    public:
        using GoogleContactPtr = SyncPlanner::GoogleContactPtr;
        explicit ModelPlanning(QuorvaneModel& model) : mModel(model) {}
        bool appleContactHasName(const platform::CNContactPtr& contact) override;
        bool appleContactHasMatchingGroups(const platform::CNContactPtr& contact) override;
        bool appleContactReadOnly(const platform::CNContactPtr& contact) override;
        bool googleContactHasName(const GoogleContactPtr& contact) override;
        bool googleContactHasMatchingGroups(const GoogleContactPtr& contact) override;
        bool googleContactIsOther(const GoogleContactPtr& contact) override;
        GoogleContactPtr bestGoogleMatch(const platform::CNContactPtr& apple) override;
        platform::CNContactPtr bestAppleMatch(const GoogleContactPtr& google) override;
        void setPaired(const platform::CNContactPtr& apple, const GoogleContactPtr& google) override;
        bool isApplePaired(const platform::CNContactPtr& apple) override;
        bool isGooglePaired(const GoogleContactPtr& google) override;
        SyncStrategyInfo strategy(const platform::CNContactPtr& apple, const GoogleContactPtr& google) override;
        bool contactsDiffer(const platform::CNContactPtr& reference, const platform::CNContactPtr& apple,
                            const GoogleContactPtr& google, int32_t* difference) override;
        bool belongsToMyContacts(const GoogleContactPtr& google) override;
        std::optional<platform::Date> appleContactDate(const platform::CNContactPtr& apple) override;
        bool shouldSyncPhoto(const platform::CNContactPtr& apple, const GoogleContactPtr& google, int32_t action,
                             const SyncStrategyInfo& strategy) override;
        bool ignoreNewAppleContact(const platform::CNContactPtr& apple) override;
        bool ignoreNewGoogleContact(const GoogleContactPtr& google) override;
        GoogleContactPtr keptCopyOf(const GoogleContactPtr& google) override;
        bool sameGoogleContent(const GoogleContactPtr& a, const GoogleContactPtr& b) override;
        NSSyncRecordPtr newSyncRecord() override;
        GoogleContactPtr wholeGoogleContact(const GoogleContactPtr& google) override;
        std::optional<int32_t> differenceSeenInSummary(const platform::CNContactPtr& reference,
                                                       const GoogleContactPtr& google) override;
        std::optional<FieldValues> googleFieldValues(const GoogleContactPtr& google) override;

    private:
        QuorvaneModel& mModel;
    };
    // The executor's needs answered by the model: its run log and progress, its service and
    // store, its conversions and comparison, its history and run log. Holds the model.
    class ModelExecution final : public SyncExecutor::Context {
    public:
        explicit ModelExecution(std::shared_ptr<QuorvaneModel> model,
                                std::function<std::string(const platform::Error&)> describe = nullptr)
            : mModel(std::move(model)), mDescribe(std::move(describe)) {}
        std::string describeError(const platform::Error& error) override {
            return mDescribe ? mDescribe(error) : error.localizedDescription();
        }
        void log(const std::string& line) override;
        void progress(const std::string& text) override;
        void subProgress(const std::string& text) override;
        void progressBar(float value) override;
        void logWritten(const NSSyncRecordPtr& record, bool created) override;
        std::shared_ptr<GDataServiceGoogleContact> googleService() override;
        platform::CNContactStore& contactStore() override;
        std::vector<std::shared_ptr<GDataEntryBase>> missingGoogleGroups(const std::vector<NSSyncRecordPtr>& records) override;
        void useGroupFeed(const std::shared_ptr<GDataFeedContactGroup>& feed) override;
        void rereadLocalGroups() override;
        std::vector<std::string> localGroupNames(const platform::CNContactPtr& apple) override;
        platform::CNContactPtr referenceContact(const platform::CNContactPtr& apple) override;
        GoogleConversion toGoogle(GoogleContactPtr entry, const platform::CNContactPtr& reference,
                                  const platform::CNContactPtr& apple, const NSSyncRecordPtr& record) override;
        bool contactsDiffer(const platform::CNContactPtr& apple, const GoogleContactPtr& google) override;
        NSSyncRecordPtr newSyncRecord() override;
        std::optional<LocalContactAsRead> localContactAsRead(const NSSyncRecord& record) override;
        GoogleContactPtr wholeGoogleContact(const GoogleContactPtr& google) override;
        GoogleContactPtr keptGoogleContact(const GoogleContactPtr& answer) override;
        void googleAnswerConfirmed(const GoogleContactPtr& answer) override;
        void googleContactChangedDuringRun() override;
        GoogleContactPtr leanGoogleContact(const GoogleContactPtr& google) override;
        std::optional<FieldValues> googleFieldValues(const GoogleContactPtr& google) override;
        platform::Result<std::vector<std::string>> saveHistory(const std::vector<NSSyncRecordPtr>& records,
                                           const std::function<GoogleContactPtr(const std::string&)>& googleContactWithID) override;
        platform::Result<int64_t> saveRunLog(platform::Date startDate, SyncRunOutcome outcome,
                                             const std::optional<std::string>& error, const SyncRunCounts& counts) override;

    private:
        std::shared_ptr<QuorvaneModel> mModel;
        std::function<std::string(const platform::Error&)> mDescribe;
    };
    // The executor's input for the plan, from the run's feeds and the model's settings.
    static SyncExecutor::Input executionInput(QuorvaneModel& model, int32_t syncMode, std::vector<NSSyncRecordPtr> records,
                                              const GoogleFeeds& feeds, platform::Date startDate);

    // Reads the synced local account (every field) and the group memberships, builds the model's
    // account dictionaries and pairing indexes over the feeds (the model's current ones:
    // googleFeeds()) and gives the planner's input; fails when the local contacts cannot be read.
    static platform::Result<SyncPlanner::Input> preparePlanning(QuorvaneModel& model, int32_t syncMode,
                                                                const GoogleFeeds& feeds);

private:
    // The one way to change state: logs it, reports progress, and queues the state's work.
    void setState(State state);
    // Ends the run before execute; a run that was to write records its outcome in the run log.
    void finish(SyncRunOutcome outcome, std::optional<platform::Error> error = std::nullopt, std::string message = "");
    // Runs the current state's work (queued on the main run loop).
    void step();
    void queueStep();
    State nextStateAfter(State state) const;

    void runCheckAccounts();
    void runFetchGroups();
    void runFetchContacts();
    void runLoadHistory();
    void runPair();
    void runPlan();
    void runConfirm();
    void runExecute();
    void runKeepList();

    QuorvaneModel& mModel;
    Options mOptions;
    ModelPlanning mPlanning;
    std::unique_ptr<SyncPlanner> mPlanner;  // made in loadHistory
    GoogleFeeds mFeeds;
    SyncPlan mPlan;
    std::vector<std::string> mNotes;  // what the history load and the filter have to say in the plan
    State mState = State::idle;
    SyncRunResult mResult;
    std::string mMessage;
    std::string mRefusal;  // setRefusal
    std::optional<bool> mSignInForgotten;
    platform::Date mStartDate;
    std::shared_ptr<SyncExecutor> mExecutor;
    Finished mFinished;
    bool mCancelled = false;
    SyncRunOutcome mCancelledAs = SyncRunOutcome::Interrupted;
    bool mLocalPassDone = false;
    bool mPlanned = false;
    // The model's life, so that a queued step of a model that is gone does nothing.
    std::weak_ptr<int> mModelAlive;
};

}  // namespace quorvane
