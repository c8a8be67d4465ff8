#include "sync/GoogleBatchWriter.h"

#include <algorithm>

#include "fetcher/QNSessionFetcher.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using platform::Error;

namespace {

const char* operationType(GoogleBatchKind kind) {
    switch (kind) {
        case GoogleBatchKind::Insert: return "insert";
        case GoogleBatchKind::Update: return "update";
        case GoogleBatchKind::Delete: return "delete";
    }
    return "insert";
}

double now() { return platform::Clock::current()->monotonic(); }

}  // namespace

std::shared_ptr<GoogleBatchWriter> GoogleBatchWriter::make(std::shared_ptr<GDataServiceGoogleContact> service,
                                                           platform::URL batchURL, FeedKind feedKind,
                                                           Options options) {
    return std::shared_ptr<GoogleBatchWriter>(
        new GoogleBatchWriter(std::move(service), std::move(batchURL), feedKind, options));
}

GoogleBatchWriter::GoogleBatchWriter(std::shared_ptr<GDataServiceGoogleContact> service, platform::URL batchURL,
                                     FeedKind feedKind, Options options)
    : service_(std::move(service)), batchURL_(std::move(batchURL)), feedKind_(feedKind), options_(options) {
    options_.batchSize = std::max<size_t>(options_.batchSize, 1);
    options_.maxInFlight = std::max<size_t>(options_.maxInFlight, 1);
    options_.maxRounds = std::max<int32_t>(options_.maxRounds, 1);
    options_.pauseSeconds = std::max(options_.pauseSeconds, 0.0);
    lastSend_ = options_.previousSend;
    if (!options_.resending) options_.resending = std::make_shared<Options::Resending>();
}

bool GoogleBatchWriter::isAuthorizationError(const Error& error) {
    // Only the provider's own refusal of the sign-in: the grant refused at the token endpoint
    // ("invalid_grant"), or a 401 or 403 answered by the provider to a request that carried the
    // token (the fetcher has refreshed it after a first 401). An error the client raised itself
    // (an authorizer that would not sign a request, a certificate refused, a token answer that
    // could not be read), an answer of another origin to a request sent without the token, a
    // token endpoint refusing the client, and a quota answer say nothing of the sign-in.
    if (error.domain != QNSessionFetcherStatusDomain || error.code < 400 || error.code > 499) return false;
    const platform::Value& word = error.userInfo["json"]["error"];
    if (word.isString() && word.asString() == "invalid_grant") return true;
    if (error.code != 401 && error.code != 403) return false;
    const platform::Value* signed_ = error.userInfo.find(kQNSessionFetcherAnsweredSignedRequestKey);
    return signed_ && signed_->isBool() && signed_->asBool() && !isQuotaError(error);
}

bool GoogleBatchWriter::isSignInGone(const Error& error) {
    return isAuthorizationError(error) || (error.domain == kQNOAuth2ErrorDomain && error.code == kQNOAuth2ErrorSignInChanged);
}

namespace {

// Whether a word the provider gave for a refusal names a quota or a rate limit.
bool namesLimit(std::string word) {
    word = platform::asciiLower(word);
    for (const char* part : {"quota", "ratelimit", "rate limit", "limitexceeded", "resource_exhausted"})
        if (word.find(part) != std::string::npos) return true;
    return false;
}

// The provider's reasons in a refusal: the GData error codes and reasons, the JSON error's
// reasons, status and message, or the text of the answer.
std::vector<std::string> providerReasons(const Error& error) {
    std::vector<std::string> out;
    auto add = [&out](const platform::Value& v) {
        if (v.isString() && !v.asString().empty()) out.push_back(v.asString());
    };
    if (const platform::Value* list = error.userInfo.find(kGDataServerErrorsKey); list && list->isArray())
        for (const auto& item : list->asArray()) {
            add(item["code"]);
            add(item["internalReason"]);
        }
    if (const platform::Value* data = error.userInfo.find(QNSessionFetcherStatusDataUserInfoKey); data && data->isBytes()) {
        const auto& bytes = data->asBytes();
        std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (auto json = platform::Value::fromJSON(text); json && json->isDictionary()) {
            const platform::Value& e = (*json)["error"];
            if (e["errors"].isArray())
                for (const auto& item : e["errors"].asArray()) add(item["reason"]);
            add(e["status"]);
            add(e["message"]);
            add(e);
        }
    }
    if (out.empty()) add(error.userInfo[kGDataErrorSummaryKey]);
    return out;
}

}  // namespace

bool GoogleBatchWriter::isQuotaError(const Error& error) {
    if (error.domain != QNSessionFetcherStatusDomain || error.code != 403) return false;
    for (const auto& reason : providerReasons(error))
        if (namesLimit(reason)) return true;
    return false;
}

std::string GoogleBatchWriter::providerReason(const Error& error, size_t maxLength) {
    std::string out;
    for (const auto& reason : providerReasons(error)) {
        if (out.find(reason) != std::string::npos) continue;
        out += (out.empty() ? "" : ": ") + reason;
    }
    if (out.size() > maxLength) {
        size_t cut = maxLength;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // whole characters
        out = out.substr(0, cut) + "...";
    }
    return out;
}

bool GoogleBatchWriter::isNetworkError(const Error& error) {
    if (error.domain != platform::kURLErrorDomain) return false;
    switch (error.code) {
        case platform::kURLErrorTimedOut:
        case platform::kURLErrorCannotFindHost:
        case platform::kURLErrorCannotConnectToHost:
        case platform::kURLErrorNetworkConnectionLost:
        case platform::kURLErrorDNSLookupFailed:
        case platform::kURLErrorNotConnectedToInternet:
            return true;
        default:
            return false;
    }
}

bool GoogleBatchWriter::isUnavailableError(const Error& error) {
    if (error.domain != QNSessionFetcherStatusDomain && error.domain != kGDataServiceErrorDomain) return false;
    return error.code == 408 || error.code == 429 || (error.code >= 500 && error.code <= 599) || isQuotaError(error);
}

bool GoogleBatchWriter::isRefusal(int64_t status) {
    return status >= 400 && status <= 499 && status != 408 && status != 429;
}

void GoogleBatchWriter::start(std::vector<GoogleBatchOperation> operations, Progress progress, Finished finished) {
    operations_ = std::move(operations);
    outcomes_.assign(operations_.size(), GoogleBatchOutcome());
    answerLost_.assign(operations_.size(), false);
    progress_ = std::move(progress);
    finishedCallback_ = std::move(finished);
    for (size_t i = 0; i < operations_.size(); ++i) {
        if (operations_[i].entry) {
            queue_.push_back(i);
        } else {
            outcomes_[i].state = GoogleBatchOutcome::State::Failed;
            outcomes_[i].reason = "no entry";
            ++answered_;
        }
    }
    round_ = queue_.empty() ? 0 : 1;
    pump();
}

void GoogleBatchWriter::cancel() {
    stopping_ = true;
    if (pauseTimer_) pauseTimer_->invalidate();
    pauseTimer_.reset();
    // On a turn of its own: the finished callback never runs inside the caller's cancel().
    std::weak_ptr<GoogleBatchWriter> weak = weak_from_this();
    platform::RunLoop::main()->post([weak] {
        if (auto self = weak.lock()) self->finishIfDone();
    });
}

void GoogleBatchWriter::pump() {
    while (!stopping_ && queueHead_ < queue_.size() && inFlight_ < options_.maxInFlight) {
        double wait = lastSend_ + options_.pauseSeconds - now();
        if (wait > 0) {
            if (!pauseTimer_ || !pauseTimer_->isValid()) {
                std::weak_ptr<GoogleBatchWriter> weak = weak_from_this();
                pauseTimer_ = platform::Timer::scheduled(wait, false, [weak](platform::Timer&) {
                    if (auto self = weak.lock()) self->pump();
                }, platform::RunLoop::main());
            }
            return;
        }
        sendNext();
    }
    finishIfDone();
}

void GoogleBatchWriter::sendNext() {
    std::shared_ptr<GDataFeedBase> feed;
    if (feedKind_ == FeedKind::Groups) feed = GDataFeedContactGroup::contactGroupFeed();
    else feed = GDataFeedContact::contactFeed();

    std::vector<size_t> sent;
    while (queueHead_ < queue_.size() && sent.size() < options_.batchSize) {
        size_t index = queue_[queueHead_++];
        const GoogleBatchOperation& op = operations_[index];
        // A copy carries the batch elements: the caller's entry (often still in its feed) stays as it is.
        auto entry = std::dynamic_pointer_cast<GDataEntryBase>(op.entry->copy());
        if (!entry) continue;
        entry->setBatchOperation(GDataBatchOperation::batchOperationWithType(operationType(op.kind)));
        entry->setBatchIDWithString(std::to_string(index));
        // What an earlier answer said of it (an entry kept as Google answered it) is not sent back.
        entry->setBatchStatus(nullptr);
        entry->setBatchInterrupted(nullptr);
        feed->addEntry(entry);
        outcomes_[index].rounds += 1;
        sent.push_back(index);
    }
    if (sent.empty()) return;
    ++inFlight_;
    ++requestsSent_;
    lastSend_ = now();
    auto self = shared_from_this();
    service_->fetchFeedWithBatchFeed(feed, batchURL_,
                                     [self, sent](const GDataServiceTicketPtr&, const GDataObjectPtr& object,
                                                  const std::optional<Error>& error) {
                                         self->takeAnswer(sent, object, error);
                                     });
}

void GoogleBatchWriter::takeAnswer(const std::vector<size_t>& sent, const GDataObjectPtr& object,
                                   const std::optional<Error>& error) {
    --inFlight_;
    if (error && error->domain == kGDataServiceErrorDomain && error->code == kGDataServiceErrorObjectNotWritable) {
        // Nothing was sent: the entries that cannot be written fail alone, the others go again.
        for (size_t index : sent) {
            auto doc = operations_[index].entry->XMLDocument();
            if (doc && doc->XMLData()) continue;
            outcomes_[index].state = GoogleBatchOutcome::State::Failed;
            outcomes_[index].reason = error->localizedDescription();
            ++answered_;
        }
    } else if (error) {
        if (isSignInGone(*error) || isNetworkError(*error)) {
            if (!stoppedBy_) stoppedBy_ = error;
            stopping_ = true;
        }
        unavailable_ = isUnavailableError(*error) ? error : std::nullopt;
        // Refused for its sign-in (the provider answered 401 or 403, a refresh after it was
        // refused or found the sign-in changed): carried out nowhere, written by nobody.
        const bool signInGone = isSignInGone(*error);
        const bool answered = error->domain == QNSessionFetcherStatusDomain && !signInGone;
        const bool refused = answered && !stopping_ && isRefusal(error->code);
        std::string reason = answered ? providerReason(*error) : std::string();
        if (signInGone) reason = kSignInGoneReason;
        if (reason.empty()) reason = error->localizedDescription();
        const bool lost = !signInGone && mayHaveBeenCarriedOut(*error);
        if (lost) answerLostBy_ = error;
        for (size_t index : sent) {
            outcomes_[index].status = answered ? int32_t(error->code) : 0;
            outcomes_[index].reason = reason;
            if (refused) {
                // Refused as a whole: every entry it carried would be refused again.
                outcomes_[index].state = GoogleBatchOutcome::State::Failed;
                ++answered_;
            } else if (lost) {
                answerLost_[index] = true;
            }
        }
    } else if (auto feed = std::dynamic_pointer_cast<GDataFeedBase>(object)) {
        unavailable_.reset();
        std::vector<bool> answered(sent.size(), false);
        for (const auto& answer : feed->entries() ? *feed->entries() : std::vector<std::shared_ptr<GDataEntryBase>>{}) {
            auto id = answer->batchID();
            auto status = answer->batchStatus();
            if (!id || !status || !status->code()) continue;
            std::optional<std::string> text = id->stringValue();
            if (!text || text->empty() || text->size() > 18 ||
                !std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            size_t index = size_t(std::stoull(*text));
            auto at = std::find(sent.begin(), sent.end(), index);
            if (at == sent.end()) continue;
            answered[size_t(at - sent.begin())] = true;
            settle(index, *status->code(), status->reason(), answer);
        }
        // An entry the answer leaves out may have been carried out all the same.
        for (size_t k = 0; k < sent.size(); ++k)
            if (!answered[k]) {
                answerLost_[sent[k]] = true;
                answerLostBy_ = platform::makeURLError(platform::kURLErrorNetworkConnectionLost, batchURL_,
                                                       "the provider's answer left entries out");
            }
    } else {
        // An answer that is no feed tells nothing.
        for (size_t index : sent) answerLost_[index] = true;
        answerLostBy_ = platform::makeURLError(platform::kURLErrorNetworkConnectionLost, batchURL_,
                                               "the provider's answer held no feed");
    }
    // Whatever this request sent and did not settle waits for the next round.
    if (progress_) progress_(answered_, operations_.size());
    pump();
}

void GoogleBatchWriter::settle(size_t index, int32_t status, std::optional<std::string> reason,
                               std::shared_ptr<GDataEntryBase> answer) {
    GoogleBatchOutcome& outcome = outcomes_[index];
    if (outcome.state != GoogleBatchOutcome::State::NotSent) return;  // answered twice: keep the first
    outcome.status = status;
    outcome.reason = std::move(reason);
    const GoogleBatchKind kind = operations_[index].kind;
    if ((status >= 200 && status < 300) || (kind == GoogleBatchKind::Delete && status == 404)) {
        outcome.state = GoogleBatchOutcome::State::Confirmed;
        if (kind != GoogleBatchKind::Delete && answer) {
            // The contact as Google keeps it: the batch elements belong to this answer alone.
            answer->setBatchOperation(nullptr);
            answer->setBatchID(nullptr);
            answer->setBatchStatus(nullptr);
            answer->setBatchInterrupted(nullptr);
            outcome.answer = std::move(answer);
        }
        ++answered_;
    } else if ((status == 409 || status == 412) && answerLost_[index]) {
        // Sent before without an answer: what changed it since may be that send, carried out, as
        // well as anyone else. Which, the next run reads; this one stops as on a lost answer.
        outcome.state = GoogleBatchOutcome::State::Failed;
        outcome.status = 0;
        outcome.reason = "its answer was lost and the provider holds another version now: the next sync reads it";
        ++answered_;
        stopForLostAnswer();
    } else if (status == 409 || status == 412) {
        outcome.state = GoogleBatchOutcome::State::Conflict;
        ++answered_;
    } else if (isRefusal(status)) {
        outcome.state = GoogleBatchOutcome::State::Failed;
        ++answered_;
    }
}

bool GoogleBatchWriter::mayHaveBeenCarriedOut(const Error& error) {
    if (error.domain == QNSessionFetcherStatusDomain || error.domain == kGDataServiceErrorDomain) {
        return error.code == 408 || error.code == 429 || (error.code >= 500 && error.code <= 599);
    }
    // A request that never left (no connection) was not carried out; any other failure may
    // have come after the provider read it.
    return !(error.domain == platform::kURLErrorDomain &&
             (error.code == platform::kURLErrorCannotFindHost || error.code == platform::kURLErrorCannotConnectToHost ||
              error.code == platform::kURLErrorDNSLookupFailed || error.code == platform::kURLErrorNotConnectedToInternet));
}

void GoogleBatchWriter::stopForLostAnswer() {
    // Said as what lost the answer (a connection, the provider's trouble): nothing was lost, and
    // the run is safe to repeat.
    if (!stoppedBy_)
        stoppedBy_ = answerLostBy_ ? *answerLostBy_
                                   : platform::makeURLError(platform::kURLErrorNetworkConnectionLost, batchURL_);
    stopping_ = true;
}

bool GoogleBatchWriter::findLostInsertions() {
    std::vector<size_t> lost;
    for (size_t i = 0; i < outcomes_.size(); ++i) {
        if (answerLost_[i] && outcomes_[i].state == GoogleBatchOutcome::State::NotSent &&
            operations_[i].kind == GoogleBatchKind::Insert)
            lost.push_back(i);
    }
    if (lost.empty()) return false;
    auto giveUp = [this](const std::vector<size_t>& indexes) {
        for (size_t i : indexes) {
            outcomes_[i].state = GoogleBatchOutcome::State::Failed;
            outcomes_[i].reason = "its answer was lost and what the provider holds could not be found: not sent again";
            ++answered_;
        }
        stopForLostAnswer();
    };
    if (stopping_ || !options_.findInserted) {
        giveUp(lost);
        return false;
    }
    std::vector<std::shared_ptr<GDataEntryBase>> entries;
    for (size_t i : lost) entries.push_back(operations_[i].entry);
    finding_ = true;
    std::weak_ptr<GoogleBatchWriter> weak = weak_from_this();
    options_.findInserted(entries, [weak, lost, giveUp](Options::Found found) {
        auto self = weak.lock();
        if (!self || !self->finding_) return;
        self->finding_ = false;
        if (!found || found->size() != lost.size()) {
            giveUp(lost);
        } else {
            for (size_t k = 0; k < lost.size(); ++k) {
                if ((*found)[k]) self->settle(lost[k], 201, std::string("found at the provider"), (*found)[k]);
                else self->answerLost_[lost[k]] = false;  // not there: safe to send again
            }
        }
        self->finishIfDone();
    });
    return true;
}

bool GoogleBatchWriter::startNextRound() {
    if (stopping_ || round_ >= options_.maxRounds) return false;
    // A round after the first that ends now counts toward the run's time of resending, which
    // no new round begins past.
    Options::Resending& resending = *options_.resending;
    if (round_ > 1) resending.spentSeconds += now() - roundBegan_;
    if (resending.spentSeconds >= resending.limitSeconds) return false;
    std::vector<size_t> again;
    for (size_t i = 0; i < outcomes_.size(); ++i)
        if (outcomes_[i].state == GoogleBatchOutcome::State::NotSent && outcomes_[i].rounds > 0 &&
            !(answerLost_[i] && operations_[i].kind == GoogleBatchKind::Insert))
            again.push_back(i);
    if (again.empty()) return false;
    queue_ = std::move(again);
    queueHead_ = 0;
    ++round_;
    roundBegan_ = now();
    return true;
}

void GoogleBatchWriter::finishIfDone() {
    if (finished_ || inFlight_ > 0 || finding_) return;
    if (!stopping_ && queueHead_ < queue_.size()) return;
    if (findLostInsertions()) return;  // comes back here once answered
    if (startNextRound()) {
        pump();
        return;
    }
    finished_ = true;
    if (pauseTimer_) pauseTimer_->invalidate();
    pauseTimer_.reset();
    // Sent but never confirmed nor refused for good: failed. When the provider could not serve
    // the last request that failed as a whole, that is what stopped the writer.
    for (auto& outcome : outcomes_) {
        if (outcome.state != GoogleBatchOutcome::State::NotSent || outcome.rounds == 0) continue;
        outcome.state = GoogleBatchOutcome::State::Failed;
        if (!stoppedBy_ && unavailable_) stoppedBy_ = unavailable_;
    }
    auto finished = std::move(finishedCallback_);
    finishedCallback_ = nullptr;
    progress_ = nullptr;
    // The callback may let go of the last reference to this writer: it gets copies.
    auto keep = shared_from_this();
    const auto outcomes = outcomes_;
    const auto stoppedBy = stoppedBy_;
    if (finished) finished(outcomes, stoppedBy);
}

}  // namespace quorvane
