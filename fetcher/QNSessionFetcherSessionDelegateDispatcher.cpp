#include "fetcher/QNSessionFetcherSessionDelegateDispatcher.h"
#include "platform/foundation/Strings.h"

#include <cstdio>
#include <vector>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherService.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "platform/net/URLSessionTask.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using namespace platform;

namespace {

}  // namespace

std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher> QNSessionFetcherSessionDelegateDispatcher::initWithParentService(
    const std::weak_ptr<QNSessionFetcherService>& parentService, TimeInterval sessionDiscardInterval) {
    return std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher>(
        new QNSessionFetcherSessionDelegateDispatcher(parentService, sessionDiscardInterval));
}

QNSessionFetcherSessionDelegateDispatcher::QNSessionFetcherSessionDelegateDispatcher(
    std::weak_ptr<QNSessionFetcherService> parentService, TimeInterval discardInterval)
    : parentService_(std::move(parentService)), discardInterval_(discardInterval) {}

QNSessionFetcherSessionDelegateDispatcher::~QNSessionFetcherSessionDelegateDispatcher() {
    // A timer left on the run loop would only find this object gone; stop it now.
    if (discardTimer_) discardTimer_->invalidate();
}

std::string QNSessionFetcherSessionDelegateDispatcher::description() const {
    std::lock_guard lock(mutex_);
    std::string text = "QNSessionFetcherSessionDelegateDispatcher " + platform::addressText(this) + " ";
    if (session_) {
        text += "<URLSession " + platform::addressText(session_.get()) + ">";
    } else {
        text += "<no session>";
    }
    text += " ";
    if (taskToFetcherMap_.empty()) {
        text += "<no tasks>";
    } else {
        text += "{";
        bool first = true;
        for (const auto& [task, fetcher] : taskToFetcherMap_) {
            if (!first) text += ", ";
            first = false;
            text += "<task " + std::to_string(task->taskIdentifier()) + "> = <QNSessionFetcher " +
                    platform::addressText(fetcher.get()) + ">";
        }
        text += "}";
    }
    return text;
}

void QNSessionFetcherSessionDelegateDispatcher::setFetcher(const FetcherPtr& fetcher, const TaskPtr& task) {
    if (!fetcher || !task) return;
    std::lock_guard lock(mutex_);
    taskToFetcherMap_[task] = fetcher;
    destroyDiscardTimer();
}

void QNSessionFetcherSessionDelegateDispatcher::removeFetcher(const FetcherPtr& fetcher) {
    std::lock_guard lock(mutex_);
    for (auto it = taskToFetcherMap_.begin(); it != taskToFetcherMap_.end();) {
        if (it->second == fetcher) {
            it = taskToFetcherMap_.erase(it);
        } else {
            ++it;
        }
    }
    if (taskToFetcherMap_.empty()) startDiscardTimer();
}

QNSessionFetcherSessionDelegateDispatcher::FetcherPtr QNSessionFetcherSessionDelegateDispatcher::fetcherForTask(
    const TaskPtr& task) const {
    std::lock_guard lock(mutex_);
    auto it = taskToFetcherMap_.find(task);
    return it == taskToFetcherMap_.end() ? nullptr : it->second;
}

void QNSessionFetcherSessionDelegateDispatcher::removeTaskFromMap(const TaskPtr& task) {
    std::lock_guard lock(mutex_);
    taskToFetcherMap_.erase(task);
}

void QNSessionFetcherSessionDelegateDispatcher::startSessionUsage() {
    std::lock_guard lock(mutex_);
    destroyDiscardTimer();
}

void QNSessionFetcherSessionDelegateDispatcher::abandon() {
    std::shared_ptr<URLSession> session;
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        destroyDiscardTimer();
        session = std::move(session_);
        session_.reset();
    }
    // Running tasks finish; the session then tells this dispatcher it became invalid.
    if (session) session->finishTasksAndInvalidate();
}

std::shared_ptr<URLSession> QNSessionFetcherSessionDelegateDispatcher::session() const {
    std::lock_guard lock(mutex_);
    return session_;
}

void QNSessionFetcherSessionDelegateDispatcher::setSession(std::shared_ptr<URLSession> session) {
    std::lock_guard lock(mutex_);
    session_ = std::move(session);
}

TimeInterval QNSessionFetcherSessionDelegateDispatcher::discardInterval() const {
    std::lock_guard lock(mutex_);
    return discardInterval_;
}

void QNSessionFetcherSessionDelegateDispatcher::setDiscardInterval(TimeInterval interval) {
    std::lock_guard lock(mutex_);
    discardInterval_ = interval;
}

std::shared_ptr<Timer> QNSessionFetcherSessionDelegateDispatcher::discardTimer() const {
    std::lock_guard lock(mutex_);
    return discardTimer_;
}

int64_t QNSessionFetcherSessionDelegateDispatcher::sessionNotificationValue(const URLSession* session) {
    return int64_t(reinterpret_cast<intptr_t>(session));
}

void QNSessionFetcherSessionDelegateDispatcher::startDiscardTimer() {
    destroyDiscardTimer();
    // An abandoned dispatcher is never asked for its session again: nothing to discard.
    if (abandoned_ || discardInterval_ <= 0) return;
    std::weak_ptr<QNSessionFetcherSessionDelegateDispatcher> weakSelf = weak_from_this();
    auto timer = Timer::make(discardInterval_, false, [weakSelf](Timer& fired) {
        if (auto self = weakSelf.lock()) self->discardTimerFired(fired.shared_from_this());
    });
    timer->setTolerance(discardInterval_ / 10.0);
    discardTimer_ = timer;
    RunLoop::main()->addTimer(timer);
}

void QNSessionFetcherSessionDelegateDispatcher::destroyDiscardTimer() {
    if (discardTimer_) {
        discardTimer_->invalidate();
        discardTimer_.reset();
    }
}

void QNSessionFetcherSessionDelegateDispatcher::discardTimerFired(const std::shared_ptr<Timer>& timer) {
    std::shared_ptr<QNSessionFetcherService> service;
    {
        std::lock_guard lock(mutex_);
        if (taskToFetcherMap_.empty()) service = parentService_.lock();
    }
    // The service replaces this dispatcher only while the timer is still its current one.
    if (service) service->resetSessionForDispatcherDiscardTimer(timer);
}

std::shared_ptr<URLSessionDelegate> QNSessionFetcherSessionDelegateDispatcher::delegateForTask(const TaskPtr& task) const {
    std::lock_guard lock(mutex_);
    auto it = taskToFetcherMap_.find(task);
    if (it == taskToFetcherMap_.end()) return nullptr;
    return it->second;
}

// --- URL session delegate ---
//
// A task of the shared session is mapped before it is resumed and stays mapped until it
// completes or its fetcher stops, so a callback without a fetcher belongs to a stopped fetch.
// Callbacks that wait for an answer get the one that ends such a task soon (no redirect, no
// credential, no body, cancel) instead of leaving the task waiting forever.

void QNSessionFetcherSessionDelegateDispatcher::willPerformHTTPRedirection(
    const std::shared_ptr<URLSession>& session, const TaskPtr& task, const std::shared_ptr<const HTTPURLResponse>& response,
    const URLRequest& newRequest, RedirectCompletion completionHandler) {
    if (auto fetcher = delegateForTask(task)) {
        fetcher->willPerformHTTPRedirection(session, task, response, newRequest, std::move(completionHandler));
    } else {
        completionHandler(std::nullopt);
    }
}

void QNSessionFetcherSessionDelegateDispatcher::didReceiveChallenge(const std::shared_ptr<URLSession>& session,
                                                                    const TaskPtr& task,
                                                                    const URLAuthenticationChallenge& challenge,
                                                                    ChallengeCompletion completionHandler) {
    if (auto fetcher = delegateForTask(task)) {
        fetcher->didReceiveChallenge(session, task, challenge, std::move(completionHandler));
    } else {
        completionHandler(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
    }
}

void QNSessionFetcherSessionDelegateDispatcher::needNewBodyStream(const std::shared_ptr<URLSession>& session,
                                                                  const TaskPtr& task,
                                                                  BodyStreamCompletion completionHandler) {
    if (auto fetcher = delegateForTask(task)) {
        fetcher->needNewBodyStream(session, task, std::move(completionHandler));
    } else {
        completionHandler(nullptr);
    }
}

void QNSessionFetcherSessionDelegateDispatcher::didSendBodyData(const std::shared_ptr<URLSession>& session,
                                                                const TaskPtr& task, int64_t bytesSent,
                                                                int64_t totalBytesSent,
                                                                int64_t totalBytesExpectedToSend) {
    if (auto fetcher = delegateForTask(task))
        fetcher->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
}

void QNSessionFetcherSessionDelegateDispatcher::didCompleteWithError(const std::shared_ptr<URLSession>& session,
                                                                     const TaskPtr& task,
                                                                     const std::optional<Error>& error) {
    std::shared_ptr<URLSessionDelegate> fetcher;
    {
        std::lock_guard lock(mutex_);
        auto it = taskToFetcherMap_.find(task);
        if (it != taskToFetcherMap_.end()) {
            fetcher = it->second;
            taskToFetcherMap_.erase(it);
        }
    }
    if (fetcher) fetcher->didCompleteWithError(session, task, error);
}

void QNSessionFetcherSessionDelegateDispatcher::didReceiveResponse(const std::shared_ptr<URLSession>& session,
                                                                   const std::shared_ptr<URLSessionDataTask>& dataTask,
                                                                   const std::shared_ptr<const URLResponse>& response,
                                                                   ResponseCompletion completionHandler) {
    if (auto fetcher = delegateForTask(dataTask)) {
        fetcher->didReceiveResponse(session, dataTask, response, std::move(completionHandler));
    } else {
        completionHandler(URLSessionResponseDisposition::Cancel);
    }
}

void QNSessionFetcherSessionDelegateDispatcher::didReceiveData(const std::shared_ptr<URLSession>& session,
                                                               const std::shared_ptr<URLSessionDataTask>& dataTask,
                                                               const Bytes& data) {
    if (auto fetcher = delegateForTask(dataTask)) fetcher->didReceiveData(session, dataTask, data);
}

void QNSessionFetcherSessionDelegateDispatcher::didFinishDownloadingToURL(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<URLSessionDownloadTask>& downloadTask,
    const URL& location) {
    if (auto fetcher = delegateForTask(downloadTask)) fetcher->didFinishDownloadingToURL(session, downloadTask, location);
}

void QNSessionFetcherSessionDelegateDispatcher::didWriteData(const std::shared_ptr<URLSession>& session,
                                                             const std::shared_ptr<URLSessionDownloadTask>& downloadTask,
                                                             int64_t bytesWritten, int64_t totalBytesWritten,
                                                             int64_t totalBytesExpectedToWrite) {
    if (auto fetcher = delegateForTask(downloadTask))
        fetcher->didWriteData(session, downloadTask, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
}

void QNSessionFetcherSessionDelegateDispatcher::didResumeAtOffset(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<URLSessionDownloadTask>& downloadTask,
    int64_t fileOffset, int64_t expectedTotalBytes) {
    if (auto fetcher = delegateForTask(downloadTask))
        fetcher->didResumeAtOffset(session, downloadTask, fileOffset, expectedTotalBytes);
}

void QNSessionFetcherSessionDelegateDispatcher::didBecomeInvalidWithError(const std::shared_ptr<URLSession>& session,
                                                                          const std::optional<Error>& error) {
    std::map<TaskPtr, FetcherPtr> mapCopy;
    {
        std::lock_guard lock(mutex_);
        session_.reset();
        mapCopy = taskToFetcherMap_;
    }
    // Whatever is still mapped to the lost session will hear nothing more: complete it.
    for (const auto& [task, fetcher] : mapCopy) {
        if (fetcher->session() != session) continue;
        std::optional<URL> url;
        if (auto request = task->originalRequest()) url = request->url();
        didCompleteWithError(session, task, makeURLError(kURLErrorCancelled, url));
    }
    auto service = parentService_.lock();
    Value userInfo = Value::dictionary();
    userInfo.set(kQNSessionFetcherServiceSessionKey, Value(sessionNotificationValue(session.get())));
    NotificationCenter::defaultCenter().post(kQNSessionFetcherServiceSessionBecameInvalidNotification,
                                             static_cast<const void*>(service.get()), std::move(userInfo));
}

}  // namespace quorvane
