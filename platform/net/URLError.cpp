#include "platform/net/URLError.h"

#include <curl/curl.h>

#include <cerrno>

#include "platform/net/URLSessionTask.h"

namespace quorvane::platform {

std::string URLErrorDescription(int64_t code) {
    switch (code) {
        case kURLErrorCancelled: return "cancelled";
        case kURLErrorBadURL: return "bad URL";
        case kURLErrorTimedOut: return "The request timed out.";
        case kURLErrorUnsupportedURL: return "unsupported URL";
        case kURLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
        case kURLErrorCannotConnectToHost: return "Could not connect to the server.";
        case kURLErrorNetworkConnectionLost: return "The network connection was lost.";
        case kURLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
        case kURLErrorNotConnectedToInternet: return "The Internet connection appears to be offline.";
        case kURLErrorBadServerResponse: return "The server returned a bad response.";
        case kURLErrorCannotDecodeRawData: return "cannot decode raw data";
        case kURLErrorCannotDecodeContentData: return "cannot decode content data";
        case kURLErrorRequestBodyStreamExhausted: return "request body stream exhausted";
        case kURLErrorSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case kURLErrorServerCertificateUntrusted:
            return "The certificate for this server is invalid. You might be connecting to a server that is "
                   "pretending to be the server, which could put your confidential information at risk.";
        case kURLErrorCannotCreateFile: return "cannot create file";
        case kURLErrorCannotWriteToFile: return "cannot write to file";
        default: return "unknown error";
    }
}

Error makeURLError(int64_t code, const std::optional<URL>& url, const std::string& detail) {
    Value info = Value::dictionary();
    info.set(Error::kLocalizedDescriptionKey, URLErrorDescription(code));
    if (url) info.set(Error::kURLErrorFailingURLStringKey, url->absoluteString());
    if (!detail.empty()) info.set("NSDebugDescription", detail);
    return Error(kURLErrorDomain, code, std::move(info));
}

int64_t URLErrorCodeForCurlResult(int curlCode, long osErrno) {
    switch (CURLcode(curlCode)) {
        case CURLE_OK: return 0;
        case CURLE_UNSUPPORTED_PROTOCOL: return kURLErrorUnsupportedURL;
        case CURLE_URL_MALFORMAT: return kURLErrorBadURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return kURLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            if (osErrno == ENETUNREACH || osErrno == ENETDOWN) return kURLErrorNotConnectedToInternet;
            return kURLErrorCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT: return kURLErrorTimedOut;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_FAIL_REWIND:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return kURLErrorNetworkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY: return kURLErrorBadServerResponse;
        case CURLE_BAD_CONTENT_ENCODING: return kURLErrorCannotDecodeContentData;
        case CURLE_PEER_FAILED_VERIFICATION: return kURLErrorServerCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED: return kURLErrorSecureConnectionFailed;
        case CURLE_WRITE_ERROR: return kURLErrorCannotWriteToFile;
        case CURLE_ABORTED_BY_CALLBACK: return kURLErrorCancelled;
        default: return kURLErrorUnknown;
    }
}

}  // namespace quorvane::platform
