#pragma once
// Session configurations: a value copied into each session when it is made.
//
// Background configurations: Linux has no system service that carries transfers on while the
// process is gone. A background configuration makes an in-process session tagged with its
// identifier; after a restart its tasks are simply not there.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URLRequest.h"

namespace quorvane::platform {

// TLS protocol versions, by their wire numbers.
enum class TLSProtocolVersion : uint16_t { TLSv12 = 0x0303, TLSv13 = 0x0304 };

class URLSessionConfiguration {
public:
    enum class Kind { Default, Ephemeral, Background };

    // Cookies in the shared storage.
    static URLSessionConfiguration defaultSessionConfiguration();
    // Cookies in a private storage of its own, kept in memory only.
    static URLSessionConfiguration ephemeralSessionConfiguration();
    static URLSessionConfiguration backgroundSessionConfigurationWithIdentifier(std::string identifier);

    Kind kind() const { return kind_; }
    const std::optional<std::string>& identifier() const { return identifier_; }

    // The lowest TLS version accepted (never below 1.2).
    TLSProtocolVersion TLSMinimumSupportedProtocolVersion() const { return tlsMinimum_; }
    void setTLSMinimumSupportedProtocolVersion(TLSProtocolVersion v) { tlsMinimum_ = v; }

    // nullptr: no cookies are sent or stored.
    const std::shared_ptr<platform::HTTPCookieStorage>& HTTPCookieStorage() const { return cookieStorage_; }
    void setHTTPCookieStorage(std::shared_ptr<platform::HTTPCookieStorage> s) { cookieStorage_ = std::move(s); }
    bool HTTPShouldSetCookies() const { return shouldSetCookies_; }
    void setHTTPShouldSetCookies(bool v) { shouldSetCookies_ = v; }

    // Added to every request that does not set the same field itself.
    const HTTPHeaders& HTTPAdditionalHeaders() const { return additionalHeaders_; }
    void setHTTPAdditionalHeaders(HTTPHeaders h) { additionalHeaders_ = std::move(h); }

    // Longest time without progress (the request's own interval applies when it is shorter).
    TimeInterval timeoutIntervalForRequest() const { return requestTimeout_; }
    void setTimeoutIntervalForRequest(TimeInterval t) { requestTimeout_ = t; }
    // Longest time a task may take from its start to its end, redirects and retries included.
    TimeInterval timeoutIntervalForResource() const { return resourceTimeout_; }
    void setTimeoutIntervalForResource(TimeInterval t) { resourceTimeout_ = t; }
    // The resource time-out new configurations start with (7 days unless the program set another).
    static TimeInterval defaultTimeoutIntervalForResource();
    static void setDefaultTimeoutIntervalForResource(TimeInterval t);
    // The floor under a response's pace: once its first byte has come, a response that moves
    // fewer than `bytes` bytes over the wire (headers and body as sent) in `interval` seconds
    // ends timed out, however often a byte arrives. Time spent waiting on the delegate does not
    // count. 0 bytes or interval: no floor.
    int64_t minimumTransferBytes() const { return floorBytes_; }
    TimeInterval minimumTransferInterval() const { return floorInterval_; }
    void setMinimumTransferRate(int64_t bytes, TimeInterval interval) {
        floorBytes_ = bytes;
        floorInterval_ = interval;
    }

    // Transfers running at once to one host and port; more wait their turn.
    int HTTPMaximumConnectionsPerHost() const { return maxConnectionsPerHost_; }
    void setHTTPMaximumConnectionsPerHost(int n) { maxConnectionsPerHost_ = n < 1 ? 1 : n; }

private:
    URLSessionConfiguration() = default;
    Kind kind_ = Kind::Default;
    std::optional<std::string> identifier_;
    TLSProtocolVersion tlsMinimum_ = TLSProtocolVersion::TLSv12;
    std::shared_ptr<platform::HTTPCookieStorage> cookieStorage_;
    bool shouldSetCookies_ = true;
    HTTPHeaders additionalHeaders_;
    TimeInterval requestTimeout_ = 60;
    TimeInterval resourceTimeout_ = defaultTimeoutIntervalForResource();
    int64_t floorBytes_ = 1024;
    TimeInterval floorInterval_ = 30;
    int maxConnectionsPerHost_ = 6;
};

}  // namespace quorvane::platform
