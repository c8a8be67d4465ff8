// The planner's action for each situation of a pair or a lone contact, and whole planning runs
// against the fake provider: the expected records from a whole feed, no deletion from a cut one.

#include "platform/contacts/CNSaveRequest.h"
#include "sync/ContentDigest.h"
#include "sync/SyncPlanner.h"
#include "sync/SyncRun.h"
#include "tests/sync/ProviderSyncTestBase.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane {
namespace {

using namespace quorvane::testing;
using platform::CNContactPtr;
using platform::Date;
using GoogleContactPtr = SyncPlanner::GoogleContactPtr;

class SyncPlannerTest : public ProviderSyncTestBase {
protected:
    // A new local container synced on its own, holding the contacts; answers them as fetched.
    std::vector<CNContactPtr> useContainer(const std::string& name, const std::vector<AppleName>& contacts) {
        auto container = addContainer(name, platform::CNContainerType::Local);
        platform::CNSaveRequest request;
        for (const auto& n : contacts) {
            auto c = std::dynamic_pointer_cast<platform::CNMutableContact>(makeAppleContact(n));
            request.addContact(c, container->identifier());
        }
        EXPECT_TRUE(store_->executeSaveRequest(request));
        model_->setContactSourceMode(ContactSourceModeCustomContainer);
        model_->setCustomContainerID(container->identifier());
        model_->updateSelectedContainerWithError();
        return *model_->getAppleContactsInSelectedContainerWithKeySet(6);
    }
    // "Ann Lee"; `differs` gives it an e-mail address the local one lacks.
    std::shared_ptr<GDataEntryContact> google(const std::string& id, bool differs, Date updated,
                                              const std::string& group = "6") {
        auto g = googleContact("<id>" + id + "</id><gd:name><gd:givenName>Ann</gd:givenName><gd:familyName>Lee" +
                               "</gd:familyName></gd:name>" + (differs ? "<gd:email address='ann@example.org'/>" : "") +
                               (group.empty() ? "" : membership(group)));
        g->setUpdatedDate(GDataDateTime(updated, platform::TimeZone::universal()));
        return g;
    }
    void useFeed(const std::vector<std::shared_ptr<GDataEntryContact>>& contacts, bool complete = true) {
        GoogleFeeds feeds;
        feeds.groups = {.feed = standardGroupFeed(), .complete = true};
        feeds.contacts = {.feed = GDataFeedContact::contactFeed(), .complete = complete};
        for (const auto& c : contacts) feeds.contacts.feed->addEntry(c);
        feeds.incompleteReason = complete ? "" : "cut in a test";
        model_->setGoogleFeeds(feeds);
    }
    SyncHistoryRecordPtr pairRecord(const std::string& appleID, const std::string& googleID) {
        auto r = std::make_shared<SyncHistoryRecord>();
        r->appleRecordID = appleID;
        r->googleID = googleID;
        r->appleSourceID = internals(model_).mSelectedContainer->identifier();
        return r;
    }
    void useHistory(const std::vector<SyncHistoryRecordPtr>& records) {
        model_->syncHistoryForUpdate().load(records, internals(model_).mSelectedContainer->identifier());
    }
    std::vector<NSSyncRecordPtr> plan(int32_t mode, SyncPlanSummary* summary = nullptr) {
        model_->setSyncMode(static_cast<SyncMode>(mode));
        auto input = SyncRun::preparePlanning(*model_, mode, model_->googleFeeds());
        EXPECT_TRUE(input);
        SyncRun::ModelPlanning planning(*model_);
        SyncPlanner planner(planning, std::move(*input));
        while (!planner.pairLocalContacts(7)) {}
        while (!planner.pairGoogleContacts(7)) {}
        while (!planner.planPairs(7)) {}
        SyncPlan plan = planner.takePlan();
        if (summary) *summary = plan.summary;
        return plan.records;
    }
};

TEST_F(SyncPlannerTest, ThePairRule) {
    struct Row {
        const char* what;
        int32_t mode;
        bool differs;        // the Google contact has an e-mail address more
        bool history;
        bool appleChanged, googleChanged;
        bool googleNewer;
        int32_t expected;
        bool force = false;
        std::string group = "6";  // "": in no group, so not in My Contacts
        bool digests = false;     // the history keeps the digests of both sides as they are now
        bool leftApart = false;   // the last run, one-way, merged and left the sides different
    };
    const Row rows[] = {
        {"equal: nothing to do", SyncModeTwoWay, false, true, true, true, true, SyncActionNoUpdate},
        {"Google to local mode", SyncModeGoogleToMac, true, true, false, false, false, SyncActionGoogleToMac},
        {"local to Google mode", SyncModeMacToGoogle, true, true, false, false, true, SyncActionMacToGoogle},
        {"only Google changed", SyncModeTwoWay, true, true, false, true, false, SyncActionGoogleToMac},
        {"only the local side changed", SyncModeTwoWay, true, true, true, false, true, SyncActionMacToGoogle},
        {"both changed, Google newer", SyncModeTwoWay, true, true, true, true, true, SyncActionGoogleToMac},
        {"both changed, local newer", SyncModeTwoWay, true, true, true, true, false, SyncActionMacToGoogle},
        {"differs, neither changed: no ping-pong", SyncModeTwoWay, true, true, false, false, true, SyncActionNoUpdate},
        {"the same with force-update: the newer", SyncModeTwoWay, true, true, false, false, true, SyncActionGoogleToMac, true},
        {"no history, Google newer", SyncModeTwoWay, true, false, false, false, true, SyncActionGoogleToMac},
        {"no history, local newer", SyncModeTwoWay, true, false, false, false, false, SyncActionMacToGoogle},
        {"manual mode decides as two-way", SyncModeManual, true, true, false, true, false, SyncActionGoogleToMac},
        {"missing from My Contacts: to Google", SyncModeTwoWay, false, true, false, false, true, SyncActionMacToGoogle, false, ""},
        {"My Contacts is not asked in Google to local mode", SyncModeGoogleToMac, false, true, false, false, true, SyncActionNoUpdate, false, ""},
        {"both sides as the last sync left them: not compared", SyncModeTwoWay, true, true, false, false, true, SyncActionNoUpdate, false, "6", true},
        {"the same in a one-way mode: not written again", SyncModeGoogleToMac, true, true, false, false, false, SyncActionNoUpdate, false, "6", true},
        {"left apart by a one-way merge: compared, the newer wins", SyncModeTwoWay, true, true, false, false, true, SyncActionGoogleToMac, false, "6", true, true},
        {"left apart, a one-way run: left as it is", SyncModeMacToGoogle, true, true, false, false, true, SyncActionNoUpdate, false, "6", true, true},
        {"the same, but missing from My Contacts: to Google", SyncModeTwoWay, false, true, false, false, true, SyncActionMacToGoogle, false, "", true},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto apple = useContainer("Row " + std::to_string(n++), {{.given = "Ann", .family = "Lee"}}).at(0);
        const Date appleDate = *apple->modificationDate();
        const Date googleDate = appleDate.addingTimeInterval(row.googleNewer ? 3600 : -3600);
        auto g = google("urn:g" + std::to_string(n), row.differs, googleDate, row.group);
        useFeed({g});
        model_->setForceUpdateContacts(row.force);
        if (row.history) {
            auto r = pairRecord(apple->identifier(), *g->identifier());
            r->appleUpdateDate = appleDate.addingTimeInterval(row.appleChanged ? -60 : 0);
            r->googleUpdateDate = googleDate.addingTimeInterval(row.googleChanged ? -60 : 0);
            r->appleGroupNamesHash = model_->getGroupHashWithGroups(std::nullopt);
            r->googleGroupNamesHash = model_->getGroupHashWithGroups(model_->getGoogleContactGroupNamesWithContact(g, false));
            r->previouslyMerged = row.leftApart;
            if (row.digests) {
                r->appleContentDigest = localContentDigest(*apple);
                r->googleContentDigest = googleContentDigest(*g);
            }
            useHistory({r});
        } else {
            useHistory({});
        }
        auto records = plan(row.mode);
        ASSERT_EQ(records.size(), 1u);
        ASSERT_TRUE(records[0]->mAppleContact);
        EXPECT_EQ(records[0]->mAppleContact->identifier(), apple->identifier());
        EXPECT_EQ(records[0]->mGoogleContact, g);
        EXPECT_EQ(records[0]->mSyncAction, row.expected);
        EXPECT_EQ(records[0]->mInitialSyncAction, row.expected);
        EXPECT_EQ(records[0]->mHasSyncHistory, row.history);
        EXPECT_EQ(records[0]->mContactsConfirmedEquivalentBeforeSync,
                  row.expected == SyncActionNoUpdate && (!row.differs || row.digests) && !row.force && !row.leftApart);
    }
}

TEST_F(SyncPlannerTest, ALoneContactIsDeletedOnlyWithHistoryAndAWholeFeedElseCreated) {
    struct Row {
        const char* what;
        int32_t mode;
        bool local;         // a local contact alone, else a Google one
        bool partnerGone;   // the history pairs it with a contact that is gone
        bool complete;
        int32_t expected;
        bool duplicate = false;
        int32_t ignoreNew = 0;
        // The partner the history names is still there: a local contact in an account not synced,
        // or a Google contact another local contact keeps (both remember it): nothing was deleted.
        bool elsewhere = false;
    };
    const Row rows[] = {
        {"local, partner deleted on Google", SyncModeTwoWay, true, true, true, SyncActionDeleteContact},
        {"local, partner gone, feed cut", SyncModeTwoWay, true, true, false, SyncActionNoUpdate},
        {"local, partner gone, local to Google mode: recreated", SyncModeMacToGoogle, true, true, true, SyncActionMacToGoogle},
        {"local and new", SyncModeTwoWay, true, false, true, SyncActionMacToGoogle},
        {"local and new, feed cut: not created", SyncModeTwoWay, true, false, false, SyncActionNoUpdate},
        {"local and new, Google to local mode", SyncModeGoogleToMac, true, false, true, SyncActionNoUpdate},
        {"local and new, new contacts ignored", SyncModeTwoWay, true, false, true, SyncActionNoUpdate, false, 1},
        {"Google, partner deleted locally", SyncModeTwoWay, false, true, true, SyncActionDeleteContact},
        {"Google, partner gone, feed cut", SyncModeTwoWay, false, true, false, SyncActionNoUpdate},
        {"Google, partner gone, another of its name: deleted", SyncModeTwoWay, false, true, true, SyncActionDeleteContact, true},
        {"Google and new", SyncModeTwoWay, false, false, true, SyncActionGoogleToMac},
        {"Google and new, feed cut: still created", SyncModeTwoWay, false, false, false, SyncActionGoogleToMac},
        {"Google and new, local to Google mode", SyncModeMacToGoogle, false, false, true, SyncActionNoUpdate},
        {"Google, partner in an account not synced", SyncModeTwoWay, false, true, true, SyncActionNoUpdate, false, 0, true},
        {"the same, local to Google mode", SyncModeMacToGoogle, false, true, true, SyncActionNoUpdate, false, 0, true},
        {"the same, Google to local mode: not copied", SyncModeGoogleToMac, false, true, true, SyncActionNoUpdate, false, 0, true},
        {"local, partner kept by another local contact", SyncModeTwoWay, true, true, true, SyncActionNoUpdate, false, 0, true},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        model_->setIgnoreNewContactsSetting(row.ignoreNew);
        const auto away = row.elsewhere && !row.local ? useContainer("Away " + std::to_string(n), {{.given = "Ann", .family = "Lee"}})
                                                      : std::vector<CNContactPtr>{};
        std::vector<AppleName> names;
        if (row.local) names.push_back({.given = "Ann", .family = "Lee"});
        if (row.local && row.elsewhere) names.push_back({.given = "Bea", .family = "Cole"});
        auto locals = useContainer("Row " + std::to_string(n++), names);
        std::vector<std::shared_ptr<GDataEntryContact>> feed;
        if (!row.local || row.elsewhere) {
            feed.push_back(google("urn:g" + std::to_string(n), false, Date::now()));
            if (row.duplicate) feed.push_back(google("urn:d" + std::to_string(n), false, Date::now(), ""));
        }
        useFeed(feed, row.complete);
        if (row.elsewhere) {
            useHistory(row.local ? std::vector{pairRecord(locals.at(0)->identifier(), *feed[0]->identifier()),
                                               pairRecord(locals.at(1)->identifier(), *feed[0]->identifier())}
                                 : std::vector{pairRecord(away.at(0)->identifier(), *feed[0]->identifier())});
        } else if (row.partnerGone) {
            useHistory({row.local ? pairRecord(locals.at(0)->identifier(), "urn:gone") : pairRecord("gone", *feed[0]->identifier())});
        } else {
            useHistory({});
        }
        SyncPlanSummary summary;
        auto records = plan(row.mode, &summary);
        ASSERT_GE(records.size(), 1u);
        auto found = std::find_if(records.begin(), records.end(), [&](auto& r) {
            return row.local ? r->mAppleContact && r->mAppleContact->identifier() == locals.back()->identifier()
                             : r->mGoogleContact == feed[0];
        });
        ASSERT_NE(found, records.end());
        const auto& mine = *found;
        EXPECT_EQ(mine->mSyncAction, row.expected);
        if (row.elsewhere) {
            EXPECT_EQ(summary.notes, std::vector<std::string>{std::string("1 ") + (row.local ? "local" : "Google") +
                                                              " contacts whose " + (row.local ? "Google" : "local") +
                                                              " partner still exists but is not paired with them in "
                                                              "this run were left as they are"});
        }
        EXPECT_EQ(summary.googleFeedsComplete, row.complete);
        if (!row.complete) {
            ASSERT_FALSE(summary.notes.empty());
            EXPECT_NE(summary.notes[0].find("The Google feed is incomplete (cut in a test)"), std::string::npos);
        }
        if (row.expected == SyncActionGoogleToMac || row.expected == SyncActionMacToGoogle) {
            EXPECT_EQ(mine->mContactDifference, ContactDifferenceNewContact);
        }
    }
}

// --- the planner alone: its input built directly, its questions answered from tables ---

// A local contact is named by its given name, a Google contact by its identifier; the two of the
// same name pair. Everything else the planner asks is what the test's tables say.
class TablePlanning final : public SyncPlanner::Context {
public:
    static std::string nameOf(const CNContactPtr& c) { return c ? c->givenName() : ""; }
    static std::string nameOf(const GoogleContactPtr& g) { return g ? g->identifier().value_or("") : ""; }

    std::set<std::string> unnamed, outsideFilter, readOnly, other, differ, notInMyContacts, ignoredNew;
    std::map<std::string, SyncStrategyInfo> strategies;
    std::set<std::string> googleNewer;
    int comparisons = 0;

    void use(const SyncPlanner::Input& input) {
        locals = input.localContacts;
        for (const auto& e : *input.feeds.contacts.feed->entries())
            googles[nameOf(std::dynamic_pointer_cast<GDataEntryContact>(e))] = std::dynamic_pointer_cast<GDataEntryContact>(e);
    }
    bool appleContactHasName(const CNContactPtr& c) override { return !unnamed.count(nameOf(c)); }
    bool appleContactHasMatchingGroups(const CNContactPtr& c) override { return !outsideFilter.count(nameOf(c)); }
    bool appleContactReadOnly(const CNContactPtr& c) override { return readOnly.count(nameOf(c)) > 0; }
    bool googleContactHasName(const GoogleContactPtr& g) override { return !unnamed.count(nameOf(g)); }
    bool googleContactHasMatchingGroups(const GoogleContactPtr& g) override { return !outsideFilter.count(nameOf(g)); }
    bool googleContactIsOther(const GoogleContactPtr& g) override { return other.count(nameOf(g)) > 0; }
    GoogleContactPtr bestGoogleMatch(const CNContactPtr& apple) override {
        auto it = googles.find(nameOf(apple));
        return it == googles.end() || paired.count(nameOf(apple)) ? nullptr : it->second;
    }
    CNContactPtr bestAppleMatch(const GoogleContactPtr& google) override {
        for (const auto& c : locals)
            if (nameOf(c) == nameOf(google) && !paired.count(nameOf(c))) return c;
        return nullptr;
    }
    void setPaired(const CNContactPtr& apple, const GoogleContactPtr&) override { paired.insert(nameOf(apple)); }
    bool isApplePaired(const CNContactPtr& apple) override { return paired.count(nameOf(apple)) > 0; }
    bool isGooglePaired(const GoogleContactPtr& google) override { return paired.count(nameOf(google)) > 0; }
    SyncStrategyInfo strategy(const CNContactPtr& apple, const GoogleContactPtr& google) override {
        return strategies[apple ? nameOf(apple) : nameOf(google)];
    }
    bool contactsDiffer(const CNContactPtr&, const CNContactPtr& apple, const GoogleContactPtr&, int32_t* difference) override {
        ++comparisons;
        const bool d = differ.count(nameOf(apple)) > 0;
        *difference = d ? ContactDifferenceName : ContactDifferenceNone;
        return d;
    }
    std::optional<FieldValues> googleFieldValues(const GoogleContactPtr&) override { return FieldValues(); }
    bool belongsToMyContacts(const GoogleContactPtr& g) override { return !notInMyContacts.count(nameOf(g)); }
    std::optional<Date> appleContactDate(const CNContactPtr& apple) override {
        return Date::fromUnix(googleNewer.count(nameOf(apple)) ? 1000 : 3000);
    }
    bool shouldSyncPhoto(const CNContactPtr&, const GoogleContactPtr&, int32_t, const SyncStrategyInfo& s) override {
        return s.applePhotoChanged || s.googlePhotoChanged;
    }
    bool ignoreNewAppleContact(const CNContactPtr& c) override { return ignoredNew.count(nameOf(c)) > 0; }
    bool ignoreNewGoogleContact(const GoogleContactPtr& g) override { return ignoredNew.count(nameOf(g)) > 0; }
    NSSyncRecordPtr newSyncRecord() override {
        auto r = std::make_shared<NSSyncRecord>();
        r->setModel({});  // texts from the record alone
        return r;
    }

private:
    std::vector<CNContactPtr> locals;
    std::map<std::string, GoogleContactPtr> googles;
    std::set<std::string> paired;
};

// The planner's input: local contacts by given name, Google contacts (updated at 2000) by identifier.
SyncPlanner::Input planInput(int32_t mode, const std::vector<std::string>& locals, const std::vector<std::string>& googles,
                             bool complete = true) {
    SyncPlanner::Input in;
    in.syncMode = mode;
    for (const auto& name : locals) in.localContacts.push_back(makeAppleContact({.given = name}));
    in.feeds.groups = {.feed = standardGroupFeed(), .complete = true, .incompleteReason = ""};
    in.feeds.contacts = {.feed = GDataFeedContact::contactFeed(), .complete = complete, .incompleteReason = ""};
    in.feeds.incompleteReason = complete ? "" : "cut in a test";
    for (const auto& id : googles) {
        auto g = googleContact("<id>" + id + "</id><gd:name><gd:givenName>" + id + "</gd:givenName></gd:name>");
        g->setUpdatedDate(GDataDateTime(Date::fromUnix(2000), platform::TimeZone::universal()));
        in.feeds.contacts.feed->addEntry(g);
    }
    return in;
}

SyncPlan planAlone(TablePlanning& facts, SyncPlanner::Input in) {
    facts.use(in);
    SyncPlanner planner(facts, std::move(in));
    while (!planner.pairLocalContacts(1)) {}
    while (!planner.pairGoogleContacts(1)) {}
    while (!planner.planPairs(1)) {}
    return planner.takePlan();
}

TEST(SyncPlannerAloneTest, TheActionOfEachSituationFromItsFacts) {
    const SyncStrategyInfo history{.historyFound = true, .historyLacksDigests = true};  // a record without digests
    SyncStrategyInfo appleChanged = history, bothChanged = history, unchanged = history, gone, googlePhoto = history;
    unchanged.historyLacksDigests = false;  // and nothing changed since
    appleChanged.appleContactChanged = true;
    bothChanged.appleContactChanged = bothChanged.googleContactChanged = true;
    gone.counterpartDeleted = true;
    googlePhoto.googlePhotoChanged = true;
    using Table = std::set<std::string> TablePlanning::*;
    struct Row {
        const char* what;
        bool local = true, google = true;  // which sides "Ann" has
        SyncStrategyInfo strategy = {};
        std::vector<Table> in = {};  // the tables "Ann" is in
        int32_t expected = SyncActionNoUpdate;
        const char* held = "";  // the note of a record held back
        int32_t mode = SyncModeTwoWay;
        bool complete = true, force = false, duplicate = false;
        int comparisons = 0;  // of the pair's fields
        bool readOnlyAccount = false;  // the synced account is read-only: its contacts are not filtered out
    };
    const Row rows[] = {
        {.what = "the local side changed", .strategy = appleChanged, .in = {&TablePlanning::differ}, .expected = SyncActionMacToGoogle, .comparisons = 1},
        {.what = "both changed: the newer", .strategy = bothChanged, .in = {&TablePlanning::differ, &TablePlanning::googleNewer}, .expected = SyncActionGoogleToMac, .comparisons = 1},
        {.what = "differs, neither changed", .strategy = history, .in = {&TablePlanning::differ}, .held = "neither side changed", .comparisons = 1},
        {.what = "both as last synced: not compared", .strategy = unchanged, .in = {&TablePlanning::differ}},
        {.what = "Google to local onto a read-only contact", .strategy = history, .in = {&TablePlanning::differ, &TablePlanning::readOnly}, .held = "read-only", .mode = SyncModeGoogleToMac, .comparisons = 1, .readOnlyAccount = true},
        {.what = "not in My Contacts: to Google", .strategy = history, .in = {&TablePlanning::notInMyContacts}, .expected = SyncActionMacToGoogle, .comparisons = 1},
        {.what = "only the Google photo changed", .strategy = googlePhoto, .expected = SyncActionGoogleToMac, .comparisons = 1},
        {.what = "equal but forced: the newer", .strategy = history, .expected = SyncActionMacToGoogle, .force = true, .comparisons = 1},
        {.what = "local, partner deleted", .google = false, .strategy = gone, .expected = SyncActionDeleteContact},
        {.what = "local, partner deleted, feed cut", .google = false, .strategy = gone, .held = "feed is incomplete", .complete = false},
        {.what = "local, partner deleted, read-only", .google = false, .strategy = gone, .in = {&TablePlanning::readOnly}, .held = "read-only", .readOnlyAccount = true},
        {.what = "local and new, ignored", .google = false, .in = {&TablePlanning::ignoredNew}},
        {.what = "local and new, feed cut", .google = false, .held = "not created on Google", .complete = false},
        {.what = "Google, partner deleted, a name shared", .local = false, .strategy = gone, .expected = SyncActionDeleteContact, .duplicate = true},
        {.what = "Google and new, feed cut: created", .local = false, .expected = SyncActionGoogleToMac, .complete = false},
        {.what = "Google and new, local to Google mode", .local = false, .mode = SyncModeMacToGoogle},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TablePlanning facts;
        facts.strategies["Ann"] = row.strategy;
        for (Table table : row.in) (facts.*table).insert("Ann");
        auto in = planInput(row.mode, row.local ? std::vector<std::string>{"Ann"} : std::vector<std::string>{},
                            row.google ? std::vector<std::string>{"Ann"} : std::vector<std::string>{}, row.complete);
        in.forceUpdate = row.force;
        in.syncingReadOnlyAccount = row.readOnlyAccount;
        if (row.duplicate) in.googleDuplicates.push_back(std::dynamic_pointer_cast<GDataEntryContact>(in.feeds.contacts.feed->entries()->at(0)));
        auto plan = planAlone(facts, std::move(in));
        ASSERT_EQ(plan.records.size(), 1u);
        const auto& r = *plan.records[0];
        EXPECT_EQ(r.mSyncAction, row.expected);
        EXPECT_EQ(r.mInitialSyncAction, row.expected);
        EXPECT_EQ(facts.comparisons, row.comparisons);
        // What the Google side holds is kept from the comparison's read, but not for a pair sent
        // to Google (its answer's values take their place).
        EXPECT_EQ(r.mGoogleFieldValues.has_value(), row.comparisons > 0 && row.expected != SyncActionMacToGoogle);
        const std::string notes = ::testing::PrintToString(plan.summary.notes);
        if (*row.held) EXPECT_NE(notes.find(row.held), std::string::npos) << notes;
        EXPECT_EQ(plan.summary.changes(), row.expected == SyncActionNoUpdate ? 0u : 1u);
        EXPECT_EQ(r.mSyncPhoto, row.expected != SyncActionNoUpdate && row.expected != SyncActionDeleteContact &&
                                    (row.strategy.googlePhotoChanged || row.strategy.applePhotoChanged));
    }
}

TEST(SyncPlannerAloneTest, PairingLeavesFilteredContactsAloneAndKeepsLoneOnes) {
    // Ann pairs; Bob has no name and Dee is outside the group filter (both ignored); Cid is
    // read-only, so filtered, but its Google partner finds it: held as it is; Eve is an Other
    // contact (ignored); Fay and Gus are alone on their sides.
    TablePlanning facts;
    facts.unnamed = {"Bob"};
    facts.outsideFilter = {"Dee"};
    facts.readOnly = {"Cid"};
    facts.other = {"Eve"};
    for (bool readOnlyAccount : {false, true}) {
        SCOPED_TRACE(readOnlyAccount);
        TablePlanning t = facts;
        auto in = planInput(SyncModeTwoWay, {"Gus", "Dee", "Cid", "Bob", "Ann"}, {"Fay", "Eve", "Cid", "Bob", "Ann"});
        in.ignoreEmptyContacts = in.ignoreOtherContacts = true;
        in.syncingReadOnlyAccount = readOnlyAccount;
        auto plan = planAlone(t, std::move(in));
        std::vector<std::string> got;
        for (const auto& r : plan.records)
            got.push_back(TablePlanning::nameOf(r->mAppleContact) + "/" + TablePlanning::nameOf(r->mGoogleContact) + " " +
                          std::to_string(r->mSyncAction));
        // In plan order (by sort string): new on either side goes across; a pair equal by the tables stays.
        EXPECT_EQ(got, (std::vector<std::string>{"Ann/Ann 0", "Cid/Cid 0", "/Fay 1", "Gus/ 2"}));
        EXPECT_EQ(t.comparisons, readOnlyAccount ? 2 : 1);  // a held pair is not compared
        EXPECT_EQ(plan.summary.createGoogle + plan.summary.createLocal + plan.summary.unchanged, 4u);
        const std::string notes = ::testing::PrintToString(plan.summary.notes);
        EXPECT_EQ(notes.find("filters leave alone") != std::string::npos, !readOnlyAccount) << notes;
    }
}

// --- whole runs against the provider ---

class SyncRunPlanTest : public SyncPlannerTest {
protected:
    // Google: Person 0..299 in My Contacts. Local: Person 200..349, of which 200..209 carry an
    // e-mail address the Google contacts lack and were changed since their last sync. The history
    // remembers Person 340 with a Google contact since deleted, and Google's Person 5 with a local
    // contact since deleted.
    void SetUp() override {
        SyncPlannerTest::SetUp();
        for (int i = 0; i < 300; ++i) googleIDs.push_back(addPerson("Person", std::to_string(i)));
        std::vector<AppleName> locals;
        for (int i = 200; i < 350; ++i) {
            AppleName n{.given = "Person", .family = std::to_string(i)};
            if (i < 210) n.emails = {"person" + std::to_string(i) + "@example.org"};
            locals.push_back(n);
        }
        auto contacts = useContainer("Home", locals);
        ASSERT_EQ(contacts.size(), 150u);
        model_->setPreviousGmailUsername(test::FakeProvider::OAuthSettings().userEmail);
        model_->setPreviousContainerID(internals(model_).mSelectedContainer->identifier());
        auto opened = model_->syncStore();
        ASSERT_TRUE(opened);
        SyncStore* syncStore = *opened;
        CNContactPtr person340;
        for (const auto& c : contacts) {
            const int i = std::stoi(c->familyName());
            if (i == 340) person340 = c;
            if (i >= 210) continue;
            const auto& id = googleIDs[size_t(i)];
            auto r = pairRecord(c->identifier(), provider.idURL(test::FakeProvider::Kind::Contacts, id));
            r->appleUpdateDate = c->modificationDate()->addingTimeInterval(-600);
            r->googleUpdateDate = Date::fromUnix(provider.entry(test::FakeProvider::Kind::Contacts, id)->updated);
            r->googleGroupNamesHash = model_->getGroupHashWithGroups(std::vector<std::string>{"My Contacts"});
            syncStore->insertSyncHistory(r);
        }
        syncStore->insertSyncHistory(pairRecord(person340->identifier(), provider.idURL(test::FakeProvider::Kind::Contacts, "gone")));
        syncStore->insertSyncHistory(pairRecord("deleted-local", provider.idURL(test::FakeProvider::Kind::Contacts, googleIDs[5])));
        // An old pair of Person 285, which a feed cut at 270 entries does not show.
        syncStore->insertSyncHistory(pairRecord("old-local", provider.idURL(test::FakeProvider::Kind::Contacts, googleIDs[285])));
        ASSERT_TRUE(syncStore->save());
    }

    std::shared_ptr<SyncRun> runPlan(SyncRunOptions options = {}) {
        bool finished = false;
        auto run = model_->startSyncRun(options, [&](SyncRun&) { finished = true; });
        EXPECT_TRUE(run);
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return finished; }, 120));
        return run;
    }
    std::map<std::string, int32_t> actionsByName(const SyncRun& run) {
        std::map<std::string, int32_t> actions;
        for (const auto& r : run.records()) actions[r->mDescription.value_or("")] = r->mSyncAction;
        return actions;
    }

    std::vector<std::string> googleIDs;
};

TEST_F(SyncRunPlanTest, AWholeFeedPlansTheExpectedRecords) {
    auto run = runPlan();
    ASSERT_EQ(run->state(), SyncRun::State::finished);
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    const auto& plan = run->plan();
    EXPECT_TRUE(plan.googleFeedsComplete);
    EXPECT_EQ(plan.createLocal, 199u);  // Person 0..199 but Person 5
    EXPECT_EQ(plan.deleteGoogle, 1u);   // Person 5
    EXPECT_EQ(plan.createGoogle, 49u);  // Person 300..349 but Person 340
    EXPECT_EQ(plan.deleteLocal, 1u);    // Person 340
    EXPECT_EQ(plan.updateGoogle, 10u);  // Person 200..209
    EXPECT_EQ(plan.updateLocal, 0u);
    EXPECT_EQ(plan.unchanged, 90u);
    EXPECT_EQ(run->records().size(), 350u);

    auto actions = actionsByName(*run);
    EXPECT_EQ(actions["Person 5"], SyncActionDeleteContact);
    EXPECT_EQ(actions["Person 340"], SyncActionDeleteContact);
    EXPECT_EQ(actions["Person 0"], SyncActionGoogleToMac);
    EXPECT_EQ(actions["Person 205"], SyncActionMacToGoogle);
    EXPECT_EQ(actions["Person 250"], SyncActionNoUpdate);
    EXPECT_EQ(actions["Person 345"], SyncActionMacToGoogle);
    // Sorted by family name, given name.
    EXPECT_EQ(run->records().front()->mDescription, "Person 0");
    // The run logged its states and the plan.
    EXPECT_NE(model_->log().find("Run state: loadHistory -> pair"), std::string::npos);
    EXPECT_NE(model_->log().find("Planned: 199 to create locally"), std::string::npos) << model_->log();
}

TEST_F(SyncRunPlanTest, ACutFeedEndsTheRunRefusedBeforeAnythingIsPlannedOrWritten) {
    provider.setPageCap(10);  // 30 pages: the service stops after 27
    model_->doFetchSyncHistory();
    const size_t remembered = model_->syncHistory().records().size();
    for (bool planOnly : {true, false}) {
        auto run = runPlan(SyncRunOptions{.planOnly = planOnly});
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Refused) << run->message();
        EXPECT_NE(run->message().find("incomplete"), std::string::npos) << run->message();
        EXPECT_TRUE(run->records().empty());
    }
    EXPECT_EQ(provider.entries(test::FakeProvider::Kind::Contacts).size(), 300u);
    model_->doFetchSyncHistory();
    EXPECT_EQ(model_->syncHistory().records().size(), remembered);
    model_->fetchSyncLogRecords();
    ASSERT_EQ(model_->syncLogRecords().size(), 1u);
    EXPECT_EQ(model_->syncLogRecords()[0].result, "refused");
}

TEST_F(SyncRunPlanTest, AFailedDownloadEndsTheRunWithItsKindOfResult) {
    provider.revokeAllTokens();
    provider.expireAccessTokens();
    auto run = runPlan();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Auth) << run->message();
    EXPECT_TRUE(run->records().empty());
    // A plan-only run records nothing; a run meant to write records how it ended.
    model_->fetchSyncLogRecords();
    EXPECT_TRUE(model_->syncLogRecords().empty());
    runPlan(SyncRunOptions{.planOnly = false});
    model_->fetchSyncLogRecords();
    ASSERT_EQ(model_->syncLogRecords().size(), 1u);
    EXPECT_EQ(model_->syncLogRecords()[0].result, "auth");

    platform::Error offline(platform::kURLErrorDomain, platform::kURLErrorNotConnectedToInternet);
    EXPECT_EQ(SyncRun::outcomeForError(offline), SyncRunOutcome::Network);
    // A provider that cannot serve now is unreachable too: safe to retry.
    for (int status : {500, 503, 429}) EXPECT_EQ(SyncRun::outcomeForError(platform::Error("com.quorvane.HTTPStatus", status)), SyncRunOutcome::Network);
    EXPECT_EQ(SyncRun::outcomeForError(platform::Error("com.quorvane.HTTPStatus", 404)), SyncRunOutcome::Other);
    // Only the provider's refusal of the sign-in is one of the sign-in: a 401 or 403 to a request
    // that carried the token, or the grant refused; a quota answer is a wait.
    using V = platform::Value;
    const std::string limit = R"({"error":{"errors":[{"reason":"userRateLimitExceeded"}],"message":"slow down"}})";
    const struct {
        int status;
        V info;
        SyncRunOutcome outcome;
    } answers[] = {
        {401, V::dictionary({{"answeredSignedRequest", true}}), SyncRunOutcome::Auth},
        {403, V::dictionary({{"answeredSignedRequest", true}}), SyncRunOutcome::Auth},
        {401, V::dictionary({{"json", V::dictionary({{"error", "invalid_grant"}})}}), SyncRunOutcome::Auth},
        {400, V::dictionary({{"json", V::dictionary({{"error", "invalid_grant"}})}}), SyncRunOutcome::Auth},
        {401, V::dictionary(), SyncRunOutcome::Other},
        {403, V::dictionary({{"json", V::dictionary({{"error", "invalid_client"}})}}), SyncRunOutcome::Other},
        {403, V::dictionary({{"answeredSignedRequest", true}, {"data", V(platform::Bytes(limit.begin(), limit.end()))}}),
         SyncRunOutcome::Network},
    };
    for (const auto& a : answers)
        EXPECT_EQ(SyncRun::outcomeForError(platform::Error("com.quorvane.HTTPStatus", a.status, a.info)), a.outcome)
            << a.status << " " << a.info.toJSON();
    EXPECT_EQ(GoogleBatchWriter::providerReason(platform::Error("com.quorvane.HTTPStatus", 403, answers[6].info)),
              "userRateLimitExceeded: slow down");
}

TEST_F(SyncRunPlanTest, AnUnconfirmedPlanWritesNothing) {
    size_t deletionsShown = 0;
    SyncRunOptions options{.planOnly = false};
    options.confirm = [&](SyncRun& run, std::function<void(bool)> answer) {
        deletionsShown = run.plan().deletions();
        answer(false);
    };
    auto run = runPlan(options);
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Refused);
    EXPECT_EQ(deletionsShown, 2u);
    EXPECT_EQ(provider.entries(test::FakeProvider::Kind::Contacts).size(), 300u);
    model_->fetchSyncLogRecords();
    ASSERT_EQ(model_->syncLogRecords().size(), 1u);
    EXPECT_EQ(model_->syncLogRecords()[0].result, "refused");
}

TEST_F(SyncRunPlanTest, ARunAppliesItsPlanAndTheNextPlanFindsNothingToDo) {
    auto run = runPlan(SyncRunOptions{.planOnly = false});
    ASSERT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message() << "\n" << model_->log();
    const auto& counts = run->result().counts;
    EXPECT_EQ(counts.googleCreated, 49);
    EXPECT_EQ(counts.googleDeleted, 1);
    EXPECT_EQ(counts.googleUpdated, 10);
    EXPECT_EQ(counts.appleCreated, 199);
    EXPECT_EQ(counts.appleDeleted, 1);
    EXPECT_EQ(provider.entries(test::FakeProvider::Kind::Contacts).size(), 348u);

    auto again = runPlan();
    ASSERT_EQ(again->outcome(), SyncRunOutcome::Ok);
    EXPECT_EQ(again->plan().changes(), 0u);
    EXPECT_EQ(again->plan().unchanged, 348u);
}

}  // namespace
}  // namespace quorvane
