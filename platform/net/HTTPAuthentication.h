#pragma once
// HTTP Basic and Digest authentication (RFC 7617, RFC 7616 with RFC 2617 compatibility): reading
// the server's "WWW-Authenticate" challenges and writing the "Authorization" answer.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::platform {

struct HTTPAuthChallenge {
    std::string scheme;  // "Basic" or "Digest", as the server wrote it
    std::vector<std::pair<std::string, std::string>> params;  // names in lower case, values unquoted

    std::optional<std::string> param(std::string_view name) const;
    bool isBasic() const;
    bool isDigest() const;
    // Whether this client can answer it (Basic, or Digest with MD5/SHA-256 and qop "auth" or none).
    bool isSupported() const;
};

// Every challenge of the given "WWW-Authenticate" values (one value may hold several).
std::vector<HTTPAuthChallenge> parseAuthenticateChallenges(const std::vector<std::string>& values);
// The challenge to answer: a supported Digest before Basic; nullopt when none is supported.
std::optional<HTTPAuthChallenge> preferredAuthChallenge(const std::vector<HTTPAuthChallenge>& challenges);

std::string basicAuthorization(std::string_view user, std::string_view password);
// method: the request method; uri: the request target (path and query); cnonce: a fresh
// client nonce (random when empty); nc: the nonce count.
std::string digestAuthorization(const HTTPAuthChallenge& challenge, std::string_view method, std::string_view uri,
                                std::string_view user, std::string_view password, std::string cnonce = {},
                                uint32_t nc = 1);

}  // namespace quorvane::platform
