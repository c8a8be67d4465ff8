#pragma once
// Sends batches of logs over HTTPS and keeps trying until the server takes or refuses them.
//
// One call per batch. A 2xx accepts the batch (also when its body then cannot be read); 408,
// 429, any 5xx and every network error (no route, refused, dropped, timed out) are retried after
// growing delays (the last delay repeats), so an offline machine waits instead of spinning; a
// Retry-After of a 429 or 503 (seconds or an HTTP date, at most a day) may make the next delay
// longer, never shorter; any other status refuses the batch. Such a Retry-After pauses the whole
// address: no request goes there until it ends, also at later starts (it is kept in the SDK's
// settings, MSUserDefaults, by address; one ending further than kMaxRetryAfter ahead, set under a
// clock since set back, is dropped); a batch taken there ends it. Redirects are not followed: a 3xx
// refuses the batch, so its secrets and body go nowhere but the ingestion. Each call
// ends with exactly one completion, on the session's delegate queue, unless it is cancelled. The
// headers are made again for each attempt, so a retry carries what holds then (a renewed ticket);
// a request whose headers could never be sent ends at once with kRequestNotSendable instead of
// being retried.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "platform/net/URLRequest.h"
#include "telemetry/MSLogContainer.h"

namespace quorvane::platform {
class URLSession;
class URLSessionTask;
}  // namespace quorvane::platform

namespace quorvane {

inline constexpr const char* kMSIngestionErrorDomain = "MSIngestionErrorDomain";

class MSHttpIngestion : public std::enable_shared_from_this<MSHttpIngestion> {
public:
    // statusCode: the server's final answer (2xx accepted, else refused).
    using Completion = std::function<void(const std::string& batchId, int statusCode)>;
    struct Options {
        std::vector<double> retryIntervals{10, 60, 300, 1200};  // seconds
        size_t gzipThreshold = 1400;                            // bodies longer than this are gzipped
        double requestTimeout = 60;
    };

    virtual ~MSHttpIngestion();

    // Where a batch goes: the address and the secret it is sent under, as they are when its logs
    // are loaded, and a key of the secret, which the log store keeps with each log so that a log
    // is sent only under the secret it was accepted for (never another app's or profile's), to
    // the address the app sends to now: a changed address is where its waiting logs go.
    // The One Collector sends no secret (each log carries its tokens), but its logs are still the
    // app's: they are keyed by the app's secret, so that another app sharing the file neither
    // sends nor deletes them.
    struct Destination {
        std::string baseURL;
        std::string appSecret;  // empty where none is sent (the One Collector: each log's tokens)
        std::string key;        // of the secret of the app whose logs these are
        // The key logs were stored under before: of the address and the secret sent together.
        std::string addressKey;
        // Where the app's key is not that of the secret sent (the One Collector), the latter's:
        // its logs were stored under it before they were keyed by app. Empty otherwise.
        std::string unownedKey;
        // The keys whose stored logs go here.
        std::vector<std::string> keys() const {
            if (unownedKey.empty()) return {key, addressKey};
            return {key, addressKey, unownedKey};
        }
    };
    Destination destination() const;

    // For the batches of logs accepted from now on.
    void setBaseURL(std::string baseURL);
    std::string baseURL() const;
    // To the destination given, every attempt (or the current one). retrying: called (on the
    // session's delegate queue) whenever an attempt failed and the next one is scheduled.
    void sendAsync(const MSLogContainer& container, Destination destination, Completion completion,
                   std::function<void()> retrying = nullptr);
    void sendAsync(const MSLogContainer& container, Completion completion);
    // Forgets the batch's call: a running request is cancelled, no retry follows, no completion.
    void cancelBatch(const std::string& batchId);
    // Whether the batch's request left and its answer has not come yet (not while a retry waits).
    bool isAwaitingAnswer(const std::string& batchId) const;
    // Cancels the batch's call when its request left and no answer came: it awaits one, or its
    // connection ended (closed, timed out) after the whole request was sent and a retry waits.
    // False, doing nothing, otherwise (its answer came, or the last attempt never reached the server).
    bool cancelUnanswered(const std::string& batchId);
    // Calls not yet completed.
    size_t pendingCallCount() const;
    // Requests started since the ingestion was made, retries included.
    size_t requestCount() const;

    // The status a call ends with when its request cannot be sent at all (its headers hold what
    // no request may carry): sending it again would fail the same way.
    static constexpr int kRequestNotSendable = -1;
    // Why this ingestion could never send the log, or none: the channel drops such a log alone
    // rather than hold back the batch it is in.
    virtual std::optional<std::string> problemWithLog(const MSAbstractLog&) const { return std::nullopt; }

    static bool isRecoverableStatus(int statusCode);
    // The delay a Retry-After value asks for, within [0, kMaxRetryAfter]; nullopt when unreadable.
    static std::optional<double> retryAfterDelay(std::string_view value, platform::Date now);
    static constexpr double kMaxRetryAfter = 24 * 3600;
    // The settings key of the pauses asked for: a dictionary of a key of each address to the date
    // its pause ends.
    static constexpr const char* kPausesKey = "MSIngestionPauses";
    // Seconds left of the pause asked for by the address's ingestion (0: none), as this process
    // knows it (read from the settings once).
    double pauseLeft(const std::string& baseURL);

protected:
    MSHttpIngestion(std::string baseURL, std::string apiPath, Options options);
    // Called once after make_shared.
    void init();
    void setSecret(std::string secret);
    // The app whose logs these are, where it sends no secret of its own.
    void setOwner(std::string appSecret);
    virtual platform::HTTPHeaders headersForContainer(const MSLogContainer& container,
                                                      const Destination& destination) const = 0;
    virtual std::string bodyForContainer(const MSLogContainer& container) const = 0;

private:
    class Delegate;
    struct Call {
        MSLogContainer container;    // the headers are made from it at each attempt
        Destination destination;
        platform::URLRequest request;  // method and body
        Completion completion;
        std::function<void()> retrying;
        size_t attempts = 0;
        // The last attempt's whole request left and its connection ended without an answer.
        bool unanswered = false;
        std::shared_ptr<platform::URLSessionTask> task;
        uint64_t generation = 0;
    };

    // Makes the request's headers and starts it; false when they cannot be sent (the call is
    // then removed and its completion returned in notSendable).
    bool startLocked(const std::string& batchId, Call& call, Completion* notSendable);
    void completeNotSendable(const std::string& batchId, Completion completion);
    void taskDidComplete(const std::shared_ptr<platform::URLSessionTask>& task, const std::optional<platform::Error>& error);
    void retry(const std::string& batchId, uint64_t generation);
    double pauseLeftLocked(const std::string& baseURL);
    // Keeps the address's pause (none: ends it) in the settings, for the later starts.
    static void storePause(const std::string& baseURL, std::optional<platform::Date> until);

    const std::string apiPath_;
    const Options options_;
    mutable platform::ForkSafeMutex mutex_;
    Destination destination_;
    std::string owner_;  // the secret of the app whose logs these are
    std::shared_ptr<platform::URLSession> session_;
    std::map<std::string, Call> calls_;
    std::map<uint64_t, std::string> batchOfTask_;
    uint64_t generation_ = 0;
    size_t requests_ = 0;
    std::map<std::string, std::optional<platform::Date>> pauses_;  // by address, once read
};

// The facade's own ingestion: the container's JSON with the app secret and install id headers.
class MSRevAzezarIngestion : public MSHttpIngestion {
public:
    // Placeholder roots under the reserved .invalid domain: no ingestion service of ours exists, so
    // a caller names its own (the command starts telemetry only when a secret and root are set).
    static constexpr const char* kDefaultBaseURL = "https://logs.quorvane.invalid";
    static std::shared_ptr<MSRevAzezarIngestion> make(std::string baseURL, std::string appSecret,
                                                      std::string installId, Options options = {});
    void setAppSecret(std::string secret);

protected:
    using MSHttpIngestion::MSHttpIngestion;
    platform::HTTPHeaders headersForContainer(const MSLogContainer& container,
                                              const Destination& destination) const override;
    std::string bodyForContainer(const MSLogContainer& container) const override;

private:
    std::string installId_;
};

// The One Collector ingestion: Common Schema logs, one JSON object per line, with the tenant
// tokens of the batch ("apikey") and the tickets of its ticket keys ("Tickets").
class MSOneCollectorIngestion : public MSHttpIngestion {
public:
    static constexpr const char* kDefaultBaseURL = "https://events.quorvane.invalid";
    // appSecret: of the app whose logs it sends (none is sent).
    static std::shared_ptr<MSOneCollectorIngestion> make(std::string baseURL, Options options = {}, std::string appSecret = {});

protected:
    using MSHttpIngestion::MSHttpIngestion;
    platform::HTTPHeaders headersForContainer(const MSLogContainer& container,
                                              const Destination& destination) const override;
    std::string bodyForContainer(const MSLogContainer& container) const override;

public:
    // A log goes only under its own well-formed target tokens: one without a token (a stored token
    // that could not be read back) or with a malformed one is never sent.
    std::optional<std::string> problemWithLog(const MSAbstractLog& log) const override;
};

}  // namespace quorvane
