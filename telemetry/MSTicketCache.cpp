#include "telemetry/MSTicketCache.h"

namespace quorvane {

MSTicketCache& MSTicketCache::sharedInstance() {
    static auto& cache = *new MSTicketCache;
    return cache;
}

void MSTicketCache::setTicket(std::string ticket, const std::string& key, std::optional<platform::Date> expiry) {
    std::lock_guard lock(mutex_);
    tickets_[key] = {std::move(ticket), expiry};
}

std::optional<std::string> MSTicketCache::ticketFor(const std::string& key, platform::Date now) const {
    std::lock_guard lock(mutex_);
    auto it = tickets_.find(key);
    if (it == tickets_.end() || (it->second.expiry && *it->second.expiry <= now)) return std::nullopt;
    return it->second.text;
}

void MSTicketCache::clearCache() {
    std::lock_guard lock(mutex_);
    tickets_.clear();
}

}  // namespace quorvane
