#pragma once
// Session tasks. A task is made suspended by its session; resume() starts it, cancel() ends
// it. Each task reports exactly one completion to the session's delegate: a cancelled task
// completes with kURLErrorCancelled (-999), once, however often cancel() is called.
// Properties may be read from any thread.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace quorvane::platform {

class URLSession;
class URLSessionTransfer;
enum class URLSessionResponseDisposition : int64_t;
class HTTPURLResponse;
struct HTTPAuthChallenge;

// User-info key of the resume data in the cancelled error of a download that can resume.
inline constexpr const char* kURLSessionDownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";
// The body stream could not be had again (no delegate answer), or failed.
inline constexpr int64_t kURLErrorRequestBodyStreamExhausted = -1021;

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    enum class State : int64_t { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
    static constexpr float kDefaultPriority = 0.5f;
    static constexpr float kLowPriority = 0.25f;
    static constexpr float kHighPriority = 0.75f;

    virtual ~URLSessionTask();

    uint64_t taskIdentifier() const { return identifier_; }
    std::optional<URLRequest> originalRequest() const;
    // The request of the hop in flight (it changes with each redirect followed).
    std::optional<URLRequest> currentRequest() const;
    // The latest response, redirect responses included; nullptr before the first.
    std::shared_ptr<const URLResponse> response() const;
    State state() const;
    std::optional<Error> error() const;

    // Body bytes handed to the connection in the current hop, and their expected total
    // (kURLSessionTransferSizeUnknown for an unsized stream).
    int64_t countOfBytesSent() const { return bytesSent_.load(); }
    int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }
    // Body bytes received (decoded), and the response's expected length.
    int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }

    std::optional<std::string> taskDescription() const;
    void setTaskDescription(std::optional<std::string> d);
    // A hint only; transfers are served in the order they start.
    float priority() const;
    void setPriority(float p);

    // Starts a suspended task; does nothing otherwise.
    void resume();
    // Ends the task with the cancelled error unless it has already completed.
    void cancel();

protected:
    enum class Kind { Data, Upload, Download };
    URLSessionTask(Kind kind, uint64_t identifier, std::shared_ptr<URLSession> session, std::optional<URLRequest> request);

private:
    friend class URLSession;
    friend class URLSessionTransfer;
    friend class URLSessionDownloadTask;

    enum class BodyKind { None, Data, File, Stream };
    enum class HopReason { Initial, Redirect, Authentication, Trust };
    struct ResumeInfo {
        std::filesystem::path path;
        int64_t offset = 0;
        std::string validator;
    };

    // Delegate-queue side.
    void startHop(URLRequest request, HopReason reason);
    void continueHop(URLRequest request, HopReason reason, HTTPHeaders cookieHeaders);
    void launchTransfer(const URLRequest& request, HTTPHeaders headers, BodyKind body,
                        std::shared_ptr<const Bytes> data, std::shared_ptr<InputStream> stream);
    void loadDataURL(const URLRequest& request);
    void handleRedirect(const std::shared_ptr<URLSessionTransfer>& transfer,
                        const std::shared_ptr<const HTTPURLResponse>& response, const URL& location);
    void handleAuthentication(const std::shared_ptr<URLSessionTransfer>& transfer,
                              const std::shared_ptr<const HTTPURLResponse>& response, const HTTPAuthChallenge& challenge);
    void handleFinalResponse(const std::shared_ptr<URLSessionTransfer>& transfer,
                             const std::shared_ptr<const URLResponse>& response, bool needsAllow);
    void dispositionAnswered(const std::shared_ptr<URLSession>& session, URLSessionResponseDisposition d);
    void finishCompletion(const std::shared_ptr<URLSession>& session, std::optional<Error> error);
    void handleTrustFailure(const std::shared_ptr<URLSessionTransfer>& transfer);
    void storeCookies(const std::shared_ptr<const HTTPURLResponse>& response);

    // Network-thread side (never calls the delegate: it queues deliveries).
    // The head of a response; the response object is made from it on the delegate queue unless
    // the transfer made it already.
    void transferDidReceiveResponse(const std::shared_ptr<URLSessionTransfer>& transfer, int status,
                                    std::string httpVersion, std::vector<HTTPHeaders::Field> headerLines,
                                    std::shared_ptr<const HTTPURLResponse> made);
    void adoptResponse(const std::shared_ptr<const URLResponse>& response);
    void transferDidFinish(const std::shared_ptr<URLSessionTransfer>& transfer, std::optional<Error> error,
                           bool trustFailure);

    // Any thread.
    // Claims the one completion; false when another path already did.
    bool claimCompletion() { return !claimed_.exchange(true); }
    void complete(std::optional<Error> error);
    // gated: held while the delegate has not answered the response (a transfer's end).
    void deliverCompletion(std::optional<Error> error, bool gated);
    // A refused redirect or an unanswered challenge: the response is the final one.
    void deliverAsFinal(const std::shared_ptr<URLSessionTransfer>& transfer,
                        const std::shared_ptr<const HTTPURLResponse>& response);
    void abandonTransfer(bool keepDownloadFile = false);
    // Runs the block (taking the session) on the delegate queue unless the task's completion
    // was delivered already. Defined in URLSessionDelivery.h.
    template <class Block>
    void deliver(Block&& block);
    // The same for body deliveries: held until the delegate allowed the response, dropped if
    // it refused it.
    template <class Block>
    void deliverBody(Block&& block);
    std::shared_ptr<URLSession> liveSession() const;
    // Makes the transfer current; false (and nothing changes) once the task is completing.
    bool setTransfer(const std::shared_ptr<URLSessionTransfer>& transfer);
    std::optional<URL> currentURL() const;

    const Kind kind_;
    const uint64_t identifier_;
    std::weak_ptr<URLSession> session_;

    BodyKind bodyKind_ = BodyKind::None;
    std::shared_ptr<const Bytes> bodyData_;
    std::filesystem::path bodyFile_;
    std::optional<ResumeInfo> resume_;
    bool invalidResumeData_ = false;

    mutable std::mutex mutex_;
    std::optional<URLRequest> originalRequest_, currentRequest_;
    std::shared_ptr<const URLResponse> response_;
    State state_ = State::Suspended;
    std::optional<Error> error_;
    std::optional<std::string> description_;
    float priority_ = kDefaultPriority;
    std::shared_ptr<URLSession> keepSession_;  // while the task runs
    std::shared_ptr<URLSessionTransfer> transfer_;
    double resourceDeadline_ = 0;  // monotonic

    std::atomic<bool> claimed_{false};
    bool completionDelivered_ = false;  // delegate queue only
    std::atomic<int64_t> bytesSent_{0}, bytesExpectedToSend_{0}, bytesReceived_{0},
        bytesExpectedToReceive_{kURLSessionTransferSizeUnknown};

    // Delegate queue only.
    int redirectCount_ = 0;
    int hopCount_ = 0;
    std::map<std::string, int> authFailures_;
    std::map<std::string, std::string> acceptedTrustPins_;  // "host:port" -> pinned key
    bool requestStreamUsed_ = false;
    bool awaitingDisposition_ = false;
    bool dispositionCancelled_ = false;
    std::vector<std::function<void(const std::shared_ptr<URLSession>&)>> heldDeliveries_;
    std::optional<std::optional<Error>> heldCompletion_;
};

class URLSessionDataTask : public URLSessionTask {
protected:
    friend class URLSession;
    using URLSessionTask::URLSessionTask;
};

class URLSessionUploadTask : public URLSessionDataTask {
protected:
    friend class URLSession;
    using URLSessionDataTask::URLSessionDataTask;
};

class URLSessionDownloadTask : public URLSessionTask {
public:
    // Cancels the task; when the server allows it to be continued (a 200 or 206 with an ETag or
    // Last-Modified, and part of the body written), the completion gets resume data for
    // URLSession::downloadTaskWithResumeData, else nullopt. The completion runs on the delegate
    // queue before the task's completion, which carries the same data under
    // kURLSessionDownloadTaskResumeData.
    void cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> completionHandler);

protected:
    friend class URLSession;
    using URLSessionTask::URLSessionTask;
};

}  // namespace quorvane::platform
