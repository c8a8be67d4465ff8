#pragma once
// What a URL session tells its delegate. Every call runs on the session's delegate queue, one
// at a time and in order, never on the network thread. For one task the order is: redirects and
// challenges, the response, body progress and data, and last the completion; after the
// completion nothing more about that task arrives. didBecomeInvalidWithError comes after every
// task's completion and is the session's last call.
//
// Calls that carry a completion handler wait for it: the handler may be called later and on any
// thread, exactly once. The defaults below answer as a session without a delegate would.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/InputStream.h"
#include "platform/net/URLAuthenticationChallenge.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace quorvane::platform {

class URLSession;
class URLSessionTask;
class URLSessionDataTask;
class URLSessionDownloadTask;

enum class URLSessionResponseDisposition : int64_t {
    Cancel = 0,  // the task ends with the cancelled error
    Allow = 1,   // the body follows
};

class URLSessionDelegate {
public:
    using RedirectCompletion = std::function<void(std::optional<URLRequest>)>;
    using ChallengeCompletion = std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>;
    using BodyStreamCompletion = std::function<void(std::shared_ptr<InputStream>)>;
    using ResponseCompletion = std::function<void(URLSessionResponseDisposition)>;

    virtual ~URLSessionDelegate() = default;

    // --- session ---
    // The session is invalid: no task remains and no call follows. error is set only when the
    // session ended for a reason other than finishTasksAndInvalidate/invalidateAndCancel.
    virtual void didBecomeInvalidWithError(const std::shared_ptr<URLSession>& session, const std::optional<Error>& error) {}

    // --- task ---
    // A 3xx with a Location. Answer the request to follow (the proposed one or another), or
    // nullopt to stop here: the 3xx then becomes the task's response and its body the data.
    virtual void willPerformHTTPRedirection(const std::shared_ptr<URLSession>& session,
                                            const std::shared_ptr<URLSessionTask>& task,
                                            const std::shared_ptr<const HTTPURLResponse>& response,
                                            const URLRequest& newRequest, RedirectCompletion completionHandler) {
        completionHandler(newRequest);
    }
    // HTTP Basic/Digest (a 401) or server trust (a certificate that did not verify).
    virtual void didReceiveChallenge(const std::shared_ptr<URLSession>& session,
                                     const std::shared_ptr<URLSessionTask>& task,
                                     const URLAuthenticationChallenge& challenge, ChallengeCompletion completionHandler) {
        completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }
    // A fresh stream of the body, for a streamed upload and whenever a body must be sent again
    // (a 307/308 redirect, an authentication retry). nullptr fails the task.
    virtual void needNewBodyStream(const std::shared_ptr<URLSession>& session,
                                   const std::shared_ptr<URLSessionTask>& task, BodyStreamCompletion completionHandler) {
        completionHandler(nullptr);
    }
    // totalBytesExpectedToSend is kURLSessionTransferSizeUnknown for an unsized stream.
    virtual void didSendBodyData(const std::shared_ptr<URLSession>& session, const std::shared_ptr<URLSessionTask>& task,
                                 int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {}
    // The task's last call; error is nullopt on success (whatever the HTTP status).
    virtual void didCompleteWithError(const std::shared_ptr<URLSession>& session,
                                      const std::shared_ptr<URLSessionTask>& task, const std::optional<Error>& error) {}

    // --- data and upload tasks ---
    virtual void didReceiveResponse(const std::shared_ptr<URLSession>& session,
                                    const std::shared_ptr<URLSessionDataTask>& dataTask,
                                    const std::shared_ptr<const URLResponse>& response, ResponseCompletion completionHandler) {
        completionHandler(URLSessionResponseDisposition::Allow);
    }
    virtual void didReceiveData(const std::shared_ptr<URLSession>& session,
                                const std::shared_ptr<URLSessionDataTask>& dataTask, const Bytes& data) {}

    // --- download tasks ---
    // The body is in a temporary file, removed when this call returns: move or read it here.
    virtual void didFinishDownloadingToURL(const std::shared_ptr<URLSession>& session,
                                           const std::shared_ptr<URLSessionDownloadTask>& downloadTask,
                                           const URL& location) {}
    virtual void didWriteData(const std::shared_ptr<URLSession>& session,
                              const std::shared_ptr<URLSessionDownloadTask>& downloadTask, int64_t bytesWritten,
                              int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {}
    // A download made from resume data continues at fileOffset (0 when the server sent it whole).
    virtual void didResumeAtOffset(const std::shared_ptr<URLSession>& session,
                                   const std::shared_ptr<URLSessionDownloadTask>& downloadTask, int64_t fileOffset,
                                   int64_t expectedTotalBytes) {}
};

}  // namespace quorvane::platform
