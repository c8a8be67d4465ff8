#pragma once
// What the command says when something fails. Every failure it knows is one row of one table:
// how to recognise the error (domain and code, and a closer look where the code alone is not
// enough), a sentence a person understands, what to do next, and the exit code. The raw error
// (domain, code and its own description) shows only with -v. A failure that is not in the table
// says its own description and exits 6.
//
// Failures of the command's own (not signed in, a refused plan, ...) are errors of
// kCommandErrorDomain, so that they go through the same table.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"

namespace quorvane::app {

inline constexpr const char* kCommandErrorDomain = "com.quorvane.command";
enum CommandError : int64_t {
    kCommandErrorNotSignedIn = 1,
    kCommandErrorRunInProgress = 2,
    kCommandErrorPlanNotConfirmed = 3,     // deletions planned, no --yes
    kCommandErrorTooManyDeletions = 4,     // more than --max-delete
    kCommandErrorRecordsFailed = 5,        // some records of a run failed
    kCommandErrorRunRefused = 6,           // the run refused to start or to write, for safety
    kCommandErrorRunFailed = 7,            // the run ended for a reason it gave in words only
    kCommandErrorBadArguments = 8,         // options, profile names or setting values the command refuses
    kCommandErrorProviderUnavailable = 9,  // the profile's provider cannot be read or applied
    kCommandErrorProviderSilent = 10,      // the provider did nothing for the whole provider wait
    kCommandErrorLocalStoreBusy = 11,      // another profile's run kept the local contacts for the whole lock wait
};

// An error of the command's own with the sentence it shows.
inline platform::Error commandError(CommandError code, const std::string& why) {
    return platform::Error::withDescription(kCommandErrorDomain, code, why);
}

struct KnownFailure {
    const char* domain;
    int64_t low, high;                        // the codes it covers
    bool (*matches)(const platform::Error&);  // nullptr: every error of those codes
    int exitCode;
    const char* sentence;  // what happened; nullptr: the error's own description says it
    const char* next;      // what to do about it ("" when nothing can be done)
    bool withReason = false;  // the provider's reason, from its answer, follows the sentence
    bool withDescription = false;  // the error's own description follows the sentence
};

// The table, first match wins.
const std::vector<KnownFailure>& knownFailures();

struct FailureText {
    int exitCode;
    std::string sentence;
    std::string next;
    const KnownFailure* row;  // nullptr for an error the table does not know
};
// The row for the error (or, when it has none, for the error it wraps). An error the table does
// not know says its own description, with the exit code of `unknownAs`'s row when given (what
// the command knows the failure to be), else 6.
FailureText describeFailure(const platform::Error& error, std::optional<CommandError> unknownAs = std::nullopt);
// "domain code: description" (and the wrapped error's), for -v.
std::string rawError(const platform::Error& error);
// Whether the provider itself refused the sign-in (the error or one it wraps): only then is the
// sign-in of no use any more and forgotten.
bool providerRefusedSignIn(const platform::Error& error);
// Set on a failure of `signin`: the provider's refusal of the sign-in itself is an authorization
// refused (exit 3), not a request turned down.
inline constexpr const char* kFailedSigningInKey = "failedSigningIn";
// Said instead of "signed out" when the refused sign-in was already replaced by a newer one.
inline constexpr const char* kNewerSignInKept =
    "Another quorvane command has stored a newer sign-in meanwhile: it is kept.";

}  // namespace quorvane::app
