#include "telemetry/MSHttpIngestion.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Gzip.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSession.h"
#include "platform/runloop/DispatchQueue.h"
#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSTicketCache.h"
#include "telemetry/MSUserDefaults.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

using platform::Error;

class MSHttpIngestion::Delegate : public platform::URLSessionDelegate {
public:
    explicit Delegate(std::weak_ptr<MSHttpIngestion> owner) : owner_(std::move(owner)) {}
    void didCompleteWithError(const std::shared_ptr<platform::URLSession>&,
                              const std::shared_ptr<platform::URLSessionTask>& task,
                              const std::optional<Error>& error) override {
        if (auto owner = owner_.lock()) owner->taskDidComplete(task, error);
    }
    // The batch goes to the ingestion it was stored for and nowhere else: a redirect would carry
    // its secrets to another place (or in clear), or lose the body on the way. The 3xx is the
    // answer, and the batch is refused with it.
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>&,
                                    const std::shared_ptr<platform::URLSessionTask>&,
                                    const std::shared_ptr<const platform::HTTPURLResponse>& response,
                                    const platform::URLRequest&, RedirectCompletion completionHandler) override {
        MSLogWarning(kMSLogTag, "The ingestion answered with a redirect (status " + std::to_string(response->statusCode()) +
                                    "); it is not followed.");
        completionHandler(std::nullopt);
    }

private:
    std::weak_ptr<MSHttpIngestion> owner_;
};

namespace {
MSHttpIngestion::Options withRetryIntervals(MSHttpIngestion::Options options) {
    if (options.retryIntervals.empty()) options.retryIntervals = {10};
    return options;
}

MSHttpIngestion::Destination makeDestination(std::string baseURL, std::string secret, const std::string& owner) {
    // No address is "secret": the two kinds of key never meet.
    auto keyOf = [](const std::string& appSecret) { return MSUtility::sha256("secret\n" + appSecret); };
    std::string key = keyOf(owner);
    std::string addressKey = MSUtility::sha256(baseURL + "\n" + secret);
    std::string unownedKey = owner == secret ? std::string() : keyOf(secret);
    return {std::move(baseURL), std::move(secret), std::move(key), std::move(addressKey), std::move(unownedKey)};
}
}  // namespace

MSHttpIngestion::MSHttpIngestion(std::string baseURL, std::string apiPath, Options options)
    : apiPath_(std::move(apiPath)),
      options_(withRetryIntervals(std::move(options))),
      destination_(makeDestination(std::move(baseURL), {}, {})) {}

void MSHttpIngestion::init() {
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.setTimeoutIntervalForRequest(options_.requestTimeout);
    session_ = platform::URLSession::sessionWithConfiguration(configuration, std::make_shared<Delegate>(weak_from_this()));
}

MSHttpIngestion::~MSHttpIngestion() {
    if (session_) session_->invalidateAndCancel();
}

void MSHttpIngestion::setBaseURL(std::string baseURL) {
    std::lock_guard lock(mutex_);
    destination_ = makeDestination(std::move(baseURL), std::move(destination_.appSecret), owner_);
}

void MSHttpIngestion::setSecret(std::string secret) {
    std::lock_guard lock(mutex_);
    owner_ = secret;
    destination_ = makeDestination(std::move(destination_.baseURL), std::move(secret), owner_);
}

void MSHttpIngestion::setOwner(std::string appSecret) {
    std::lock_guard lock(mutex_);
    owner_ = std::move(appSecret);
    destination_ = makeDestination(std::move(destination_.baseURL), std::move(destination_.appSecret), owner_);
}

std::string MSHttpIngestion::baseURL() const {
    std::lock_guard lock(mutex_);
    return destination_.baseURL;
}

MSHttpIngestion::Destination MSHttpIngestion::destination() const {
    std::lock_guard lock(mutex_);
    return destination_;
}

bool MSHttpIngestion::isRecoverableStatus(int statusCode) {
    return statusCode >= 500 || statusCode == 408 || statusCode == 429;
}

std::optional<double> MSHttpIngestion::retryAfterDelay(std::string_view value, platform::Date now) {
    const std::string text = platform::trimWhitespace(value);
    value = text;
    if (value.empty()) return std::nullopt;
    double delay;
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        delay = value.size() > 9 ? kMaxRetryAfter : double(std::stoll(std::string(value)));
    } else if (auto date = platform::parseHTTPDate(value)) {
        delay = date->timeIntervalSince1970() - now.timeIntervalSince1970();
    } else {
        return std::nullopt;
    }
    return std::clamp(delay, 0.0, kMaxRetryAfter);
}

void MSHttpIngestion::sendAsync(const MSLogContainer& container, Completion completion) {
    sendAsync(container, destination(), std::move(completion));
}

void MSHttpIngestion::sendAsync(const MSLogContainer& container, Destination destination, Completion completion,
                                std::function<void()> retrying) {
    platform::URLRequest request;
    request.setHTTPMethod("POST");
    request.setHTTPShouldHandleCookies(false);
    const std::string body = bodyForContainer(container);
    if (body.size() > options_.gzipThreshold) {
        if (auto gz = platform::gzipCompress(body)) {
            request.setValue("gzip", "Content-Encoding");
            request.setHTTPBody(std::optional<platform::Bytes>(std::move(*gz)));
        }
    }
    if (!request.HTTPBody()) request.setHTTPBody(std::optional<platform::Bytes>(platform::Bytes(body.begin(), body.end())));
    Completion notSendable;
    {
        std::lock_guard lock(mutex_);
        auto& call = calls_[container.batchId];
        call.container = container;
        call.destination = std::move(destination);
        call.request = std::move(request);
        call.completion = std::move(completion);
        call.retrying = std::move(retrying);
        if (startLocked(container.batchId, call, &notSendable)) return;
    }
    completeNotSendable(container.batchId, std::move(notSendable));
}

bool MSHttpIngestion::startLocked(const std::string& batchId, Call& call, Completion* notSendable) {
    // The address asked for a pause (this run or an earlier one): the attempt waits for its end.
    if (const double left = pauseLeftLocked(call.destination.baseURL); left > 0) {
        call.task.reset();
        call.generation = ++generation_;
        MSLogDebug(kMSLogTag, "The ingestion asked for a pause; batch " + batchId + " goes in " + std::to_string(left) + " s.");
        platform::DispatchQueue::global()->asyncAfter(left, [weak = weak_from_this(), batchId, generation = call.generation] {
            if (auto self = weak.lock()) self->retry(batchId, generation);
        });
        return true;
    }
    // Made for this attempt: a retry carries the tickets of now, not those of the first attempt.
    auto headers = headersForContainer(call.container, call.destination);
    if (call.request.valueForHTTPHeaderField("Content-Encoding")) headers.setValue("gzip", "Content-Encoding");
    if (auto invalid = headers.firstInvalidField()) {
        MSLogError(kMSLogTag, "Batch " + batchId + " cannot be sent: " + *invalid + ".");
        *notSendable = std::move(call.completion);
        calls_.erase(batchId);
        return false;
    }
    call.request.setAllHTTPHeaderFields(std::move(headers));
    call.request.setURL(platform::URL::URLWithString(call.destination.baseURL + apiPath_));
    ++call.attempts;
    ++requests_;
    call.task = session_->dataTaskWithRequest(call.request);
    if (!call.task) return true;  // the session is gone: the ingestion is being destroyed
    batchOfTask_[call.task->taskIdentifier()] = batchId;
    call.task->resume();
    return true;
}

void MSHttpIngestion::completeNotSendable(const std::string& batchId, Completion completion) {
    if (!completion) return;
    // Never on the caller's thread, which may hold the channel's locks.
    platform::DispatchQueue::global()->async(
        [batchId, completion = std::move(completion)] { completion(batchId, kRequestNotSendable); });
}

void MSHttpIngestion::taskDidComplete(const std::shared_ptr<platform::URLSessionTask>& task,
                                      const std::optional<Error>& error) {
    Completion completion;
    std::function<void()> retrying;
    std::string batchId;
    int status = 0;
    std::optional<std::pair<std::string, std::optional<platform::Date>>> keep;  // a pause to keep, by address
    {
        std::lock_guard lock(mutex_);
        auto owner = batchOfTask_.find(task->taskIdentifier());
        if (owner == batchOfTask_.end()) return;
        batchId = owner->second;
        batchOfTask_.erase(owner);
        auto it = calls_.find(batchId);
        if (it == calls_.end() || it->second.task != task) return;  // cancelled or superseded
        auto response = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(task->response());
        status = error || !response ? 0 : response->statusCode();
        // A 2xx is the server's acceptance, even when its body then could not be read (cut short,
        // or not the encoding it claims): sent again, the batch would arrive again.
        if (error && response && response->statusCode() / 100 == 2 && error->code != platform::kURLErrorCancelled)
            status = response->statusCode();
        const bool recoverable = status == 0 ? !(error && error->code == platform::kURLErrorCancelled)
                                             : isRecoverableStatus(status);
        if (recoverable) {
            Call& call = it->second;
            // The server may have taken a request it never answered, as much as one still awaiting it.
            const auto& body = call.request.HTTPBody();
            call.unanswered = status == 0 && body && task->countOfBytesSent() >= int64_t(body->size());
            const auto& intervals = options_.retryIntervals;
            double delay = intervals[std::min(call.attempts - 1, intervals.size() - 1)];
            // A Retry-After may ask for a longer wait, never a shorter one than the client's own. It
            // pauses the address, for every batch and the later starts too.
            if (status == 429 || status == 503)
                if (auto retryAfter = response->valueForHTTPHeaderField("Retry-After"))
                    if (auto asked = retryAfterDelay(*retryAfter, platform::Date::now())) {
                        delay = std::max(delay, *asked);
                        if (*asked > 0) {
                            const auto until = platform::Date::now().addingTimeInterval(*asked);
                            pauses_[call.destination.baseURL] = until;
                            keep = {call.destination.baseURL, until};
                        }
                    }
            call.task.reset();
            call.generation = ++generation_;
            MSLogWarning(kMSLogTag, "Sending batch " + batchId + " failed (" +
                                        (status ? "status " + std::to_string(status) : error->localizedDescription()) +
                                        "); retrying in " + std::to_string(delay) + " s.");
            platform::DispatchQueue::global()->asyncAfter(
                delay, [weak = weak_from_this(), batchId, generation = call.generation] {
                    if (auto self = weak.lock()) self->retry(batchId, generation);
                });
            // Told outside the lock: the caller may ask about its batches.
            retrying = call.retrying ? call.retrying : [] {};
        } else {
            // Taken: a pause the address asked for is over.
            if (status / 100 == 2)
                if (auto known = pauses_.find(it->second.destination.baseURL); known != pauses_.end() && known->second) {
                    known->second.reset();
                    keep = {known->first, std::nullopt};
                }
            completion = std::move(it->second.completion);
            calls_.erase(it);
        }
    }
    if (keep) storePause(keep->first, keep->second);
    if (retrying) {
        retrying();
        return;
    }
    if (status == 0) return;  // cancelled
    completion(batchId, status);
}

void MSHttpIngestion::retry(const std::string& batchId, uint64_t generation) {
    Completion notSendable;
    {
        std::lock_guard lock(mutex_);
        auto it = calls_.find(batchId);
        if (it == calls_.end() || it->second.generation != generation || it->second.task) return;
        if (startLocked(batchId, it->second, &notSendable)) return;
    }
    completeNotSendable(batchId, std::move(notSendable));
}

namespace {
// Addresses are not kept as they are in the settings (one may hold a user name).
std::string pauseKey(const std::string& baseURL) { return MSUtility::sha256("pause\n" + baseURL); }
}  // namespace

double MSHttpIngestion::pauseLeft(const std::string& baseURL) {
    std::lock_guard lock(mutex_);
    return pauseLeftLocked(baseURL);
}

double MSHttpIngestion::pauseLeftLocked(const std::string& baseURL) {
    auto it = pauses_.find(baseURL);
    if (it == pauses_.end()) {
        std::optional<platform::Date> until;
        if (auto stored = MSUserDefaults::shared().objectForKey(kPausesKey))
            if (const auto* date = stored->find(pauseKey(baseURL)); date && date->isDate()) until = date->asDate();
        it = pauses_.emplace(baseURL, until).first;
    }
    if (!it->second) return 0;
    const double left = it->second->timeIntervalSinceNow();
    // A pause ending further ahead than an ingestion may ask for was set under a clock since set
    // back: it is not kept (the ingestion asks again if it must).
    if (left > kMaxRetryAfter) it->second.reset();
    return left > 0 && left <= kMaxRetryAfter ? left : 0;
}

void MSHttpIngestion::storePause(const std::string& baseURL, std::optional<platform::Date> until) {
    MSUserDefaults::shared().updateObject(kPausesKey, [&](const platform::Value* stored) -> std::optional<platform::Value> {
        auto pauses = platform::Value::dictionary();
        // Pauses that ended, of any address, go.
        if (stored && stored->isDictionary())
            for (const auto& [key, date] : stored->asDictionary())
                if (date.isDate() && date.asDate().timeIntervalSinceNow() > 0) pauses.set(key, date);
        if (until) pauses.set(pauseKey(baseURL), *until);
        else pauses.remove(pauseKey(baseURL));
        if (pauses.size() == 0) return std::nullopt;
        return pauses;
    });
}

bool MSHttpIngestion::isAwaitingAnswer(const std::string& batchId) const {
    std::lock_guard lock(mutex_);
    auto it = calls_.find(batchId);
    return it != calls_.end() && it->second.task;
}

bool MSHttpIngestion::cancelUnanswered(const std::string& batchId) {
    std::shared_ptr<platform::URLSessionTask> task;
    {
        std::lock_guard lock(mutex_);
        auto it = calls_.find(batchId);
        if (it == calls_.end() || !(it->second.task || it->second.unanswered)) return false;
        task = it->second.task;  // none while its retry waits: that finds no call
        calls_.erase(it);
    }
    if (task) task->cancel();
    return true;
}

void MSHttpIngestion::cancelBatch(const std::string& batchId) {
    std::shared_ptr<platform::URLSessionTask> task;
    {
        std::lock_guard lock(mutex_);
        auto it = calls_.find(batchId);
        if (it == calls_.end()) return;
        task = it->second.task;
        calls_.erase(it);
    }
    if (task) task->cancel();
}

size_t MSHttpIngestion::pendingCallCount() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

size_t MSHttpIngestion::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

// ---- Rev Azezar ----

std::shared_ptr<MSRevAzezarIngestion> MSRevAzezarIngestion::make(std::string baseURL, std::string appSecret,
                                                                 std::string installId, Options options) {
    std::shared_ptr<MSRevAzezarIngestion> ingestion(
        new MSRevAzezarIngestion(std::move(baseURL), "/logs?api-version=1.0.0", std::move(options)));
    ingestion->setSecret(std::move(appSecret));
    ingestion->installId_ = std::move(installId);
    ingestion->init();
    return ingestion;
}

void MSRevAzezarIngestion::setAppSecret(std::string secret) { setSecret(std::move(secret)); }

platform::HTTPHeaders MSRevAzezarIngestion::headersForContainer(const MSLogContainer&,
                                                                const Destination& destination) const {
    return {{"Content-Type", "application/json"}, {"App-Secret", destination.appSecret}, {"Install-ID", installId_}};
}

std::string MSRevAzezarIngestion::bodyForContainer(const MSLogContainer& container) const {
    return container.serializeLogWithPrettyPrinting(false);
}

// ---- One Collector ----

std::shared_ptr<MSOneCollectorIngestion> MSOneCollectorIngestion::make(std::string baseURL, Options options, std::string appSecret) {
    std::shared_ptr<MSOneCollectorIngestion> ingestion(
        new MSOneCollectorIngestion(std::move(baseURL), "/OneCollector/1.0/", std::move(options)));
    ingestion->setOwner(std::move(appSecret));
    ingestion->init();
    return ingestion;
}

platform::HTTPHeaders MSOneCollectorIngestion::headersForContainer(const MSLogContainer& container,
                                                                   const Destination&) const {
    std::set<std::string> tokens;
    auto tickets = platform::Value::dictionary();
    for (const auto& log : container.logs) {
        if (auto logTokens = log->transmissionTargetTokens()) tokens.insert(logTokens->begin(), logTokens->end());
        auto cs = std::dynamic_pointer_cast<MSCommonSchemaLog>(log);
        if (!cs || !cs->ext || !cs->ext->protocolExt) continue;
        for (const auto& ticketKey : cs->ext->protocolExt->ticketKeys().value_or(std::vector<std::string>{}))
            if (auto ticket = MSTicketCache::sharedInstance().ticketFor(ticketKey)) tickets.set(ticketKey, *ticket);
    }
    std::vector<std::string> apiKeys(tokens.begin(), tokens.end());
    platform::HTTPHeaders headers{
        {"Content-Type", "application/x-json-stream; charset=utf-8"},
        {"Client-Version", std::string("ACS-Linux-C++-no-") + kMSSDKVersion + "-no"},
        {"Upload-Time", std::to_string(int64_t(std::llround(platform::Date::now().timeIntervalSince1970() * 1000)))},
        {"apikey", platform::join(apiKeys, ",")},
    };
    if (tickets.size()) headers.setValue(tickets.toJSON(), "Tickets");
    return headers;
}

std::optional<std::string> MSOneCollectorIngestion::problemWithLog(const MSAbstractLog& log) const {
    auto tokens = log.transmissionTargetTokens();
    if (!tokens || tokens->empty()) return "it has no target token (a stored token that could not be read back)";
    for (const auto& token : *tokens)
        if (auto problem = MSUtility::targetTokenProblem(token)) return "its target token is not valid: " + *problem;
    return std::nullopt;
}

std::string MSOneCollectorIngestion::bodyForContainer(const MSLogContainer& container) const {
    std::string body;
    for (const auto& log : container.logs) body += log->serializeToDictionary().toJSON() + "\n";
    return body;
}

}  // namespace quorvane
