// The download of the Google groups and contacts feeds at the start of a run.

#include "sync/GoogleFeedFetch.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

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
                    if (!mFeedIncompleteReason.empty()) mFeedIncompleteReason += "; ";
                    mFeedIncompleteReason += "Google groups: " + fetched.incompleteReason;
                }
            }
            completion(error);
        });
}

void QuorvaneModel::fetchContactFeedWithCompletion(FeedFetchCompletion completion) {
    auto url = GDataServiceGoogleContact::contactFeedURLForUserID("default");
    if (!url) return completion(badRootError());
    // The last download serves as the base of an incremental one only when it was whole and of
    // the same user.
    std::optional<FetchedContactFeed> cached;
    const std::string user = getUsername();
    if (mContactFeed && mContactFeedComplete && mContactFeedUsername == user && !user.empty()) {
        cached = FetchedContactFeed{mContactFeed, true, "", mContactFeedIncremental};
    }
    std::weak_ptr<int> alive = mAliveMarker;
    mFeedTicket = GoogleFeedFetch::fetchContactFeed(
        getGoogleContactService(), *url, cached ? &*cached : nullptr,
        [this, alive, user, completion](FetchedContactFeed fetched, std::optional<platform::Error> error) {
            if (alive.expired()) return;
            mFeedTicket = nullptr;
            if (error) {
                // An incremental fetch may have taken the cached entries: never reuse them.
                mContactFeed = nullptr;
                mContactFeedComplete = false;
            } else {
                mContactFeed = fetched.feed;
                mContactFeedComplete = fetched.complete;
                mContactFeedIncremental = fetched.incremental;
                mContactFeedUsername = user;
                if (!fetched.complete) {
                    if (!mFeedIncompleteReason.empty()) mFeedIncompleteReason += "; ";
                    mFeedIncompleteReason += "Google contacts: " + fetched.incompleteReason;
                }
            }
            completion(error);
        });
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
