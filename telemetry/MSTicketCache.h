#pragma once
// Authentication tickets by ticket key, read by the One Collector ingestion when it sends. A
// ticket given with its expiry is no longer handed out from then on.

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/ForkSafeMutex.h"

namespace quorvane {

class MSTicketCache {
public:
    static MSTicketCache& sharedInstance();
    void setTicket(std::string ticket, const std::string& key, std::optional<platform::Date> expiry = std::nullopt);
    // None when there is no ticket for the key or it has expired by `now`.
    std::optional<std::string> ticketFor(const std::string& key, platform::Date now = platform::Date::now()) const;
    void clearCache();

private:
    mutable platform::ForkSafeMutex mutex_;
    struct Ticket {
        std::string text;
        std::optional<platform::Date> expiry;
    };
    std::map<std::string, Ticket> tickets_;
};

}  // namespace quorvane
