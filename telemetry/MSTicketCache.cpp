#include "telemetry/MSTicketCache.h"

namespace quorvane {

MSTicketCache& MSTicketCache::sharedInstance() {
    static auto& cache = *new MSTicketCache;
    return cache;
}

void MSTicketCache::setTicket(std::string ticket, const std::string& key) {
    std::lock_guard lock(mutex_);
    tickets_[key] = std::move(ticket);
}

std::optional<std::string> MSTicketCache::ticketFor(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = tickets_.find(key);
    return it == tickets_.end() ? std::nullopt : std::optional(it->second);
}

void MSTicketCache::clearCache() {
    std::lock_guard lock(mutex_);
    tickets_.clear();
}

}  // namespace quorvane
