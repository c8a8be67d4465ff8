#pragma once
// The current session id and the persisted history of session ids.

#include <memory>

#include "telemetry/MSIdHistory.h"

namespace quorvane {

class MSSessionContext {
public:
    static MSSessionContext& sharedInstance();
    // Drops the shared instance; the next one reads the stored history again (a restart).
    static void resetSharedInstance();

    std::optional<std::string> sessionId() const { return history_.current(); }
    // Records the id (none ends the current session) with the current time.
    void setSessionId(std::optional<std::string> id) { history_.setCurrent(std::move(id)); }
    // The session that was current at the date; none when it is older than the history.
    std::optional<std::string> sessionIdAt(platform::Date date) const { return history_.identifierAt(date); }
    // The session the process had at the date (MSIdHistory::identifierAt).
    std::optional<std::string> sessionIdAt(platform::Date date, const MSIdHistory::Process& process,
                                           std::optional<int64_t> parentProcessId) const {
        return history_.identifierAt(date, process, parentProcessId);
    }
    void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) { history_.clear(keepCurrentSession); }
    std::vector<MSIdHistory::Entry> sessionHistory() const { return history_.entries(); }
    platform::Date historyLoadedAt() const { return history_.loadedAt(); }

    MSSessionContext() : history_("SessionIdHistory", MSSessionHistoryInfo::kClassInfo) {}

private:
    MSIdHistory history_;
};

}  // namespace quorvane
