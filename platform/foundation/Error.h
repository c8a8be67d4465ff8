#pragma once
// Errors travel as values: a domain, a code and a user-info dictionary.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace quorvane::platform {

struct Error {
    std::string domain;
    int64_t code = 0;
    Value userInfo = Value::dictionary();

    Error() = default;
    Error(std::string d, int64_t c) : domain(std::move(d)), code(c) {}
    Error(std::string d, int64_t c, Value info) : domain(std::move(d)), code(c), userInfo(std::move(info)) {}

    // An error whose user info holds the description the user sees.
    static Error withDescription(std::string domain, int64_t code, const std::string& description);

    // Common user-info keys.
    static constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
    static constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
    static constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
    static constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";

    // The description the user sees: the localized description when present,
    // otherwise "The operation couldn't be completed. (domain error code.)".
    std::string localizedDescription() const;
    std::optional<std::string> localizedFailureReason() const;

    bool operator==(const Error& o) const { return domain == o.domain && code == o.code; }
};

// URL loading error domain and codes, as the stored formats and callers know them.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
enum URLErrorCode : int64_t {
    kURLErrorUnknown = -1,
    kURLErrorCancelled = -999,
    kURLErrorBadURL = -1000,
    kURLErrorTimedOut = -1001,
    kURLErrorUnsupportedURL = -1002,
    kURLErrorCannotFindHost = -1003,
    kURLErrorCannotConnectToHost = -1004,
    kURLErrorNetworkConnectionLost = -1005,
    kURLErrorDNSLookupFailed = -1006,
    kURLErrorHTTPTooManyRedirects = -1007,
    kURLErrorResourceUnavailable = -1008,
    kURLErrorNotConnectedToInternet = -1009,
    kURLErrorBadServerResponse = -1011,
    kURLErrorUserCancelledAuthentication = -1012,
    kURLErrorUserAuthenticationRequired = -1013,
    kURLErrorZeroByteResource = -1014,
    kURLErrorCannotDecodeRawData = -1015,
    kURLErrorCannotDecodeContentData = -1016,
    kURLErrorCannotParseResponse = -1017,
    kURLErrorFileDoesNotExist = -1100,
    kURLErrorDataLengthExceedsMaximum = -1103,
    kURLErrorSecureConnectionFailed = -1200,
    kURLErrorServerCertificateHasBadDate = -1201,
    kURLErrorServerCertificateUntrusted = -1202,
    kURLErrorServerCertificateHasUnknownRoot = -1203,
    kURLErrorCannotCreateFile = -3000,
    kURLErrorCannotWriteToFile = -3003,
};

// JSON text that Value::fromJSON refuses.
inline constexpr const char* kJSONErrorDomain = "com.quorvane.JSON";
enum JSONErrorCode : int64_t { kJSONErrorMalformed = 1, kJSONErrorNestedTooDeeply = 2 };

// POSIX errors, for file operations.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
Error posixError(int err, const std::string& what = {});

}  // namespace quorvane::platform

// Every operation that can fail returns a Result (value or Error).
#include "platform/foundation/Result.h"
