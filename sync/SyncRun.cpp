// A sync run's states, each with its own work, moved on through setState.

#include "sync/SyncRun.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "platform/foundation/Memory.h"
#include "platform/runloop/RunLoop.h"
#include "sync/GoogleBatchWriter.h"
#include "sync/GoogleContactCache.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

// Contacts handled between two looks at the clock: small enough to keep a slice short.
constexpr size_t kContactsPerCheck = 50;
// Every field of a local contact: the comparison reads them all.
constexpr ContactKeySet kPlanningKeySet = 6;

}  // namespace

std::string SyncRun::grouped(size_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

SyncRun::SyncRun(QuorvaneModel& model, Options options)
    : mModel(model), mOptions(options), mPlanning(model), mModelAlive(model.aliveMarker()) {}

const char* SyncRun::nameOfState(State state) {
    switch (state) {
        case State::idle: return "idle";
        case State::checkAccounts: return "checkAccounts";
        case State::fetchGroups: return "fetchGroups";
        case State::fetchContacts: return "fetchContacts";
        case State::loadHistory: return "loadHistory";
        case State::pair: return "pair";
        case State::plan: return "plan";
        case State::confirm: return "confirm";
        case State::execute: return "execute";
        case State::keepList: return "keepList";
        case State::finished: return "finished";
    }
    return "?";
}

SyncRunOutcome SyncRun::outcomeForError(const platform::Error& error) {
    // Only the provider's refusal is one of the sign-in; the sign-in layer's own errors (a
    // request it would not sign, a token answer it could not use) leave the sign-in as it is.
    if (GoogleBatchWriter::isSignInGone(error)) return SyncRunOutcome::Auth;
    if (GoogleBatchWriter::isNetworkError(error) || GoogleBatchWriter::isUnavailableError(error)) {
        return SyncRunOutcome::Network;
    }
    return SyncRunOutcome::Other;
}

void SyncRun::start(Finished finished) {
    mFinished = std::move(finished);
    mStartDate = platform::Date::now();
    mModel.setSyncMode(static_cast<SyncMode>(mOptions.syncMode));
    mModel.setAutomaticSync(mOptions.automatic);
    mModel.clearSyncErrors();
    setState(State::checkAccounts);
}

void SyncRun::cancel(SyncRunOutcome as) {
    mCancelled = true;
    mCancelledAs = as;
    if (mExecutor) mExecutor->cancel(as);
}

SyncRun::State SyncRun::nextStateAfter(State state) const {
    switch (state) {
        case State::checkAccounts: return State::fetchGroups;
        case State::fetchGroups: return State::fetchContacts;
        case State::fetchContacts: return State::loadHistory;
        case State::loadHistory: return State::pair;
        case State::pair: return State::plan;
        case State::plan: return mOptions.planOnly ? State::finished : mOptions.confirm ? State::confirm : State::execute;
        case State::confirm: return State::execute;
        case State::execute: return State::keepList;
        default: return State::finished;
    }
}

void SyncRun::setState(State state) {
    mModel.appendStringToLog(std::string("Run state: ") + nameOfState(mState) + " -> " + nameOfState(state));
    mState = state;
    switch (state) {
        case State::checkAccounts: mModel.setProgressWithString("Checking the accounts"); break;
        case State::fetchGroups: mModel.setProgressWithString("Downloading the Google groups"); break;
        case State::fetchContacts: mModel.setProgressWithString("Downloading the Google contacts"); break;
        case State::loadHistory: mModel.setProgressWithString("Reading the sync history"); break;
        case State::pair: mModel.setProgressWithString("Pairing contacts"); break;
        case State::plan: mModel.setProgressWithString("Planning the changes"); break;
        case State::confirm: mModel.setProgressWithString("Waiting for the plan to be confirmed"); break;
        case State::execute: mModel.setProgressWithString("Applying the changes"); break;
        case State::keepList: mModel.setProgressWithString("Keeping the Google contacts written"); break;
        default: break;
    }
    if (state == State::finished) {
        // Everything this run writes is written: the next run of the profile may start.
        if (!mOptions.planOnly) mModel.unlockSyncData();
        // The provider refused the authorization: the account has to sign in again. Forgotten
        // as every refused sign-in is, so that a newer one stored meanwhile stays.
        if (mResult.outcome == SyncRunOutcome::Auth && mModel.auth() && mResult.error &&
            GoogleBatchWriter::isAuthorizationError(*mResult.error)) {
            mSignInForgotten = mModel.forgetRefusedGoogleAuthorization();
            mModel.appendStringToLog(*mSignInForgotten ? "Signed out: the provider refused the authorization"
                                                       : "The provider refused the authorization; a newer sign-in is kept");
        }
        if (mFinished) {
            // Once only, and not from inside a caller's own call of a run function.
            auto finished = std::move(mFinished);
            mFinished = nullptr;
            finished(*this);
        }
        return;
    }
    queueStep();
}

void SyncRun::finish(SyncRunOutcome outcome, std::optional<platform::Error> error, std::string message) {
    // A run ended on purpose ends as that, whatever the requests it cut short answered.
    if (mCancelled) {
        outcome = mCancelledAs;
        error.reset();
        message = mCancelledAs == SyncRunOutcome::Interrupted ? "Interrupted before anything was written" : "Cancelled";
    }
    mResult.outcome = outcome;
    mResult.error = std::move(error);
    mMessage = std::move(message);
    if (!mMessage.empty()) mModel.appendStringToLog(mMessage);
    mModel.appendStringToLog(std::string("Run ended: ") + syncRunOutcomeName(outcome));
    if (!mOptions.planOnly) {
        std::optional<std::string> why;
        if (mResult.error)
            why = mOptions.describeError ? mOptions.describeError(*mResult.error) : mResult.error->localizedDescription();
        else if (!mMessage.empty()) why = mMessage;
        SyncLogRecord log = mModel.newSyncLogRecord(mStartDate, syncRunOutcomeName(outcome), why);
        if (auto saved = mModel.saveSyncLogRecord(log)) {
            mResult.runID = *saved;
        } else {
            mModel.appendStringToLog("The run could not be recorded: " + saved.error().localizedDescription());
        }
    }
    setState(State::finished);
}

void SyncRun::queueStep() {
    std::weak_ptr<SyncRun> self = weak_from_this();
    platform::RunLoop::main()->post([self] {
        if (auto run = self.lock()) run->step();
    });
}

void SyncRun::step() {
    if (mModelAlive.expired() || mState == State::finished) return;
    if (mCancelled) {
        // The run is recorded already: only the kept list's update is left out.
        if (mState == State::keepList) return setState(State::finished);
        return finish(mCancelledAs);
    }
    switch (mState) {
        case State::checkAccounts: return runCheckAccounts();
        case State::fetchGroups: return runFetchGroups();
        case State::fetchContacts: return runFetchContacts();
        case State::loadHistory: return runLoadHistory();
        case State::pair: return runPair();
        case State::plan: return runPlan();
        case State::confirm: return runConfirm();
        case State::execute: return runExecute();
        case State::keepList: return runKeepList();
        default: return;
    }
}

void SyncRun::runCheckAccounts() {
    // A history that cannot be read would make every deleted contact look new: stop before
    // downloading or planning anything.
    if (auto checked = mModel.checkSyncStore(); !checked)
        return finish(SyncRunOutcome::Refused, checked.error(), checked.error().localizedDescription());
    // So would settings that cannot be read, or a value read as a default it does not hold.
    if (auto checked = mModel.checkSettings(); !checked)
        return finish(SyncRunOutcome::Refused, checked.error(), checked.error().localizedDescription());
    if (auto selected = mModel.updateSelectedContainerWithError(); !selected) {
        const auto& error = selected.error();
        return finish(SyncRunOutcome::Refused, error, "The local account cannot be read: " + error.localizedDescription());
    }
    if (auto checked = mModel.checkForContactAccountErrorsWithSelectedSyncMode(mOptions.syncMode, mOptions.automatic);
        !checked) {
        return finish(SyncRunOutcome::Refused, std::nullopt, checked.error().localizedDescription());
    }
    if (!mModel.auth()) return finish(SyncRunOutcome::Auth, std::nullopt, "Not signed in to Google");
    setState(nextStateAfter(mState));
}

void SyncRun::runFetchGroups() {
    std::weak_ptr<SyncRun> self = weak_from_this();
    mModel.fetchGroupFeedWithCompletion([self](std::optional<platform::Error> error) {
        auto run = self.lock();
        if (!run || run->mModelAlive.expired()) return;
        if (error) return run->finish(outcomeForError(*error), error, "Downloading the Google groups failed: " + error->localizedDescription());
        run->setState(run->nextStateAfter(run->mState));
    });
}

void SyncRun::runFetchContacts() {
    std::weak_ptr<SyncRun> self = weak_from_this();
    mModel.fetchContactFeedWithCompletion([self](std::optional<platform::Error> error) {
        auto run = self.lock();
        if (!run || run->mModelAlive.expired()) return;
        if (error) return run->finish(outcomeForError(*error), error, "Downloading the Google contacts failed: " + error->localizedDescription());
        auto& model = run->mModel;
        run->mFeeds = model.googleFeeds();
        const auto& feeds = run->mFeeds;
        auto count = [](const auto& fetched) { return fetched.feed ? fetched.feed->entryCount() : 0; };
        model.appendStringToLog("Downloaded " + grouped(count(feeds.contacts)) + " Google contacts and " +
                                grouped(count(feeds.groups)) + " groups" +
                                (feeds.contacts.incremental ? " (changes merged into the last download)" : ""));
        // A run that did not see the whole list cannot tell a contact it missed from one deleted,
        // nor write a pair it did not see: it stops before writing anything, and the next whole
        // download repairs everything.
        if (!feeds.complete()) {
            return run->finish(SyncRunOutcome::Refused, std::nullopt,
                               "The Google contact list arrived incomplete (" + feeds.incompleteReason +
                                   "): nothing was written, run the sync again");
        }
        run->setState(run->nextStateAfter(run->mState));
    });
}

void SyncRun::runLoadHistory() {
    auto fetched = mModel.loadSyncHistoryForRun(mOptions.planOnly, mOptions.historyClearConfirmed);
    if (!fetched) return finish(SyncRunOutcome::Refused, fetched.error(), fetched.error().localizedDescription());
    mNotes.clear();
    if (fetched->note) mNotes.push_back(*fetched->note);
    auto input = preparePlanning(mModel, mOptions.syncMode, mFeeds);
    if (!input) {
        const auto& error = input.error();
        return finish(SyncRunOutcome::Other, error, "The local contacts cannot be read: " + error.localizedDescription());
    }
    // A group filter that no contact on either side matches leaves everything alone: say so
    // rather than report a run with nothing to do.
    if (mModel.isGroupFilterActive()) {
        bool matched = std::any_of(input->localContacts.begin(), input->localContacts.end(),
                                   [this](const auto& c) { return c && mModel.appleContactHasMatchingGroups(c); });
        if (!matched && mFeeds.contacts.feed && mFeeds.contacts.feed->entries())
            for (const auto& e : *mFeeds.contacts.feed->entries())
                if (auto g = std::dynamic_pointer_cast<GDataEntryContact>(e); g && mModel.googleContactHasMatchingGroups(g)) {
                    matched = true;
                    break;
                }
        if (!matched) {
            std::string names;
            for (const auto& name : mModel.selectedGroupSet()) names += (names.empty() ? "\"" : ", \"") + name + "\"";
            mNotes.push_back("Nothing matches the group filter (" + names +
                             "): no contact on either side is in a group of that name, so the run leaves every "
                             "contact alone");
        }
    }
    mPlanner = std::make_unique<SyncPlanner>(mPlanning, std::move(*input));
    mLocalPassDone = false;
    setState(nextStateAfter(mState));
}

void SyncRun::runPair() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(mOptions.sliceSeconds);
    bool done = false;
    do {
        if (!mLocalPassDone) mLocalPassDone = mPlanner->pairLocalContacts(kContactsPerCheck);
        else done = mPlanner->pairGoogleContacts(kContactsPerCheck);
    } while (!done && std::chrono::steady_clock::now() < deadline);
    const size_t total = std::max<size_t>(mPlanner->pairingTotal(), 1);
    mModel.setSubProgressWithString("pairing " + grouped(mPlanner->pairedSoFar()) + "/" + grouped(mPlanner->pairingTotal()));
    mModel.setProgressBarValue(float(mPlanner->pairedSoFar()) / float(total));
    if (!done) return queueStep();
    setState(nextStateAfter(mState));
}

void SyncRun::runPlan() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(mOptions.sliceSeconds);
    bool done = false;
    do {
        done = mPlanner->planPairs(kContactsPerCheck);
    } while (!done && std::chrono::steady_clock::now() < deadline);
    const size_t total = std::max<size_t>(mPlanner->planTotal(), 1);
    mModel.setSubProgressWithString("planning " + grouped(mPlanner->plannedSoFar()) + "/" + grouped(mPlanner->planTotal()));
    mModel.setProgressBarValue(float(mPlanner->plannedSoFar()) / float(total));
    if (!done) return queueStep();

    mPlanned = true;
    mPlan = mPlanner->takePlan();
    mPlan.summary.notes.insert(mPlan.summary.notes.begin(), mNotes.begin(), mNotes.end());
    // What pairing and planning read is let go of: a Google entry the run replaces by Google's
    // answer is then held nowhere.
    mPlanner.reset();
    mModel.releasePairingState();
    const auto& plan = mPlan.summary;
    for (const auto& note : plan.notes) mModel.appendStringToLog(note);
    mModel.appendStringToLog("Planned: " + std::to_string(plan.createLocal) + " to create locally, " +
                             std::to_string(plan.updateLocal) + " to update locally, " +
                             std::to_string(plan.deleteLocal) + " to delete locally, " +
                             std::to_string(plan.createGoogle) + " to create on Google, " +
                             std::to_string(plan.updateGoogle) + " to update on Google, " +
                             std::to_string(plan.deleteGoogle) + " to delete on Google, " +
                             std::to_string(plan.unchanged) + " unchanged");
    if (mOptions.planOnly) return finish(SyncRunOutcome::Ok);
    setState(nextStateAfter(mState));
}

void SyncRun::runConfirm() {
    std::weak_ptr<SyncRun> self = weak_from_this();
    auto answered = std::make_shared<bool>(false);
    mOptions.confirm(*this, [self, answered](bool proceed) {
        auto run = self.lock();
        if (!run || *answered || run->mState != State::confirm) return;
        *answered = true;
        if (!proceed)
            return run->finish(SyncRunOutcome::Refused, std::nullopt,
                               run->mRefusal.empty() ? "The plan was not confirmed" : run->mRefusal);
        run->setState(run->nextStateAfter(run->mState));
    });
}

void SyncRun::runExecute() {
    mExecutor = SyncExecutor::make(std::make_shared<ModelExecution>(mModel.shared_from_this(), mOptions.describeError),
                                   executionInput(mModel, mOptions.syncMode, mPlan.records, mFeeds, mStartDate));
    QuorvaneModel* model = &mModel;
    std::weak_ptr<int> alive = mModelAlive;
    mExecutor->setLocalApply([model, alive](const std::vector<NSSyncRecordPtr>& records,
                                            std::function<void(const std::optional<platform::Error>&)> done) {
        if (alive.expired()) return;
        model->performSynchronization_Step1(
            records,
            [model](size_t doneCount, size_t total) {
                model->setSubProgressWithString("local contacts " + grouped(doneCount) + "/" + grouped(total));
            },
            std::move(done));
    });
    std::weak_ptr<SyncRun> self = weak_from_this();
    mExecutor->start([self](const SyncRunResult& result) {
        auto run = self.lock();
        if (!run || run->mModelAlive.expired()) return;
        // The executor recorded the run itself.
        run->mResult = result;
        // Before the kept list is written: what the run wrote is held no longer (a first sync's
        // new contacts would otherwise stay in memory beside the list being written), and many
        // let go of go back to the system, where the list's writing takes its memory from.
        size_t written = 0;
        for (const auto& r : run->mPlan.records) {
            if (!r || (r->mSyncAction == SyncActionNoUpdate && !r->mMutableAppleContact)) continue;
            written += r->mMutableAppleContact != nullptr;
            r->releaseWrittenState();
        }
        if (written >= 1000) platform::returnFreedMemory();
        run->mModel.appendStringToLog(std::string("Run ended: ") + syncRunOutcomeName(result.outcome));
        // The executor holds the model (through its context), which holds this run: let it go
        // (its own call keeps it alive until that returns).
        auto executor = std::move(run->mExecutor);
        run->setState(run->nextStateAfter(run->mState));
    });
}

void SyncRun::runKeepList() {
    // Without the provider (signed out, unreachable) the kept list stays as it was downloaded.
    if (mResult.outcome == SyncRunOutcome::Auth || mResult.outcome == SyncRunOutcome::Network)
        return setState(State::finished);
    std::weak_ptr<SyncRun> self = weak_from_this();
    mModel.refreshKeptGoogleList([self] {
        auto run = self.lock();
        if (!run || run->mModelAlive.expired() || run->mState != State::keepList) return;
        run->setState(State::finished);
    });
}

// --- the executor's needs, answered by the model ---

SyncExecutor::Input SyncRun::executionInput(QuorvaneModel& model, int32_t syncMode, std::vector<NSSyncRecordPtr> records,
                                            const GoogleFeeds& feeds, platform::Date startDate) {
    SyncExecutor::Input input;
    input.records = std::move(records);
    input.syncMode = syncMode;
    // Deletions need both feeds whole, the groups too: a group missing from a cut feed would be
    // made again.
    input.feeds = feeds;
    input.contactsFeedURL = GDataServiceGoogleContact::contactFeedURLForUserID("default");
    input.groupsFeedURL = GDataServiceGoogleContact::groupFeedURLForUserID("default");
    input.startDate = startDate;
    input.batchSize = model.batchGoogleContacts() ? 100 : 1;
    input.pauseSeconds = model.pauseBetweenGmailRequests();
    return input;
}

using ModelExecution = SyncRun::ModelExecution;

void ModelExecution::log(const std::string& line) { mModel->appendStringToLog(line); }
void ModelExecution::progress(const std::string& text) { mModel->setProgressWithString(text); }
void ModelExecution::subProgress(const std::string& text) { mModel->setSubProgressWithString(text); }
void ModelExecution::progressBar(float value) { mModel->setProgressBarValue(value); }
void ModelExecution::logWritten(const NSSyncRecordPtr& record, bool created) {
    mModel->addToLogWithSyncRecord(record, created, true);
}
std::shared_ptr<GDataServiceGoogleContact> ModelExecution::googleService() { return mModel->getGoogleContactService(); }
platform::CNContactStore& ModelExecution::contactStore() { return mModel->contactStore(); }
std::vector<std::shared_ptr<GDataEntryBase>> ModelExecution::missingGoogleGroups(const std::vector<NSSyncRecordPtr>& records) {
    std::vector<std::shared_ptr<GDataEntryBase>> groups;
    for (const std::string& name : mModel->getRequiredGoogleGroupNamesForSync(records))
        if (auto group = mModel->createGoogleGroupWithABGroupName(name)) groups.push_back(group);
    return groups;
}
void ModelExecution::useGroupFeed(const std::shared_ptr<GDataFeedContactGroup>& feed) { mModel->setGroupFeed(feed); }
void ModelExecution::rereadLocalGroups() { mModel->updateGroupMembershipByPersonWithError(); }
std::vector<std::string> ModelExecution::localGroupNames(const platform::CNContactPtr& apple) {
    if (!apple) return {};
    return mModel->trimWhitespaceFromStringArray(
        mModel->getAppleContactGroupNamesWithAppleContactID(apple->identifier()).value_or(std::vector<std::string>{}));
}
platform::CNContactPtr ModelExecution::referenceContact(const platform::CNContactPtr& apple) {
    return mModel->getAppleReferenceContactWithAppleContact(apple);
}
ModelExecution::GoogleConversion ModelExecution::toGoogle(GoogleContactPtr entry, const platform::CNContactPtr& reference,
                                                          const platform::CNContactPtr& apple, const NSSyncRecordPtr& record) {
    auto groups = mModel->getAppleContactGroupNamesWithAppleContactID(apple->identifier());
    mModel->takeTruncatedValues();
    if (entry) mModel->updateGoogleContact(entry, reference, apple, record, groups);
    else entry = mModel->createGoogleContactWithAppleContact(reference, apple, record, groups);
    return {entry, mModel->takeTruncatedValues()};
}
bool ModelExecution::contactsDiffer(const platform::CNContactPtr& apple, const GoogleContactPtr& google) {
    int32_t difference = ContactDifferenceNone;
    return mModel->contactsDifferWithAppleContact(
        apple, apple, google, mModel->getAppleContactGroupNamesWithAppleContactID(apple->identifier()), &difference);
}
NSSyncRecordPtr ModelExecution::newSyncRecord() { return mModel->newSyncRecord(); }
std::optional<LocalContactAsRead> ModelExecution::localContactAsRead(const NSSyncRecord& record) {
    return mModel->localContactAsRead(record);
}
ModelExecution::GoogleContactPtr ModelExecution::wholeGoogleContact(const GoogleContactPtr& google) {
    return mModel->wholeGoogleContact(google);
}
ModelExecution::GoogleContactPtr ModelExecution::keptGoogleContact(const GoogleContactPtr& answer) {
    return mModel->takeGoogleAnswer(answer);
}
void ModelExecution::googleAnswerConfirmed(const GoogleContactPtr& answer) { mModel->keepGoogleAnswer(answer); }
void ModelExecution::googleContactChangedDuringRun() { mModel->dropKeptListAfterConflict(); }
ModelExecution::GoogleContactPtr ModelExecution::leanGoogleContact(const GoogleContactPtr& google) {
    return mModel->leanGoogleContact(google);
}
std::optional<FieldValues> ModelExecution::googleFieldValues(const GoogleContactPtr& google) {
    if (!google) return std::nullopt;
    return mModel->googleFieldValues(*google);
}

platform::Result<std::vector<std::string>> ModelExecution::saveHistory(
    const std::vector<NSSyncRecordPtr>& records, const std::function<GoogleContactPtr(const std::string&)>& googleContactWithID) {
    auto saved = mModel->serializeSyncData(records, googleContactWithID);
    if (saved) return saved;
    platform::Error error(kQuorvaneModelErrorDomain, kQuorvaneModelErrorHistoryNotSaved);
    error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                       "The sync wrote its changes, but its history could not be saved (" +
                           saved.error().localizedDescription() + ").");
    return error;
}
platform::Result<int64_t> ModelExecution::saveRunLog(platform::Date startDate, SyncRunOutcome outcome,
                                                     const std::optional<std::string>& error, const SyncRunCounts& c) {
    SyncLogRecord log = mModel->newSyncLogRecord(startDate, syncRunOutcomeName(outcome), error);
    log.googleCreated = c.googleCreated;
    log.googleUpdated = c.googleUpdated;
    log.googleDeleted = c.googleDeleted;
    log.appleCreated = c.appleCreated;
    log.appleUpdated = c.appleUpdated;
    log.appleDeleted = c.appleDeleted;
    log.photosMoved = c.photosMoved;
    log.failures = c.failures;
    return mModel->saveSyncLogRecord(std::move(log));
}

// --- the planner's questions, answered by the model ---

platform::Result<SyncPlanner::Input> SyncRun::preparePlanning(QuorvaneModel& m, int32_t syncMode,
                                                              const GoogleFeeds& feeds) {
    if (auto loaded = m.loadExistingAppleContactsWithKeySet(kPlanningKeySet); !loaded) return loaded.error();
    if (auto groups = m.updateGroupMembershipByPersonWithError(); !groups)
        m.appendStringToLog("Could not read every local group: " + groups.error().localizedDescription());
    m.updateSelectedGroupURLDict();
    m.updateExchangeContactDict();
    m.updateGoogleCardDAVContactDict();
    m.updateFacebookContactDict();
    m.updateReadOnlyContactDict();
    m.preparePairingDicts();
    m.updatePairedContactsDict();

    SyncPlanner::Input input;
    input.syncMode = syncMode;
    input.feeds = feeds;
    input.localContacts = m.existingAppleContacts();
    input.googleDuplicates = m.googleDuplicatesDetected();
    const auto& selected = m.selectedContainer();
    input.syncingReadOnlyAccount = selected && (m.isReadOnlyContainer(selected) || m.isFacebookContainer(selected));
    input.ignoreEmptyContacts = m.ignoreEmptyContacts();
    input.ignoreOtherContacts = m.ignoreOtherContacts();
    input.forceUpdate = m.forceUpdateAllContacts();
    return input;
}

using ModelPlanning = SyncRun::ModelPlanning;
using GoogleContactPtr = SyncPlanner::GoogleContactPtr;

bool ModelPlanning::appleContactHasName(const platform::CNContactPtr& c) { return mModel.appleContactHasName(c); }
bool ModelPlanning::appleContactHasMatchingGroups(const platform::CNContactPtr& c) {
    return mModel.appleContactHasMatchingGroups(c);
}
bool ModelPlanning::appleContactReadOnly(const platform::CNContactPtr& c) {
    return mModel.isReadOnlyContactWithContact(c) || mModel.isFacebookContact(c);
}
bool ModelPlanning::googleContactHasName(const GoogleContactPtr& c) { return mModel.googleContactHasName(c); }
bool ModelPlanning::googleContactHasMatchingGroups(const GoogleContactPtr& c) {
    return mModel.googleContactHasMatchingGroups(c);
}
bool ModelPlanning::googleContactIsOther(const GoogleContactPtr& c) { return mModel.isOtherContact(c); }
GoogleContactPtr ModelPlanning::bestGoogleMatch(const platform::CNContactPtr& apple) {
    return mModel.getBestGoogleContactMatchWithAppleContact(apple);
}
platform::CNContactPtr ModelPlanning::bestAppleMatch(const GoogleContactPtr& google) {
    return mModel.getBestAppleContactMatchWithGoogleContact(google);
}
void ModelPlanning::setPaired(const platform::CNContactPtr& apple, const GoogleContactPtr& google) {
    mModel.setGoogleContactAlreadyMatched(google->identifier().value_or(""));
    mModel.setAppleContactAlreadyMatched(apple->identifier());
}
bool ModelPlanning::isApplePaired(const platform::CNContactPtr& apple) { return mModel.isAppleContactAlreadyMatched(apple); }
bool ModelPlanning::isGooglePaired(const GoogleContactPtr& google) { return mModel.isGoogleContactAlreadyMatched(google); }
SyncStrategyInfo ModelPlanning::strategy(const platform::CNContactPtr& apple, const GoogleContactPtr& google) {
    return mModel.getSyncStrategyWithAppleContact(apple, google);
}
bool ModelPlanning::contactsDiffer(const platform::CNContactPtr& reference, const platform::CNContactPtr& apple,
                                   const GoogleContactPtr& google, int32_t* difference) {
    return mModel.contactsDifferWithAppleContact(
        reference, apple, google, mModel.getAppleContactGroupNamesWithAppleContactID(apple->identifier()), difference);
}
bool ModelPlanning::belongsToMyContacts(const GoogleContactPtr& google) { return mModel.belongsToMyContacts(google); }
std::optional<platform::Date> ModelPlanning::appleContactDate(const platform::CNContactPtr& apple) {
    auto date = mModel.getModificationDateWithAppleContact(apple);
    if (!date) date = mModel.getCreationDateWithAppleContact(apple);
    return date;
}
bool ModelPlanning::shouldSyncPhoto(const platform::CNContactPtr& apple, const GoogleContactPtr& google, int32_t action,
                                    const SyncStrategyInfo& strategy) {
    return mModel.shouldSyncPhotosWithAppleContact(apple, google, action, strategy.applePhotoVerifiedNotChanged,
                                                   strategy.googlePhotoVerifiedNotChanged);
}
bool ModelPlanning::ignoreNewAppleContact(const platform::CNContactPtr& apple) {
    return mModel.shouldIgnoreNewAppleContact(apple);
}
bool ModelPlanning::ignoreNewGoogleContact(const GoogleContactPtr& google) {
    return mModel.shouldIgnoreNewGoogleContact(google);
}
GoogleContactPtr ModelPlanning::keptCopyOf(const GoogleContactPtr& google) { return mModel.keptCopyOfGoogleContact(google); }
// Equal in everything a deletion of one would lose: the text, the photo (neither has one: two
// photos' bytes are not compared) and the group memberships.
bool ModelPlanning::sameGoogleContent(const GoogleContactPtr& a, const GoogleContactPtr& b) {
    if (!a || !b || mModel.googleContentDigestOfContact(*a) != mModel.googleContentDigestOfContact(*b)) return false;
    using Values = GoogleContactCache::Values;
    const auto va = GoogleContactCache::readValues(*a, Values::kGroups | Values::kPhotoLink);
    const auto vb = GoogleContactCache::readValues(*b, Values::kGroups | Values::kPhotoLink);
    auto hasPhoto = [](const Values& v) { return v.photoLink() && v.photoLink()->etag && !v.photoLink()->etag->empty(); };
    if (hasPhoto(va) || hasPhoto(vb)) return false;
    auto groups = [](const Values& v) {
        std::set<std::string> hrefs;
        for (const auto& m : v.groups)
            if (!m.deleted && m.href) hrefs.insert(*m.href);
        return hrefs;
    };
    return groups(va) == groups(vb);
}
NSSyncRecordPtr ModelPlanning::newSyncRecord() { return mModel.newSyncRecord(); }
ModelPlanning::GoogleContactPtr ModelPlanning::wholeGoogleContact(const GoogleContactPtr& google) {
    return mModel.wholeGoogleContact(google);
}
std::optional<FieldValues> ModelPlanning::googleFieldValues(const GoogleContactPtr& google) {
    if (!google) return std::nullopt;
    return mModel.googleFieldValues(*google);
}
std::optional<int32_t> ModelPlanning::differenceSeenInSummary(const platform::CNContactPtr& reference,
                                                              const GoogleContactPtr& google) {
    if (!mModel.isSummaryGoogleContact(google)) return std::nullopt;  // whole already: compared in full
    return mModel.nameDifferenceSeenInSummary(reference, *google);
}

std::shared_ptr<SyncRun> QuorvaneModel::startSyncRun(const SyncRunOptions& options,
                                                     std::function<void(SyncRun&)> finished) {
    if (mSyncRun && mSyncRun->state() != SyncRun::State::idle && mSyncRun->state() != SyncRun::State::finished) {
        return nullptr;
    }
    if (!options.planOnly && !holdsSyncDataLock()) {
        auto locked = lockSyncData();
        if (!locked || *locked != DataLock::Held) {
            unlockSyncData();
            return nullptr;
        }
    }
    mSyncRun = std::make_shared<SyncRun>(*this, options);
    mSyncRun->start(std::move(finished));
    return mSyncRun;
}

platform::Result<QuorvaneModel::DataLock> QuorvaneModel::lockSyncData(bool localStore) {
    // Always the profile's first: a process holds the store's lock only once it holds its profile's.
    if (!mSyncLock) {
        auto taken = SyncLock::tryAcquire(SyncLock::pathInFolder(dataFolder()));
        if (!taken) return taken.error();
        mSyncLock = std::move(*taken);
        if (!mSyncLock) return DataLock::ProfileBusy;
    }
    if (localStore && !mLocalStoreLock) {
        auto taken = SyncLock::tryAcquire(localStoreLockPath(mContactStore->path()));
        if (!taken) return taken.error();
        mLocalStoreLock = std::move(*taken);
        if (!mLocalStoreLock) return DataLock::LocalStoreBusy;
    }
    return DataLock::Held;
}

}  // namespace quorvane
