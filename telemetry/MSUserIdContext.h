#pragma once
// The current user id, its persisted history, and the user-id rules of the One Collector.

#include <memory>

#include "telemetry/MSIdHistory.h"

namespace quorvane {

class MSUserIdContext {
public:
    static MSUserIdContext& sharedInstance();
    static void resetSharedInstance();

    std::optional<std::string> userId() const { return history_.current(); }
    void setUserId(std::optional<std::string> id) { history_.setCurrent(std::move(id)); }
    std::optional<std::string> userIdAt(platform::Date date) const { return history_.identifierAt(date); }
    std::optional<std::string> userIdAt(platform::Date date, const MSIdHistory::Process& process,
                                        std::optional<int64_t> parentProcessId) const {
        return history_.identifierAt(date, process, parentProcessId);
    }
    void clearUserIdHistory() { history_.clear(true); }
    std::vector<MSIdHistory::Entry> userIdHistory() const { return history_.entries(); }
    platform::Date historyLoadedAt() const { return history_.loadedAt(); }

    // Absent ids and ids without ":" pass; otherwise only the prefix "c:" with a non-empty id.
    static bool isUserIdValidForOneCollector(const std::optional<std::string>& userId);
    // "c:" + the id when it has no ":"; other ids and none unchanged.
    static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

    MSUserIdContext() : history_("UserIdHistory", MSUserIdHistoryInfo::kClassInfo) {}

private:
    MSIdHistory history_;
};

}  // namespace quorvane
