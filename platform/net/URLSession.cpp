#include "platform/net/URLSession.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/NetworkThread.h"
#include "platform/net/URLSessionTransfer.h"

namespace quorvane::platform {

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(const URLSessionConfiguration& configuration,
                                                                 std::shared_ptr<URLSessionDelegate> delegate,
                                                                 std::shared_ptr<OperationQueue> delegateQueue) {
    if (!delegateQueue) delegateQueue = OperationQueue::make("com.quorvane.URLSession.delegateQueue", 1);
    return std::shared_ptr<URLSession>(new URLSession(configuration, std::move(delegate), std::move(delegateQueue)));
}

URLSession::URLSession(const URLSessionConfiguration& configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<OperationQueue> delegateQueue)
    : configuration_(configuration), delegateQueue_(std::move(delegateQueue)), delegate_(std::move(delegate)) {
    NetworkThread::shared();  // start it now rather than with the first transfer
}

URLSession::~URLSession() {
    // A session dropped before it became invalid still holds its delegate: let it go on the
    // delegate queue, whatever thread this is.
    if (delegate_) delegateQueue_->addOperation([d = std::move(delegate_)] {});
    if (share_) NetworkThread::shared().post([share = share_] { curl_share_cleanup(static_cast<CURLSH*>(share)); });
}

void* URLSession::shareHandle() {
    if (!share_) {
        CURLSH* share = curl_share_init();
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        share_ = share;
    }
    return share_;
}

void URLSession::closeConnections() {
    if (!share_ || !runningPerHost_.empty() || !waitingPerHost_.empty()) return;
    if (curl_share_cleanup(static_cast<CURLSH*>(share_)) == CURLSHE_OK) share_ = nullptr;
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::optional<std::string> URLSession::sessionDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSession::setSessionDescription(std::optional<std::string> d) {
    std::lock_guard lock(mutex_);
    description_ = std::move(d);
}

uint64_t URLSession::nextIdentifier() {
    std::lock_guard lock(mutex_);
    return ++lastIdentifier_;
}

bool URLSession::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
}

template <class T>
std::shared_ptr<T> URLSession::addTask(std::shared_ptr<T> task) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return nullptr;
    tasks_[task->taskIdentifier()] = task;
    return task;
}

// --- tasks ---

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request) {
    if (isInvalidated()) return nullptr;
    auto task = std::shared_ptr<URLSessionDataTask>(
        new URLSessionDataTask(URLSessionTask::Kind::Data, nextIdentifier(), shared_from_this(), request));
    return addTask(std::move(task));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url) { return dataTaskWithRequest(URLRequest(url)); }

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, Bytes bodyData) {
    return uploadTaskWithRequest(request, std::make_shared<const Bytes>(std::move(bodyData)));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request,
                                                                        std::shared_ptr<const Bytes> bodyData) {
    if (isInvalidated()) return nullptr;
    auto task = std::shared_ptr<URLSessionUploadTask>(
        new URLSessionUploadTask(URLSessionTask::Kind::Upload, nextIdentifier(), shared_from_this(), request));
    task->bodyKind_ = URLSessionTask::BodyKind::Data;
    task->bodyData_ = bodyData ? std::move(bodyData) : std::make_shared<const Bytes>();
    task->bytesExpectedToSend_ = int64_t(task->bodyData_->size());
    return addTask(std::move(task));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, const URL& fileURL) {
    if (isInvalidated()) return nullptr;
    auto task = std::shared_ptr<URLSessionUploadTask>(
        new URLSessionUploadTask(URLSessionTask::Kind::Upload, nextIdentifier(), shared_from_this(), request));
    task->bodyKind_ = URLSessionTask::BodyKind::File;
    task->bodyFile_ = fileURL.isFileURL() ? std::filesystem::path(fileURL.path()) : std::filesystem::path();
    struct stat st {};
    task->bytesExpectedToSend_ = ::stat(task->bodyFile_.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
    return addTask(std::move(task));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request) {
    if (isInvalidated()) return nullptr;
    auto task = std::shared_ptr<URLSessionUploadTask>(
        new URLSessionUploadTask(URLSessionTask::Kind::Upload, nextIdentifier(), shared_from_this(), request));
    task->bodyKind_ = URLSessionTask::BodyKind::Stream;
    task->bytesExpectedToSend_ = kURLSessionTransferSizeUnknown;
    return addTask(std::move(task));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request) {
    if (isInvalidated()) return nullptr;
    auto task = std::shared_ptr<URLSessionDownloadTask>(
        new URLSessionDownloadTask(URLSessionTask::Kind::Download, nextIdentifier(), shared_from_this(), request));
    return addTask(std::move(task));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const Bytes& resumeData) {
    if (isInvalidated()) return nullptr;
    // Resume data is what URLSessionTransfer::takeResumeData wrote: the URL, the headers, the
    // partial file and its validator. Only a file this system made in the temporary folder is
    // taken up again, so resume data cannot point the download at any other file.
    std::optional<URLRequest> request;
    std::optional<URLSessionTask::ResumeInfo> resume;
    auto parsed = Value::fromJSON(std::string_view(reinterpret_cast<const char*>(resumeData.data()), resumeData.size()));
    if (parsed && parsed->isDictionary() && (*parsed)["version"].asInt() == 1) {
        if (auto url = URL::URLWithString((*parsed)["url"].asString())) {
            URLRequest r(*url);
            for (const auto& [name, value] : (*parsed)["headers"].asDictionary())
                if (value.isString()) r.setValue(value.asString(), name);
            request = std::move(r);
            std::filesystem::path path = (*parsed)["path"].asString();
            int64_t offset = (*parsed)["offset"].asInt();
            std::string validator = (*parsed)["validator"].asString();
            std::error_code ec;
            auto size = std::filesystem::file_size(path, ec);
            bool ours = path.parent_path() == Paths::temporaryDirectory() &&
                        hasPrefix(path.filename().string(), "quorvane-download-");
            if (ours && !ec && offset > 0 && int64_t(size) >= offset && !validator.empty())
                resume = URLSessionTask::ResumeInfo{path, offset, validator};
        }
    }
    auto task = std::shared_ptr<URLSessionDownloadTask>(
        new URLSessionDownloadTask(URLSessionTask::Kind::Download, nextIdentifier(), shared_from_this(), request));
    task->resume_ = std::move(resume);
    task->invalidResumeData_ = !request;
    return addTask(std::move(task));
}

// --- invalidation ---

void URLSession::finishTasksAndInvalidate() {
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
    }
    becomeInvalidIfDone();
}

void URLSession::invalidateAndCancel() {
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        for (auto& [id, t] : tasks_) tasks.push_back(t);
    }
    for (auto& t : tasks) t->cancel();
    becomeInvalidIfDone();
}

void URLSession::taskDidComplete(const std::shared_ptr<URLSessionTask>& task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.erase(task->taskIdentifier());
    }
    becomeInvalidIfDone();
}

void URLSession::becomeInvalidIfDone() {
    {
        std::lock_guard lock(mutex_);
        if (!invalidated_ || !tasks_.empty() || invalidNotified_) return;
        invalidNotified_ = true;
    }
    // Queued behind every completion already queued, so it is the session's last call.
    enqueue([self = shared_from_this()] {
        if (auto delegate = self->delegate()) delegate->didBecomeInvalidWithError(self, std::nullopt);
        NetworkThread::shared().post([self] { self->closeConnections(); });
        std::shared_ptr<URLSessionDelegate> released;
        std::lock_guard lock(self->mutex_);
        released.swap(self->delegate_);
    });
}

void URLSession::getTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>, std::vector<std::shared_ptr<URLSessionUploadTask>>,
                       std::vector<std::shared_ptr<URLSessionDownloadTask>>)>
        completionHandler) {
    if (!completionHandler) return;
    enqueue([self = shared_from_this(), completionHandler] {
        std::vector<std::shared_ptr<URLSessionDataTask>> data;
        std::vector<std::shared_ptr<URLSessionUploadTask>> upload;
        std::vector<std::shared_ptr<URLSessionDownloadTask>> download;
        {
            std::lock_guard lock(self->mutex_);
            for (auto& [id, t] : self->tasks_) {
                if (t->state() == URLSessionTask::State::Completed) continue;
                switch (t->kind_) {
                    case URLSessionTask::Kind::Data: data.push_back(std::static_pointer_cast<URLSessionDataTask>(t)); break;
                    case URLSessionTask::Kind::Upload: upload.push_back(std::static_pointer_cast<URLSessionUploadTask>(t)); break;
                    case URLSessionTask::Kind::Download:
                        download.push_back(std::static_pointer_cast<URLSessionDownloadTask>(t));
                        break;
                }
            }
        }
        completionHandler(std::move(data), std::move(upload), std::move(download));
    });
}

void URLSession::getAllTasksWithCompletionHandler(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completionHandler) {
    if (!completionHandler) return;
    enqueue([self = shared_from_this(), completionHandler] {
        std::vector<std::shared_ptr<URLSessionTask>> all;
        {
            std::lock_guard lock(self->mutex_);
            for (auto& [id, t] : self->tasks_)
                if (t->state() != URLSessionTask::State::Completed) all.push_back(t);
        }
        completionHandler(std::move(all));
    });
}

// --- delivery to the delegate queue ---

void URLSession::enqueue(std::function<void()> block) {
    bool start = false, later = false;
    {
        std::lock_guard lock(deliveryMutex_);
        deliveries_.push_back(std::move(block));
        if (!draining_ && !startPending_) {
            if (NetworkThread::shared().isCurrent()) startPending_ = later = true;
            else draining_ = start = true;
        }
    }
    if (start) delegateQueue_->addOperation([self = shared_from_this()] { self->drainDeliveries(); });
    if (later) NetworkThread::shared().atEndOfPass([self = shared_from_this()] { self->startDraining(); });
}

void URLSession::startDraining() {
    bool start = false;
    {
        std::lock_guard lock(deliveryMutex_);
        startPending_ = false;
        if (!draining_ && !deliveries_.empty()) draining_ = start = true;
    }
    if (start) delegateQueue_->addOperation([self = shared_from_this()] { self->drainDeliveries(); });
}

void URLSession::drainDeliveries() {
    // One operation runs the queued deliveries in order, taking what has gathered in one go;
    // after a few rounds it yields the queue to other work and continues in a new operation.
    std::deque<std::function<void()>> batch;
    for (int round = 0; round < 8; ++round) {
        {
            std::lock_guard lock(deliveryMutex_);
            if (deliveries_.empty()) {
                draining_ = false;
                return;
            }
            batch.swap(deliveries_);
        }
        for (auto& block : batch) block();
        batch.clear();
    }
    delegateQueue_->addOperation([self = shared_from_this()] { self->drainDeliveries(); });
}

}  // namespace quorvane::platform
