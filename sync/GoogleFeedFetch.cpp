// The download of the groups and contacts feeds, and the verdict on their completeness.

#include "sync/GoogleFeedFetch.h"

#include <unordered_map>

#include "fetcher/QNSessionFetcher.h"
#include "gdata/service/GDataQueryContact.h"

namespace quorvane {

std::string GoogleFeedFetch::incompleteReasonForFeed(const GDataFeedBase& feed) {
    if (feed.nextLink()) return "the feed was cut short: a next link was left unfollowed";
    if (auto total = feed.totalResults(); total && *total >= 0 && feed.entryCount() < static_cast<size_t>(*total)) {
        return "the feed holds " + std::to_string(feed.entryCount()) + " of its " + std::to_string(*total) + " entries";
    }
    return "";
}

namespace {

template <class Feed>
FetchedFeed<Feed> verdict(std::shared_ptr<Feed> feed) {
    FetchedFeed<Feed> fetched;
    fetched.incompleteReason = GoogleFeedFetch::incompleteReasonForFeed(*feed);
    fetched.complete = fetched.incompleteReason.empty();
    fetched.feed = std::move(feed);
    return fetched;
}

// Fetches the query into a feed of class Feed and hands it to `done`, or the error to `callback`.
template <class Feed>
GDataServiceTicketPtr fetchFeed(const std::shared_ptr<GDataServiceGoogleContact>& service, const GDataQuery& query,
                                GoogleFeedFetch::Callback<Feed> callback,
                                std::function<void(std::shared_ptr<Feed>)> done) {
    auto finished = [callback, done](const GDataServiceTicketPtr&, const GDataObjectPtr& object,
                                     const std::optional<platform::Error>& error) {
        if (error) return callback({}, error);
        auto feed = std::dynamic_pointer_cast<Feed>(object);
        if (!feed) return callback({}, platform::Error(kGDataServiceErrorDomain, kGDataServiceErrorCouldNotConstructObject));
        done(std::move(feed));
    };
    return service->fetchFeedWithQuery(query, Feed::staticClassInfo(), GDataServiceDelegate(finished, "feedFetched"));
}

}  // namespace

GDataServiceTicketPtr GoogleFeedFetch::fetchGroupFeed(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                                      const platform::URL& feedURL,
                                                      Callback<GDataFeedContactGroup> callback) {
    GDataQueryContact query(feedURL);
    query.setMaxResults(kMaxResults);
    return fetchFeed<GDataFeedContactGroup>(service, query, callback, [callback](auto feed) {
        callback(verdict(std::move(feed)), std::nullopt);
    });
}

GDataServiceTicketPtr GoogleFeedFetch::fetchContactFeed(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                                        const platform::URL& feedURL, const FetchedContactFeed* cached,
                                                        Callback<GDataFeedContact> callback, PageHandler onPage) {
    GDataQueryContact query(feedURL);
    query.setMaxResults(kMaxResults);
    std::shared_ptr<GDataFeedContact> base;
    if (cached && cached->complete && cached->feed && cached->feed->updatedDate()) {
        base = cached->feed;
        query.setUpdatedMinDateTime(base->updatedDate());
        query.setShouldShowDeleted(true);
    }
    auto answered = callback;
    if (base) {
        // Changes too old for the provider to keep: the whole list, as if nothing were cached.
        answered = [service, feedURL, callback, onPage](FetchedContactFeed fetched, std::optional<platform::Error> error) {
            if (error && isChangesGoneError(*error)) {
                fetchContactFeed(service, feedURL, nullptr, callback, onPage);
                return;
            }
            callback(std::move(fetched), std::move(error));
        };
    }
    auto ticket = fetchFeed<GDataFeedContact>(service, query, answered, [callback, base](auto feed) {
        if (!base) return callback(verdict(std::move(feed)), std::nullopt);
        // The changes must be whole too: a change missed could be a deletion missed.
        std::string changesReason = incompleteReasonForFeed(*feed);
        bool unchanged = false;
        auto fetched = verdict(mergeChanges(base, feed, &unchanged));
        fetched.incremental = true;
        fetched.unchanged = unchanged && changesReason.empty();
        if (!changesReason.empty()) {
            fetched.complete = false;
            fetched.incompleteReason = "the changes since the last download: " + changesReason;
        }
        callback(std::move(fetched), std::nullopt);
    });
    // Set before any page can come: the pages are reported on this thread, after this returns.
    if (ticket && onPage && !base) {
        ticket->setFeedPageHandler([onPage](const std::shared_ptr<GDataFeedBase>& page) {
            if (auto contacts = std::dynamic_pointer_cast<GDataFeedContact>(page)) onPage(*contacts);
        });
    }
    return ticket;
}

bool GoogleFeedFetch::isChangesGoneError(const platform::Error& error) {
    return (error.domain == kGDataServiceErrorDomain || error.domain == QNSessionFetcherStatusDomain) && error.code == 410;
}

std::shared_ptr<GDataFeedContact> GoogleFeedFetch::mergeChanges(const std::shared_ptr<GDataFeedContact>& cached,
                                                                const std::shared_ptr<GDataFeedContact>& changes,
                                                                bool* unchanged) {
    bool same = true;
    std::vector<std::shared_ptr<GDataEntryBase>> merged;
    if (cached->entries()) merged = *cached->entries();
    std::unordered_map<std::string, size_t> position;
    for (size_t i = 0; i < merged.size(); ++i) {
        if (auto id = merged[i]->identifier()) position.emplace(*id, i);
    }
    std::vector<bool> removed(merged.size(), false);
    if (changes->entries()) {
        for (const auto& entry : *changes->entries()) {
            auto id = entry->identifier();
            auto found = id ? position.find(*id) : position.end();
            if (entry->isDeleted()) {
                if (found != position.end() && !removed[found->second]) {
                    removed[found->second] = true;
                    same = false;
                }
                continue;
            }
            if (found != position.end()) {
                // The same version again (the changes start at the second of the last download,
                // so what changed in that second comes back): the entry held, often a summary of
                // the kept list, stays; the copy downloaded is the same content.
                if (!removed[found->second] && entry->ETag() && merged[found->second]->ETag() == entry->ETag()) continue;
                same = false;
                merged[found->second] = entry;
                removed[found->second] = false;
            } else {
                if (id) position.emplace(*id, merged.size());
                merged.push_back(entry);
                removed.push_back(false);
                same = false;
            }
        }
    }
    std::vector<std::shared_ptr<GDataEntryBase>> kept;
    kept.reserve(merged.size());
    for (size_t i = 0; i < merged.size(); ++i) {
        if (removed[i]) continue;
        merged[i]->setParent(nullptr);
        kept.push_back(std::move(merged[i]));
    }
    cached->setEntries(std::nullopt);
    changes->setEntries(kept);
    // The totals of the changes page count only the changes.
    changes->setTotalResults(static_cast<int32_t>(kept.size()));
    if (unchanged) *unchanged = same;
    return changes;
}

}  // namespace quorvane
