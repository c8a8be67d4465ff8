#pragma once
// What the channel layer tells about every log of every unit of a group. A delegate overrides
// only what it needs. Preparation calls run on the enqueuing thread; the others on the group's
// logs queue.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSChannelUnit;
class MSChannelGroup;

// What became of a log handed to a unit, as its delegates hear when the unit is done with it.
enum class MSEnqueueOutcome {
    Stored,     // in the log store: it is sent, or still stored at the next start
    Discarded,  // left out on purpose: a delegate filtered it, or the unit is disabled
    NotStored,  // lost: the store could not take it (a write error, a full disk, no room), or it
                // gave way to newer logs while waiting to be stored
};

class MSChannelDelegate {
public:
    virtual ~MSChannelDelegate() = default;
    virtual void prepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {}
    virtual void didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                               const std::string& internalId, uint32_t flags) {}
    virtual void didCompleteEnqueueingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                          const std::string& internalId, MSEnqueueOutcome outcome) {}
    // YES from any delegate drops the log.
    virtual bool shouldFilterLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) { return false; }
    virtual void willSendLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {}
    virtual void didSucceedSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {}
    virtual void didFailSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                   const platform::Error& error) {}
    // Group level.
    virtual void didAddChannelUnit(MSChannelGroup& group, const std::shared_ptr<MSChannelUnit>& unit) {}
};

// A list of delegates held weakly, copied on change so that a caller can walk a snapshot
// without a lock or an allocation.
class MSDelegateList {
public:
    MSDelegateList adding(const std::shared_ptr<MSChannelDelegate>& delegate) const {
        auto list = std::make_shared<std::vector<std::weak_ptr<MSChannelDelegate>>>();
        if (list_) list->assign(list_->begin(), list_->end());
        list->push_back(delegate);
        return MSDelegateList(std::move(list));
    }
    MSDelegateList removing(const std::shared_ptr<MSChannelDelegate>& delegate) const {
        auto list = std::make_shared<std::vector<std::weak_ptr<MSChannelDelegate>>>();
        if (list_)
            for (const auto& w : *list_)
                if (auto d = w.lock(); d && d != delegate) list->push_back(w);
        return MSDelegateList(std::move(list));
    }
    template <class F>
    void forEach(F&& f) const {
        if (!list_) return;
        for (const auto& w : *list_)
            if (auto d = w.lock()) f(*d);
    }

    MSDelegateList() = default;

private:
    explicit MSDelegateList(std::shared_ptr<const std::vector<std::weak_ptr<MSChannelDelegate>>> list)
        : list_(std::move(list)) {}
    std::shared_ptr<const std::vector<std::weak_ptr<MSChannelDelegate>>> list_;
};

}  // namespace quorvane
