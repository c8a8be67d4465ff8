// Pairing: the partner each contact finds (history, hash name, names, organisation, e-mail,
// phone, grouped before Other contacts), the ignore-new and group filters, and the indexed search
// against the obvious scan over thousands of generated populations.

#include <random>

#include "sync/PairingIndex.h"
#include "tests/sync/PairingReferenceScan.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane {
namespace {

using namespace quorvane::testing;
using platform::CNContactPtr;

struct GSpec {
    std::optional<std::string> given, family, org;
    std::vector<std::string> emails = {}, phones = {};
    bool other = false;
};
struct ASpec {
    std::string given, family, org;
    std::vector<std::string> emails = {}, phones = {};
};

std::shared_ptr<GDataEntryContact> buildGoogle(const GSpec& s, const std::string& id) {
    auto g = GDataEntryContact::contactEntryWithName(
        GDataName::nameWithPrefix(std::nullopt, s.given, std::nullopt, s.family, std::nullopt));
    g->setIdentifier(id);
    if (s.org) g->addOrganization(GDataOrganization::organizationWithName(s.org));
    for (const auto& e : s.emails) g->addEmailAddress(GDataEmail::emailWithLabel(std::nullopt, e));
    for (const auto& p : s.phones) g->addPhoneNumber(GDataPhoneNumber::phoneNumberWithString(p));
    if (!s.other) g->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(kGroupBase + "6"));
    return g;
}

CNContactPtr buildApple(const ASpec& s) {
    auto c = std::make_shared<platform::CNMutableContact>();
    c->setGivenName(s.given);
    c->setFamilyName(s.family);
    c->setOrganizationName(s.org);
    std::vector<platform::CNLabeledValue<std::string>> emails;
    for (const auto& e : s.emails) emails.emplace_back(std::string(platform::CNLabelHome), e);
    c->setEmailAddresses(std::move(emails));
    std::vector<platform::CNLabeledValue<platform::CNPhoneNumber>> phones;
    for (const auto& p : s.phones) phones.emplace_back(std::string(platform::CNLabelHome), platform::CNPhoneNumber{p});
    c->setPhoneNumbers(std::move(phones));
    return c;
}

class PairingTest : public SyncModelTestBase {
protected:
    // Puts the contacts in the model as a run's preparation would.
    void load(const std::vector<GSpec>& google, const std::vector<ASpec>& apple) {
        googles.clear();
        apples.clear();
        for (size_t i = 0; i < google.size(); ++i) googles.push_back(buildGoogle(google[i], "g" + std::to_string(i)));
        for (const auto& a : apple) apples.push_back(buildApple(a));
        loadBuilt();
    }
    void loadBuilt() {
        internals(model_).mContactFeed = GDataFeedContact::contactFeed();
        for (const auto& g : googles) internals(model_).mContactFeed->addEntry(g);
        internals(model_).mExistingAppleContacts = apples;
        model_->preparePairingDicts();
        applyHistory();
    }
    // The history of pairs synced before; the pairs whose two contacts are present count.
    void remember(const std::string& appleID, const std::string& googleID) {
        auto record = std::make_shared<SyncHistoryRecord>();
        record->appleRecordID = appleID;
        record->googleID = googleID;
        history.push_back(record);
    }
    void applyHistory() {
        model_->syncHistoryForUpdate().load(history, std::nullopt);
        model_->updatePairedContactsDict(
            [&](const std::string& id) {
                auto g = internals(model_).mGoogleContactDict.find(id);
                return g == internals(model_).mGoogleContactDict.end() ? nullptr : g->second;
            },
            [&](const std::string& id) {
                auto a = internals(model_).mExistingAppleContactDict.find(id);
                return a == internals(model_).mExistingAppleContactDict.end() ? nullptr : a->second;
            });
    }
    int googleIndex(const std::shared_ptr<GDataEntryContact>& g) {
        for (size_t i = 0; i < googles.size(); ++i)
            if (googles[i] == g) return int(i);
        return -1;
    }
    int appleIndex(const CNContactPtr& a) {
        for (size_t i = 0; i < apples.size(); ++i)
            if (apples[i] == a) return int(i);
        return -1;
    }

    std::vector<std::shared_ptr<GDataEntryContact>> googles;
    std::vector<CNContactPtr> apples;
    std::vector<SyncHistoryRecordPtr> history;
};

TEST_F(PairingTest, HashNameKeepsEveryBlankInPlaceAndIsEmptyOnlyWithoutAnyField) {
    EXPECT_EQ(QuorvaneModel::getContactHashNameWithFirstNameString(std::nullopt, "", std::nullopt, "", std::nullopt, ""), "");
    EXPECT_EQ(QuorvaneModel::getContactHashNameWithFirstNameString(std::nullopt, std::nullopt, "Lee", std::nullopt,
                                                                   std::nullopt, std::nullopt),
              "  Lee   ");
    EXPECT_EQ(QuorvaneModel::getContactHashNameWithFirstNameString("Ann", "B", "Lee", "Dr", "Jr", "Acme"), "Ann B Lee Dr Jr Acme");
    EXPECT_EQ(model_->getAppleContactHashName(buildApple({.given = "Ann", .org = "Acme"})), "Ann     Acme");
    EXPECT_EQ(model_->getGoogleContactHashName(buildGoogle({.given = "Ann", .org = "Acme"}, "x")), "Ann     Acme");
}

struct GoogleCase {
    const char* name;
    std::vector<GSpec> google;
    ASpec apple;
    int expected;  // index into google, -1 for none
    // (apple id, google id) synced before; "A" is this local contact, "B" another one.
    std::vector<std::pair<std::string, std::string>> history = {};
};

TEST_F(PairingTest, LocalContactFindsTheScansGoogleContact) {
    const std::vector<GoogleCase> cases = {
        {"no name: never by hash name, still by e-mail", {{.emails = {"ann@example.org"}}}, {.emails = {"ann@example.org"}}, 0},
        {"grouped beats an earlier Other contact", {{"Ann", "Lee", {}, {}, {}, true}, {"Ann", "Lee"}}, {"Ann", "Lee"}, 1},
        {"two Other contacts: the last", {{"Ann", "Lee", {}, {}, {}, true}, {"Ann", "Lee", {}, {}, {}, true}}, {"ann", "LEE"}, 1},
        {"names beat an earlier e-mail", {{"Bob", {}, {}, {"ann@x.example"}}, {"Ann", "Lee"}}, {"Ann", "Lee", "", {"ann@x.example"}}, 1},
        {"an e-mail of 6 characters never pairs", {{.emails = {"a@b.co"}}}, {.emails = {"a@b.co"}}, -1},
        {"e-mail letter case is ignored", {{.emails = {"ann@EXAMPLE.org"}}}, {.emails = {"Ann@example.ORG"}}, 0},
        {"grouped e-mail beats an earlier Other one", {{.emails = {"ann@x.example"}, .other = true}, {.emails = {"ann@x.example"}}},
         {.emails = {"ann@x.example"}}, 1},
        {"phones pair without their decoration", {{.phones = {"555.123.4567"}}}, {.phones = {"(555) 123-4567"}}, 0},
        {"phones pair only between nameless contacts", {{.phones = {"5551234567"}}}, {"Ann", "", "", {}, {"5551234567"}}, -1},
        {"a phone of 6 characters never pairs", {{.phones = {"555123"}}}, {.phones = {"555123"}}, -1},
        {"punctuation-only phones are no numbers", {{.phones = {"---"}}, {.phones = {""}}}, {.phones = {"(--) .. -"}}, -1},
        {"a leading plus sign counts", {{.phones = {"5551234567"}}}, {.phones = {"+5551234567"}}, -1},
        {"organisation pairs nameless contacts", {{.org = "ACME"}}, {.org = "Acme"}, 0},
        {"a trailing blank makes names differ", {{"Ann", "Lee"}}, {"Ann ", "Lee"}, -1},
        {"a remembered partner gone: hash name next", {{"Ann", "Lee"}}, {"Ann", "Lee"}, 0, {{"A", "gone"}}},
        {"remembered with another local contact: never", {{"Ann", "Lee"}}, {"Ann", "Lee"}, -1, {{"B", "g0"}}},
        {"the remembered partner wins over equal names", {{"Ann", "Lee"}, {"Zed"}}, {"Ann", "Lee"}, 1, {{"A", "g1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        history.clear();
        load(c.google, {c.apple, ASpec{}});  // and a bystander, "B"
        for (const auto& [a, g] : c.history) {
            remember(a == "A" ? apples[0]->identifier() : a == "B" ? apples[1]->identifier() : a, g);
        }
        applyHistory();
        EXPECT_EQ(googleIndex(model_->getBestGoogleContactMatchWithAppleContact(apples[0])), c.expected);
        EXPECT_EQ(googleIndex(referenceBestGoogleContact(*model_, apples[0])), c.expected);
    }
}

TEST_F(PairingTest, GoogleContactFindsTheFirstLocalContactInStoreOrder) {
    // A name match later in the store beats an e-mail match earlier; without a name, the first
    // e-mail match; read-only contacts are passed over when every account is synced.
    load({{"Ann", "Lee", {}, {"ann@x.example"}}, {{}, {}, {}, {"bob@x.example"}}, {{}, {}, {}, {}, {"555 123 4567"}}},
         {{"Bob", "", "", {"ann@x.example", "bob@x.example"}},
          {"Ann", "Lee"},
          {"", "", "", {"BOB@x.example"}},
          {"", "", "", {}, {"5551234567"}}});
    EXPECT_EQ(appleIndex(model_->getBestAppleContactMatchWithGoogleContact(googles[0])), 1);
    EXPECT_EQ(appleIndex(model_->getBestAppleContactMatchWithGoogleContact(googles[1])), 0);
    EXPECT_EQ(appleIndex(model_->getBestAppleContactMatchWithGoogleContact(googles[2])), 3);

    internals(model_).mReadOnlyContactDict[apples[0]->identifier()] = true;
    model_->resetPairingIndex();
    EXPECT_EQ(appleIndex(model_->getBestAppleContactMatchWithGoogleContact(googles[1])), 2);
    model_->setAppleContactAlreadyMatched(apples[2]->identifier());
    EXPECT_EQ(model_->getBestAppleContactMatchWithGoogleContact(googles[1]), nullptr);
}

TEST_F(PairingTest, SharedHashNamesAreDuplicatesThatPairOnlyByTheScan) {
    load({{"Ann", "Lee", {}, {}, {}, true}, {"Ann", "Lee"}, {"Bob"}}, {{"Ann", "Lee"}});
    ASSERT_EQ(internals(model_).mGoogleDuplicatesDetected.size(), 2u);
    EXPECT_EQ(internals(model_).mGoogleDuplicatesDetected[0], googles[0]);
    EXPECT_FALSE(internals(model_).mGoogleContactRecordIDsByHashName.count("Ann  Lee   "));
    EXPECT_EQ(internals(model_).mGoogleContactRecordIDsByHashName.at("Bob     "), "g2");
    EXPECT_EQ(model_->getBestGoogleContactMatchWithAppleContact(apples[0]), googles[1]);
}

TEST_F(PairingTest, IgnoreNewAndGroupFilters) {
    struct Row {
        int mode;
        bool phone, email, ignored;
    };
    const Row rows[] = {{0, false, false, false}, {1, true, true, true},   {2, false, true, true}, {2, true, false, false},
                        {3, true, false, true},   {3, false, true, false}, {4, true, false, false}, {4, false, false, true},
                        {7, false, false, false}};
    for (const auto& r : rows) {
        model_->setIgnoreNewContactsSetting(r.mode);
        ASpec a;
        GSpec g;
        if (r.phone) a.phones = g.phones = {"5551234567"};
        if (r.email) a.emails = g.emails = {"ann@x.example"};
        EXPECT_EQ(model_->shouldIgnoreNewAppleContact(buildApple(a)), r.ignored) << r.mode;
        EXPECT_EQ(model_->shouldIgnoreNewGoogleContact(buildGoogle(g, "x")), r.ignored) << r.mode;
    }
    EXPECT_FALSE(model_->shouldIgnoreNewAppleContact(nullptr));

    internals(model_).mGroupFeed = standardGroupFeed();
    auto grouped = googleContact(membership("friends1"));
    auto mine = googleContact(membership("6"));
    auto other = googleContact("<title>Other</title>");
    auto apple = buildApple({"Ann"});
    internals(model_).mGroupMembershipByPerson[apple->identifier()] = {"FRIENDS"};
    // On but with no group chosen, everyone passes.
    model_->setFilterByGroups(true);
    EXPECT_TRUE(model_->googleContactHasMatchingGroups(other));
    EXPECT_TRUE(model_->appleContactHasMatchingGroups(buildApple({"Bob"})));
    model_->setSelectedGroupStrings({"friends", "My Contacts"});
    internals(model_).mSelectedGroupURLDict = model_->getSelectedGroupURLDict();
    EXPECT_EQ(internals(model_).mSelectedGroupURLDict, (std::unordered_set<std::string>{kGroupBase + "6", kGroupBase + "friends1"}));
    EXPECT_TRUE(model_->googleContactHasMatchingGroups(grouped));
    EXPECT_TRUE(model_->googleContactHasMatchingGroups(mine));
    EXPECT_FALSE(model_->googleContactHasMatchingGroups(other));
    EXPECT_TRUE(model_->appleContactHasMatchingGroups(apple));
    EXPECT_FALSE(model_->appleContactHasMatchingGroups(buildApple({"Bob"})));
}

// --- the indexed search against the scan ---

// Small vocabularies, so that generated contacts collide in every way the rules care about.
const std::vector<std::optional<std::string>> kNameParts = {std::nullopt, "", " ", "\t\n", "ann", "Ann", "ANN", "Ann ", "lee", "Straße", "STRASSE", "ǅ"};
const std::vector<std::optional<std::string>> kOrgs = {std::nullopt, "", " ", "acme", "ACME", "Acme Inc"};
const std::vector<std::string> kEmails = {"a@b.co", "ann@x.example", "ANN@X.EXAMPLE", "bob@x.example", "       ", "ann@x.example "};
const std::vector<std::string> kPhones = {"555123", "5551234567", "(555) 123-4567", "555.123.4567", "+5551234567",
                                          "-------", "( ) - .", "(\u2028)-.--", "\u2028", "", "555-123-456a", "555-123-456A"};

template <class T>
const T& pick(std::mt19937& rng, const std::vector<T>& v) {
    return v[rng() % v.size()];
}

TEST_F(PairingTest, IndexedSearchChoosesExactlyWhatTheScanChooses) {
    constexpr int kPopulations = 1200;
    size_t pairsSeen = 0;
    for (int seed = 1; seed <= kPopulations; ++seed) {
        std::mt19937 rng(seed);
        googles.clear();
        apples.clear();
        const size_t nGoogle = 1 + rng() % 8, nApple = 1 + rng() % 8;
        for (size_t i = 0; i < nGoogle; ++i) {
            // Half the contacts have no name part at all, so organisations and phones get their turn.
            bool named = rng() % 2;
            auto part = [&](int oneIn) -> std::optional<std::string> {
                return named && rng() % oneIn == 0 ? pick(rng, kNameParts) : std::nullopt;
            };
            auto g = GDataEntryContact::contactEntryWithName(
                GDataName::nameWithPrefix(part(4), part(1), part(3), part(1), part(4)));
            g->setIdentifier("g" + std::to_string(i));
            if (rng() % 2) g->addOrganization(GDataOrganization::organizationWithName(pick(rng, kOrgs)));
            for (size_t k = rng() % 3; k > 0; --k) g->addEmailAddress(GDataEmail::emailWithLabel(std::nullopt, pick(rng, kEmails)));
            for (size_t k = rng() % 3; k > 0; --k) g->addPhoneNumber(GDataPhoneNumber::phoneNumberWithString(pick(rng, kPhones)));
            if (rng() % 3) g->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(kGroupBase + "6"));
            googles.push_back(g);
        }
        internals(model_).mReadOnlyContactDict.clear();
        internals(model_).mFacebookContactDict.clear();
        for (size_t i = 0; i < nApple; ++i) {
            auto c = std::make_shared<platform::CNMutableContact>();
            bool named = rng() % 2;
            auto part = [&](int oneIn) { return named && rng() % oneIn == 0 ? pick(rng, kNameParts).value_or("") : ""; };
            c->setNamePrefix(part(4));
            c->setGivenName(part(1));
            c->setFamilyName(part(1));
            c->setMiddleName(part(3));
            c->setOrganizationName(rng() % 2 ? pick(rng, kOrgs).value_or("") : "");
            std::vector<platform::CNLabeledValue<std::string>> emails;
            for (size_t k = rng() % 3; k > 0; --k) emails.emplace_back(std::string(platform::CNLabelHome), pick(rng, kEmails));
            c->setEmailAddresses(std::move(emails));
            std::vector<platform::CNLabeledValue<platform::CNPhoneNumber>> phones;
            for (size_t k = rng() % 3; k > 0; --k)
                phones.emplace_back(std::string(platform::CNLabelHome), platform::CNPhoneNumber{pick(rng, kPhones)});
            c->setPhoneNumbers(std::move(phones));
            if (rng() % 8 == 0) internals(model_).mReadOnlyContactDict[c->identifier()] = true;
            if (rng() % 10 == 0) internals(model_).mFacebookContactDict[c->identifier()] = true;
            apples.push_back(c);
        }
        // History: pairs of present contacts, stale ones (a side that is gone), and contacts
        // synced with several partners over time (the later record wins one way only).
        history.clear();
        for (int k = rng() % 5; k > 0; --k) {
            remember(rng() % 4 ? apples[rng() % nApple]->identifier() : "gone-apple",
                     rng() % 4 ? googles[rng() % nGoogle]->identifier().value() : "gone-google");
        }
        loadBuilt();

        // The run's two passes, each pair kept (most of the time) as the planner would.
        for (const auto& a : apples) {
            auto indexed = model_->getBestGoogleContactMatchWithAppleContact(a);
            auto scanned = referenceBestGoogleContact(*model_, a);
            ASSERT_EQ(googleIndex(indexed), googleIndex(scanned)) << "seed " << seed << " local " << appleIndex(a);
            if (indexed && rng() % 5) {
                ++pairsSeen;
                model_->setGoogleContactAlreadyMatched(*indexed->identifier());
                model_->setAppleContactAlreadyMatched(a->identifier());
            }
        }
        for (const auto& g : googles) {
            if (model_->isGoogleContactAlreadyMatched(g)) continue;
            auto indexed = model_->getBestAppleContactMatchWithGoogleContact(g);
            auto scanned = referenceBestAppleContact(*model_, g);
            ASSERT_EQ(appleIndex(indexed), appleIndex(scanned)) << "seed " << seed << " google " << googleIndex(g);
            if (indexed && rng() % 5) {
                ++pairsSeen;
                model_->setGoogleContactAlreadyMatched(*g->identifier());
                model_->setAppleContactAlreadyMatched(indexed->identifier());
            }
        }
    }
    // The populations do pair, often.
    EXPECT_GT(pairsSeen, size_t(kPopulations));
}

}  // namespace
}  // namespace quorvane
