#include "telemetry/MSChannelUnit.h"

#include <algorithm>

#include "platform/foundation/UUID.h"
#include "platform/runloop/DispatchQueue.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSHttpIngestion.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

MSChannelUnit::MSChannelUnit(MSChannelUnitConfiguration configuration, std::shared_ptr<MSHttpIngestion> ingestion,
                             std::shared_ptr<MSLogDBStorage> storage, std::shared_ptr<platform::DispatchQueue> logsQueue)
    : configuration_(std::move(configuration)),
      ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      logsQueue_(std::move(logsQueue)) {}

void MSChannelUnit::addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegates_ = delegates_.adding(delegate);
}

void MSChannelUnit::removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegates_ = delegates_.removing(delegate);
}

MSDelegateList MSChannelUnit::delegates() const {
    std::lock_guard lock(mutex_);
    return delegates_;
}

void MSChannelUnit::enqueueItem(const std::shared_ptr<MSAbstractLog>& log, uint32_t flags) {
    if (!log) return;
    if (!log->timestamp) log->timestamp = platform::Date::now();
    if (!log->device) log->device = MSDeviceTracker::sharedInstance().device();
    if (!log->isValid()) {
        MSLogWarning(kMSLogTag, "Log is not valid.");
        return;
    }
    const std::string internalId = platform::UUID().uuidString();
    notify([&](MSChannelDelegate& d) { d.prepareLog(*this, log); });
    notify([&](MSChannelDelegate& d) { d.didPrepareLog(*this, log, internalId, flags); });

    std::string storedText = MSLogDBStorage::storedTextForLog(*log);
    const size_t bound = size_t(std::max<int64_t>(storage_->maxStorageSize(), 0));
    bool schedule;
    std::vector<PendingStore> dropped;
    {
        std::lock_guard lock(pendingMutex_);
        pendingBytes_ += storedText.size();
        pendingStores_.push_back({log, internalId, flags, std::move(storedText)});
        // Within the store's bound: what would not fit there would only push out older logs.
        while (pendingBytes_ > bound && pendingStores_.size() > 1) {
            auto victim = std::find_if(pendingStores_.begin(), pendingStores_.end() - 1, [](const PendingStore& p) {
                return (p.flags & MSFlagsPersistenceMask) <= MSFlagsNormal;
            });
            if (victim == pendingStores_.end() - 1) victim = pendingStores_.begin();
            pendingBytes_ -= victim->storedText.size();
            dropped.push_back(std::move(*victim));
            pendingStores_.erase(victim);
        }
        dropped_ += dropped.size();
        droppedUnreported_ += dropped.size();
        schedule = !std::exchange(drainScheduled_, true);
    }
    // Told here, not on the logs queue: a queue that is not draining must not keep what gave way.
    for (const auto& item : dropped)
        notify([&](MSChannelDelegate& d) {
            d.didCompleteEnqueueingLog(*this, item.log, item.internalId, MSEnqueueOutcome::NotStored);
        });
    if (schedule) logsQueue_->async([self = shared_from_this()] { self->drainPendingStores(); });
}

size_t MSChannelUnit::droppedLogCount() const {
    std::lock_guard lock(pendingMutex_);
    return dropped_;
}

size_t MSChannelUnit::pendingBytes() const {
    std::lock_guard lock(pendingMutex_);
    return pendingBytes_;
}

bool MSChannelUnit::isSplittableStatus(int statusCode) {
    return statusCode == 400 || statusCode == 413 || statusCode == 422;
}

void MSChannelUnit::drainPendingStores() {
    std::vector<PendingStore> items;
    size_t dropped;
    {
        std::lock_guard lock(pendingMutex_);
        items.swap(pendingStores_);
        pendingBytes_ = 0;
        dropped = std::exchange(droppedUnreported_, 0);
        drainScheduled_ = false;
    }
    if (dropped)
        MSLogWarning(kMSLogTag, "The logs of group " + configuration_.groupId + " came faster than they could be stored: dropped the " +
                                    std::to_string(dropped) + " oldest waiting.");
    std::vector<MSLogDBStorage::Item> toStore;
    std::vector<size_t> stored;  // the item of each in toStore
    toStore.reserve(items.size());
    // Each item's outcome; the stored ones are known once the store answers, in order.
    std::vector<MSEnqueueOutcome> outcomes(items.size(), MSEnqueueOutcome::Discarded);
    const bool enabled = isEnabled();
    for (size_t i = 0; i < items.size(); ++i) {
        auto& item = items[i];
        bool filtered = false;
        // Logs that waited for a busy store were asked about already.
        if (!item.filterAsked)
            notify([&](MSChannelDelegate& d) { filtered = d.shouldFilterLog(*this, item.log) || filtered; });
        item.filterAsked = true;
        if (filtered) {
            MSLogDebug(kMSLogTag, "Log of type '" + item.log->type.value_or("") + "' was filtered out by a delegate.");
        } else if (enabled) {
            // A log a delegate changed while filtering is archived again as it is now.
            if (item.log->changedWhileFiltering()) item.storedText = MSLogDBStorage::storedTextForLog(*item.log);
            toStore.push_back({item.log, configuration_.groupId, item.flags, std::move(item.storedText)});
            stored.push_back(i);
            outcomes[i] = MSEnqueueOutcome::NotStored;
        }
    }
    bool busy = false;
    const auto saved = storage_->saveLogs(toStore, &busy);
    if (busy) {
        // Held by another connection: the logs wait, ahead of those that came since, within the
        // same bound, and are stored when it frees.
        std::vector<PendingStore> waiting;
        for (size_t k = 0; k < stored.size(); ++k) {
            items[stored[k]].storedText = std::move(toStore[k].storedText);
            waiting.push_back(std::move(items[stored[k]]));
        }
        {
            std::lock_guard lock(pendingMutex_);
            for (const auto& item : waiting) pendingBytes_ += item.storedText.size();
            pendingStores_.insert(pendingStores_.begin(), std::make_move_iterator(waiting.begin()),
                                  std::make_move_iterator(waiting.end()));
        }
        retryWhenStoreFrees();
    }
    for (size_t k = 0; k < stored.size() && !busy; ++k)
        if (saved.at(k)) outcomes[stored[k]] = MSEnqueueOutcome::Stored;
    {
        std::lock_guard lock(mutex_);
        itemsCount_ += size_t(std::count(saved.begin(), saved.end(), true));
    }
    for (size_t i = 0; i < items.size(); ++i)
        if (!busy || outcomes[i] != MSEnqueueOutcome::NotStored)
            notify([&](MSChannelDelegate& d) {
                d.didCompleteEnqueueingLog(*this, items[i].log, items[i].internalId, outcomes[i]);
            });
    checkPendingLogsOnQueue(false);
}

void MSChannelUnit::retryWhenStoreFrees() {
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(storeRetryScheduled_, true)) return;
    }
    logsQueue_->asyncAfter(kStoreRetryInterval, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex_);
            self->storeRetryScheduled_ = false;
        }
        self->drainPendingStores();
        self->checkPendingLogsOnQueue();
    });
}

bool MSChannelUnit::isEnabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void MSChannelUnit::setEnabled(bool enabled, bool deleteDataOnDisabled) {
    logsQueue_->async([self = shared_from_this(), enabled, deleteDataOnDisabled] {
        std::set<std::string> cancelled;
        {
            std::lock_guard lock(self->mutex_);
            self->enabled_ = enabled;
            if (!enabled && deleteDataOnDisabled) {
                cancelled.swap(self->pendingBatchIds_);
                self->itemsCount_ = 0;
                ++self->timerGeneration_;
            }
        }
        if (!enabled && deleteDataOnDisabled) {
            for (const auto& id : cancelled) self->ingestion_->cancelBatch(id);
            self->storage_->deleteLogsWithGroupId(self->configuration_.groupId);
        }
        if (enabled) self->checkPendingLogsOnQueue();
    });
}

void MSChannelUnit::pauseWithIdentifyingObject(const void* object) {
    std::lock_guard lock(mutex_);
    pausingObjects_.insert(object);
}

void MSChannelUnit::resumeWithIdentifyingObject(const void* object) {
    {
        std::lock_guard lock(mutex_);
        if (!pausingObjects_.erase(object) || !pausingObjects_.empty()) return;
    }
    checkPendingLogs();
}

bool MSChannelUnit::isPaused() const {
    std::lock_guard lock(mutex_);
    return !pausingObjects_.empty();
}

void MSChannelUnit::pauseSendingLogsWithToken(const std::string& token) {
    auto key = MSUtility::targetKeyFromTargetToken(token);
    if (!key) return;
    logsQueue_->async([self = shared_from_this(), key = *key] {
        std::lock_guard lock(self->mutex_);
        self->pausedTargetKeys_.insert(key);
    });
}

void MSChannelUnit::resumeSendingLogsWithToken(const std::string& token) {
    auto key = MSUtility::targetKeyFromTargetToken(token);
    if (!key) return;
    logsQueue_->async([self = shared_from_this(), key = *key] {
        {
            std::lock_guard lock(self->mutex_);
            self->pausedTargetKeys_.erase(key);
        }
        self->checkPendingLogsOnQueue();
    });
}

void MSChannelUnit::checkPendingLogs() {
    logsQueue_->async([self = shared_from_this()] { self->checkPendingLogsOnQueue(); });
}

void MSChannelUnit::flushQueue() {
    logsQueue_->async([self = shared_from_this()] { self->flushOnQueue(); });
}

bool MSChannelUnit::canSendLocked() const {
    return enabled_ && pausingObjects_.empty() && pendingBatchIds_.size() < configuration_.pendingBatchesLimit;
}

void MSChannelUnit::checkPendingLogsOnQueue(bool recount) {
    const size_t waiting = recount ? storage_->countLogs(configuration_.groupId) : 0;
    const bool elsewhere = recount && waiting == 0 && storage_->countLogsClaimedElsewhere(configuration_.groupId) > 0;
    {
        std::lock_guard lock(mutex_);
        if (recount) itemsCount_ = waiting;
        if (itemsCount_ == 0 && elsewhere && canSendLocked()) scheduleTimerLocked();
        if (itemsCount_ == 0 || !canSendLocked()) return;
        if (itemsCount_ < configuration_.batchSizeLimit) {
            scheduleTimerLocked();
            return;
        }
    }
    // A full batch waits: it leaves now. A flush queued for later could find the batch taken by
    // another flush and send what came since as a short batch, leaving a tail for the timer.
    flushOnQueue();
}

void MSChannelUnit::scheduleTimerLocked() {
    if (timerScheduled_) return;
    timerScheduled_ = true;
    logsQueue_->asyncAfter(configuration_.flushInterval, [weak = weak_from_this(), generation = timerGeneration_] {
        auto self = weak.lock();
        if (!self) return;
        bool current;
        {
            std::lock_guard lock(self->mutex_);
            self->timerScheduled_ = false;
            current = generation == self->timerGeneration_;
        }
        // A flush since the timer was set replaced it: count again and set a new one if needed.
        current ? self->flushOnQueue() : self->checkPendingLogsOnQueue();
    });
}

void MSChannelUnit::flushOnQueue() {
    for (;;) {
        std::set<std::string> excluded;
        {
            std::lock_guard lock(mutex_);
            if (!canSendLocked()) return;
            excluded = pausedTargetKeys_;
            ++timerGeneration_;  // this flush replaces a scheduled one
        }
        auto batch = storage_->loadLogsWithGroupId(configuration_.groupId, configuration_.batchSizeLimit, excluded);
        if (!batch && storage_->isBusy()) {
            retryWhenStoreFrees();  // the logs stay counted: they go once it frees
            return;
        }
        if (!batch) {
            // Logs another process has in flight come back to the store if it ends first: look again.
            const bool elsewhere = storage_->countLogsClaimedElsewhere(configuration_.groupId) > 0;
            std::lock_guard lock(mutex_);
            itemsCount_ = 0;
            if (elsewhere) scheduleTimerLocked();
            return;
        }
        bool more;
        {
            std::lock_guard lock(mutex_);
            pendingBatchIds_.insert(batch->batchId);
            itemsCount_ -= std::min(itemsCount_, batch->logs.size());
            more = itemsCount_ >= configuration_.batchSizeLimit;
        }
        for (const auto& log : batch->logs) notify([&](MSChannelDelegate& d) { d.willSendLog(*this, log); });
        sendBatch(batch->batchId, batch->logs);
        if (!more) break;
    }
    checkPendingLogsOnQueue();
}

void MSChannelUnit::sendBatch(const std::string& batchId, const std::vector<std::shared_ptr<MSAbstractLog>>& logs) {
    MSLogContainer container{batchId, logs};
    ingestion_->sendAsync(container, [weak = weak_from_this(), logs](const std::string& id, int status) {
        if (auto self = weak.lock()) self->logsQueue_->async([self, id, logs, status] { self->batchDidFinish(id, logs, status); });
    });
}

void MSChannelUnit::batchDidFinish(const std::string& batchId, const std::vector<std::shared_ptr<MSAbstractLog>>& logs,
                                   int statusCode) {
    {
        std::lock_guard lock(mutex_);
        if (!pendingBatchIds_.erase(batchId)) return;  // the unit was disabled with its data deleted
    }
    // Refused for what it holds: each half goes again, so only a log refused alone is dropped.
    if (isSplittableStatus(statusCode) && logs.size() > 1) {
        const size_t half = logs.size() / 2;
        if (auto ids = storage_->splitBatch(batchId, half)) {
            MSLogWarning(kMSLogTag, "The ingestion refused batch " + batchId + " of group " + configuration_.groupId +
                                        " (status " + std::to_string(statusCode) + "); sending its " +
                                        std::to_string(logs.size()) + " logs again in two halves.");
            {
                std::lock_guard lock(mutex_);
                pendingBatchIds_.insert(ids->first);
                pendingBatchIds_.insert(ids->second);
            }
            sendBatch(ids->first, {logs.begin(), logs.begin() + ptrdiff_t(half)});
            sendBatch(ids->second, {logs.begin() + ptrdiff_t(half), logs.end()});
            return;
        }
    }
    storage_->deleteLogsWithBatchId(batchId);
    if (statusCode >= 200 && statusCode < 300) {
        for (const auto& log : logs) notify([&](MSChannelDelegate& d) { d.didSucceedSendingLog(*this, log); });
    } else {
        MSLogError(kMSLogTag, "The ingestion refused batch " + batchId + " of group " + configuration_.groupId +
                                  " (status " + std::to_string(statusCode) + "); its " + std::to_string(logs.size()) +
                                  (logs.size() == 1 ? " log is" : " logs are") + " dropped.");
        platform::Error error(kMSIngestionErrorDomain, statusCode);
        error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                           statusCode == 413 ? "The server refused the log as too large (HTTP status 413)."
                                             : "The server refused the logs (HTTP status " + std::to_string(statusCode) + ").");
        for (const auto& log : logs) notify([&](MSChannelDelegate& d) { d.didFailSendingLog(*this, log, error); });
    }
    checkPendingLogsOnQueue();
}

}  // namespace quorvane
