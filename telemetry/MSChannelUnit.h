#pragma once
// A channel unit: the logs of one group id, stored and sent in batches.
//
// enqueueItem runs its checks and the preparation callbacks on the caller's thread, then stores
// the log on the group's logs queue. Batches leave when batchSizeLimit logs are waiting or when
// the flush interval has passed since the first of them, at most pendingBatchesLimit at a time,
// and not while the unit is disabled or paused. A sent batch is deleted from storage only after
// the ingestion accepted it (or refused it for good). While another process sharing the store has
// logs of the group in flight, the unit looks again every flush interval, so that what that
// process held is sent here if it ends before sending it. A batch refused for its content (413 too
// large, 400, 422, 431 headers too large) is split in halves that are sent again, so only a log
// refused alone is dropped; one refused for a tenant's credentials (401, 403) is split by tenant,
// so only that tenant's logs fail. Each batch goes to the destination its logs were stored for
// (MSHttpIngestion::Destination). Stored logs the full store deletes to make room are reported
// failed to the delegates.
// A log the ingestion could never send (MSHttpIngestion::problemWithLog) is taken out of its batch
// and dropped alone, with the reason, before the rest is sent. Disabling with deletion tells the
// delegates that each deleted log (in flight or stored) failed to be sent.
//
// The logs waiting to be stored are held in memory within the store's size bound (their stored
// text): past it the oldest of normal priority give way first, then the oldest of a priority no
// higher than the new log's (or else the new log), as the store itself does when full; the drops are counted and logged. The delegates hear a dropped log
// complete at once, on the enqueuing thread, so that nothing of it stays in memory. While the store
// is held by another connection (a process stopped inside its write) the logs keep waiting there,
// within the same bound, and their delegates hear of them once they are stored; the unit tries
// the store again every kStoreRetryInterval, for the logs waiting and for sending.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSAbstractLog.h"
#include "telemetry/MSChannelDelegate.h"
#include "telemetry/MSChannelUnitConfiguration.h"
#include "telemetry/MSHttpIngestion.h"

namespace quorvane::platform {
class DispatchQueue;
}

namespace quorvane {

class MSHttpIngestion;
class MSLogDBStorage;

class MSChannelUnit : public std::enable_shared_from_this<MSChannelUnit> {
public:
    MSChannelUnit(MSChannelUnitConfiguration configuration, std::shared_ptr<MSHttpIngestion> ingestion,
                  std::shared_ptr<MSLogDBStorage> storage, std::shared_ptr<platform::DispatchQueue> logsQueue);

    const MSChannelUnitConfiguration& configuration() const { return configuration_; }
    const std::shared_ptr<MSHttpIngestion>& ingestion() const { return ingestion_; }

    void addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate);
    void removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate);

    void enqueueItem(const std::shared_ptr<MSAbstractLog>& log, uint32_t flags = MSFlagsDefault);

    bool isEnabled() const;
    void setEnabled(bool enabled, bool deleteDataOnDisabled);
    // The unit sends nothing while any pausing object remains.
    void pauseWithIdentifyingObject(const void* object);
    void resumeWithIdentifyingObject(const void* object);
    bool isPaused() const;
    // Stored logs of the token's target key are held back while it is paused.
    void pauseSendingLogsWithToken(const std::string& token);
    void resumeSendingLogsWithToken(const std::string& token);

    // Looks at the stored logs and sends or schedules what is due (on the logs queue).
    void checkPendingLogs();
    // Sends what is stored now, whatever the batch size (on the logs queue).
    void flushQueue();
    // Calls idle (on the logs queue) once no log waits to be stored and no batch of the unit
    // awaits an answer (a batch whose retry waits does not): at once when so. Asked after a
    // flushQueue, it counts the batches that flush sent.
    void notifyWhenIdle(std::function<void()> idle);
    // For the end of the process, after the wait for answers: each batch whose answer has not come
    // is let go (its request cancelled) and released in the store, to be sent again by a later
    // start or another process (MSLogDBStorage::releaseUnansweredBatch). Returns once done.
    void endSending();

    // Logs dropped because the queue waiting to be stored was full, since the unit was made.
    size_t droppedLogCount() const;
    // The stored text of the logs waiting to be stored.
    size_t pendingBytes() const;

    static bool isSplittableStatus(int statusCode);
    static constexpr double kStoreRetryInterval = 1;  // seconds

private:
    MSDelegateList delegates() const;
    template <class F>
    void notify(F&& f) const {
        delegates().forEach(f);
    }
    // recount: read the number of waiting logs from storage instead of the running count. Sends a
    // full batch at once, or sets the flush timer for fewer logs.
    void checkPendingLogsOnQueue(bool recount = true);
    void scheduleTimerLocked();
    void forgetParentsTimersLocked();
    void flushOnQueue();
    using Logs = std::vector<std::shared_ptr<MSAbstractLog>>;
    // Sends a batch just taken from storage (its id in pendingBatches_), after taking out and
    // dropping the logs the ingestion could never send.
    using Destination = MSHttpIngestion::Destination;
    void sendSendable(std::string batchId, Logs logs, const Destination& destination);
    // To the destination the batch's logs were loaded for, however the ingestion changed since.
    void sendBatch(const std::string& batchId, const Logs& logs, const Destination& destination);
    void notifyFailed(const Logs& logs, const platform::Error& error);
    // Deletes the group's logs, in flight and stored, telling the delegates of each.
    void deleteAllLogs(std::map<std::string, Logs> inFlight);
    void batchDidFinish(const std::string& batchId, const Logs& logs, int statusCode, const Destination& destination);
    bool canSendLocked() const;
    // Calls the idle waiters when the unit is idle (on the logs queue).
    void checkIdle();

    struct PendingStore {
        std::shared_ptr<MSAbstractLog> log;
        std::string internalId;
        uint32_t flags;
        std::string storedText;  // made on the enqueuing thread, so that callers share the work
        std::string destination;  // the ingestion's when the log was accepted
        bool filterAsked = false;  // it waited for a busy store after the delegates were asked
    };
    void drainPendingStores();
    void retryWhenStoreFrees();

    const MSChannelUnitConfiguration configuration_;
    const std::shared_ptr<MSHttpIngestion> ingestion_;
    const std::shared_ptr<MSLogDBStorage> storage_;
    const std::shared_ptr<platform::DispatchQueue> logsQueue_;

    mutable platform::ForkSafeMutex mutex_;
    MSDelegateList delegates_;
    bool enabled_ = true;
    std::set<const void*> pausingObjects_;
    std::set<std::string> pausedTargetKeys_;
    std::map<std::string, Logs> pendingBatches_;  // in flight, by batch id
    size_t itemsCount_ = 0;        // stored logs not yet in a batch (logs queue)
    uint64_t timerGeneration_ = 0;  // a scheduled flush runs only while this is unchanged
    bool timerScheduled_ = false;
    bool storeRetryScheduled_ = false;
    uint64_t timersForkGeneration_ = platform::forkGeneration();  // of the process the two above are of
    std::vector<std::function<void()>> idleWaiters_;
    // Logs handed over by enqueueItem and not yet stored; one drain at a time stores all that
    // arrived meanwhile in one transaction.
    mutable platform::ForkSafeMutex pendingMutex_;
    std::vector<PendingStore> pendingStores_;
    size_t pendingBytes_ = 0;
    size_t dropped_ = 0;           // since the unit was made
    size_t droppedUnreported_ = 0;  // logged by the next drain
    bool drainScheduled_ = false;
    uint64_t pendingForkGeneration_ = platform::forkGeneration();  // of the process those logs are of
};

}  // namespace quorvane
