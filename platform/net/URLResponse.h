#pragma once
// URL responses: the metadata of a loaded resource. Responses are immutable and shared
// (std::shared_ptr<const URLResponse>); an HTTP response is an HTTPURLResponse.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"

namespace quorvane::platform {

// Total byte count that is not known (a stream body, a response without Content-Length).
inline constexpr int64_t kURLSessionTransferSizeUnknown = -1;
// Same value as a response's expected content length.
inline constexpr int64_t kURLResponseUnknownLength = -1;

class URLResponse {
public:
    URLResponse(std::optional<URL> url, std::optional<std::string> MIMEType, int64_t expectedContentLength,
                std::optional<std::string> textEncodingName)
        : url_(std::move(url)),
          mimeType_(std::move(MIMEType)),
          expectedContentLength_(expectedContentLength),
          textEncodingName_(std::move(textEncodingName)) {}
    virtual ~URLResponse() = default;

    const std::optional<URL>& url() const { return url_; }
    // The media type in lower case without parameters ("text/html"); nullopt when unknown.
    const std::optional<std::string>& MIMEType() const { return mimeType_; }
    // The body length announced by the server, or kURLResponseUnknownLength.
    int64_t expectedContentLength() const { return expectedContentLength_; }
    // The charset parameter of the content type, when given.
    const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }

protected:
    std::optional<URL> url_;
    std::optional<std::string> mimeType_;
    int64_t expectedContentLength_;
    std::optional<std::string> textEncodingName_;
};

class HTTPURLResponse : public URLResponse {
public:
    // A response as a server sent it: the header lines in order, repeated names included.
    // MIME type, encoding name and expected length are read from the headers.
    HTTPURLResponse(URL url, int statusCode, std::optional<std::string> HTTPVersion,
                    std::vector<HTTPHeaders::Field> headerLines);
    HTTPURLResponse(URL url, int statusCode, std::optional<std::string> HTTPVersion, const HTTPHeaders& headerFields);

    int statusCode() const { return statusCode_; }
    const std::optional<std::string>& HTTPVersion() const { return httpVersion_; }
    // Every field once; repeated fields are joined by ", ".
    const HTTPHeaders& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
        return headers_.valueForHTTPHeaderField(field);
    }
    // Each "Set-Cookie" line on its own (a folded value cannot be split reliably).
    const std::vector<std::string>& setCookieLines() const { return setCookieLines_; }

private:
    void readEntityHeaders();

    int statusCode_;
    std::optional<std::string> httpVersion_;
    HTTPHeaders headers_;
    std::vector<std::string> setCookieLines_;
};

// A response and its body, as offered to a cache.
struct CachedURLResponse {
    std::shared_ptr<const URLResponse> response;
    Bytes data;
};

// Splits a Content-Type value into the lower-cased media type and the charset parameter.
void parseContentType(std::string_view value, std::optional<std::string>& mimeType,
                      std::optional<std::string>& charset);

}  // namespace quorvane::platform
