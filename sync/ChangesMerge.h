#pragma once
// ChangesMerge: the rule by which a download of changes (deleted entries included) is merged into
// a list held, written once for every place that applies it: the merge of a download into the
// list downloaded before (GoogleFeedFetch::mergeChanges), the download that passes over the
// versions held before any object is made of them, and the kept list written with the changes
// since its date (GoogleContactCache::writeWithAnswers).
//
// In the order the changes come: a deletion removes the entry held (a deletion of an entry not
// held is nothing to do); another version takes the place of the one held, where it stood; an
// entry not held comes last. A change that is the version held (the same identifier and the same
// ETag, which must not be empty, not deleted, and no other change of that identifier before it)
// leaves the entry held as it is: the changes start a little before the list's date, so what
// changed in that time comes again, and so do the answers to this program's own writes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quorvane {

class ChangesMerge {
public:
    enum class Step {
        Held,     // the version held: it stays
        Ignored,  // a deletion of an entry not held
        Removed,  // the entry held at `position` is deleted
        Replaced, // the entry at `position` is this change now
        Appended, // a new entry, at `position` (the end of the list)
    };
    struct Outcome {
        Step step;
        size_t position = 0;
    };

    void reserve(size_t n);
    // The next entry of the list held (its position is the count held so far). An entry
    // without identifier takes a position but can never be changed.
    void hold(std::optional<std::string_view> identifier, std::string_view etag);
    // Where the change goes.
    Outcome apply(std::string_view identifier, std::optional<std::string_view> etag, bool deleted);

    size_t size() const { return etags_.size(); }
    bool removed(size_t position) const { return removed_[position]; }
    // Whether any change did more than leave the list as it was.
    bool changedList() const { return changedList_; }

private:
    std::unordered_map<std::string, size_t> positions_;
    std::vector<std::string> etags_;
    std::vector<bool> removed_;
    std::unordered_set<std::string> changed_;  // identifiers with a change other than the version held
    bool changedList_ = false;
};

}  // namespace quorvane
