#pragma once
// One HTTP request of a task on the network thread (a "hop": a task makes one per redirect
// followed, authentication retry or accepted server trust). Internal to the URL session.
//
// A transfer runs its curl easy handle. The body of a final response streams at once to the
// delegate queue (where the task holds it until the delegate has allowed the response) or into
// the download file; the body of a redirect or a 401 is kept here until the task has decided
// whether it is the final response after all. Everything here runs on the network thread
// unless marked otherwise.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/InputStream.h"
#include "platform/net/ServerTrust.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSessionConfiguration.h"

typedef void CURL;
struct curl_slist;

namespace quorvane::platform {

class URLSession;
class URLSessionTask;

class URLSessionTransfer : public std::enable_shared_from_this<URLSessionTransfer> {
public:
    enum class BodyKind { None, Data, File, Stream };

    struct Setup {
        URL url = *URL::URLWithString("http://localhost/");
        std::string method = "GET";
        HTTPHeaders headers;
        BodyKind bodyKind = BodyKind::None;
        std::shared_ptr<const Bytes> bodyData;
        std::filesystem::path bodyFile;
        std::shared_ptr<InputStream> bodyStream;
        double idleTimeout = 60;       // seconds; 0 or less: none
        double resourceDeadline = 0;   // steady seconds; 0: none
        int64_t floorBytes = 0;        // the response's least pace: bytes per floorInterval; 0: none
        double floorInterval = 0;
        bool download = false;
        // A download continuing a partial file.
        std::optional<std::filesystem::path> resumePath;
        int64_t resumeOffset = 0;
        std::string resumeValidator;
        std::optional<std::string> pinnedKey;  // an accepted server trust: verify by this key only
        TLSProtocolVersion tlsMinimum = TLSProtocolVersion::TLSv12;
        int maxPerHost = 6;
        bool finishesInFlight = false;  // URLRequest::finishesInFlight
    };

    URLSessionTransfer(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session, Setup setup);
    ~URLSessionTransfer();

    // Joins the session's per-host line, or starts at once.
    void start();
    // The task accepted the response as final: the body may flow.
    void allow();
    // Drops the transfer: no further events reach the task. Removes the download file unless kept.
    void abandon(bool keepDownloadFile = false);
    // For a download being cancelled: resume data when the body can be continued later (the
    // partial file is kept), else nullopt (and the file removed). Abandons the transfer.
    std::optional<Bytes> takeResumeData();

    // Called by the network thread's loop.
    void curlDone(int curlCode);
    double deadline() const;
    void checkDeadline(double now);
    // Ends the transfer at once with kURLErrorCancelled, as if its task had been cancelled.
    void cancelInFlight();

    // Any thread (hold a shared_ptr).
    const Setup& setup() const { return setup_; }
    std::shared_ptr<const ServerTrust> serverTrust() const;
    Error trustError() const;
    // Network thread: the finished download's file, now the caller's to remove.
    std::filesystem::path takeDownloadFile();

    struct TrustCapture {
        std::mutex mutex;
        std::vector<Bytes> chain;
        std::string failure;
    };
    static double steadyNow();

private:
    friend struct TransferCallbacks;
    enum class Phase { NoResponse, Deciding, Allowed };

    void begin();
    void removeEasy();
    void releaseSlot();
    void finish();
    void touch() { lastActivity_ = steadyNow(); }
    int64_t bytesOnTheWire() const;
    void restartFloorWindow();
    void endNow(Error error);
    void pauseMaskChanged();
    void resumeReceiving();
    void bodyReady();
    bool openDownloadFile();
    void closeDownloadFile(bool remove);
    std::shared_ptr<URLSessionTransfer> self() { return shared_from_this(); }

    // curl callbacks.
    size_t onHeader(const char* data, size_t length);
    size_t onData(const char* data, size_t length);
    size_t onRead(char* buffer, size_t length);
    int onSeek(int64_t offset, int origin);
    int onRequestGoing();
    // After a failure: the handshake ended because the connection did (not for a certificate);
    // the connection that could not be made was not to the server (so to its proxy).
    bool handshakeLostConnection(const std::string& detail) const;
    bool connectedElsewhere(const std::string& detail) const;
    void headersComplete();
    void deliverData(const uint8_t* data, size_t length);
    void reportSent(size_t n);
    void reportWritten(size_t n);

    std::shared_ptr<URLSessionTask> task_;
    std::shared_ptr<URLSession> session_;
    Setup setup_;
    std::string hostKey_;

    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    char errorBuffer_[256] = {};
    bool queued_ = false, holdsSlot_ = false, curlFinished_ = false, abandoned_ = false, reported_ = false;
    int curlCode_ = 0;
    long osErrno_ = 0;
    long proxyStatus_ = 0;  // the proxy's answer to CONNECT, when one was asked
    long proxyVerify_ = 0;  // the verify result of an https proxy's certificate (0: fine or none)
    size_t headerBytes_ = 0;
    bool headersTooLarge_ = false;
    // A request that may change something at the server goes out once: curl's own second send
    // (on a new connection, when a reused one died before any byte of the answer) is refused.
    bool requestWent_ = false, resendRefused_ = false;

    // Response.
    Phase phase_ = Phase::NoResponse;
    int statusCode_ = 0;
    std::string httpVersion_;
    std::vector<HTTPHeaders::Field> headerLines_;
    std::shared_ptr<const HTTPURLResponse> response_;
    Bytes pending_;  // body received while the task decides

    // Flow control.
    bool pausedRecv_ = false, pausedSend_ = false;
    double lastActivity_ = 0;
    double floorWindowStart_ = 0;   // 0: the response has not begun
    int64_t floorWindowBytes_ = 0;  // bytesOnTheWire() when the window began
    struct DataMailbox;
    struct ProgressMailbox;
    std::shared_ptr<DataMailbox> data_;
    std::shared_ptr<ProgressMailbox> sent_, written_;

    // Request body.
    int64_t bodyLength_ = -1;
    int64_t bodyOffset_ = 0;
    int bodyFd_ = -1;
    struct BodyPump;
    std::shared_ptr<BodyPump> pump_;
    std::optional<Error> bodyError_;

    // Download.
    int downloadFd_ = -1;
    std::filesystem::path downloadPath_;
    int64_t downloadStart_ = 0, downloadWritten_ = 0;
    std::optional<Error> writeError_;

    std::shared_ptr<TrustCapture> trust_ = std::make_shared<TrustCapture>();
};

}  // namespace quorvane::platform
