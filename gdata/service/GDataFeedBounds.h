#pragma once
// The bound of a feed followed through its next links: the most entries it may gather across
// its pages, and the most bytes its pages may hold together. Far above any real address book;
// past either the call fails with kGDataServiceErrorFeedTooLarge (in kGDataServiceErrorDomain)
// and what it gathered goes. One bound for the process; 0 in either: no bound of that kind.

#include <cstdint>

namespace quorvane {

inline constexpr int64_t kGDataServiceErrorFeedTooLarge = -103;

struct GDataFeedBounds {
    uint64_t maxEntries = 250000;
    uint64_t maxBytes = uint64_t(512) << 20;
};

GDataFeedBounds gdataFeedBounds();
void setGDataFeedBounds(GDataFeedBounds bounds);

}  // namespace quorvane
