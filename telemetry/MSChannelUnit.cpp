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
        if (pendingForkGeneration_ != platform::forkGeneration()) {
            // A child forked without exec: the logs waiting here are the parent's, which stores
            // them, and the drain that was to store them does not run here. Left as they are
            // (a copy of the parent's memory): freeing thousands would only hold the child up.
            pendingForkGeneration_ = platform::forkGeneration();
            (new std::vector<PendingStore>)->swap(pendingStores_);
            pendingBytes_ = 0;
            drainScheduled_ = false;
        }
        pendingBytes_ += storedText.size();
        pendingStores_.push_back({log, internalId, flags, std::move(storedText), ingestion_->destination().key});
        // Within the store's bound: what would not fit there would only push out older logs. The
        // oldest normal ones give way first, then the oldest of a priority no higher than the new
        // log's; when there is none, the new log itself.
        const uint32_t priority = flags & MSFlagsPersistenceMask;
        while (pendingBytes_ > bound && pendingStores_.size() > 1) {
            const auto last = pendingStores_.end() - 1;
            auto victim = std::find_if(pendingStores_.begin(), last, [](const PendingStore& p) {
                return (p.flags & MSFlagsPersistenceMask) <= MSFlagsNormal;
            });
            if (victim == last)
                victim = std::find_if(pendingStores_.begin(), last, [&](const PendingStore& p) {
                    return (p.flags & MSFlagsPersistenceMask) <= priority;
                });
            const bool itself = victim == last;
            pendingBytes_ -= victim->storedText.size();
            dropped.push_back(std::move(*victim));
            pendingStores_.erase(victim);
            if (itself) break;
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
    // 431: the headers made from the logs (their target tokens, tickets) are too large for the server.
    return statusCode == 400 || statusCode == 413 || statusCode == 422 || statusCode == 431 ||
           statusCode == MSHttpIngestion::kRequestNotSendable;
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
            toStore.push_back({item.log, configuration_.groupId, item.flags, std::move(item.storedText), item.destination});
            stored.push_back(i);
            outcomes[i] = MSEnqueueOutcome::NotStored;
        }
    }
    bool busy = false;
    std::vector<MSLogDBStorage::Evicted> evicted;
    const auto saved = storage_->saveLogs(toStore, &busy, &evicted);
    if (!evicted.empty()) {
        // Stored logs (of this group or another) that gave way: they will never be sent.
        platform::Error error(kMSIngestionErrorDomain, 0);
        error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                           "The log was deleted unsent: the log store was full and newer logs took its room.");
        Logs logs;
        for (auto& e : evicted) logs.push_back(std::move(e.log));
        notifyFailed(logs, error);
    }
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
    checkIdle();
}

void MSChannelUnit::retryWhenStoreFrees() {
    {
        std::lock_guard lock(mutex_);
        forgetParentsTimersLocked();
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
        std::map<std::string, Logs> cancelled;
        {
            std::lock_guard lock(self->mutex_);
            self->enabled_ = enabled;
            if (!enabled && deleteDataOnDisabled) {
                cancelled.swap(self->pendingBatches_);
                self->itemsCount_ = 0;
                ++self->timerGeneration_;
            }
        }
        if (!enabled && deleteDataOnDisabled) self->deleteAllLogs(std::move(cancelled));
        if (enabled) self->checkPendingLogsOnQueue();
        self->checkIdle();
    });
}

void MSChannelUnit::deleteAllLogs(std::map<std::string, Logs> inFlight) {
    Logs deleted;
    for (auto& [id, logs] : inFlight) {
        ingestion_->cancelBatch(id);
        storage_->deleteLogsWithBatchId(id);
        deleted.insert(deleted.end(), logs.begin(), logs.end());
    }
    // Read before they go, so that each is accounted for; what another process holds goes unread.
    // Only this app's: another one sharing the file keeps its logs (and sends them).
    const auto destinations = ingestion_->destination().keys();
    while (auto batch = storage_->loadLogsWithGroupId(configuration_.groupId, configuration_.batchSizeLimit, {},
                                                      destinations)) {
        storage_->deleteLogsWithBatchId(batch->batchId);
        deleted.insert(deleted.end(), batch->logs.begin(), batch->logs.end());
    }
    storage_->deleteLogsWithGroupId(configuration_.groupId, destinations);
    if (deleted.empty()) return;
    platform::Error error(kMSIngestionErrorDomain, 0);
    error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                       "The log was deleted unsent: sending was disabled with its data deleted.");
    notifyFailed(deleted, error);
}

void MSChannelUnit::notifyFailed(const Logs& logs, const platform::Error& error) {
    for (const auto& log : logs) notify([&](MSChannelDelegate& d) { d.didFailSendingLog(*this, log, error); });
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

void MSChannelUnit::notifyWhenIdle(std::function<void()> idle) {
    logsQueue_->async([self = shared_from_this(), idle = std::move(idle)]() mutable {
        {
            std::lock_guard lock(self->mutex_);
            self->idleWaiters_.push_back(std::move(idle));
        }
        self->checkIdle();
    });
}

void MSChannelUnit::checkIdle() {
    {
        std::lock_guard lock(pendingMutex_);
        if (!pendingStores_.empty()) return;  // the drain that stores them looks again
    }
    std::vector<std::function<void()>> waiters;
    {
        std::lock_guard lock(mutex_);
        if (idleWaiters_.empty()) return;
        for (const auto& [id, logs] : pendingBatches_)
            if (ingestion_->isAwaitingAnswer(id)) return;
        waiters.swap(idleWaiters_);
    }
    for (const auto& idle : waiters) idle();
}

void MSChannelUnit::endSending() {
    logsQueue_->sync([this] {
        std::map<std::string, Logs> inFlight;
        {
            std::lock_guard lock(mutex_);
            inFlight = pendingBatches_;
        }
        for (const auto& [id, logs] : inFlight) {
            // An answer that came meanwhile is handled as any other.
            if (!ingestion_->cancelUnanswered(id)) continue;
            {
                std::lock_guard lock(mutex_);
                pendingBatches_.erase(id);
            }
            storage_->releaseUnansweredBatch(id);
        }
    });
}

bool MSChannelUnit::canSendLocked() const {
    return enabled_ && pausingObjects_.empty() && pendingBatches_.size() < configuration_.pendingBatchesLimit;
}

void MSChannelUnit::checkPendingLogsOnQueue(bool recount) {
    const auto destination = ingestion_->destination().keys();
    const size_t waiting = recount ? storage_->countLogs(configuration_.groupId, destination) : 0;
    const bool elsewhere =
        recount && waiting == 0 && storage_->countLogsClaimedElsewhere(configuration_.groupId, destination) > 0;
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

void MSChannelUnit::forgetParentsTimersLocked() {
    if (timersForkGeneration_ == platform::forkGeneration()) return;
    // A child forked without exec: the delayed blocks set by the parent do not run here.
    timersForkGeneration_ = platform::forkGeneration();
    timerScheduled_ = storeRetryScheduled_ = false;
}

void MSChannelUnit::scheduleTimerLocked() {
    forgetParentsTimersLocked();
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
        const auto destination = ingestion_->destination();
        auto batch = storage_->loadLogsWithGroupId(configuration_.groupId, configuration_.batchSizeLimit, excluded,
                                                   destination.keys());
        if (!batch && storage_->isBusy()) {
            retryWhenStoreFrees();  // the logs stay counted: they go once it frees
            return;
        }
        if (!batch) {
            // Logs another process has in flight come back to the store if it ends first: look again.
            const bool elsewhere = storage_->countLogsClaimedElsewhere(configuration_.groupId, destination.keys()) > 0;
            std::lock_guard lock(mutex_);
            itemsCount_ = 0;
            if (elsewhere) scheduleTimerLocked();
            return;
        }
        bool more;
        {
            std::lock_guard lock(mutex_);
            pendingBatches_[batch->batchId] = batch->logs;
            itemsCount_ -= std::min(itemsCount_, batch->logs.size());
            more = itemsCount_ >= configuration_.batchSizeLimit;
        }
        sendSendable(std::move(batch->batchId), std::move(batch->logs), destination);
        if (!more) break;
    }
    checkPendingLogsOnQueue();
}

void MSChannelUnit::sendSendable(std::string batchId, Logs logs, const Destination& destination) {
    // Ends with the batch (or what is left of it) in flight, or gone when nothing of it can go.
    auto replace = [this](const std::string& old, std::initializer_list<std::pair<std::string, Logs>> parts) {
        std::lock_guard lock(mutex_);
        if (!pendingBatches_.erase(old)) return false;  // disabled with its data deleted meanwhile
        for (const auto& [id, part] : parts) pendingBatches_[id] = part;
        return true;
    };
    for (;;) {
        std::optional<std::string> problem;
        size_t bad = 0;
        for (; bad < logs.size() && !(problem = ingestion_->problemWithLog(*logs[bad])); ++bad) {}
        if (!problem) {
            for (const auto& log : logs) notify([&](MSChannelDelegate& d) { d.willSendLog(*this, log); });
            sendBatch(batchId, logs, destination);
            return;
        }
        // Cut the batch before the log, or after it when it leads; a log alone is dropped.
        const size_t cut = bad > 0 ? bad : 1;
        std::optional<std::pair<std::string, std::string>> ids;
        if (logs.size() > 1 && !(ids = storage_->splitBatch(batchId, cut))) {
            // The store could not split it: no log of the batch can go now. It is sent again, all
            // but what cannot be sent, at the next start.
            MSLogError(kMSLogTag, "Batch " + batchId + " of group " + configuration_.groupId +
                                      " holds a log that cannot be sent and could not be split; it is held back.");
            replace(batchId, {});
            return;
        }
        Logs head(logs.begin(), logs.begin() + ptrdiff_t(cut)), tail(logs.begin() + ptrdiff_t(cut), logs.end());
        if (ids && !replace(batchId, {{ids->first, head}, {ids->second, tail}})) return;
        if (bad > 0) {
            for (const auto& log : head) notify([&](MSChannelDelegate& d) { d.willSendLog(*this, log); });
            sendBatch(ids->first, head, destination);
        } else {
            const std::string dropId = ids ? ids->first : batchId;
            MSLogError(kMSLogTag, "A log of group " + configuration_.groupId + " cannot be sent and is dropped: " +
                                      *problem + ".");
            if (!replace(dropId, {})) return;
            storage_->deleteLogsWithBatchId(dropId);
            platform::Error error(kMSIngestionErrorDomain, MSHttpIngestion::kRequestNotSendable);
            error.userInfo.set(platform::Error::kLocalizedDescriptionKey, "The log cannot be sent: " + *problem + ".");
            notifyFailed(head, error);
        }
        if (!ids) return;
        batchId = ids->second;
        logs = std::move(tail);
    }
}

void MSChannelUnit::sendBatch(const std::string& batchId, const Logs& logs, const Destination& destination) {
    MSLogContainer container{batchId, logs};
    ingestion_->sendAsync(container, destination,
                          [weak = weak_from_this(), logs, destination](const std::string& id, int status) {
                              if (auto self = weak.lock())
                                  self->logsQueue_->async([self, id, logs, status, destination] {
                                      self->batchDidFinish(id, logs, status, destination);
                                  });
                          },
                          [weak = weak_from_this()] {
                              if (auto self = weak.lock()) self->logsQueue_->async([self] { self->checkIdle(); });
                          });
}

void MSChannelUnit::batchDidFinish(const std::string& batchId, const Logs& logs, int statusCode,
                                   const Destination& destination) {
    {
        std::lock_guard lock(mutex_);
        if (!pendingBatches_.erase(batchId)) return;  // the unit was disabled with its data deleted
    }
    // Refused for what it holds: each half goes again, so only a log refused alone is dropped.
    // Refused for a tenant's credentials (a revoked "apikey"): the logs of the batch's other
    // tenants go again apart, so only the refused tenant's logs fail.
    std::vector<bool> first;  // the logs of the first part; none: no split
    if (isSplittableStatus(statusCode) && logs.size() > 1) {
        first.assign(logs.size(), false);
        std::fill(first.begin(), first.begin() + ptrdiff_t(logs.size() / 2), true);
    } else if ((statusCode == 401 || statusCode == 403) && logs.size() > 1) {
        auto tenant = [](const std::shared_ptr<MSAbstractLog>& log) {
            return log->transmissionTargetTokens().value_or(std::set<std::string>{});
        };
        const auto lead = tenant(logs.front());
        for (const auto& log : logs) first.push_back(tenant(log) == lead);
    }
    if (std::count(first.begin(), first.end(), false) > 0)
        if (auto ids = storage_->splitBatch(batchId, first)) {
            Logs head, tail;
            for (size_t i = 0; i < logs.size(); ++i) (first[i] ? head : tail).push_back(logs[i]);
            MSLogWarning(kMSLogTag, "The ingestion refused batch " + batchId + " of group " + configuration_.groupId +
                                        " (status " + std::to_string(statusCode) + "); sending its " +
                                        std::to_string(logs.size()) + " logs again in two parts.");
            {
                std::lock_guard lock(mutex_);
                pendingBatches_[ids->first] = head;
                pendingBatches_[ids->second] = tail;
            }
            sendBatch(ids->first, head, destination);
            sendBatch(ids->second, tail, destination);
            return;
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
                           statusCode == 413   ? "The server refused the log as too large (HTTP status 413)."
                           : statusCode == MSHttpIngestion::kRequestNotSendable
                               ? std::string("The log cannot be sent: its request would carry invalid headers.")
                               : "The server refused the logs (HTTP status " + std::to_string(statusCode) + ").");
        notifyFailed(logs, error);
    }
    checkPendingLogsOnQueue();
    checkIdle();
}

}  // namespace quorvane
