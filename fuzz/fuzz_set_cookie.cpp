// "Set-Cookie" lines received from one of a few URLs: every cookie accepted covers the host that
// set it, is never scoped to a public suffix above it, and is sent back to that URL by a cookie
// storage unless it has expired, its path is elsewhere or it is secure on plain http.

#include <libpsl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fetcher/QNSessionCookieStorage.h"
#include "fuzz/FuzzCheck.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPCookie.h"

using namespace quorvane;
using platform::HTTPCookie;

namespace {

const char* const kURLs[] = {"https://www.example.com/docs/page.html", "http://shop.example.co.uk/cart/",
                             "https://127.0.0.1:8443/a/b", "http://localhost/x/y", "https://co.uk/"};

bool covers(const std::string& domain, const std::string& host) {
    std::string bare = domain.empty() || domain[0] != '.' ? domain : domain.substr(1);
    return bare == host || platform::hasSuffix(host, "." + bare);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto url = platform::URL::URLWithString(kURLs[data[0] % std::size(kURLs)]);
    std::string host = platform::asciiLower(url->host().value_or(""));
    std::string path = url->path();
    std::vector<std::string> lines;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    for (auto& line : platform::split(rest, "\n")) lines.push_back(line);

    static const psl_ctx_t* suffixes = psl_builtin();
    QNSessionCookieStorage storage;
    auto cookies = HTTPCookie::cookiesWithSetCookieLines(lines, *url);
    for (const auto& cookie : cookies) {
        FUZZ_CHECK(!cookie->name().empty() && !cookie->path().empty(), "a cookie has a name and a path");
        FUZZ_CHECK(covers(platform::asciiLower(cookie->domain()), host), "a cookie covers the host that set it");
        std::string bare = cookie->domain()[0] == '.' ? cookie->domain().substr(1) : cookie->domain();
        FUZZ_CHECK(bare == host || !psl_is_public_suffix2(suffixes, bare.c_str(), PSL_TYPE_ANY),
                   "no cookie is scoped to a public suffix above its host");
        storage.setCookie(cookie);
    }
    auto sent = storage.cookiesForURL(*url);
    for (const auto& stored : storage.cookies()) {
        // A cookie's path covers itself and what lies below it at a slash: "/api" covers "/api"
        // and "/api/x", never "/apis".
        const std::string& cp = stored->path();
        bool pathMatches = cp == "/" || path == cp ||
                           (platform::hasPrefix(path, cp) && (cp.back() == '/' || path[cp.size()] == '/'));
        bool schemeMatches = !stored->isSecure() || url->scheme() == "https";
        if (!pathMatches || !schemeMatches || QNSessionCookieStorage::hasCookieExpired(*stored)) continue;
        bool found = false;
        if (sent)
            for (const auto& c : *sent) found = found || c == stored;
        FUZZ_CHECK(found, "a stored cookie for this URL is sent back to it");
    }
    return 0;
}
