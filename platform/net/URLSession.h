#pragma once
// URL sessions: HTTP(S) and data: loading over libcurl.
//
// All transfers of the process run on one network thread (libcurl's multi interface). That
// thread never runs caller code and never waits for a delegate: it queues what the delegate is
// to hear and carries on. Delegate calls run on the session's delegate queue (a serial
// operation queue unless the caller gives another), in order.
//
// curl's own redirect handling, cookie engine and authentication are off. Every redirect goes
// through the delegate (303, and 301/302 after a POST, become GET); the configuration's cookie
// storage is consulted before each request and fed after each response, redirects included;
// Basic and Digest challenges and certificates that do not verify go to the delegate as
// challenges. Bodies encoded with gzip or deflate are decoded.
//
// A session keeps its delegate (strongly) until it has become invalid; it keeps each task until
// the task completes. Tasks are made suspended and start with resume().

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/URLSessionConfiguration.h"
#include "platform/net/URLSessionDelegate.h"
#include "platform/net/URLSessionTask.h"
#include "platform/runloop/OperationQueue.h"

namespace quorvane::platform {

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    // delegateQueue nullptr: the session makes a serial queue of its own.
    static std::shared_ptr<URLSession> sessionWithConfiguration(const URLSessionConfiguration& configuration,
                                                                std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                                                std::shared_ptr<OperationQueue> delegateQueue = nullptr);
    ~URLSession();

    // A copy of the configuration the session was made with.
    URLSessionConfiguration configuration() const { return configuration_; }
    // nullptr once the session has become invalid.
    std::shared_ptr<URLSessionDelegate> delegate() const;
    const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }
    std::optional<std::string> sessionDescription() const;
    void setSessionDescription(std::optional<std::string> d);

    // Each returns a suspended task, or nullptr once the session is invalidated.
    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDataTask> dataTaskWithURL(const URL& url);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, Bytes bodyData);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request,
                                                                std::shared_ptr<const Bytes> bodyData);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const URL& fileURL);
    // The body comes from the delegate's needNewBodyStream (or the request's own body stream).
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const Bytes& resumeData);

    // No new tasks; running ones finish, then the delegate hears didBecomeInvalidWithError.
    void finishTasksAndInvalidate();
    // No new tasks; every task is cancelled, then the delegate hears didBecomeInvalidWithError.
    void invalidateAndCancel();

    // On the delegate queue: the tasks that have not completed, by kind.
    void getTasksWithCompletionHandler(
        std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                           std::vector<std::shared_ptr<URLSessionUploadTask>>,
                           std::vector<std::shared_ptr<URLSessionDownloadTask>>)>
            completionHandler);
    void getAllTasksWithCompletionHandler(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completionHandler);

private:
    friend class URLSessionTask;
    friend class URLSessionDownloadTask;
    friend class URLSessionTransfer;

    URLSession(const URLSessionConfiguration& configuration, std::shared_ptr<URLSessionDelegate> delegate,
               std::shared_ptr<OperationQueue> delegateQueue);
    template <class T>
    std::shared_ptr<T> addTask(std::shared_ptr<T> task);
    uint64_t nextIdentifier();
    bool isInvalidated() const;

    // Runs the block on the delegate queue after every block enqueued before it.
    void enqueue(std::function<void()> block);
    void drainDeliveries();
    void startDraining();
    void taskDidComplete(const std::shared_ptr<URLSessionTask>& task);
    void becomeInvalidIfDone();

    const URLSessionConfiguration configuration_;
    const std::shared_ptr<OperationQueue> delegateQueue_;

    mutable std::mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::optional<std::string> description_;
    std::map<uint64_t, std::shared_ptr<URLSessionTask>> tasks_;
    uint64_t lastIdentifier_ = 0;
    bool invalidated_ = false;
    bool invalidNotified_ = false;

    std::mutex deliveryMutex_;
    std::deque<std::function<void()>> deliveries_;
    bool draining_ = false;
    bool startPending_ = false;  // the network thread starts the draining at the end of its pass

    // Network thread only: the session's own connection cache (a curl share handle), closed
    // once the session is invalid and idle, or gone.
    void* shareHandle();
    void closeConnections();
    void* share_ = nullptr;
    // Network thread only: transfers running and waiting per host, for the per-host limit.
    std::map<std::string, int> runningPerHost_;
    std::map<std::string, std::deque<std::shared_ptr<URLSessionTransfer>>> waitingPerHost_;
};

}  // namespace quorvane::platform
