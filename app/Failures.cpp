#include "app/Failures.h"

#include <optional>

#include "app/Console.h"
#include "fetcher/QNSessionFetcher.h"
#include "gdata/service/GDataFeedBounds.h"
#include "gdata/GDataXMLNode.h"
#include "gdata/service/GDataServiceBase.h"
#include "platform/foundation/PrintableText.h"
#include "platform/foundation/Secrets.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"
#include "oauth2/QNOAuth2SignIn.h"
#include "sync/GoogleBatchWriter.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::app {

namespace {

using platform::Error;

constexpr const char* kHTTP = QNSessionFetcherStatusDomain;
constexpr const char* kURL = platform::kURLErrorDomain;
constexpr const char* kOAuth2 = kQNOAuth2ErrorDomain;
constexpr const char* kModel = kQuorvaneModelErrorDomain;
constexpr const char* kCommand = kCommandErrorDomain;

constexpr const char* kSignInAgain = "Sign in again with: quorvane signin";
constexpr const char* kCheckAddress = "Check the provider address (quorvane config get contacts-root) and the network.";
constexpr const char* kRetryLater = "Nothing was lost: try again in a few minutes.";
constexpr const char* kCheckProxy = "Check the proxy settings (https_proxy, HTTPS_PROXY, no_proxy) and the network.";
constexpr const char* kNotAContactsList =
    "Check the provider address (quorvane config get contacts-root); if it is right, the provider may be having "
    "trouble: try again later.";
// The most of the provider's own answer -v shows.
constexpr size_t kAnswerShown = 500;

bool isRefusedGrant(const Error& error) { return GoogleBatchWriter::isAuthorizationError(error); }
bool isQuota(const Error& error) { return GoogleBatchWriter::isQuotaError(error); }
// The authorizer's own failure to sign a request (it names the request), not the sign-in's.
bool isUnsignedRequest(const Error& error) { return error.userInfo.find("request") != nullptr; }
// The stored sign-in was removed by a sign-out while the command ran (not replaced by another).
bool isSignedOutMeanwhile(const Error& error) { return error.userInfo["signedOut"].asBool(); }
bool isProxyFailure(const Error& error) { return error.userInfo[platform::kURLErrorProxyFailureKey].asBool(); }
bool isProxyUnreachable(const Error& error) {
    return isProxyFailure(error) && error.userInfo[platform::kURLErrorProxyUnreachableKey].asBool();
}
bool isRequestDeadline(const Error& error) { return error.userInfo[platform::kURLErrorDeadlineKey].asBool(); }
// The provider refusing to grant a sign-in (not asking to wait).
bool isRefusedSignIn(const Error& error) {
    return error.userInfo[kFailedSigningInKey].asBool() && GoogleBatchWriter::isRefusal(error.code) && !isQuota(error);
}
// An error that brings no sentence of its own.
bool hasNoDescription(const Error& error) { return error.userInfo.find(Error::kLocalizedDescriptionKey) == nullptr; }

// What the provider said with a refusal, as far as -v shows it: the reason it gave (the summary
// of its error document) or the start of its answer as text.
std::optional<std::string> providerAnswer(const Error& error) {
    std::string text;
    if (auto summary = error.userInfo[kGDataErrorSummaryKey].stringValue()) {
        text = *summary;
    } else if (const platform::Value* data = error.userInfo.find(QNSessionFetcherStatusDataUserInfoKey);
               data && data->isBytes()) {
        const platform::Bytes& bytes = data->asBytes();
        text.assign(bytes.begin(), bytes.end());
    }
    // Blotted out before the cut, so that no part of a secret the provider echoed is left.
    text = platform::trimWhitespace(platform::redactSecrets(text));
    if (text.empty()) return std::nullopt;
    if (text.size() > kAnswerShown) {
        size_t cut = kAnswerShown;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
        text = text.substr(0, cut) + "...";
    }
    return platform::printableText(text);
}

// The error this one wraps ({domain, code, userInfo} under the underlying-error key), if any.
std::optional<Error> underlying(const Error& error) {
    const platform::Value* under = error.userInfo.find(Error::kUnderlyingErrorKey);
    if (!under || !under->isDictionary()) return std::nullopt;
    auto domain = (*under)["domain"].stringValue();
    if (!domain) return std::nullopt;
    Error out(*domain, (*under)["code"].asInt());
    if ((*under)["userInfo"].isDictionary()) out.userInfo = (*under)["userInfo"];
    return out;
}

}  // namespace

const std::vector<KnownFailure>& knownFailures() {
    static const std::vector<KnownFailure> table = {
        // The command's own.
        {kCommand, kCommandErrorNotSignedIn, kCommandErrorNotSignedIn, nullptr, 3,
         "You are not signed in to the provider.", "Sign in first with: quorvane signin"},
        {kCommand, kCommandErrorRunInProgress, kCommandErrorRunInProgress, nullptr, 5,
         "Another quorvane sync of this profile is still running, so this one did not start: nothing was written.",
         "Wait for it to end, then try again."},
        {kCommand, kCommandErrorLocalStoreBusy, kCommandErrorLocalStoreBusy, nullptr, 5,
         "A quorvane sync of another profile is still writing the local contacts, so this one did not start: "
         "nothing was written.",
         "Wait for it to end, then try again."},
        {kCommand, kCommandErrorProviderSilent, kCommandErrorProviderSilent, nullptr, 4,
         "The provider stopped answering, so the command gave up waiting.", kRetryLater},
        {kCommand, kCommandErrorPlanNotConfirmed, kCommandErrorPlanNotConfirmed, nullptr, 5,
         "The sync would delete contacts, and nobody confirmed that: nothing was written.",
         "See them with: quorvane plan; then run quorvane sync --yes to go ahead."},
        {kCommand, kCommandErrorTooManyDeletions, kCommandErrorTooManyDeletions, nullptr, 5,
         "The sync would delete more contacts than --max-delete allows: nothing was written.",
         "See them with: quorvane plan; raise --max-delete if they are meant to go."},
        {kCommand, kCommandErrorRecordsFailed, kCommandErrorRecordsFailed, nullptr, 1,
         "Some contacts could not be written; the rest of the sync was done.",
         "quorvane log --show RUN says which and why; the next sync tries them again."},
        {kCommand, kCommandErrorRunRefused, kCommandErrorRunRefused, nullptr, 5,
         "The sync refused to run, to keep your contacts safe: nothing was written.",
         "quorvane log --show RUN says why."},
        {kCommand, kCommandErrorRunFailed, kCommandErrorRunFailed, nullptr, 6, "The sync could not finish.",
         "quorvane log --show RUN says how far it got; run it again with -v for details."},

        // The provider's answers.
        {kHTTP, 400, 499, isRefusedSignIn, 3, "The provider refused the sign-in.",
         "Check the application's registration (quorvane config get client-id), then sign in again; -v shows the "
         "provider's answer."},
        {kHTTP, 400, 403, isRefusedGrant, 3, "The provider no longer accepts this sign-in.", kSignInAgain},
        {kHTTP, 403, 403, isQuota, 4, "The provider asked to wait: a quota or rate limit of the account is used up.",
         "Nothing was lost: try again later.", true},
        {kHTTP, 401, 403, nullptr, 6, "The provider turned the request down. The sign-in is kept.",
         "Run the command again with -v to see the provider's answer."},
        {kHTTP, 404, 404, nullptr, 6, "The provider has nothing at the address asked for.",
         "Check the provider address: quorvane config get contacts-root"},
        {kHTTP, 408, 408, nullptr, 4, "The provider took too long to answer.", kRetryLater},
        {kHTTP, 429, 429, nullptr, 4, "The provider is busy and asked for fewer requests.", kRetryLater, true},
        {kHTTP, 500, 599, nullptr, 4, "The provider has a problem of its own right now.", kRetryLater},
        {kHTTP, 400, 499, nullptr, 6, "The provider turned the request down.",
         "Run the command again with -v to see the provider's answer."},

        // The way to the provider, through a proxy or not.
        {kURL, platform::kURLErrorCannotFindHost, platform::kURLErrorCannotFindHost, isProxyFailure, 4,
         "The proxy's host name is not known.", kCheckProxy},
        {kURL, platform::kURLErrorCannotConnectToHost, platform::kURLErrorCannotConnectToHost, isProxyUnreachable, 4,
         "Nothing answers at the proxy's address, so nothing was sent.", kCheckProxy},
        {kURL, platform::kURLErrorCannotConnectToHost, platform::kURLErrorCannotConnectToHost, isProxyFailure, 6,
         "The proxy would not open a connection to the provider, so nothing was sent.", kCheckProxy},
        {kURL, platform::kURLErrorServerCertificateHasUnknownRoot, platform::kURLErrorSecureConnectionFailed,
         isProxyFailure, 6, "The proxy's identity could not be verified, so nothing was sent through it.", kCheckProxy},
        {kURL, platform::kURLErrorTimedOut, platform::kURLErrorTimedOut, isRequestDeadline, 4,
         "The provider's answer took longer than the 10 minutes a request may take.", kRetryLater},
        {kURL, platform::kURLErrorDataLengthExceedsMaximum, platform::kURLErrorDataLengthExceedsMaximum, nullptr, 6,
         "The provider's answer was too large to be read.", kCheckAddress},
        {kURL, platform::kURLErrorTimedOut, platform::kURLErrorTimedOut, nullptr, 4,
         "The provider did not answer in time.", "Check the network; nothing was lost, so try again later."},
        {kURL, platform::kURLErrorCannotFindHost, platform::kURLErrorCannotFindHost, nullptr, 4,
         "The provider's host name is not known.", kCheckAddress},
        {kURL, platform::kURLErrorDNSLookupFailed, platform::kURLErrorDNSLookupFailed, nullptr, 4,
         "The provider's host name is not known.", kCheckAddress},
        {kURL, platform::kURLErrorCannotConnectToHost, platform::kURLErrorCannotConnectToHost, nullptr, 4,
         "Nothing answers at the provider's address.",
         "Check that the provider is running and its address is right (quorvane config get contacts-root)."},
        {kURL, platform::kURLErrorNetworkConnectionLost, platform::kURLErrorNetworkConnectionLost, nullptr, 4,
         "The connection to the provider broke off.", kRetryLater},
        {kURL, platform::kURLErrorNotConnectedToInternet, platform::kURLErrorNotConnectedToInternet, nullptr, 4,
         "This computer is not connected to a network.", "Connect, then try again."},
        {kURL, platform::kURLErrorServerCertificateHasUnknownRoot, platform::kURLErrorSecureConnectionFailed, nullptr,
         6, "The provider's identity could not be verified, so nothing was sent to it.",
         "Check the provider address and its certificate (quorvane config get contacts-root, ca-file)."},
        {kURL, platform::kURLErrorUnsupportedURL, platform::kURLErrorUnsupportedURL, nullptr, 6,
         "The provider address is not one the command can use.", kCheckAddress},
        {kURL, platform::kURLErrorBadURL, platform::kURLErrorBadURL, nullptr, 6,
         "The provider address is not one the command can use.", kCheckAddress},

        // Signing in.
        {kOAuth2, kQNOAuth2ErrorWindowClosed, kQNOAuth2ErrorWindowClosed, nullptr, 3, "The sign-in was cancelled.",
         "Run quorvane signin again when you are ready."},
        {kOAuth2, kQNOAuth2ErrorAuthorizationFailed, kQNOAuth2ErrorAuthorizationFailed, isUnsignedRequest, 6,
         "The provider's token answer could not be used, so the request was not sent. The sign-in is kept.",
         kRetryLater},
        {kOAuth2, kQNOAuth2ErrorAuthorizationFailed, kQNOAuth2ErrorAuthorizationFailed, nullptr, 3,
         "The provider did not grant access.", "Run quorvane signin again and allow access on the provider's page."},
        {kOAuth2, kQNOAuth2ErrorUnauthorizableRequest, kQNOAuth2ErrorUnauthorizableRequest, nullptr, 6,
         "A request was not given the sign-in: it was not for the provider's own https address. The sign-in is kept.",
         kCheckAddress},
        {kOAuth2, kQNOAuth2ErrorSignInChanged, kQNOAuth2ErrorSignInChanged, isSignedOutMeanwhile, 3,
         "You were signed out by another command while this one ran, so it stopped there: nothing more was written.",
         kSignInAgain},
        {kOAuth2, kQNOAuth2ErrorSignInChanged, kQNOAuth2ErrorSignInChanged, nullptr, 3,
         "The sign-in was changed by another command while this one ran (signed out, or signed in anew), so this "
         "one stopped without it.",
         "Run the command again; if you signed out, sign in first with: quorvane signin"},
        {kOAuth2, kQNOAuth2ErrorRefreshLockBusy, kQNOAuth2ErrorRefreshLockBusy, nullptr, 5,
         "Another quorvane command of this profile held the sign-in past the wait for it (QUORVANE_LOCK_WAIT), so "
         "this one sent nothing with it.",
         "Wait for the other command to end, then try again."},
        {kOAuth2, kQNOAuth2ErrorSignInTimedOut, kQNOAuth2ErrorSignInTimedOut, nullptr, 3,
         "The sign-in was not finished in time.", "Run quorvane signin again and finish it in the browser."},
        {kOAuth2, kQNOAuth2ErrorSignInPageUnavailable, kQNOAuth2ErrorSignInPageUnavailable, nullptr, 6,
         "The sign-in page could not be offered (no listener on 127.0.0.1).",
         "Check that this computer allows programs to listen on 127.0.0.1, then try again."},

        // An answer that is not a readable contacts list: not XML at all, or refused though
        // well-formed (its own sentence says why).
        {kGDataServiceErrorDomain, kGDataServiceErrorCouldNotConstructObject, kGDataServiceErrorCouldNotConstructObject,
         hasNoDescription, 6, "The provider's answer was not a readable contacts list: it was empty or held no feed.",
         kNotAContactsList},
        {kGDataXMLErrorDomain, kGDataXMLErrorMalformed, kGDataXMLErrorMalformed, nullptr, 6,
         "The provider's answer was not a readable contacts list: it is not well-formed XML.", kNotAContactsList},
        {kGDataXMLErrorDomain, kGDataXMLErrorTooManyNodes, kGDataXMLErrorTooManyAttributes, nullptr, 6,
         "The provider's answer was not a readable contacts list.", kNotAContactsList, false, true},

        // A list that is not the signed-in account's contacts (or groups) list (its own sentence says why).
        {kGoogleFeedFetchErrorDomain, kGoogleFeedFetchErrorNotTheAccountsList, kGoogleFeedFetchErrorNotTheAccountsList,
         nullptr, 6, nullptr, kNotAContactsList},

        // A feed past the bound of a download (its own sentence names the bound).
        {kGDataServiceErrorDomain, kGDataServiceErrorFeedTooLarge, kGDataServiceErrorFeedTooLarge, nullptr, 6, nullptr,
         "Nothing was written. Check the provider address: quorvane config get contacts-root"},

        // The local side.
        {kModel, kQuorvaneModelErrorEntriesRemain, kQuorvaneModelErrorEntriesRemain, nullptr, 1,
         "Not everything could be deleted.", "Run the same delete-all again to delete the rest."},
        {kModel, kQuorvaneModelErrorNoLocalWrite, kQuorvaneModelErrorNoLocalWrite, nullptr, 6,
         "No local contact could be written.", "Check that the local contact store can be written, then sync again."},
        {kModel, kQuorvaneModelErrorNoContainer, kQuorvaneModelErrorNoContainer, nullptr, 5,
         "There is no local account to use.", "quorvane accounts lists them."},
        {kModel, kQuorvaneModelErrorHistoryUnreadable, kQuorvaneModelErrorHistoryUnreadable, nullptr, 5, nullptr, ""},
        {kModel, kQuorvaneModelErrorSignInNotSaved, kQuorvaneModelErrorSignInNotSaved, nullptr, 6,
         "The new sign-in could not be stored, so the one before is kept.",
         "Check that the profile's data folder can be written, then sign in again."},
        {kModel, kQuorvaneModelErrorHistoryNotSaved, kQuorvaneModelErrorHistoryNotSaved, nullptr, 6, nullptr,
         "Check that the profile's data folder can be written, then sync again."},
        {kModel, kQuorvaneModelErrorSettingsUnusable, kQuorvaneModelErrorSettingsUnusable, nullptr, 5, nullptr,
         "quorvane config set KEY VALUE sets a value."},
        {kModel, kQuorvaneModelErrorHistoryClearNotConfirmed, kQuorvaneModelErrorHistoryClearNotConfirmed, nullptr, 5,
         nullptr, "Run quorvane sync --yes to go ahead anyway, or set contactSourceMode (and customContainerID) back."},
    };
    return table;
}

FailureText describeFailure(const Error& error, std::optional<CommandError> unknownAs) {
    for (std::optional<Error> e = error; e; e = underlying(*e)) {
        for (const auto& row : knownFailures()) {
            if (e->domain != row.domain || e->code < row.low || e->code > row.high) continue;
            if (row.matches && !row.matches(*e)) continue;
            std::string sentence = row.sentence ? row.sentence : e->localizedDescription();
            if (row.withDescription) sentence += " " + e->localizedDescription();
            std::string reason = row.withReason ? Console::printable(GoogleBatchWriter::providerReason(*e), false) : "";
            while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
            if (!reason.empty()) sentence += " The provider said: " + reason + ".";
            return {row.exitCode, sentence, row.next, &row};
        }
    }
    std::string text = error.localizedDescription();
    if (!text.empty() && text.back() != '.') text += '.';
    const int code = unknownAs ? describeFailure(Error(kCommandErrorDomain, *unknownAs)).exitCode : 6;
    return {code, text, "Run the command again with -v for details.", nullptr};
}

bool providerRefusedSignIn(const Error& error) {
    for (std::optional<Error> e = error; e; e = underlying(*e))
        if (isRefusedGrant(*e)) return true;
    return false;
}

std::string rawError(const Error& error) {
    std::string out = error.domain + " " + std::to_string(error.code) + ": " + error.localizedDescription();
    // What the layer below said of it (a certificate's verify error, the transfer library's text).
    if (auto debug = error.userInfo["NSDebugDescription"].stringValue(); debug && !debug->empty()) out += " [" + *debug + "]";
    if (auto answer = providerAnswer(error)) out += " provider's answer: " + *answer;
    if (auto under = underlying(error)) out += " (" + rawError(*under) + ")";
    return out;
}

}  // namespace quorvane::app
