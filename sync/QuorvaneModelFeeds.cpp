// The download of the Google groups and contacts feeds at the start of a run.

#include "platform/foundation/Memory.h"
#include "platform/foundation/Paths.h"
#include "sync/ContentDigest.h"
#include "sync/DurableReplace.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

// The entries asked for per request by the download after a run's writes: most of them are the
// run's own writes, passed over unread, and a smaller page holds less of them at once.
constexpr int32_t kKeptListCheckPageSize = 1000;

platform::Error badRootError() {
    platform::Value info = platform::Value::dictionary();
    info.set("NSLocalizedDescription",
             "The contacts feed root is not a URL: " + GDataServiceGoogleContact::contactServiceRootURLString());
    return platform::Error(kGDataServiceErrorDomain, kGDataServiceErrorCouldNotConstructObject, info);
}

}  // namespace

void QuorvaneModel::fetchGroupFeedWithCompletion(FeedFetchCompletion completion) {
    auto url = GDataServiceGoogleContact::groupFeedURLForUserID("default");
    if (!url) return completion(badRootError());
    // The groups come first in a download of both: a new download, a new verdict.
    mFeedIncompleteReason.clear();
    std::weak_ptr<int> alive = mAliveMarker;
    mFeedTicket = GoogleFeedFetch::fetchGroupFeed(
        getGoogleContactService(), *url,
        [this, alive, completion](FetchedGroupFeed fetched, std::optional<platform::Error> error) {
            if (alive.expired()) return;
            mFeedTicket = nullptr;
            if (!error) {
                mGroupFeed = fetched.feed;
                mGroupFeedComplete = fetched.complete;
                if (!fetched.complete) {
                    noteFeedIncomplete("Google groups: " + fetched.incompleteReason);
                }
            }
            completion(error);
        });
}

void QuorvaneModel::fetchContactFeedWithCompletion(FeedFetchCompletion completion, int attempt) {
    auto url = GDataServiceGoogleContact::contactFeedURLForUserID("default");
    if (!url) return completion(badRootError());
    // The last download serves as the base of an incremental one only when it was whole and of
    // the same user: the one in memory, else the list kept on disk for this account and provider.
    std::optional<FetchedContactFeed> cached;
    if (mKeptListUnreadable) {
        mKeptListUnreadable = false;
        mGoogleContactCache = nullptr;
        mContactFeed = nullptr;
    }
    const std::string user = getUsername();
    const GoogleContactCache::Owner owner{user, url->absoluteString()};
    // Answers of a run that ended before it kept them are of no use against a new download.
    if (mGoogleContactCache) mGoogleContactCache->dropAnswers();
    bool keptListLoaded = false;
    if (!user.empty() && (!mGoogleContactCache || mGoogleContactCache->owner().account != owner.account ||
                          mGoogleContactCache->owner().feedURL != owner.feedURL)) {
        mGoogleContactCache = nullptr;
        auto loaded = GoogleContactCache::load(GoogleContactCache::pathInFolder(dataFolder()), owner);
        if (loaded) {
            mGoogleContactCache = *loaded;
            keptListLoaded = true;
        } else {
            // Not an error of the run: the whole list is downloaded instead.
            appendStringToLog(loaded.error().localizedDescription() + ": downloading the whole list");
            mGoogleContactCache = GoogleContactCache::empty(owner);
        }
    }
    bool keptListBase = false;  // the download starts from the kept list
    const bool lastDownloadIsBase = mContactFeed && mContactFeedComplete && mContactFeedUsername == user && !user.empty();
    if (lastDownloadIsBase && !mContactFeedHoldsLeanCopies) {
        cached = FetchedContactFeed{mContactFeed, true, "", mContactFeedIncremental};
    } else if ((keptListLoaded || lastDownloadIsBase) && mGoogleContactCache) {
        // The kept list, just loaded, or standing in for a last download that holds lean copies.
        if (auto feed = mGoogleContactCache->summaryFeed(getGoogleContactService()->serviceVersion());
            feed && feed->updatedDate()) {
            cached = FetchedContactFeed{feed, true, "", false};
            keptListBase = true;
        }
    }
    std::weak_ptr<int> alive = mAliveMarker;
    // A download of the whole list is kept page by page as it comes, each page's entries put in
    // the place of their summaries, so that the list is never held whole in memory.
    GoogleFeedFetch::PageHandler onPage;
    if (mGoogleContactCache) {
        auto keeping = std::make_shared<std::optional<bool>>();  // unset until the first page
        onPage = [this, alive, cache = mGoogleContactCache, keeping](GDataFeedContact& page) {
            if (alive.expired()) return;
            if (!*keeping) {
                auto begun = cache->beginList(dataFolder());
                if (!begun) appendStringToLog(begun.error().localizedDescription() + ": the list is held whole");
                *keeping = bool(begun);
            }
            if (**keeping && !cache->keepPage(page)) {
                appendStringToLog("The downloaded list cannot be kept on disk: the rest of it is held whole");
                *keeping = false;
            }
        };
    }
    mFeedTicket = GoogleFeedFetch::fetchContactFeed(
        getGoogleContactService(), *url, cached ? &*cached : nullptr,
        [this, alive, user, completion, keptListBase, attempt](FetchedContactFeed fetched, std::optional<platform::Error> error) {
            if (alive.expired()) return;
            mFeedTicket = nullptr;
            if (!error && fetched.listChanged && attempt < kWholeListAttempts) {
                // A page may have missed an entry that exists: the whole list again, from scratch.
                appendStringToLog("The Google contact list changed while it was downloaded: downloading it again");
                mContactFeed = nullptr;
                mContactFeedComplete = false;
                mKeptListHoldsDownload = false;
                return fetchContactFeedWithCompletion(completion, attempt + 1);
            }
            if (error) {
                // An incremental fetch may have taken the cached entries: never reuse them.
                mContactFeed = nullptr;
                mContactFeedComplete = false;
                mKeptListHoldsDownload = false;
            } else {
                mContactFeed = fetched.feed;
                mContactFeedHoldsLeanCopies = false;
                mContactFeedComplete = fetched.complete;
                mContactFeedIncremental = fetched.incremental;
                mContactFeedUsername = user;
                if (!fetched.complete) {
                    noteFeedIncomplete("Google contacts: " + fetched.incompleteReason);
                }
                // Only a whole list is kept, and only when it changed.
                if (!fetched.complete || !mGoogleContactCache) {
                    mKeptListHoldsDownload = false;
                } else if (fetched.incremental && fetched.unchanged) {
                    // The list is the one it was made from: the kept list, when that was loaded.
                    mKeptListHoldsDownload = mKeptListHoldsDownload || keptListBase;
                } else {
                    const auto path = GoogleContactCache::pathInFolder(dataFolder());
                    mKeptListHoldsDownload = false;
                    if (auto written = mGoogleContactCache->write(path, *fetched.feed); !written) {
                        appendStringToLog(written.error().localizedDescription() + ": the kept list stays as it was");
                    } else if (mGoogleContactCache->summarize(*fetched.feed)) {
                        mKeptListHoldsDownload = true;
                    } else {
                        // The run holds the list as what was kept of it; a contact that cannot be
                        // read back leaves a list that is not whole (so nothing is deleted), and
                        // the next run downloads the whole list.
                        mContactFeedComplete = false;
                        noteFeedIncomplete("Google contacts: a kept contact could not be read back");
                        dropUnreadableKeptList();
                    }
                }
                // The pages were read on other threads, whose malloc arenas keep what the whole
                // entries and page bodies held: a large download gives it back before the run
                // plans (a 100,000-contact list held some 50 MB of it).
                if (fetched.entriesRead >= 1000) platform::returnFreedMemory();
            }
            completion(error);
        },
        onPage);
}

std::shared_ptr<GDataEntryContact> QuorvaneModel::wholeGoogleContact(const std::shared_ptr<GDataEntryContact>& contact) {
    if (!contact || !mGoogleContactCache) return contact;
    if (mGoogleContactCache->isLean(contact.get())) {
        platform::Log::error("sync", "a lean copy of a Google contact was asked for whole");
        return nullptr;
    }
    if (!mGoogleContactCache->isSummary(contact.get())) return contact;
    auto whole = mGoogleContactCache->wholeEntry(contact);
    if (!whole) {
        // The kept bytes are damaged: the next run downloads the whole list.
        appendStringToLog("A kept Google contact could not be read: the next run downloads the whole list");
        dropUnreadableKeptList();
    }
    return whole;
}

void QuorvaneModel::keepGoogleAnswer(const std::shared_ptr<GDataEntryContact>& answer) {
    if (mGoogleContactCache && mKeptListHoldsDownload) mGoogleContactCache->keepAnswer(answer, dataFolder());
}

void QuorvaneModel::refreshKeptGoogleList(std::function<void()> done) {
    auto cache = mGoogleContactCache;
    if (!cache || !cache->holdsAnswers()) return done();
    const auto path = GoogleContactCache::pathInFolder(dataFolder());
    auto url = GDataServiceGoogleContact::contactFeedURLForUserID("default");
    if (!url || !mKeptListHoldsDownload || cache->datedAt().empty()) {
        cache->dropAnswers();
        return done();
    }
    // Writes the kept list with the answers and, when they came whole, the changes since its date.
    auto keep = [this, cache, path](const GDataFeedContact* changes) {
        if (auto written = cache->writeWithAnswers(path, changes); !written) {
            mKeptListHoldsDownload = false;
            appendStringToLog(written.error().localizedDescription() + ": the kept list stays as it was");
            return false;
        }
        // The kept list is newer than the list in memory, which is no base for this process's
        // next download: that one starts from the kept list (as after lean copies).
        mContactFeedHoldsLeanCopies = true;
        return true;
    };
    // The changes since the kept list's date: the run's own writes come back at the ETags held
    // (passed over unread); what others changed meanwhile comes whole, to be merged in.
    std::weak_ptr<int> alive = mAliveMarker;
    mFeedTicket = GoogleFeedFetch::fetchChangesSince(
        getGoogleContactService(), *url, GDataDateTime::dateTimeWithRFC3339String(cache->datedAt()),
        cache->heldVersions(), kKeptListCheckPageSize,
        [this, alive, cache, done, keep](FetchedContactFeed fetched, std::optional<platform::Error> error) {
            if (alive.expired()) return;
            mFeedTicket = nullptr;
            if (cache != mGoogleContactCache) return done();
            if (error || !fetched.complete || !fetched.feed) {
                // The list keeps its date: the next run's download takes the rest.
                appendStringToLog("The kept Google list stays dated as it was downloaded (" +
                                  (error ? error->localizedDescription() : fetched.incompleteReason) + ")");
                keep(nullptr);
                return done();
            }
            keep(fetched.feed.get());
            if (fetched.entriesRead >= 1000) platform::returnFreedMemory();
            done();
        },
        // Each changed contact is kept as an answer is (its bytes aside), not held whole until the
        // end: only deletions and what cannot be kept so stay in the page.
        [cache, folder = dataFolder()](GDataFeedContact& page) {
            if (!page.entries()) return;
            std::vector<std::shared_ptr<GDataEntryBase>> left;
            for (const auto& entry : *page.entries()) {
                auto contact = std::dynamic_pointer_cast<GDataEntryContact>(entry);
                if (!contact || contact->isDeleted() || !cache->keepAnswer(contact, folder)) left.push_back(entry);
            }
            if (left.size() < page.entryCount()) page.setEntries(left);
        });
}

void QuorvaneModel::noteFeedIncomplete(const std::string& reason) {
    if (!mFeedIncompleteReason.empty()) mFeedIncompleteReason += "; ";
    mFeedIncompleteReason += reason;
}

void QuorvaneModel::dropKeptListAfterConflict() {
    if (!mGoogleContactCache || mKeptListUnreadable) return;
    appendStringToLog("A contact changed on Google during the sync: the next run downloads the whole list");
    mKeptListHoldsDownload = false;
    dropUnreadableKeptList();
}

void QuorvaneModel::dropUnreadableKeptList() {
    waitForReplacements(60);
    std::error_code ec;
    std::filesystem::remove(GoogleContactCache::pathInFolder(dataFolder()), ec);
    mKeptListUnreadable = true;
}

std::shared_ptr<GDataEntryContact> QuorvaneModel::takeGoogleAnswer(const std::shared_ptr<GDataEntryContact>& answer) {
    if (mContactFeed && answer) mContactFeed->replaceEntryWithSameIdentifier(answer);
    return answer;
}

std::shared_ptr<GDataEntryContact> QuorvaneModel::leanGoogleContact(const std::shared_ptr<GDataEntryContact>& contact) {
    auto lean = mGoogleContactCache ? mGoogleContactCache->leanCopy(contact) : nullptr;
    if (!lean) return contact;
    if (mContactFeed && mContactFeed->replaceEntryWithSameIdentifier(lean)) mContactFeedHoldsLeanCopies = true;
    return lean;
}

bool QuorvaneModel::isSummaryGoogleContact(const std::shared_ptr<GDataEntryContact>& contact) const {
    return contact && mGoogleContactCache && mGoogleContactCache->isSummary(contact.get());
}

uint64_t QuorvaneModel::googleContentDigestOfContact(const GDataEntryContact& contact) const {
    if (mGoogleContactCache)
        if (auto digest = mGoogleContactCache->knownDigest(&contact)) return *digest;
    return googleContentDigest(contact);
}

std::filesystem::path QuorvaneModel::dataFolder() const {
    return mDataFolder.empty() ? platform::Paths::applicationSupport() : mDataFolder;
}

GoogleFeeds QuorvaneModel::googleFeeds() const {
    GoogleFeeds feeds;
    feeds.groups = FetchedGroupFeed{mGroupFeed, mGroupFeedComplete, "", false};
    feeds.contacts = FetchedContactFeed{mContactFeed, mContactFeedComplete, "", mContactFeedIncremental};
    feeds.incompleteReason = mFeedIncompleteReason;
    return feeds;
}

void QuorvaneModel::setGoogleFeeds(GoogleFeeds feeds) {
    mGroupFeed = std::move(feeds.groups.feed);
    mGroupFeedComplete = feeds.groups.complete;
    mContactFeed = std::move(feeds.contacts.feed);
    mContactFeedHoldsLeanCopies = false;
    mContactFeedComplete = feeds.contacts.complete;
    mContactFeedIncremental = feeds.contacts.incremental;
    mFeedIncompleteReason = std::move(feeds.incompleteReason);
}

void QuorvaneModel::fetchAllGroupsAndContactsWithFinishedSelector(std::function<void()> finished,
                                                                  std::function<void(const platform::Error&)> failed) {
    fetchGroupFeedWithCompletion([this, finished, failed](std::optional<platform::Error> error) {
        if (error) return failed(*error);
        fetchContactFeedWithCompletion([finished, failed](std::optional<platform::Error> error) {
            if (error) return failed(*error);
            finished();
        });
    });
}

}  // namespace quorvane
