// The rule by which a download of changes is merged into a list held.

#include "sync/ChangesMerge.h"

namespace quorvane {

void ChangesMerge::reserve(size_t n) {
    positions_.reserve(n);
    etags_.reserve(n);
    removed_.reserve(n);
}

void ChangesMerge::hold(std::optional<std::string_view> identifier, std::string_view etag) {
    if (identifier) positions_.emplace(std::string(*identifier), etags_.size());
    etags_.emplace_back(etag);
    removed_.push_back(false);
}

ChangesMerge::Outcome ChangesMerge::apply(std::string_view identifier, std::optional<std::string_view> etag, bool deleted) {
    std::string id(identifier);
    auto found = positions_.find(id);
    if (!deleted && etag && !etag->empty() && found != positions_.end() && !removed_[found->second] &&
        etags_[found->second] == *etag && !changed_.contains(id)) {
        return {Step::Held, found->second};
    }
    changed_.insert(id);
    if (deleted) {
        if (found == positions_.end() || removed_[found->second]) return {Step::Ignored, 0};
        removed_[found->second] = true;
        changedList_ = true;
        return {Step::Removed, found->second};
    }
    changedList_ = true;
    if (found != positions_.end()) {
        etags_[found->second] = std::string(etag.value_or(""));
        removed_[found->second] = false;
        return {Step::Replaced, found->second};
    }
    const size_t at = etags_.size();
    positions_.emplace(std::move(id), at);
    etags_.emplace_back(etag.value_or(""));
    removed_.push_back(false);
    return {Step::Appended, at};
}

}  // namespace quorvane
