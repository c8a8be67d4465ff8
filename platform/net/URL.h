#pragma once
// URLs as the loading system and its callers see them: parsed once into their parts, kept as
// written (no normalisation beyond what relative resolution needs), compared by their text.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::platform {

class URL {
public:
    // Parses an absolute URL ("scheme:..."); nullopt for text that is not one, or that holds
    // characters a URL may not carry unescaped (space, controls, non-ASCII, "<>\"{}|\\^`").
    static std::optional<URL> URLWithString(std::string_view text);
    // Resolves a reference (absolute or relative) against a base URL (RFC 3986 section 5).
    static std::optional<URL> URLWithString(std::string_view text, const URL& base);
    // "file://" URL of an absolute path (a relative path is made absolute first).
    static URL fileURLWithPath(const std::filesystem::path& path);

    const std::string& absoluteString() const { return text_; }
    // The scheme as written.
    const std::string& scheme() const { return scheme_; }
    // The host without IPv6 brackets; nullopt when the URL has no authority part.
    const std::optional<std::string>& host() const { return host_; }
    std::optional<int> port() const { return port_; }
    // The port, or the scheme's default (80 for http, 443 for https, else 0).
    int effectivePort() const;
    // Same scheme and host (both ignoring case) and the same effective port.
    bool isSameOrigin(const URL& other) const;
    // "scheme://host:port" in lower case with the effective port: equal for URLs of one origin.
    std::string originString() const;
    const std::optional<std::string>& user() const { return user_; }
    const std::optional<std::string>& password() const { return password_; }
    // The path with percent escapes decoded; percentEncodedPath() keeps them.
    std::string path() const;
    const std::string& percentEncodedPath() const { return path_; }
    const std::optional<std::string>& query() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }
    // Everything after "scheme:".
    std::string resourceSpecifier() const;
    bool isFileURL() const;
    // The same URL with another scheme.
    URL URLByReplacingScheme(std::string_view scheme) const;
    // The URL without its fragment (what goes on the wire).
    std::string absoluteStringWithoutFragment() const;

    bool operator==(const URL& o) const { return text_ == o.text_; }
    bool operator!=(const URL& o) const { return text_ != o.text_; }

    // The five parts of a reference (internal to parsing).
    struct Parts;

private:
    URL() = default;
    static std::optional<URL> fromParts(const Parts& p);

    std::string text_;
    std::string scheme_;
    bool hasAuthority_ = false;
    std::optional<std::string> user_, password_, host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_, fragment_;
};

// Percent-decodes text; invalid escapes are kept as written.
std::string percentDecode(std::string_view text);

}  // namespace quorvane::platform
