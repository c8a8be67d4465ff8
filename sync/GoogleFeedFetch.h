#pragma once
// GoogleFeedFetch: the download of the Google groups and contacts feeds at the start of a run,
// page after page through the service's next links, with a verdict on whether the feed that
// came back is whole.
//
// A feed is whole only when the last page had no next link left unfollowed and it holds at least
// as many entries as its total says. A run on a feed that is not whole must not take a missing
// contact for a deleted one.
//
// The contacts feed is fetched incrementally when the previous whole download of the same user
// is at hand: only what changed since (deleted entries included) is asked for and merged into it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "platform/foundation/Error.h"
#include "platform/net/URL.h"

namespace quorvane {

// An answer that is not the signed-in account's list of the kind asked for (another kind, another
// account, an entry without an id): refused whole, nothing read from it.
inline constexpr const char* kGoogleFeedFetchErrorDomain = "com.quorvane.GoogleFeedFetch";
inline constexpr int64_t kGoogleFeedFetchErrorNotTheAccountsList = 1;

// One downloaded feed and what is known of its completeness.
template <class Feed>
struct FetchedFeed {
    std::shared_ptr<Feed> feed;
    bool complete = false;
    // Why the feed is not whole ("" when it is), for the run log.
    std::string incompleteReason;
    bool incremental = false;  // merged into the previous download
    // An incremental download found the list as it was (no entry added, removed or given another
    // ETag): a kept copy of it need not be written again.
    bool unchanged = false;
    // The entries read from the provider for it, changes let go of as they came included.
    size_t entriesRead = 0;
    // A whole list that changed on the provider while its pages were read: a page may have
    // missed an entry that exists. Not whole; downloading it again may give a whole one.
    bool listChanged = false;
};

using FetchedContactFeed = FetchedFeed<GDataFeedContact>;
using FetchedGroupFeed = FetchedFeed<GDataFeedContactGroup>;

// What the download stage of a run hands on: both feeds, each with its completeness, and why
// either is not whole ("" when both are).
struct GoogleFeeds {
    FetchedGroupFeed groups;
    FetchedContactFeed contacts;
    std::string incompleteReason;
    // Both feeds were downloaded whole: only then may a contact missing from Google count as deleted.
    bool complete() const { return groups.feed && contacts.feed && groups.complete && contacts.complete; }
};

class GoogleFeedFetch {
public:
    // The most entries asked for per request.
    static constexpr int32_t kMaxResults = 10000;
    // Changes are asked for from this long before the date a list is current at: a provider
    // whose clock stepped back dates some changes earlier than a list it gave before. The
    // versions held already come again and are passed over unread.
    static constexpr double kChangesMarginSeconds = 5;
    static GDataDateTime changesFrom(const GDataDateTime& datedAt);

    template <class Feed>
    using Callback = std::function<void(FetchedFeed<Feed> fetched, std::optional<platform::Error> error)>;
    using PageHandler = std::function<void(GDataFeedContact& page)>;

    // "" when the feed is whole; otherwise why not: a next link left unfollowed, no total, or
    // fewer entries than the feed's total (counting `entriesLetGo` let go of it as they came).
    static std::string incompleteReasonForFeed(const GDataFeedBase& feed, size_t entriesLetGo = 0);

    // Fetches the groups feed at the URL. The callback runs once, with the feed or the error.
    static GDataServiceTicketPtr fetchGroupFeed(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                                const platform::URL& feedURL, Callback<GDataFeedContactGroup> callback);

    // Fetches the contacts feed at the URL. With a whole previous download (`cached`), only the
    // entries updated since its date (less the margin) are fetched, deleted ones included, and
    // merged into a copy of it. A provider that no longer keeps the changes since that date (410
    // Gone), changes cut short and too many changes get a request for the whole list instead.
    // A whole list read in more than one page is whole only when nothing changed on the
    // provider while it was read (asked for as the changes since its date): otherwise it is not
    // whole and says listChanged. Changes dated before the list they change (datedBefore) get the
    // whole list too. Every download, whole or changes, groups too, refuses an answer that is not
    // the signed-in account's list of the kind asked for (kGoogleFeedFetchErrorNotTheAccountsList).
    //
    // `onPage` (when given) sees each page of a download of the whole list as it is parsed (a
    // large page also a part at a time while it is parsed, see GDataServiceFeedPageHandler), and
    // may put smaller stand-ins in the place of its entries, so that the list is never held whole
    // at once; it does not see the pages of changes merged into a previous download. Of those,
    // the versions the previous download holds are passed over before any object is made of
    // them (they count towards the feed's total, never towards the changes held), and past
    // mostChangesHeldWhole() other versions the whole list is downloaded instead.
    //
    static GDataServiceTicketPtr fetchContactFeed(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                                  const platform::URL& feedURL, const FetchedContactFeed* cached,
                                                  Callback<GDataFeedContact> callback, PageHandler onPage = nullptr);

    // The changes since `since` (deleted entries included) alone, not merged into anything: the
    // versions `held` names (identifier -> ETag) are passed over unread as in fetchContactFeed,
    // and past mostChangesHeldWhole() others the download ends not whole (no feed). The feed
    // holds the other changes in the order they came, dated as the provider dates it; one dated
    // before `since` is not whole (datedBefore). `onPage`
    // (when given) sees each page's changes as it comes and may take some out, to keep them
    // itself: they count towards the feed's total.
    using HeldVersions = std::unordered_map<std::string, std::string>;
    static GDataServiceTicketPtr fetchChangesSince(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                                   const platform::URL& feedURL, const GDataDateTime& since,
                                                   HeldVersions held, int32_t pageSize, Callback<GDataFeedContact> callback,
                                                   PageHandler onPage = nullptr);

    // The changes feed (its links and date) holding the cached feed's entries with the changes
    // applied: deleted entries removed, changed ones replaced where they stood (an entry of the ETag held
    // is the same version: the one held stays), new ones appended.
    // The cached feed gives its entries up and is not to be used afterwards. `unchanged` (when
    // given) says whether the list came out as it was: no entry removed, added or of another ETag.
    static std::shared_ptr<GDataFeedContact> mergeChanges(const std::shared_ptr<GDataFeedContact>& cached,
                                                          const std::shared_ptr<GDataFeedContact>& changes,
                                                          bool* unchanged = nullptr);
    // The most changed entries a download of changes holds whole before they are merged; past
    // it, the whole list is downloaded instead (kept page by page). One setting for the process.
    static size_t mostChangesHeldWhole();
    static void setMostChangesHeldWhole(size_t most);
    // The refusal of an answer that is not this account's `what` ("contacts", "groups") list, and why.
    static platform::Error notThisAccountsListError(const std::string& what, const std::string& why);
    // Whether the provider dated its answer before a list it gave earlier (`listDate`): its clock
    // ran ahead then and was set right since, so the changes since the list are dated before it.
    static bool datedBefore(const GDataFeedBase& answer, const GDataDateTime& listDate);
    // The provider no longer keeps the changes asked for: only the whole list can be had.
    static bool isChangesGoneError(const platform::Error& error);

private:
    // Hands on the whole list `fetched` once the changes since its date show nothing changed
    // while it was read; otherwise not whole.
    static void checkListHeldStill(const std::shared_ptr<GDataServiceGoogleContact>& service, const platform::URL& feedURL,
                                   FetchedContactFeed fetched, Callback<GDataFeedContact> callback);
};

}  // namespace quorvane
