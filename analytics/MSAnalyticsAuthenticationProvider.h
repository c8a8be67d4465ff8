#pragma once
// Attaches a user's authentication ticket to the Common Schema logs of the transmission targets.
//
// The application makes one provider with a ticket key and a delegate that obtains tokens, and
// installs it on the targets (MSAnalyticsTransmissionTarget::addAuthenticationProvider). The
// provider asks its delegate for a token, keeps the ticket ("p:<token>" or "d:<token>") in the
// shared MSTicketCache under the SHA-256 of its ticket key, and asks again once the token is
// within 600 s of its expiry. At most one request is in flight at a time, and only its answer is
// taken, once: a late or repeated answer of an earlier request is ignored. A token that has expired
// by the time it is handed over is not used (the next check asks again), and the ticket cache
// hands out no ticket past its expiry. A token given without an expiry is kept and never refreshed.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/ForkSafeMutex.h"

namespace quorvane {

class MSAnalyticsAuthenticationProvider;

// The kind of ticket, which decides its prefix; any other value gets none (":<token>").
enum class MSAnalyticsAuthenticationType : uint64_t {
    MsaCompact = 0,   // "p:"
    MsaDelegate = 1,  // "d:"
};

// The answer to a token request: the token and its expiry. May be called on any thread.
using MSAcquireTokenCompletionBlock =
    std::function<void(std::optional<std::string> token, std::optional<platform::Date> expiryDate)>;

class MSAnalyticsAuthenticationProviderDelegate {
public:
    virtual ~MSAnalyticsAuthenticationProviderDelegate() = default;
    // Obtains a token and calls the completion with it, now or later.
    virtual void acquireTokenWithCompletionHandler(MSAnalyticsAuthenticationProvider& provider,
                                                   MSAcquireTokenCompletionBlock completion) = 0;
};

class MSAnalyticsAuthenticationProvider : public std::enable_shared_from_this<MSAnalyticsAuthenticationProvider> {
public:
    // Tokens are refreshed once they expire within this many seconds.
    static constexpr int64_t kMSRefreshThreshold = 600;

    // The delegate is held weakly: the caller keeps it alive.
    static std::shared_ptr<MSAnalyticsAuthenticationProvider> initWithAuthenticationType(
        MSAnalyticsAuthenticationType type, std::optional<std::string> ticketKey,
        const std::shared_ptr<MSAnalyticsAuthenticationProviderDelegate>& delegate);

    MSAnalyticsAuthenticationType type() const { return type_; }
    const std::optional<std::string>& ticketKey() const { return ticketKey_; }
    // SHA-256 of the ticket key, 64 lower-case hexadecimal digits; none without a key.
    const std::optional<std::string>& ticketKeyHash() const { return ticketKeyHash_; }
    std::shared_ptr<MSAnalyticsAuthenticationProviderDelegate> delegate() const { return delegate_.lock(); }
    std::optional<platform::Date> expiryDate() const;
    // A request is in flight.
    bool isAcquiringToken() const;

    // Starts a token request unless one is in flight.
    void acquireTokenAsync();
    // Takes the answer of request `requestId` when that request is the one in flight (ignored
    // otherwise: answered already, or an earlier one).
    void handleTokenUpdateWithToken(const std::optional<std::string>& token,
                                    const std::optional<platform::Date>& expiryDate, uint64_t requestId);
    // Starts a request when the token expires within kMSRefreshThreshold seconds.
    void checkTokenExpiry();

    // The clock the expiry is measured against (the process clock unless set).
    void setClock(std::shared_ptr<const platform::Clock> clock);

private:
    MSAnalyticsAuthenticationProvider() = default;
    std::shared_ptr<const MSAcquireTokenCompletionBlock> storedCompletion() const;
    platform::Date nowLocked() const;

    MSAnalyticsAuthenticationType type_ = MSAnalyticsAuthenticationType::MsaCompact;
    std::optional<std::string> ticketKey_;
    std::optional<std::string> ticketKeyHash_;
    std::weak_ptr<MSAnalyticsAuthenticationProviderDelegate> delegate_;

    mutable platform::ForkSafeMutex mutex_;
    std::optional<platform::Date> expiryDate_;
    std::shared_ptr<const MSAcquireTokenCompletionBlock> completionHandler_;
    uint64_t requestInFlight_ = 0;  // the id of the request in flight, 0 for none
    uint64_t lastRequestId_ = 0;
    std::shared_ptr<const platform::Clock> clock_;
};

}  // namespace quorvane
