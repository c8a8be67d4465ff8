#pragma once
// GoogleBatchWriter: sends contact or group operations (insert, update, delete) to the provider
// as batch feeds and tells, for each operation, whether the provider confirmed it.
//
// Operations go out in requests of `batchSize` entries (100, or 1 when batching is off), with at
// most `maxInFlight` requests at once and a new request no sooner than `pauseSeconds` after the
// one before. Each operation's batch identifier is its index in the list ("0", "1", ...). The
// batch status of an answer entry decides its operation:
//   - 2xx confirms it; so does 404 for a deletion (the entry is gone already);
//   - 409 and 412 (the entry changed on the provider since it was read) end it as a conflict at
//     once: sending the same ETag again cannot succeed, and the next run reads the entry afresh;
//   - any other client error (4xx but 408 and 429) ends it as failed at once: the provider
//     refused that entry, and would refuse it again. So does a request refused as a whole with
//     such a status, for every entry it carried;
//   - anything else (5xx, 408, 429), an entry the answer leaves out, and every entry of a request
//     that failed as a whole otherwise, is sent again in a later round. Rounds end after
//     `maxRounds`, and no round begins once the resending of the whole run (the rounds after
//     the first of every writer sharing `resending`) has taken `resending->limitSeconds`.
// An insertion is never sent again blindly when the provider may have carried it out: when the
// answer that would tell was lost (the request failed with a 5xx, 408 or 429 status or on the
// network, or the answer left the entry out), `findInserted` is asked first what the provider
// holds. What it finds is the insertion's confirmation; only what it finds missing is sent again.
// Without that hook, or when it cannot tell, such an insertion ends Failed and is not repeated.
// A failure that no resending can mend (authorization refused, the network gone: timed out,
// connection lost, offline, host unreachable) stops the writer: nothing more is sent, the
// requests in flight finish, and the finished callback gets that error. cancel() stops the same
// way without an error. A writer that ends with operations unconfirmed after a request failed as
// a whole because the provider could not serve it (isUnavailableError) gets that error too.
// Operations never sent stay NotSent, so a caller can tell them apart from operations the
// provider refused. An operation whose request got no answer at all (a time-out, say) ends with
// status 0 and the request's error as its reason.
//
// Runs on the main thread. The finished callback is called exactly once, on the main thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryBase.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "platform/foundation/Error.h"
#include "platform/net/URL.h"

namespace quorvane {

namespace platform {
class Timer;
}

enum class GoogleBatchKind { Insert, Update, Delete };

struct GoogleBatchOperation {
    GoogleBatchKind kind = GoogleBatchKind::Insert;
    std::shared_ptr<GDataEntryBase> entry;  // for updates and deletions: with its id and ETag
};

struct GoogleBatchOutcome {
    enum class State { NotSent, Confirmed, Conflict, Failed };
    State state = State::NotSent;
    int32_t status = 0;                       // the last batch status code; 0 when none came back
    std::optional<std::string> reason;        // its reason text, or the request's error
    std::shared_ptr<GDataEntryBase> answer;   // the provider's entry, for confirmed inserts and updates
    int32_t rounds = 0;                       // how many times the operation was sent
};

class GoogleBatchWriter : public std::enable_shared_from_this<GoogleBatchWriter> {
public:
    // A send time long before any other: no request has gone out yet.
    static constexpr double kNeverSent = -1e300;

    struct Options {
        size_t batchSize = 100;
        size_t maxInFlight = 2;
        double pauseSeconds = 0;
        int32_t maxRounds = 10;
        // The time the rounds after the first may take, shared by the writers of one run (each
        // writer has its own when none is given).
        struct Resending {
            double limitSeconds = 60;
            double spentSeconds = 0;
        };
        std::shared_ptr<Resending> resending;
        // When an earlier writer sent its last request (lastSendTime()), so that the pause
        // between requests holds across writers of one run.
        double previousSend = kNeverSent;
        // Given the entries of insertions whose answers were lost, answers for each the entry the
        // provider holds for it, or nullptr when it holds none; nullopt when it cannot tell.
        using Found = std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>;
        std::function<void(const std::vector<std::shared_ptr<GDataEntryBase>>& entries,
                           std::function<void(Found found)> answer)>
            findInserted;
    };
    enum class FeedKind { Contacts, Groups };

    // (operations answered so far, all operations); called after every answer.
    using Progress = std::function<void(size_t done, size_t total)>;
    // The outcome of each operation, in the order given; the error that stopped the writer, if any.
    using Finished = std::function<void(const std::vector<GoogleBatchOutcome>& outcomes,
                                        const std::optional<platform::Error>& stoppedBy)>;

    static std::shared_ptr<GoogleBatchWriter> make(std::shared_ptr<GDataServiceGoogleContact> service,
                                                   platform::URL batchURL, FeedKind feedKind, Options options);

    // Starts sending; an empty list finishes at once. Call once.
    void start(std::vector<GoogleBatchOperation> operations, Progress progress, Finished finished);
    // Sends nothing more; finishes when the requests in flight have answered.
    void cancel();

    // Whether an error ends the whole run rather than one request: authorization refused by the
    // provider ("invalid_grant" from the token endpoint, or an HTTP 401 or 403 the provider's
    // origin answered to a request that carried the token, a quota answer aside; never an error
    // the client raised itself) or the network gone.
    static bool isAuthorizationError(const platform::Error& error);
    // The sign-in is gone for this run: refused by the provider (above), or changed by another
    // command meanwhile (signed out, or signed in anew to another account). Only the refusal
    // lets the run forget the sign-in.
    static bool isSignInGone(const platform::Error& error);
    // What an operation whose request failed so says: it was not written.
    static constexpr const char* kSignInGoneReason = "the sign-in is gone";
    static bool isNetworkError(const platform::Error& error);
    // Whether the provider answered that it cannot serve now (a 5xx status, 429 too many
    // requests, or a 403 whose reason is a quota or rate limit): like the network gone, safe to
    // try again later.
    static bool isUnavailableError(const platform::Error& error);
    static bool isQuotaError(const platform::Error& error);
    // Whether an HTTP status is the provider's refusal of what was sent, which sending it again
    // would only repeat: a 4xx status but 408 (request timeout) and 429 (too many requests).
    static bool isRefusal(int64_t status);
    // The reasons the provider gave in a refused request's answer (its error codes, reasons and
    // message), at most maxLength bytes; "" when it gave none.
    static std::string providerReason(const platform::Error& error, size_t maxLength = 200);

    size_t requestsSent() const { return requestsSent_; }
    // When the last request went out (monotonic seconds).
    double lastSendTime() const { return lastSend_; }

private:
    GoogleBatchWriter(std::shared_ptr<GDataServiceGoogleContact> service, platform::URL batchURL,
                      FeedKind feedKind, Options options);

    void pump();
    void sendNext();
    void takeAnswer(const std::vector<size_t>& sent, const GDataObjectPtr& object,
                    const std::optional<platform::Error>& error);
    void settle(size_t index, int32_t status, std::optional<std::string> reason,
                std::shared_ptr<GDataEntryBase> answer);
    bool startNextRound();
    // Asks findInserted about the insertions whose answers were lost; true while it is asked.
    bool findLostInsertions();
    // Whether a request that failed as a whole may have been carried out.
    static bool mayHaveBeenCarriedOut(const platform::Error& error);
    void finishIfDone();

    std::shared_ptr<GDataServiceGoogleContact> service_;
    platform::URL batchURL_;
    FeedKind feedKind_;
    Options options_;

    std::vector<GoogleBatchOperation> operations_;
    std::vector<GoogleBatchOutcome> outcomes_;
    std::vector<size_t> queue_;   // indexes still to send this round
    size_t queueHead_ = 0;
    size_t inFlight_ = 0;
    size_t answered_ = 0;         // operations settled for good
    int32_t round_ = 0;
    double roundBegan_ = 0;  // monotonic seconds, of a round after the first
    double lastSend_ = kNeverSent;  // monotonic seconds
    size_t requestsSent_ = 0;
    std::vector<bool> answerLost_;  // per operation: sent, and its outcome unknown
    bool finding_ = false;          // findInserted is being asked
    bool stopping_ = false;
    bool finished_ = false;
    std::optional<platform::Error> stoppedBy_;
    std::optional<platform::Error> unavailable_;  // the last request failed as a whole, provider unavailable
    // What lost an answer last (a request that may have been carried out, or an answer that
    // left entries out): it stops the writer when an entry's outcome cannot be known.
    std::optional<platform::Error> answerLostBy_;
    void stopForLostAnswer();
    std::shared_ptr<platform::Timer> pauseTimer_;
    Progress progress_;
    Finished finishedCallback_;
};

}  // namespace quorvane
