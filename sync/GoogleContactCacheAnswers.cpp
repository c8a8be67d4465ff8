// The kept list's answers to the run's writes (their bytes in a file of their own) and the
// writing of the kept list with them and with the changes downloaded since its date.

#include <fcntl.h>
#include <unistd.h>

#include <unordered_set>

#include "sync/ChangesMerge.h"
#include "sync/GoogleContactCache.h"
#include "sync/GoogleContactCacheInternal.h"

namespace quorvane {

using keptlist::checksum;
using keptlist::unusable;

bool GoogleContactCache::keepAnswer(const std::shared_ptr<GDataEntryContact>& answer, const std::filesystem::path& folder) {
    if (!answer || isSummary(answer.get()) || isLean(answer.get()) || answer->ETag().value_or("").empty()) return false;
    auto fresh = freshOf(*answer);
    if (!fresh) return false;
    // The bytes wait in a file of their own (gone with the process), not in memory: a run that
    // made a whole list on Google would otherwise hold all of it again until it ends.
    if (!answerFile_ && !folder.empty()) {
        auto file = std::make_shared<File>();
#ifdef O_TMPFILE
        file->fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
        if (file->fd >= 0) answerFile_ = std::move(file);
    }
    if (answerFile_ && ::pwrite(answerFile_->fd, fresh->xml.data(), fresh->xml.size(), off_t(answerFile_->size)) ==
                           ssize_t(fresh->xml.size())) {
        fresh->xmlAt = answerFile_->size;
        fresh->xmlLength = fresh->xml.size();
        fresh->xmlChecksum = checksum(fresh->xml);
        answerFile_->size += fresh->xml.size();
        std::string().swap(fresh->xml);  // (assigning an empty string would keep the buffer)
        fresh->spilled = true;
    }
    std::string id = fresh->identifier;
    answerOrder_.push_back(id);
    answers_.insert_or_assign(std::move(id), std::move(*fresh));
    return true;
}

std::unordered_map<std::string, std::string> GoogleContactCache::heldVersions() const {
    std::unordered_map<std::string, std::string> held;
    held.reserve(records_.size() + answers_.size());
    for (const Record& rec : records_)
        if (!rec.etag.empty()) held.emplace(rec.identifier, rec.etag);
    for (const auto& [id, answer] : answers_) held.insert_or_assign(id, answer.etag);
    return held;
}

platform::Result<void> GoogleContactCache::writeWithAnswers(const std::filesystem::path& path,
                                                           const GDataFeedContact* changes) {
    if (answers_.empty() && !changes) return {};
    struct Drop {
        GoogleContactCache& cache;
        ~Drop() { cache.dropAnswers(); }
    } drop{*this};
    if (watermark_.empty() || pagesUnnamed_) return unusable("the list it holds is not the one kept");
    // The list as kept, each contact answered in its place, the new ones after it.
    std::vector<Item> items;
    items.reserve(records_.size() + answers_.size());
    ChangesMerge merge;  // what the changes since do to them (the rule mergeChanges applies)
    merge.reserve(items.capacity());
    std::unordered_set<std::string_view> placed;  // identifiers with an item
    placed.reserve(items.capacity());
    auto place = [&](std::string_view id, Item item) {
        merge.hold(id, etagOf(item));
        items.push_back(std::move(item));
    };
    for (size_t i = 0; i < records_.size(); ++i) {
        auto answer = answers_.find(records_[i].identifier);
        placed.insert(records_[i].identifier);
        place(records_[i].identifier, answer != answers_.end() ? Item{RecordIndex::kNone, &answer->second, nullptr} : Item{i, nullptr, nullptr});
    }
    for (const std::string& id : answerOrder_) {
        auto answer = answers_.find(id);
        if (answer == answers_.end() || !placed.insert(answer->first).second) continue;
        place(answer->first, Item{RecordIndex::kNone, &answer->second, nullptr});
    }
    std::string watermark = watermark_;
    if (changes) {
        if (auto updated = changes->updatedDate()) watermark = updated->RFC3339String();
        const auto& entries = changes->entries();
        for (const auto& base : entries ? *entries : std::vector<std::shared_ptr<GDataEntryBase>>{}) {
            auto entry = std::dynamic_pointer_cast<GDataEntryContact>(base);
            auto id = entry ? entry->identifier() : std::nullopt;
            if (!id) return unusable("an entry without identifier cannot be kept");
            const auto etag = entry->ETag();
            const auto to = merge.apply(*id, etag ? std::optional<std::string_view>(*etag) : std::nullopt, entry->isDeleted());
            if (to.step == ChangesMerge::Step::Replaced) items[to.position] = Item{RecordIndex::kNone, nullptr, entry};
            else if (to.step == ChangesMerge::Step::Appended) items.push_back(Item{RecordIndex::kNone, nullptr, entry});
        }
        size_t kept = 0;
        for (size_t i = 0; i < items.size(); ++i)
            if (!merge.removed(i)) items[kept++] = std::move(items[i]);
        items.resize(kept);
    }
    return writeItems(path, watermark, items);
}

const std::string& GoogleContactCache::etagOf(const Item& item) const {
    static const std::string none;
    if (item.answer) return item.answer->etag;
    if (item.kept != RecordIndex::kNone) return records_[item.kept].etag;
    return none;
}

}  // namespace quorvane
