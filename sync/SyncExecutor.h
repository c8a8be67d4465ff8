#pragma once
// SyncExecutor: carries out a planned run on both sides, then writes what was done into the sync
// history and the run log. The run owns it for the length of one run.
//
// A stage of typed values: it takes SyncExecutor::Input (the plan's records, the run's feeds and
// the settings it reads) and gives a SyncRunResult, the records carrying what was done to each.
// What it needs of the rest of the system goes through SyncExecutor::Context: the run log and the
// progress line, the provider's service, the local store, the conversion of a local contact to
// Google and the comparison of a merged pair, and the history and run-log writes. The run answers
// it from the model (SyncRun::ModelExecution); a test may answer it from tables.
//
//   applyLocal -> downloadPhotos -> createGoogleGroups -> refetchGroups -> applyGoogle
//     -> mergeBackLocal -> uploadPhotos -> saveHistory -> saveLog -> finished
//
// A merged write of a two-way run leaves both sides with the merged values: a pair merged into the local contact
// also sends the merged contact to Google (in applyGoogle), and a pair merged into the Google
// contact writes the merged entry back into the local contact (after the chunk of Google writes
// that carried it, and in mergeBackLocal for any left). Otherwise the
// side written from would keep lacking the other side's values, and as neither side changes
// afterwards no later run would mend it.
// Every change of state goes through changeState(), which logs it and moves the progress line;
// each state's work is its own function and ends by naming the next state (or finishing with a
// result). Google writes go out as batch feeds (GoogleBatchWriter); photos through the entries'
// photo links (GooglePhotoTransfer).
//
// Safety: a record is written on Google only for the actions the plan gave it, deletions only for
// contacts whose partner the plan found deleted, and never when the Google feed of the run was not
// whole. The history is written for the records whose writes were confirmed; a record whose
// Google write failed or was never sent keeps its old history, so the next run sees it again.
// cancel() ends the run after the Google request in flight; what completed is still written to
// the history and the log.
//
// Main thread only. The finished callback is called exactly once.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/net/URL.h"
#include "sync/GoogleBatchWriter.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/LocalContactAsRead.h"
#include "sync/NSSyncRecord.h"
#include "sync/SyncStore.h"
#include "sync/SyncTypes.h"

namespace quorvane {

namespace platform {
class CNContactStore;
}
class GDataServiceGoogleContact;

// How a run ended, as the run log and the command report it.
enum class SyncRunOutcome {
    Ok,             // everything planned was done
    Partial,        // some records failed (listed in the log)
    Auth,           // the provider refused the authorization: the account must sign in again
    Network,        // the provider could not be reached: safe to run again
    Refused,        // the run would not start, or stopped before writing, for safety
    MissingGroups,  // Google groups the contacts need could not be made
    Other,          // anything else
    Interrupted,    // ended at the user's request (Ctrl-C, SIGTERM) after the work in flight
};
// "ok", "partial", "auth", "network", "refused", "missing groups", "other", "interrupted".
const char* syncRunOutcomeName(SyncRunOutcome outcome);

struct SyncRunCounts {
    int32_t googleCreated = 0, googleUpdated = 0, googleDeleted = 0;
    int32_t appleCreated = 0, appleUpdated = 0, appleDeleted = 0;
    int32_t photosMoved = 0;
    int32_t failures = 0;
};

// A record the run could not write, and why (counted in SyncRunCounts::failures).
struct SyncRunFailure {
    std::string name;    // the contact's description
    std::string side;    // "google" or "local": where the write failed
    std::string reason;
};

struct SyncRunResult {
    SyncRunOutcome outcome = SyncRunOutcome::Ok;
    std::optional<platform::Error> error;
    SyncRunCounts counts;
    // What the user should know although nothing failed (a value the provider shortened), also in the log.
    std::vector<std::string> warnings;
    std::vector<SyncRunFailure> failed;
    int64_t runID = 0;  // the run's number in the run log (0: not recorded)
};

class SyncExecutor : public std::enable_shared_from_this<SyncExecutor> {
public:
    enum class State {
        Idle,
        ApplyLocal,
        DownloadPhotos,
        CreateGoogleGroups,
        RefetchGroups,
        ApplyGoogle,
        MergeBackLocal,
        UploadPhotos,
        SaveHistory,
        SaveLog,
        Finished,
    };
    static const char* stateName(State state);

    struct Input {
        // The planned records, in plan order; the executor sets each one's flags as its writes end.
        std::vector<NSSyncRecordPtr> records;
        int32_t syncMode = SyncModeTwoWay;              // SyncMode of the run
        // The run's feeds: the contacts feed's batch link, and deletions only when both are whole.
        GoogleFeeds feeds;
        std::optional<platform::URL> contactsFeedURL;   // where contact batches go without a batch link
        std::optional<platform::URL> groupsFeedURL;     // the groups feed, fetched again after new groups
        platform::Date startDate;                       // when the run began (for the run log)
        // The settings: contacts a Google batch (1 without batching) and seconds between requests.
        size_t batchSize = 100;
        double pauseSeconds = 0.15;
    };

    // What the executor needs of the rest of the system. Called on the main thread.
    class Context {
    public:
        using GoogleContactPtr = std::shared_ptr<GDataEntryContact>;
        virtual ~Context() = default;
        // The run log and the progress line.
        virtual void log(const std::string& line) = 0;
        virtual void progress(const std::string& text) = 0;
        virtual void subProgress(const std::string& text) = 0;
        virtual void progressBar(float value) = 0;
        // The written record's line in the run log ("Created ..." / "Updated ...").
        virtual void logWritten(const NSSyncRecordPtr& record, bool created) = 0;
        // The provider's contacts service, signed in, and the local contact store.
        virtual std::shared_ptr<GDataServiceGoogleContact> googleService() = 0;
        virtual platform::CNContactStore& contactStore() = 0;
        // New entries of the Google groups the records need that the groups feed lacks.
        virtual std::vector<std::shared_ptr<GDataEntryBase>> missingGoogleGroups(const std::vector<NSSyncRecordPtr>& records) = 0;
        // The groups feed downloaded again after new groups: what the conversions name from now on.
        virtual void useGroupFeed(const std::shared_ptr<GDataFeedContactGroup>& feed) = 0;
        // The local writes may have changed group memberships: read them again.
        virtual void rereadLocalGroups() = 0;
        // The names of the local groups the contact belongs to, trimmed as the groups made on
        // Google are named.
        virtual std::vector<std::string> localGroupNames(const platform::CNContactPtr&) { return {}; }
        // The local contact as the comparisons and conversions read it (every key).
        virtual platform::CNContactPtr referenceContact(const platform::CNContactPtr& apple) = 0;
        // The local contact (its reference copy and its stored form, with its local groups)
        // written into `entry`, a copy of the Google contact, or a new entry when nullptr
        // (the record then says it creates). Gives the entry written and each value cut to fit
        // (whole length, kept length).
        struct GoogleConversion {
            GoogleContactPtr entry;
            std::vector<std::pair<size_t, size_t>> truncated;
        };
        virtual GoogleConversion toGoogle(GoogleContactPtr entry, const platform::CNContactPtr& reference,
                                          const platform::CNContactPtr& apple, const NSSyncRecordPtr& record) = 0;
        // Whether the merged local contact and the Google contact still differ.
        virtual bool contactsDiffer(const platform::CNContactPtr& apple, const GoogleContactPtr& google) = 0;
        // A new, empty record.
        virtual NSSyncRecordPtr newSyncRecord() = 0;
        // What the run read of the record's local contact, which a local write made after the
        // local apply (a photo) checks it still holds; nullopt: no check.
        virtual std::optional<LocalContactAsRead> localContactAsRead(const NSSyncRecord&) { return std::nullopt; }
        // A Google contact may be a summary of the kept list (GoogleContactCache): whatever is
        // sent, compared or written locally is the whole entry, which this gives for the moment
        // it is needed (the contact itself when whole; nullptr when its kept bytes cannot be read).
        virtual GoogleContactPtr wholeGoogleContact(const GoogleContactPtr& google) { return google; }
        // What the run keeps of Google's answer to a write, which stands for the contact from
        // then on (the model puts it in place of the entry it answers).
        virtual GoogleContactPtr keptGoogleContact(const GoogleContactPtr& answer) { return answer; }
        // Google's answer to a confirmed write (a contact made or changed), whole, before the run
        // keeps what it keeps of it: the model keeps it in its copy of the list.
        virtual void googleAnswerConfirmed(const GoogleContactPtr&) {}
        // A write found the contact changed on Google since the list was read (409/412): the next
        // run must read it afresh.
        virtual void googleContactChangedDuringRun() {}
        // What the run keeps of a Google contact it will no longer send, compare or write
        // locally: only what the photo transfers and the history read (the model puts it in
        // place of the entry in the downloaded list).
        virtual GoogleContactPtr leanGoogleContact(const GoogleContactPtr& google) { return google; }
        // What a Google contact (whole) holds, value by value, for the history; nullopt when not known.
        virtual std::optional<FieldValues> googleFieldValues(const GoogleContactPtr&) { return std::nullopt; }
        // The history stage: writes the history of the records (what was done to each), finding
        // Google contacts by identifier through `googleContactWithID`. Gives the names of the
        // pairs an earlier version's history left holding values on one side only.
        virtual platform::Result<std::vector<std::string>> saveHistory(const std::vector<NSSyncRecordPtr>& records,
                                                   const std::function<GoogleContactPtr(const std::string&)>& googleContactWithID) = 0;
        // Records the run in the run log with its outcome, error and counts; gives its number.
        virtual platform::Result<int64_t> saveRunLog(platform::Date startDate, SyncRunOutcome outcome,
                                                     const std::optional<std::string>& error, const SyncRunCounts& counts) = 0;
        // The error as the run log keeps it: what the user was told of it.
        virtual std::string describeError(const platform::Error& error) { return error.localizedDescription(); }
    };

    // Writes the local side of the given records (their flags say what happened) and calls done
    // once, with an error only when the local store could not be written at all.
    using LocalApply = std::function<void(const std::vector<NSSyncRecordPtr>& records,
                                          std::function<void(const std::optional<platform::Error>&)> done)>;
    using Finished = std::function<void(const SyncRunResult& result)>;

    // The executor of one run; it holds the context until it finishes.
    static std::shared_ptr<SyncExecutor> make(std::shared_ptr<Context> context, Input input);

    // The local side's writer; without one, records that write the local side count as failures.
    void setLocalApply(LocalApply apply) { localApply_ = std::move(apply); }

    void start(Finished finished);
    // Ends the run after the work in flight, saving the history of what completed; the run is
    // recorded with the outcome given (Interrupted: the user asked).
    void cancel(SyncRunOutcome as = SyncRunOutcome::Interrupted);
    State state() const { return state_; }
    const SyncRunCounts& counts() const { return result_.counts; }
    // The records with what was done to each (valid once finished).
    const std::vector<NSSyncRecordPtr>& records() const { return input_.records; }

private:
    SyncExecutor(std::shared_ptr<Context> context, Input input);

    // The one place the state changes: logs it, moves the progress line, runs the state's work.
    void changeState(State next);
    void finish(SyncRunOutcome outcome, std::optional<platform::Error> error = std::nullopt);

    void applyLocal();
    void downloadPhotos();
    void createGoogleGroups();
    void refetchGroups();
    void applyGoogle();
    void mergeBackLocal();
    // Merges back those of `records` that are due (and no longer due after), then calls `next`.
    void mergeBack(const std::vector<NSSyncRecordPtr>& records, std::function<void()> next);
    // Planned records and the records that wrote their merged answers back locally.
    using MergedBack = std::vector<std::pair<NSSyncRecordPtr, NSSyncRecordPtr>>;
    // Takes what the merge-back did to the records from `from` on, a few per turn, then calls `next`.
    void takeMergedBack(std::shared_ptr<const MergedBack> back, size_t from, std::function<void()> next);
    void uploadPhotos();
    void saveHistory();
    void saveLog();

    void downloadNextPhoto();
    // The Google writes go out a chunk (a few batches) at a time, the next chunk prepared while
    // the one before is sent. A chunk: its first record's place in the queue, and the records
    // that write Google with their operations.
    struct GoogleChunk {
        size_t start = 0;
        std::vector<NSSyncRecordPtr> records;
        std::vector<GoogleBatchOperation> ops;
    };
    // Adds at most `limit` more operations to the chunk being prepared; false once it is full
    // or the queue is done.
    bool prepareGoogleChunk(size_t limit);
    // Prepares the next chunk a few operations per turn of the main loop, while a chunk is
    // being sent and none is settling.
    void preparingTurn();
    void schedulePreparing();
    // Sends the prepared chunk (prepared whole first); false when it holds nothing to send.
    bool sendGoogleChunk();
    // A chunk's writer finished: the prepared chunk goes out, then this one is settled (its
    // outcomes taken and its merged answers written back), unless the one before is still settling.
    void googleChunkFinished(std::shared_ptr<GoogleChunk> chunk, std::vector<GoogleBatchOutcome> outcomes,
                             std::optional<platform::Error> error);
    void settleGoogleChunk(std::shared_ptr<GoogleChunk> chunk, std::vector<GoogleBatchOutcome> outcomes,
                           std::optional<platform::Error> error);
    // The operation that writes the record to Google (the entry made whole and converted), or
    // nullopt when there is nothing to send.
    std::optional<GoogleBatchOperation> googleOperation(const NSSyncRecordPtr& record);
    void uploadNextPhoto();
    // Names, as a warning, the photos there were to move that were not written.
    void notePhotosNotMoved();
    // The stored local contact (with its photo) of the photo transfer last taken from the queue,
    // read with those of the next few queued transfers; nullopt when the store does not hold it
    // once (photosReadError_: the read failed).
    std::optional<platform::CNContactPtr> storedPhotoContact(const std::string& identifier);
    // Sends the local photo of the record (empty: removes the Google one), then the next.
    void sendPhoto(const NSSyncRecordPtr& record, const platform::Bytes& photo);
    // Takes the outcomes of the chunk's records from `from` on, a few per turn of the main loop,
    // then calls `next`.
    void takeGoogleOutcomes(std::shared_ptr<GoogleChunk> chunk, std::shared_ptr<std::vector<GoogleBatchOutcome>> outcomes,
                            size_t from, std::function<void()> next);
    void takeGoogleOutcome(const NSSyncRecordPtr& record, const GoogleBatchOperation& op, const GoogleBatchOutcome& outcome);
    // Notes, on each record that writes Google, the local groups among unsentGroups_ it belongs to.
    void markGroupsNotCarried();
    // Logs the warning and keeps it in the result.
    void warn(std::string warning);
    // Logs and keeps a warning for each value the provider kept shorter than it was sent.
    void warnOfShortenedValues(const NSSyncRecord& r, const GDataEntryContact& sent, const GDataEntryContact& kept);
    // Counts a record that could not be written, and keeps why.
    void recordFailure(const NSSyncRecordPtr& record, const char* side, std::string reason);
    // A contact holding text the provider cannot be sent (unsendableContactText) fails alone,
    // unsent; true when it did.
    bool refusedForItsText(const NSSyncRecordPtr& record, const platform::CNContact& apple);
    // Ends the run when an error means the provider cannot be used any more (authorization
    // refused, network gone, or the provider answering 5xx or 429); true when it did.
    bool stopOnFatal(const std::optional<platform::Error>& error);
    // Whether a merged pair's written side now holds values the other side lacks.
    bool mergedSidesDiffer(const platform::CNContactPtr& apple, const std::shared_ptr<GDataEntryContact>& google);
    // A merge of a one-way run: whether it left the sides apart is read while the entry is whole.
    bool mergedOneWay(const NSSyncRecord& r) const;
    // The record's merged values go back to its local contact once Google confirmed them.
    bool mergesBack(const NSSyncRecord& record) const;
    GoogleBatchWriter::Options writerOptions() const;
    std::optional<platform::URL> contactsBatchURL() const;
    std::shared_ptr<GDataEntryContact> googleContactWithID(const std::string& id) const;

    std::shared_ptr<Context> context_;
    Input input_;
    State state_ = State::Idle;
    SyncRunResult result_;
    std::optional<SyncRunOutcome> stoppedWith_;  // the first outcome that ends the writes early
    bool cancelled_ = false;
    SyncRunOutcome cancelledAs_ = SyncRunOutcome::Interrupted;
    LocalApply localApply_;
    Finished finished_;
    std::shared_ptr<GoogleBatchWriter> writer_;
    std::vector<NSSyncRecordPtr> photoQueue_;
    size_t photoNext_ = 0;
    // The stored local contacts of the photo transfers before photosReadUntil_ in the queue, by identifier.
    std::map<std::string, platform::CNContactPtr> photosRead_;
    std::optional<platform::Error> photosReadError_;
    size_t photosReadUntil_ = 0;
    std::map<std::string, std::shared_ptr<GDataEntryContact>> writtenGoogleContacts_;  // by identifier
    std::vector<NSSyncRecordPtr> googleQueue_;  // the records that write Google, in plan order
    size_t googleNext_ = 0;
    bool groupsReread_ = false;
    double lastGoogleSend_ = GoogleBatchWriter::kNeverSent;  // when the last Google write request went out
    // The time the run has spent sending Google writes again, which its writers share.
    std::shared_ptr<GoogleBatchWriter::Options::Resending> resending_ = std::make_shared<GoogleBatchWriter::Options::Resending>();
    std::unordered_set<const NSSyncRecord*> mergeBackDue_;  // confirmed merges whose sides still differ
    // A chunk settles while the next one is sent: what waits for it to end.
    bool settling_ = false;
    std::function<void()> afterSettled_;
    GoogleChunk preparing_;          // the next chunk, prepared while the one before is sent
    bool preparingPosted_ = false;   // a turn of preparing is queued
    std::vector<std::string> unsentGroups_;  // local groups that could not be made on Google
};

}  // namespace quorvane
