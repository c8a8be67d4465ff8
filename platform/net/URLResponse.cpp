#include "platform/net/URLResponse.h"

#include <cctype>

#include "platform/foundation/Strings.h"

namespace quorvane::platform {

namespace {
std::string trimSpaces(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}
}  // namespace

void parseContentType(std::string_view value, std::optional<std::string>& mimeType,
                      std::optional<std::string>& charset) {
    mimeType.reset();
    charset.reset();
    auto parts = split(value, ";");
    if (parts.empty()) return;
    std::string type = asciiLower(trimSpaces(parts[0]));
    if (!type.empty()) mimeType = type;
    for (size_t i = 1; i < parts.size(); ++i) {
        std::string p = trimSpaces(parts[i]);
        size_t eq = p.find('=');
        if (eq == std::string::npos) continue;
        if (!asciiEqualsIgnoringCase(trimSpaces(std::string_view(p).substr(0, eq)), "charset")) continue;
        std::string v = trimSpaces(std::string_view(p).substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (!v.empty()) charset = v;
    }
}

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::optional<std::string> HTTPVersion,
                                 std::vector<HTTPHeaders::Field> headerLines)
    : URLResponse(std::move(url), std::nullopt, kURLResponseUnknownLength, std::nullopt),
      statusCode_(statusCode),
      httpVersion_(std::move(HTTPVersion)) {
    for (const auto& [name, value] : headerLines)
        if (asciiEqualsIgnoringCase(name, "Set-Cookie")) setCookieLines_.push_back(value);
    headers_ = HTTPHeaders(std::move(headerLines));
    readEntityHeaders();
}

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::optional<std::string> HTTPVersion,
                                 const HTTPHeaders& headerFields)
    : URLResponse(std::move(url), std::nullopt, kURLResponseUnknownLength, std::nullopt),
      statusCode_(statusCode),
      httpVersion_(std::move(HTTPVersion)),
      headers_(headerFields) {
    if (auto c = headers_.valueForHTTPHeaderField("Set-Cookie")) setCookieLines_.push_back(*c);
    readEntityHeaders();
}

void HTTPURLResponse::readEntityHeaders() {
    if (auto ct = headers_.valueForHTTPHeaderField("Content-Type")) parseContentType(*ct, mimeType_, textEncodingName_);
    // A length announced for an encoded body does not count the decoded bytes the caller sees.
    auto encoding = headers_.valueForHTTPHeaderField("Content-Encoding");
    bool encoded = encoding && !encoding->empty() && !asciiEqualsIgnoringCase(*encoding, "identity");
    auto length = headers_.valueForHTTPHeaderField("Content-Length");
    if (length && !encoded && !length->empty() && length->size() < 19) {
        int64_t n = 0;
        bool ok = true;
        for (char c : *length) {
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                ok = false;
                break;
            }
            n = n * 10 + (c - '0');
        }
        if (ok) expectedContentLength_ = n;
    }
}

}  // namespace quorvane::platform
