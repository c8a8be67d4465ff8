#pragma once
// Errors of the URL loading system: NSURLErrorDomain codes with the failing URL and a
// description, and the mapping from curl's result codes.

#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/URL.h"

namespace quorvane::platform {

// An error of kURLErrorDomain with the platform's description of the code, the failing URL
// under Error::kURLErrorFailingURLStringKey and, when given, detail under "NSDebugDescription".
Error makeURLError(int64_t code, const std::optional<URL>& url, const std::string& detail = {});
// True on an error that was the proxy's rather than the server's: the proxy's host name not
// known, its certificate refused, or its refusal to open the tunnel to the server.
inline constexpr const char* kURLErrorProxyFailureKey = "QVProxyFailure";
// True, with the proxy failure key, when nothing answered at the proxy's address.
inline constexpr const char* kURLErrorProxyUnreachableKey = "QVProxyUnreachable";
// True on a time-out of the request's whole deadline (the resource time-out), not of a server
// that went quiet or slow.
inline constexpr const char* kURLErrorDeadlineKey = "QVRequestDeadline";
std::string URLErrorDescription(int64_t code);
// The URL error code of a curl result (a CURLcode) and the system error behind it.
int64_t URLErrorCodeForCurlResult(int curlCode, long osErrno);

}  // namespace quorvane::platform
