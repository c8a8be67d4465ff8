#include "analytics/MSAnalyticsAuthenticationProvider.h"

#include "analytics/MSAnalyticsConstants.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSTicketCache.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

namespace {

// The ticket's prefix by kind; a kind outside the two known ones gets none.
std::string ticketPrefix(MSAnalyticsAuthenticationType type) {
    switch (type) {
        case MSAnalyticsAuthenticationType::MsaCompact: return "p";
        case MSAnalyticsAuthenticationType::MsaDelegate: return "d";
    }
    return "";
}

int64_t wholeSecondsSince1970(platform::Date date) { return int64_t(date.timeIntervalSince1970()); }

}  // namespace

std::shared_ptr<MSAnalyticsAuthenticationProvider> MSAnalyticsAuthenticationProvider::initWithAuthenticationType(
    MSAnalyticsAuthenticationType type, std::optional<std::string> ticketKey,
    const std::shared_ptr<MSAnalyticsAuthenticationProviderDelegate>& delegate) {
    std::shared_ptr<MSAnalyticsAuthenticationProvider> provider(new MSAnalyticsAuthenticationProvider());
    provider->type_ = type;
    if (ticketKey) provider->ticketKeyHash_ = MSUtility::sha256(*ticketKey);
    provider->ticketKey_ = std::move(ticketKey);
    provider->delegate_ = delegate;
    return provider;
}

std::optional<platform::Date> MSAnalyticsAuthenticationProvider::expiryDate() const {
    std::lock_guard lock(mutex_);
    return expiryDate_;
}

bool MSAnalyticsAuthenticationProvider::isAcquiringToken() const { return storedCompletion() != nullptr; }

std::shared_ptr<const MSAcquireTokenCompletionBlock> MSAnalyticsAuthenticationProvider::storedCompletion() const {
    std::lock_guard lock(mutex_);
    return completionHandler_;
}

void MSAnalyticsAuthenticationProvider::setClock(std::shared_ptr<const platform::Clock> clock) {
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
}

platform::Date MSAnalyticsAuthenticationProvider::nowLocked() const {
    return clock_ ? clock_->now() : platform::Date::now();
}

void MSAnalyticsAuthenticationProvider::acquireTokenAsync() {
    auto delegate = delegate_.lock();
    if (!delegate) {
        MSLogError(kMSAnalyticsLogTag, "No completionhandler to acquire token has been set.");
        return;
    }
    std::shared_ptr<const MSAcquireTokenCompletionBlock> completion;
    {
        // Checking and storing together, so that two callers never both start a request.
        std::lock_guard lock(mutex_);
        if (completionHandler_) return;
        std::weak_ptr<MSAnalyticsAuthenticationProvider> weakSelf = shared_from_this();
        // Each completion knows its own request: it is heard only while that request is in flight.
        const uint64_t requestId = ++lastRequestId_;
        completion = std::make_shared<const MSAcquireTokenCompletionBlock>(
            [weakSelf, requestId](std::optional<std::string> token, std::optional<platform::Date> expiryDate) {
                if (auto self = weakSelf.lock()) self->handleTokenUpdateWithToken(token, expiryDate, requestId);
            });
        completionHandler_ = completion;
        requestInFlight_ = requestId;
    }
    // The delegate may answer at once, on this thread: no lock is held while it runs.
    delegate->acquireTokenWithCompletionHandler(*this, *completion);
}

void MSAnalyticsAuthenticationProvider::handleTokenUpdateWithToken(
    const std::optional<std::string>& token, const std::optional<platform::Date>& expiryDate, uint64_t requestId) {
    std::lock_guard lock(mutex_);
    if (requestId == 0 || requestId != requestInFlight_) {
        MSLogWarning(kMSAnalyticsLogTag, "Ignored the answer of a token request that is no longer in flight.");
        return;
    }
    completionHandler_.reset();
    requestInFlight_ = 0;
    MSLogDebug(kMSAnalyticsLogTag, "Got result back from MSAcquireTokenCompletionBlock.");
    if (!token) {
        MSLogError(kMSAnalyticsLogTag, "Token must not be null");
        return;
    }
    if (expiryDate && *expiryDate <= nowLocked()) {
        // Not used; its expiry makes the next check ask again.
        MSLogError(kMSAnalyticsLogTag, "The token had already expired when it was handed over; it is not used.");
        expiryDate_ = expiryDate;
        return;
    }
    // A token without an expiry is kept as it is and never refreshed.
    if (ticketKeyHash_)
        MSTicketCache::sharedInstance().setTicket(ticketPrefix(type_) + ":" + *token, *ticketKeyHash_, expiryDate);
    expiryDate_ = expiryDate;
}

void MSAnalyticsAuthenticationProvider::checkTokenExpiry() {
    {
        std::lock_guard lock(mutex_);
        if (!expiryDate_) return;
        if (wholeSecondsSince1970(nowLocked()) + kMSRefreshThreshold < wholeSecondsSince1970(*expiryDate_)) return;
    }
    acquireTokenAsync();
}

}  // namespace quorvane
