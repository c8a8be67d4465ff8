#pragma once
// The contacts feed the benchmarks parse (as GDataFeedContact), and a reader that touches every
// modelled field of every contact entry.

#include <memory>

#include "gdata/GDataFeedBase.h"

namespace quorvane::benchsupport {

std::shared_ptr<GDataFeedBase> parseContactsFeed(const platform::Bytes& bytes);
// Reads every modelled value of every entry; returns a count so the work cannot be skipped.
size_t readEveryField(const GDataFeedBase& feed);

}  // namespace quorvane::benchsupport
