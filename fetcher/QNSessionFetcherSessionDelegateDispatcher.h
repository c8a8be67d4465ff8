#pragma once
// The delegate of the URL session that the fetchers of one fetcher service share. It maps each
// session task to the fetcher that owns it and forwards the task's callbacks to that fetcher.
// It also keeps the shared session's idle life: once the last fetcher is gone it starts a
// discard timer on the main run loop, and when the timer fires while still idle it asks its
// service to replace it, which drops the session. An abandoned dispatcher is never used again.
//
// Callbacks arrive on the service's session delegate queue; every other call may come from any
// thread. The dispatcher's own lock guards the session, the map, the timer and the interval;
// fetchers and the service are called with it released.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/net/URLSessionDelegate.h"

namespace quorvane {

namespace platform {
class Timer;
}  // namespace platform

class QNSessionFetcher;
class QNSessionFetcherService;

// Posted on the default centre when a shared session became invalid. The object is the parent
// service (nullptr when it has gone); the user info holds the session's address under
// kQNSessionFetcherServiceSessionKey (compare with sessionNotificationValue).
inline constexpr const char* kQNSessionFetcherServiceSessionBecameInvalidNotification =
    "kQNSessionFetcherServiceSessionBecameInvalidNotification";
inline constexpr const char* kQNSessionFetcherServiceSessionKey = "kQNSessionFetcherServiceSessionKey";

class QNSessionFetcherSessionDelegateDispatcher
    : public platform::URLSessionDelegate,
      public std::enable_shared_from_this<QNSessionFetcherSessionDelegateDispatcher> {
public:
    using TaskPtr = std::shared_ptr<platform::URLSessionTask>;
    using FetcherPtr = std::shared_ptr<QNSessionFetcher>;

    // The only way to make one: the service is kept weakly; an interval of 0 or less never
    // discards the session.
    static std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher> initWithParentService(
        const std::weak_ptr<QNSessionFetcherService>& parentService, platform::TimeInterval sessionDiscardInterval);
    ~QNSessionFetcherSessionDelegateDispatcher() override;

    QNSessionFetcherSessionDelegateDispatcher(const QNSessionFetcherSessionDelegateDispatcher&) = delete;
    QNSessionFetcherSessionDelegateDispatcher& operator=(const QNSessionFetcherSessionDelegateDispatcher&) = delete;

    // "<class> <address> <session or <no session>> <map or <no tasks>>".
    std::string description() const;

    // Maps the task to the fetcher (nothing for a null fetcher) and cancels the discard timer.
    void setFetcher(const FetcherPtr& fetcher, const TaskPtr& task);
    // Unmaps every task of the fetcher; when none is left, starts the discard timer.
    void removeFetcher(const FetcherPtr& fetcher);
    FetcherPtr fetcherForTask(const TaskPtr& task) const;
    void removeTaskFromMap(const TaskPtr& task);

    // A fetcher takes the shared session: the discard timer is cancelled.
    void startSessionUsage();
    // Cancels the timer, lets the session finish its tasks and then invalidate, forgets it.
    void abandon();

    std::shared_ptr<platform::URLSession> session() const;
    void setSession(std::shared_ptr<platform::URLSession> session);
    platform::TimeInterval discardInterval() const;
    void setDiscardInterval(platform::TimeInterval interval);
    std::shared_ptr<platform::Timer> discardTimer() const;

    // The value the invalidation notification carries for a session.
    static int64_t sessionNotificationValue(const platform::URLSession* session);

    // --- URL session delegate: forwarded to the task's fetcher ---
    void didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>& session,
                                   const std::optional<platform::Error>& error) override;
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>& session, const TaskPtr& task,
                                    const std::shared_ptr<const platform::HTTPURLResponse>& response,
                                    const platform::URLRequest& newRequest, RedirectCompletion completionHandler) override;
    void didReceiveChallenge(const std::shared_ptr<platform::URLSession>& session, const TaskPtr& task,
                             const platform::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completionHandler) override;
    void needNewBodyStream(const std::shared_ptr<platform::URLSession>& session, const TaskPtr& task,
                           BodyStreamCompletion completionHandler) override;
    void didSendBodyData(const std::shared_ptr<platform::URLSession>& session, const TaskPtr& task, int64_t bytesSent,
                         int64_t totalBytesSent, int64_t totalBytesExpectedToSend) override;
    void didCompleteWithError(const std::shared_ptr<platform::URLSession>& session, const TaskPtr& task,
                              const std::optional<platform::Error>& error) override;
    void didReceiveResponse(const std::shared_ptr<platform::URLSession>& session,
                            const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
                            const std::shared_ptr<const platform::URLResponse>& response,
                            ResponseCompletion completionHandler) override;
    void didReceiveData(const std::shared_ptr<platform::URLSession>& session,
                        const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
                        const platform::Bytes& data) override;
    void didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>& session,
                                   const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask,
                                   const platform::URL& location) override;
    void didWriteData(const std::shared_ptr<platform::URLSession>& session,
                      const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didResumeAtOffset(const std::shared_ptr<platform::URLSession>& session,
                           const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask, int64_t fileOffset,
                           int64_t expectedTotalBytes) override;

private:
    QNSessionFetcherSessionDelegateDispatcher(std::weak_ptr<QNSessionFetcherService> parentService,
                                              platform::TimeInterval discardInterval);

    // Lock held.
    void startDiscardTimer();
    void destroyDiscardTimer();
    void discardTimerFired(const std::shared_ptr<platform::Timer>& timer);
    // The fetcher's delegate side, or null when no fetcher is mapped to the task.
    std::shared_ptr<platform::URLSessionDelegate> delegateForTask(const TaskPtr& task) const;

    const std::weak_ptr<QNSessionFetcherService> parentService_;

    mutable std::recursive_mutex mutex_;
    std::shared_ptr<platform::URLSession> session_;
    std::map<TaskPtr, FetcherPtr> taskToFetcherMap_;
    std::shared_ptr<platform::Timer> discardTimer_;
    platform::TimeInterval discardInterval_;
    bool abandoned_ = false;
};

}  // namespace quorvane
