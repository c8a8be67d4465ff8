#include "gdata/service/GDataServiceTicketBase.h"

#include "fetcher/QNSessionUploadFetcher.h"

#include "gdata/service/GDataServiceBase.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

using platform::addressText;

GDataServiceTicketPtr GDataServiceTicketBase::ticketForService(const std::shared_ptr<GDataServiceBase>& service) {
    auto ticket = std::make_shared<GDataServiceTicketBase>();
    ticket->initWithService(service);
    return ticket;
}

void GDataServiceTicketBase::initWithService(const std::shared_ptr<GDataServiceBase>& service) {
    service_ = service;
    if (!service) return;
    userData_ = service->serviceUserData();
    properties_ = service->serviceProperties();
    surrogates_ = service->serviceSurrogates();
    uploadProgressSelector_ = service->serviceUploadProgressSelector();
    isRetryEnabled_ = service->isServiceRetryEnabled();
    retrySelector_ = service->serviceRetrySelector();
    maxRetryInterval_ = service->serviceMaxRetryInterval();
    shouldFollowNextLinks_ = service->serviceShouldFollowNextLinks();
    shouldFeedsIgnoreUnknowns_ = service->shouldServiceFeedsIgnoreUnknowns();
    uploadProgressHandler_ = service->serviceUploadProgressHandler();
    authorizer_ = service->authorizer();
}

std::string GDataServiceTicketBase::description() const {
    std::string out = std::string(className()) + " " + addressText(this) + ": {service:";
    out += service_ ? service_->description() : "(null)";
    out += " currentFetcher:";
    out += currentFetcher_ ? currentFetcher_->description() : "(null)";
    out += " userData:";
    out += userData_.has_value() ? std::string(userData_.type().name()) : "(null)";
    out += "}";
    return out;
}

void GDataServiceTicketBase::cancelTicket() {
    // Keep this ticket alive while its last owners (the fetcher's properties) let go of it.
    auto self = shared_from_this();
    if (parseOperation_) {
        parseOperation_->cancel();
        parseOperation_.reset();
    }
    if (objectFetcher_) {
        auto fetcher = std::move(objectFetcher_);
        objectFetcher_.reset();
        fetcher->stopFetching();
        releaseGDataFetcher(fetcher);
    }
    fetchContext_.reset();
    currentFetcher_.reset();
    userData_.reset();
    properties_.reset();
    uploadProgressSelector_ = nullptr;
    uploadProgressHandler_ = nullptr;
    service_.reset();
}

void GDataServiceTicketBase::pauseUpload() {
    if (auto upload = std::dynamic_pointer_cast<QNSessionUploadFetcher>(objectFetcher_)) upload->pauseFetching();
}

void GDataServiceTicketBase::resumeUpload() {
    if (auto upload = std::dynamic_pointer_cast<QNSessionUploadFetcher>(objectFetcher_)) upload->resumeFetching();
}

bool GDataServiceTicketBase::isUploadPaused() const {
    auto upload = std::dynamic_pointer_cast<QNSessionUploadFetcher>(objectFetcher_);
    return upload && upload->isPaused();
}

void GDataServiceTicketBase::setProperty(const std::string& key, std::any value) {
    if (!value.has_value()) {
        if (properties_) properties_->erase(key);
        return;
    }
    if (!properties_) properties_.emplace();
    (*properties_)[key] = std::move(value);
}

std::any GDataServiceTicketBase::propertyForKey(const std::string& key) const {
    if (!properties_) return {};
    auto it = properties_->find(key);
    return it == properties_->end() ? std::any() : it->second;
}

void GDataServiceTicketBase::setUploadProgressSelector(GDataServiceUploadProgressHandler callback) {
    uploadProgressSelector_ = std::move(callback);
    if (uploadProgressSelector_) installSendProgressOnCurrentFetcher();
}

void GDataServiceTicketBase::setUploadProgressHandler(GDataServiceUploadProgressHandler handler) {
    uploadProgressHandler_ = std::move(handler);
    if (uploadProgressHandler_) installSendProgressOnCurrentFetcher();
}

void GDataServiceTicketBase::installSendProgressOnCurrentFetcher() {
    if (!service_ || !currentFetcher_ || currentFetcher_ != objectFetcher_) return;
    currentFetcher_->setSendProgressBlock(service_->sendProgressBlockForFetcher(currentFetcher_));
}

int64_t GDataServiceTicketBase::statusCode() const { return objectFetcher_ ? objectFetcher_->statusCode() : 0; }

void GDataServiceTicketBase::accumulateFeed(const std::shared_ptr<GDataFeedBase>& feed) {
    if (!feed) return;
    if (!accumulatedFeed_) {
        accumulatedFeed_ = feed;
        return;
    }
    if (!feed->entries()) return;
    // Each entry is detached from the page that owned it before the accumulated feed adopts it.
    auto entries = *feed->entries();
    for (const auto& entry : entries) {
        entry->setParent(nullptr);
        accumulatedFeed_->addEntry(entry);
    }
}

GDataFetchContext* GDataServiceTicketBase::fetchContextForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    if (!fetchContext_ || !fetcher || fetchContext_->fetcher.lock() != fetcher) return nullptr;
    return &*fetchContext_;
}

GDataFetcherRecord GDataFetcherRecordOf(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    auto record = fetcher ? std::dynamic_pointer_cast<const GDataFetcherRecord>(fetcher->ownerRecord()) : nullptr;
    return record ? *record : GDataFetcherRecord();
}

void setGDataFetcherRecord(const std::shared_ptr<QNSessionFetcher>& fetcher, GDataFetcherRecord record) {
    if (fetcher) fetcher->setOwnerRecord(std::make_shared<const GDataFetcherRecord>(std::move(record)));
}

GDataServiceTicketPtr GDataTicket(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    return GDataFetcherRecordOf(fetcher).ticket;
}

void setGDataTicket(const std::shared_ptr<QNSessionFetcher>& fetcher, const GDataServiceTicketPtr& ticket) {
    GDataFetcherRecord record = GDataFetcherRecordOf(fetcher);
    record.ticket = ticket;
    setGDataFetcherRecord(fetcher, std::move(record));
}

void releaseGDataFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    if (!fetcher) return;
    fetcher->setOwnerRecord(nullptr);
    fetcher->setProperties({});
}

GDataFetcherCall GDataFetcherCallForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    GDataFetcherCall call;
    call.ticket = GDataTicket(fetcher);
    if (call.ticket) call.context = call.ticket->fetchContextForFetcher(fetcher);
    return call;
}

}  // namespace quorvane
