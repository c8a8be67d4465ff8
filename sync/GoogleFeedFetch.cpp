// The download of the groups and contacts feeds, and the verdict on their completeness.

#include "sync/GoogleFeedFetch.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "fetcher/QNFetcherAuthorizationProtocol.h"
#include "fetcher/QNSessionFetcher.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataPerson.h"
#include "gdata/service/GDataQueryContact.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Strings.h"
#include "platform/runloop/DispatchQueue.h"
#include "sync/ChangesMerge.h"

namespace quorvane {

std::string GoogleFeedFetch::incompleteReasonForFeed(const GDataFeedBase& feed, size_t entriesLetGo) {
    if (feed.nextLink()) return "the feed was cut short: a next link was left unfollowed";
    const size_t count = feed.entryCount() + entriesLetGo;
    // Without its total a list cannot show it is whole: a page cut short would read as the list.
    auto total = feed.totalResults();
    if (!total || *total < 0) return "the feed does not say how many entries it holds";
    if (count < static_cast<size_t>(*total)) {
        return "the feed holds " + std::to_string(count) + " of its " + std::to_string(*total) + " entries";
    }
    return "";
}

platform::Error GoogleFeedFetch::notThisAccountsListError(const std::string& what, const std::string& why) {
    return platform::Error::withDescription(kGoogleFeedFetchErrorDomain, kGoogleFeedFetchErrorNotTheAccountsList,
                                            "The provider's answer was not this account's " + what + " list: " + why +
                                                ". Nothing was written.");
}

bool GoogleFeedFetch::datedBefore(const GDataFeedBase& answer, const GDataDateTime& listDate) {
    auto answered = answer.updatedDate();
    auto answeredAt = answered ? answered->date() : std::nullopt;
    auto listAt = listDate.date();
    return answeredAt && listAt && answeredAt->timeIntervalSince1970() < listAt->timeIntervalSince1970();
}

namespace {

// Whether an answer is the signed-in account's list of the kind asked for (contacts or groups):
// the one rule for every download of a list, whole or changes. The list says its kind (the kind
// category of the class asked for) and names no other account than the one signed in, in its id,
// its authors or the ids of its entries ("<root>/feeds/contacts/<account>/base/<id>"); each entry
// has an id, and where it says its kind, the list's. Anything else (a groups list answered for
// the contacts, another account's list, an entry that cannot be paired or kept) is refused whole:
// no contact or group is made, paired, kept or deleted from it.
class ListCheck {
public:
    explicit ListCheck(std::string account) : account_(std::move(account)) {}

    // A page (or a part of one) as it comes, before anyone else sees it: once the answer is
    // refused, its entries and those of every later page are let go unread.
    void page(GDataFeedBase& page) {
        if (refused_.empty()) refused_ = foreign(page, false);
        for (size_t i = 0; refused_.empty() && page.entries() && i < page.entries()->size(); ++i)
            refused_ = foreignEntry(*(*page.entries())[i], page);
        if (!refused_.empty() && page.entryCount() > 0) page.setEntries(std::vector<std::shared_ptr<GDataEntryBase>>{});
    }
    // "" when the answer, gathered, is the account's list; else why not (its pages seen first).
    std::string verdict(const GDataFeedBase& feed) const { return refused_.empty() ? foreign(feed, true) : refused_; }
    static std::string listName(const GDataFeedBase& feed) { return kindName(feed.standardFeedKind().value_or("")); }

private:
    // "contacts" of ".../contact/2008#contact".
    static std::string kindName(std::string_view term) {
        const size_t hash = term.rfind('#');
        return std::string(hash == std::string_view::npos ? term : term.substr(hash + 1)) + "s";
    }
    // The account an id names ("" when none).
    static std::string accountOf(std::string_view id) {
        for (std::string_view kind : {"/feeds/contacts/", "/feeds/groups/"}) {
            const size_t at = id.find(kind);
            if (at == std::string_view::npos) continue;
            const auto rest = id.substr(at + kind.size());
            return platform::percentDecode(rest.substr(0, rest.find('/')));
        }
        return id.find('/') == std::string_view::npos && id.find('@') != std::string_view::npos ? std::string(id) : "";
    }
    std::string another(const std::string& named) const {
        if (account_.empty() || named.empty() || named == "default" || platform::equalsIgnoringCase(named, account_)) return "";
        return "it names another account (" + named + ")";
    }
    // The list's own parts: its kind (when `whole`, it must say one) and the accounts it names.
    std::string foreign(const GDataFeedBase& feed, bool whole) const {
        const std::string kind = feed.standardFeedKind().value_or("");
        bool said = false;
        for (const auto& category : feed.categories()) {
            if (!category || category->scheme() != kGDataCategoryScheme) continue;
            if (category->term() != kind) return "it is a list of " + kindName(category->term().value_or("no kind"));
            said = true;
        }
        if (whole && !said) return "it does not say it is a list of " + kindName(kind);
        if (auto why = another(accountOf(feed.identifier().value_or(""))); !why.empty()) return why;
        for (const auto& author : feed.authors())
            if (auto why = another(author ? author->email().value_or("") : ""); !why.empty()) return why;
        return "";
    }
    std::string foreignEntry(const GDataEntryBase& entry, const GDataFeedBase& list) const {
        auto id = entry.identifier();
        // An id of nothing but white space names no entry either.
        if (!id || platform::isBlank(*id)) return "an entry in it has no id, so it could be neither paired nor kept";
        if (auto kind = entry.kindCategory(); kind && kind->term() != list.standardFeedKind())
            return "it holds an entry of another kind (" + kindName(kind->term().value_or("")) + ")";
        return another(accountOf(*id));
    }

    std::string account_;
    std::string refused_;
};

// The account the service's requests are signed for ("" when not known: no account is checked).
std::string signedInAccount(const GDataServiceGoogleContact& service) {
    auto authorizer = service.authorizer();
    return authorizer ? authorizer->userEmail().value_or("") : "";
}

// Adds a page handler after those the ticket has.
void addPageHandler(const GDataServiceTicketPtr& ticket, GDataServiceFeedPageHandler handler) {
    auto before = ticket->feedPageHandler();
    if (!before) return ticket->setFeedPageHandler(std::move(handler));
    ticket->setFeedPageHandler([before, handler](const std::shared_ptr<GDataFeedBase>& page) {
        before(page);
        handler(page);
    });
}

// The changes downloaded so far that are the version of an entry the held list has, as
// mergeChanges would find them (ChangesMerge). Asked on the thread that parses the pages, before
// any object is made of an entry, and on the main thread for what that let through: it reads a
// copy of the held list's identifiers and ETags, made when the download begins.
struct SameVersions {
    explicit SameVersions(const GoogleFeedFetch::HeldVersions& held) {
        merge.reserve(held.size());
        for (const auto& [id, etag] : held) merge.hold(id, etag);
    }
    explicit SameVersions(const GDataFeedBase& held) {
        if (!held.entries()) return;
        merge.reserve(held.entries()->size());
        for (const auto& entry : *held.entries()) {
            auto id = entry->identifier();
            merge.hold(id, entry->ETag().value_or(""));
        }
    }

    std::mutex mutex;
    ChangesMerge merge;
    size_t count = 0;
    size_t heldWhole = 0;  // the other changes downloaded so far
    bool abandoned = false;  // too many: the whole list is downloaded instead

    // Whether the version is held (and then counted).
    bool isHeld(std::string_view id, std::optional<std::string_view> etag, bool deleted) {
        std::lock_guard lock(mutex);
        if (merge.apply(id, etag, deleted).step != ChangesMerge::Step::Held) return false;
        ++count;
        return true;
    }
    bool isHeld(const GDataEntryBase& entry) {
        auto id = entry.identifier();
        if (!id) return false;
        auto etag = entry.ETag();
        return isHeld(*id, etag ? std::optional<std::string_view>(*etag) : std::nullopt, entry.isDeleted());
    }
};

// A list that names one entry twice is no list to sync from: which of the two is the entry cannot
// be told, and each would become a contact of its own.
std::string entryNamedTwice(const GDataFeedBase& feed) {
    if (!feed.entries()) return "";
    std::unordered_set<std::string> seen;
    seen.reserve(feed.entryCount());
    for (const auto& entry : *feed.entries()) {
        auto id = entry ? entry->identifier() : std::nullopt;
        if (id && !seen.insert(*id).second) return "the list names the entry " + *id + " twice";
    }
    return "";
}

template <class Feed>
FetchedFeed<Feed> verdict(std::shared_ptr<Feed> feed) {
    FetchedFeed<Feed> fetched;
    fetched.entriesRead = feed->entryCount();
    fetched.incompleteReason = GoogleFeedFetch::incompleteReasonForFeed(*feed);
    if (fetched.incompleteReason.empty()) fetched.incompleteReason = entryNamedTwice(*feed);
    fetched.complete = fetched.incompleteReason.empty();
    fetched.feed = std::move(feed);
    return fetched;
}

// Fetches the query into a feed of class Feed and hands it to `done`, or the error to `callback`.
// An answer that is not the signed-in account's list of the kind (ListCheck) is refused as an error.
template <class Feed>
GDataServiceTicketPtr fetchFeed(const std::shared_ptr<GDataServiceGoogleContact>& service, const GDataQuery& query,
                                GoogleFeedFetch::Callback<Feed> callback,
                                std::function<void(std::shared_ptr<Feed>, bool paged)> done) {
    auto check = std::make_shared<ListCheck>(signedInAccount(*service));
    auto finished = [callback, done, check](const GDataServiceTicketPtr& ticket, const GDataObjectPtr& object,
                                            const std::optional<platform::Error>& error) {
        if (error) return callback({}, error);
        auto feed = std::dynamic_pointer_cast<Feed>(object);
        if (!feed) return callback({}, platform::Error(kGDataServiceErrorDomain, kGDataServiceErrorCouldNotConstructObject));
        if (auto why = check->verdict(*feed); !why.empty())
            return callback({}, GoogleFeedFetch::notThisAccountsListError(ListCheck::listName(*feed), why));
        done(std::move(feed), ticket && ticket->nextLinksFollowedCounter() > 0);
    };
    auto ticket = service->fetchFeedWithQuery(query, Feed::staticClassInfo(), GDataServiceDelegate(finished, "feedFetched"));
    // First of the page handlers: what the others see of a refused answer is nothing.
    if (ticket) ticket->setFeedPageHandler([check](const std::shared_ptr<GDataFeedBase>& page) { check->page(*page); });
    return ticket;
}

// Sets a download of changes to pass over the versions held before any object is made of them
// (asked on the parsing thread) and to count the others as their pages come; past
// mostChangesHeldWhole() of them the download is cancelled and `tooMany` runs instead, on the
// main thread.
void installChangesHandlers(const GDataServiceTicketPtr& ticket, std::shared_ptr<SameVersions> letGo,
                            std::function<void()> tooMany) {
    ticket->setFeedEntrySkip([letGo](std::string_view id, std::string_view etag, bool deleted) {
        return letGo->isHeld(id, etag, deleted);
    });
    std::weak_ptr<GDataServiceTicketBase> changesTicket = ticket;
    addPageHandler(ticket, [letGo, changesTicket, tooMany](const std::shared_ptr<GDataFeedBase>& page) {
        if (page->entryCount() == 0) return;
        if (letGo->abandoned) return page->setEntries(std::vector<std::shared_ptr<GDataEntryBase>>{});
        std::vector<std::shared_ptr<GDataEntryBase>> kept;
        kept.reserve(page->entryCount());
        for (const auto& entry : *page->entries()) {
            if (!letGo->isHeld(*entry)) {
                kept.push_back(entry);
                ++letGo->heldWhole;  // deletions too: a long list of them costs as much to follow
            }
        }
        if (kept.size() < page->entryCount()) page->setEntries(kept);
        if (letGo->heldWhole <= GoogleFeedFetch::mostChangesHeldWhole()) return;
        letGo->abandoned = true;
        page->setEntries(std::vector<std::shared_ptr<GDataEntryBase>>{});
        if (auto changes = changesTicket.lock()) changes->cancelTicket();  // no callback of it follows
        platform::DispatchQueue::main()->async(tooMany);
    });
}

// A download of changes given up for holding too many: not whole, and no feed.
FetchedContactFeed tooManyChanges() {
    FetchedContactFeed cut;
    cut.incompleteReason = "more than " + std::to_string(GoogleFeedFetch::mostChangesHeldWhole()) + " changes";
    return cut;
}

size_t lettingGo(SameVersions& letGo) {
    std::lock_guard lock(letGo.mutex);
    return letGo.count;
}

}  // namespace

GDataServiceTicketPtr GoogleFeedFetch::fetchChangesSince(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                                         const platform::URL& feedURL, const GDataDateTime& since,
                                                         HeldVersions held, int32_t pageSize,
                                                         Callback<GDataFeedContact> callback, PageHandler onPage) {
    GDataQueryContact query(feedURL);
    query.setMaxResults(pageSize);
    query.setUpdatedMinDateTime(changesFrom(since));
    query.setShouldShowDeleted(true);
    auto letGo = std::make_shared<SameVersions>(held);
    auto taken = std::make_shared<size_t>(0);  // the changes `onPage` took out of their pages
    auto ticket = fetchFeed<GDataFeedContact>(service, query, callback, [callback, letGo, taken, since](auto feed, bool) {
        const size_t passedOver = lettingGo(*letGo) + *taken;
        FetchedContactFeed fetched;
        fetched.incompleteReason = incompleteReasonForFeed(*feed, passedOver);
        if (fetched.incompleteReason.empty() && datedBefore(*feed, since))
            fetched.incompleteReason = "the provider's answer is dated before the list it would change: its clock was set back";
        fetched.complete = fetched.incompleteReason.empty();
        fetched.entriesRead = feed->entryCount() + passedOver;
        fetched.incremental = true;
        fetched.unchanged = fetched.complete && feed->entryCount() == 0;
        fetched.feed = std::move(feed);
        callback(std::move(fetched), std::nullopt);
    });
    if (!ticket) return ticket;
    installChangesHandlers(ticket, letGo, [callback] { callback(tooManyChanges(), std::nullopt); });
    if (onPage) {
        // After the changes' own handler: it sees what was not passed over.
        auto counting = ticket->feedPageHandler();
        ticket->setFeedPageHandler([counting, onPage, letGo, taken](const std::shared_ptr<GDataFeedBase>& page) {
            counting(page);
            auto contacts = std::dynamic_pointer_cast<GDataFeedContact>(page);
            if (letGo->abandoned || !contacts) return;
            const size_t before = contacts->entryCount();
            onPage(*contacts);
            *taken += before - std::min(before, contacts->entryCount());
        });
    }
    return ticket;
}

GDataServiceTicketPtr GoogleFeedFetch::fetchGroupFeed(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                                      const platform::URL& feedURL,
                                                      Callback<GDataFeedContactGroup> callback) {
    GDataQueryContact query(feedURL);
    query.setMaxResults(kMaxResults);
    return fetchFeed<GDataFeedContactGroup>(service, query, callback, [callback](auto feed, bool) {
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
        query.setUpdatedMinDateTime(changesFrom(*base->updatedDate()));
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
    // Of the changes, the versions held already are let go as their pages come (see below).
    auto letGo = base ? std::make_shared<SameVersions>(*base) : nullptr;
    auto whole = [service, feedURL, callback, onPage] { fetchContactFeed(service, feedURL, nullptr, callback, onPage); };
    auto ticket = fetchFeed<GDataFeedContact>(service, query, answered, [service, feedURL, callback, base, letGo, whole](auto feed, bool paged) {
        if (!base) {
            // A list of one page is as the provider held it at one moment; one read page by page
            // may have missed an entry while the list changed under it.
            auto fetched = verdict(std::move(feed));
            if (!fetched.complete || !paged) return callback(std::move(fetched), std::nullopt);
            return checkListHeldStill(service, feedURL, std::move(fetched), callback);
        }
        const size_t letGoCount = lettingGo(*letGo);
        // The changes must be whole too: a change missed could be a deletion missed. Changes cut
        // short (more pages than are followed, a page lost) give way to the whole list, which
        // may well fit where they did not; the list held stays as it is until then.
        std::string changesReason = incompleteReasonForFeed(*feed, letGoCount);
        if (changesReason.empty()) changesReason = entryNamedTwice(*feed);
        // A list dated later than the provider's answer is no base: the provider's clock ran
        // ahead when it gave it and was set right since, so what changed since is dated before it.
        if (!changesReason.empty() || datedBefore(*feed, *base->updatedDate())) return whole();
        bool unchanged = false;
        const size_t changesRead = feed->entryCount() + letGoCount;
        auto fetched = verdict(mergeChanges(base, feed, &unchanged));
        fetched.entriesRead = changesRead;
        fetched.incremental = true;
        fetched.unchanged = unchanged;
        callback(std::move(fetched), std::nullopt);
    });
    // Set before any page can come: the pages are reported on this thread, after this returns.
    if (ticket && onPage && !base) {
        addPageHandler(ticket, [onPage](const std::shared_ptr<GDataFeedBase>& page) {
            if (auto contacts = std::dynamic_pointer_cast<GDataFeedContact>(page)) onPage(*contacts);
        });
    }
    // The changes start at the second the held list is dated at, so whatever changed in that
    // second comes again, each time, and so do the answers to this program's own writes that the
    // held list keeps: when that is most of a large list (a bulk import), reading them would cost
    // more than the rest of the run. They are passed over before any object is made of them (by
    // their identifier and ETag, the rule mergeChanges applies), and counted towards the changes'
    // total, never towards the changes held.
    // Changes are held whole until they are merged: past mostChangesHeldWhole() of them (most of
    // a large list changed), the whole list is downloaded instead, kept page by page as it comes.
    if (ticket && base) installChangesHandlers(ticket, letGo, whole);
    return ticket;
}

GDataDateTime GoogleFeedFetch::changesFrom(const GDataDateTime& datedAt) {
    auto date = datedAt.date();
    if (!date) return datedAt;
    return GDataDateTime(date->addingTimeInterval(-kChangesMarginSeconds), platform::TimeZone::universal());
}

void GoogleFeedFetch::checkListHeldStill(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                         const platform::URL& feedURL, FetchedContactFeed fetched,
                                         Callback<GDataFeedContact> callback) {
    auto dated = fetched.feed->updatedDate();
    if (!dated) {
        fetched.complete = false;
        fetched.incompleteReason = "the list is not dated, so changes made while it was read cannot be asked for";
        return callback(std::move(fetched), std::nullopt);
    }
    // Whatever changed since the list's date, past the versions it holds: a deletion of an entry
    // it holds, another version of one, or an entry it lacks. A deletion of an entry it lacks
    // happened before it was read.
    auto list = std::make_shared<FetchedContactFeed>(std::move(fetched));
    HeldVersions held;
    if (const auto& entries = list->feed->entries()) {
        held.reserve(entries->size());
        for (const auto& entry : *entries) {
            auto id = entry->identifier();
            if (id) held.emplace(std::move(*id), entry->ETag().value_or(""));
        }
    }
    auto ids = std::make_shared<std::unordered_set<std::string>>();
    ids->reserve(held.size());
    for (const auto& [id, etag] : held) ids->insert(id);
    fetchChangesSince(service, feedURL, *dated, std::move(held), kMaxResults,
                      [list, ids, callback](FetchedContactFeed changes, std::optional<platform::Error> error) {
                          std::string why;
                          if (error) why = "the changes made while it was read could not be asked for (" + error->localizedDescription() + ")";
                          else if (!changes.complete || !changes.feed) why = "the changes made while it was read: " + changes.incompleteReason;
                          else if (const auto& entries = changes.feed->entries()) {
                              for (const auto& entry : *entries) {
                                  auto id = entry->identifier();
                                  if (entry->isDeleted() && !(id && ids->contains(*id))) continue;
                                  why = "the list changed while it was read";
                                  list->listChanged = true;
                                  break;
                              }
                          }
                          if (!why.empty()) {
                              list->complete = false;
                              list->incompleteReason = why;
                          }
                          callback(std::move(*list), std::nullopt);
                      });
}

namespace {
std::atomic<size_t> gMostChangesHeldWhole{GoogleFeedFetch::kMaxResults};
}

size_t GoogleFeedFetch::mostChangesHeldWhole() { return gMostChangesHeldWhole; }
void GoogleFeedFetch::setMostChangesHeldWhole(size_t most) { gMostChangesHeldWhole = most; }

bool GoogleFeedFetch::isChangesGoneError(const platform::Error& error) {
    return (error.domain == kGDataServiceErrorDomain || error.domain == QNSessionFetcherStatusDomain) && error.code == 410;
}

std::shared_ptr<GDataFeedContact> GoogleFeedFetch::mergeChanges(const std::shared_ptr<GDataFeedContact>& cached,
                                                                const std::shared_ptr<GDataFeedContact>& changes,
                                                                bool* unchanged) {
    std::vector<std::shared_ptr<GDataEntryBase>> merged;
    if (cached->entries()) merged = *cached->entries();
    ChangesMerge merge;
    merge.reserve(merged.size());
    for (const auto& entry : merged) merge.hold(entry->identifier(), entry->ETag().value_or(""));
    bool same = true;
    if (changes->entries()) {
        for (const auto& entry : *changes->entries()) {
            auto id = entry->identifier();
            if (!id) {
                if (entry->isDeleted()) continue;
                merged.push_back(entry);
                merge.hold(std::nullopt, "");
                same = false;
                continue;
            }
            auto etag = entry->ETag();
            const auto to = merge.apply(*id, etag ? std::optional<std::string_view>(*etag) : std::nullopt, entry->isDeleted());
            if (to.step == ChangesMerge::Step::Replaced) merged[to.position] = entry;
            else if (to.step == ChangesMerge::Step::Appended) merged.push_back(entry);
        }
    }
    same = same && !merge.changedList();
    std::vector<std::shared_ptr<GDataEntryBase>> kept;
    kept.reserve(merged.size());
    for (size_t i = 0; i < merged.size(); ++i) {
        if (merge.removed(i)) continue;
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
