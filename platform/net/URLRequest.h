#pragma once
// URL requests: what to load and how. A request is a plain value; copies are cheap because the
// body bytes are shared (they are never changed in place).

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "platform/net/InputStream.h"
#include "platform/net/URL.h"

namespace quorvane::platform {

// HTTP header fields in order, names compared without regard to ASCII case. Each name appears
// once: a repeated field is folded into one value joined by ", ".
class HTTPHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    HTTPHeaders() = default;
    HTTPHeaders(std::initializer_list<Field> fields);
    // Fields as received, repeated names folded.
    explicit HTTPHeaders(std::vector<Field> fields);

    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
    // Sets the field (keeping its place when present); nullopt removes it.
    void setValue(std::optional<std::string> value, std::string_view name);
    // Appends to the field's value with ", ", or adds the field.
    void addValue(std::string_view value, std::string_view name);
    void remove(std::string_view name) { setValue(std::nullopt, name); }
    bool contains(std::string_view name) const { return find(name) != nullptr; }

    const std::vector<Field>& fields() const { return fields_; }
    size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }
    auto begin() const { return fields_.begin(); }
    auto end() const { return fields_.end(); }
    // As a dictionary value (name to string), in order.
    Value toValue() const;

    // What may go on the wire: a name is an HTTP token (no blank, colon, control or line
    // break); a value holds no CR, LF or NUL. A session refuses a request with anything else
    // before a byte of it is written.
    static bool isValidName(std::string_view name);
    static bool isValidValue(std::string_view value);
    // The first field that may not go on the wire, described for an error; nullopt when all may.
    std::optional<std::string> firstInvalidField() const;

    bool operator==(const HTTPHeaders& o) const;

private:
    const Field* find(std::string_view name) const;
    std::vector<Field> fields_;
};

class URLRequest {
public:
    enum class CachePolicy : uint64_t {
        UseProtocolCachePolicy = 0,
        ReloadIgnoringLocalCacheData = 1,
    };
    static constexpr TimeInterval kDefaultTimeoutInterval = 60;

    URLRequest() = default;
    explicit URLRequest(std::optional<URL> url, CachePolicy cachePolicy = CachePolicy::UseProtocolCachePolicy,
                        TimeInterval timeoutInterval = kDefaultTimeoutInterval)
        : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}
    static URLRequest requestWithURL(const URL& url) { return URLRequest(url); }

    const std::optional<URL>& url() const { return url_; }
    void setURL(std::optional<URL> url) { url_ = std::move(url); }

    // "GET" unless set.
    const std::string& HTTPMethod() const { return method_; }
    void setHTTPMethod(std::string method) { method_ = method.empty() ? "GET" : std::move(method); }

    const HTTPHeaders& allHTTPHeaderFields() const { return headers_; }
    void setAllHTTPHeaderFields(HTTPHeaders headers) { headers_ = std::move(headers); }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
        return headers_.valueForHTTPHeaderField(field);
    }
    void setValue(std::optional<std::string> value, std::string_view field) { headers_.setValue(std::move(value), field); }
    void addValue(std::string_view value, std::string_view field) { headers_.addValue(value, field); }

    // The body in memory; nullptr when there is none (an empty body is not none).
    const std::shared_ptr<const Bytes>& HTTPBody() const { return body_; }
    void setHTTPBody(std::optional<Bytes> body);
    void setHTTPBody(std::shared_ptr<const Bytes> body) {
        body_ = std::move(body);
        if (body_) bodyStream_.reset();
    }
    // The body as a stream; setting one clears the body data and the other way round.
    const std::shared_ptr<InputStream>& HTTPBodyStream() const { return bodyStream_; }
    void setHTTPBodyStream(std::shared_ptr<InputStream> stream);
    // What a request may not carry to another origin: the credentials ("Authorization",
    // "Proxy-Authorization"), the caller's own cookies ("Cookie": the session adds the cookies
    // its storage holds for the new origin) and the body with the headers describing it; the
    // method becomes GET (HEAD stays).
    void removeCredentialsAndBody();

    // Longest time without any progress before the load fails with a time-out (seconds).
    TimeInterval timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(TimeInterval t) { timeoutInterval_ = t; }
    // Whether the session's cookie storage is consulted and fed for this request.
    bool HTTPShouldHandleCookies() const { return handleCookies_; }
    void setHTTPShouldHandleCookies(bool v) { handleCookies_ = v; }
    // The top-level document the request belongs to, for the main-document cookie policy.
    const std::optional<URL>& mainDocumentURL() const { return mainDocumentURL_; }
    void setMainDocumentURL(std::optional<URL> url) { mainDocumentURL_ = std::move(url); }
    // Sessions keep no response cache, so every policy loads from the origin.
    CachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(CachePolicy p) { cachePolicy_ = p; }
    // Kept with the request for callers that copy it; every network here may be used.
    bool allowsCellularAccess() const { return allowsCellularAccess_; }
    void setAllowsCellularAccess(bool v) { allowsCellularAccess_ = v; }
    // Whether the request, once sent, is let finish when everything in flight is cancelled
    // (NetworkThread::cancelEverything): one whose answer alone carries what the server has
    // changed for it already. One not yet sent is cancelled all the same.
    bool finishesInFlight() const { return finishesInFlight_; }
    void setFinishesInFlight(bool v) { finishesInFlight_ = v; }

private:
    std::optional<URL> url_;
    std::string method_ = "GET";
    HTTPHeaders headers_;
    std::shared_ptr<const Bytes> body_;
    std::shared_ptr<InputStream> bodyStream_;
    std::optional<URL> mainDocumentURL_;
    CachePolicy cachePolicy_ = CachePolicy::UseProtocolCachePolicy;
    TimeInterval timeoutInterval_ = kDefaultTimeoutInterval;
    bool handleCookies_ = true;
    bool allowsCellularAccess_ = true;
    bool finishesInFlight_ = false;
};

}  // namespace quorvane::platform
