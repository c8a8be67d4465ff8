#pragma once
// Deterministic contacts feeds in the provider's format, for tests and benchmarks: every element
// type a contact entry declares, plus elements and attributes no class models (on the feed, on
// each entry and inside its e-mail and organization elements), so that round trips can show
// nothing is lost.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane::testing {

struct ContactsFeedOptions {
    size_t entries = 10;
    uint32_t seed = 1;
    // Add the elements and attributes no class models.
    bool unknownParts = true;
};

std::string generateContactsFeed(const ContactsFeedOptions& options);
// Text made safe for XML content and attribute values.
std::string escapeXML(const std::string& s);
// A groups feed with the four system groups and `userGroups` user groups.
std::string generateGroupsFeed(size_t userGroups, uint32_t seed = 1);

}  // namespace quorvane::testing
