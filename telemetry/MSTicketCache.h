#pragma once
// Authentication tickets by ticket key, read by the One Collector ingestion when it sends.

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace quorvane {

class MSTicketCache {
public:
    static MSTicketCache& sharedInstance();
    void setTicket(std::string ticket, const std::string& key);
    std::optional<std::string> ticketFor(const std::string& key) const;
    void clearCache();

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> tickets_;
};

}  // namespace quorvane
