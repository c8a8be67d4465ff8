// The strategy of a pair as decision tables, and the stored group hash's fixed values.

#include <gtest/gtest.h>

#include <set>

#include "gdata/GDataFeedContact.h"
#include "sync/ContentDigest.h"
#include "sync/SyncStrategy.h"
#include "sync/SyncTypes.h"
#include "tests/support/ContactsFeedGenerator.h"

namespace quorvane {
namespace {

using platform::Date;

constexpr double kSynced = 1'700'000'000.0;  // both stored update dates

SyncHistoryRecord storedRecord(bool previouslyMerged) {
    SyncHistoryRecord r;
    r.appleRecordID = "A";
    r.googleID = "G";
    r.appleUpdateDate = Date::fromUnix(kSynced);
    r.googleUpdateDate = Date::fromUnix(kSynced - 30);
    r.appleGroupNamesHash = 11;
    r.googleGroupNamesHash = 22;
    r.appleImageSize = 500;
    r.googleETag = "e1";
    r.previouslyMerged = previouslyMerged;
    return r;
}

// An exact pair: the dates moved by these many seconds since the stored ones, groups unchanged.
SyncStrategyInputs pairInputs(const SyncHistoryRecord* r, int32_t mode, double googleMoved, double appleMoved) {
    SyncStrategyInputs in;
    in.record = r;
    in.hasAppleContact = in.hasGoogleContact = true;
    in.syncMode = mode;
    in.syncPhotos = false;
    if (r) {
        in.googleUpdateDate = Date::fromUnix(r->googleUpdateDate->timeIntervalSince1970() + googleMoved);
        in.appleModificationDate = Date::fromUnix(r->appleUpdateDate->timeIntervalSince1970() + appleMoved);
        in.appleGroupNamesHash = r->appleGroupNamesHash;
        in.googleGroupNamesHash = r->googleGroupNamesHash;
    }
    return in;
}

TEST(SyncStrategyTest, ChangesAndMergeByModeAndSettings) {
    struct Case {
        const char* what;
        int32_t mode;
        double googleMoved, appleMoved;
        bool previouslyMerged, merge2, merge1;
        bool googleChanged, appleChanged, merge;
    };
    const Case cases[] = {
        {"5.0 s is no change", SyncModeTwoWay, 5.0, -5.0, false, true, true, false, false, false},
        {"5.1 s later is a change", SyncModeTwoWay, 5.1, 0, false, true, true, true, false, false},
        {"5.1 s earlier is a change", SyncModeTwoWay, 0, -5.1, false, true, true, false, true, false},
        {"two-way, both changed: merge", SyncModeTwoWay, 60, 60, false, true, false, true, true, true},
        {"two-way, both changed, merge off", SyncModeTwoWay, 60, 60, false, false, true, true, true, false},
        {"two-way, one side, left apart by a one-way merge", SyncModeTwoWay, 60, 0, true, true, false, true, false, true},
        {"two-way, one side of a pair in step: as made", SyncModeTwoWay, 0, 60, false, true, true, false, true, false},
        {"two-way, nothing changed, left apart", SyncModeTwoWay, 0, 0, true, true, true, false, false, true},
        {"Google to local, the source changed: as made", SyncModeGoogleToMac, 60, 0, false, false, true, true, false, false},
        {"Google to local, the destination changed", SyncModeGoogleToMac, 0, 60, false, false, true, false, true, true},
        {"local to Google, left apart", SyncModeMacToGoogle, 0, 60, true, false, true, false, true, true},
        {"local to Google: one-way setting off", SyncModeMacToGoogle, 60, 60, true, true, false, true, true, false},
        {"manual never merges", SyncModeManual, 60, 60, true, true, true, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SyncHistoryRecord r = storedRecord(c.previouslyMerged);
        auto in = pairInputs(&r, c.mode, c.googleMoved, c.appleMoved);
        in.mergeContacts_2Way = c.merge2;
        in.mergeContacts_1Way = c.merge1;
        SyncStrategyInfo s = computeSyncStrategy(in);
        EXPECT_TRUE(s.historyFound);
        EXPECT_EQ(s.googleContactChanged, c.googleChanged);
        EXPECT_EQ(s.appleContactChanged, c.appleChanged);
        EXPECT_EQ(s.eitherContactChanged, c.googleChanged || c.appleChanged);
        EXPECT_EQ(s.mergeContacts, c.merge);
        EXPECT_EQ(s.previouslyMerged, c.previouslyMerged);
        EXPECT_EQ(s.lastSyncDate, Date::fromUnix(kSynced));  // the later stored date
        EXPECT_FALSE(s.counterpartDeleted);
    }

    // Group hashes count as changes of their side.
    SyncHistoryRecord r = storedRecord(false);
    auto in = pairInputs(&r, SyncModeTwoWay, 0, 0);
    in.googleGroupNamesHash = 23;
    SyncStrategyInfo s = computeSyncStrategy(in);
    EXPECT_TRUE(s.googleGroupsChanged && !s.appleGroupsChanged && !s.eitherContactChanged);

    // With the digests kept, content decides whatever the dates say.
    r.googleContentDigest = 1;
    r.appleContentDigest = 2;
    in = pairInputs(&r, SyncModeTwoWay, 1.0, 60);
    in.googleContentDigest = [] { return uint64_t(9); };  // edited a second after the run
    in.appleContentDigest = [] { return uint64_t(2); };   // touched, same content
    s = computeSyncStrategy(in);
    EXPECT_TRUE(s.googleContactChanged && !s.appleContactChanged && !s.historyLacksDigests);

    // Two writes within a second carry the same update date: the digest decides even then.
    auto sameDate = pairInputs(&r, SyncModeTwoWay, 0, 0);
    sameDate.googleContentDigest = [] { return uint64_t(9); };
    sameDate.appleContentDigest = [] { return uint64_t(2); };
    EXPECT_TRUE(computeSyncStrategy(sameDate).googleContactChanged);
    EXPECT_TRUE(computeSyncStrategy(pairInputs(&r, SyncModeTwoWay, 60, 0)).googleContactChanged);  // no digest now: dates
    r.appleContentDigest.reset();
    EXPECT_TRUE(computeSyncStrategy(in).historyLacksDigests);
}

TEST(SyncStrategyTest, WithoutHistory) {
    // A pair without history merges by the setting of its direction (manual takes the one-way one).
    struct Case {
        int32_t mode;
        bool merge2, merge1, merge;
    } const cases[] = {{SyncModeTwoWay, true, false, true},   {SyncModeTwoWay, false, true, false},
                       {SyncModeManual, false, true, true},   {SyncModeGoogleToMac, true, false, false},
                       {SyncModeMacToGoogle, false, true, true}};
    for (const auto& c : cases) {
        auto in = pairInputs(nullptr, c.mode, 0, 0);
        in.mergeContacts_2Way = c.merge2;
        in.mergeContacts_1Way = c.merge1;
        auto s = computeSyncStrategy(in);
        EXPECT_FALSE(s.historyFound);
        EXPECT_EQ(s.mergeContacts, c.merge) << c.mode;
    }
    // One contact alone without history: nothing at all.
    SyncStrategyInputs alone;
    alone.hasGoogleContact = true;
    alone.isOtherContact = true;
    auto s = computeSyncStrategy(alone);
    EXPECT_FALSE(s.historyFound || s.mergeContacts || s.counterpartDeleted);
    EXPECT_TRUE(s.isOtherContact);
}

TEST(SyncStrategyTest, CounterpartDeletedByModeSideAndSetting) {
    struct Case {
        int32_t mode;
        bool appleAlone, syncDeleted, deleted;
    } const cases[] = {
        {SyncModeTwoWay, true, true, true},       {SyncModeTwoWay, false, true, true},
        {SyncModeGoogleToMac, true, true, true},  {SyncModeGoogleToMac, false, true, false},
        {SyncModeMacToGoogle, false, true, true}, {SyncModeMacToGoogle, true, true, false},
        {SyncModeManual, true, true, false},      {SyncModeTwoWay, true, false, false},
    };
    SyncHistoryRecord r = storedRecord(true);
    for (const auto& c : cases) {
        SyncStrategyInputs in;
        in.record = &r;
        in.hasAppleContact = c.appleAlone;
        in.hasGoogleContact = !c.appleAlone;
        in.syncMode = c.mode;
        in.syncDeletedContacts = c.syncDeleted;
        auto s = computeSyncStrategy(in);
        EXPECT_TRUE(s.historyFound);
        EXPECT_EQ(s.counterpartDeleted, c.deleted) << c.mode << " apple alone " << c.appleAlone;
        EXPECT_FALSE(s.counterpartElsewhere);
        EXPECT_FALSE(s.mergeContacts);
        EXPECT_EQ(s.previousGoogleETag, std::optional<std::string>("e1"));
        EXPECT_EQ(s.previousApplePhotoSize, 500);
        // A partner still there on its side was not deleted, whatever the mode.
        in.partnerExists = [] { return true; };
        s = computeSyncStrategy(in);
        EXPECT_TRUE(s.historyFound && s.counterpartElsewhere && !s.counterpartDeleted) << c.mode;
    }
}

TEST(SyncStrategyTest, APhotoAddedChangedOrRemovedOnEitherSideIsAChangeOfThatSide) {
    constexpr int64_t kNone = -1;
    struct Case {
        const char* what;
        int32_t mode;
        bool pending;
        const char* etagNow;  // nullptr: no Google photo
        int32_t sizeNow;
        int64_t storedDigest, digestNow;  // kNone: an older record without one; not known now
        bool googleChanged, googleVerified, appleChanged, appleVerified;
        // The record: none (a first pairing), or the photo state it keeps.
        bool noRecord = false;
        int32_t storedSize = 500;
        const char* storedETag = "e1";
        bool foundInStep = false;  // a record without photo state of photos on both sides or neither
    };
    const Case cases[] = {
        {"new Google ETag", SyncModeGoogleToMac, false, "e2", 500, 7, 7, true, false, false, false},
        {"Google photo removed", SyncModeGoogleToMac, false, nullptr, 500, 7, 7, true, false, false, false},
        {"pending ETag tells nothing", SyncModeGoogleToMac, true, "e2", 500, 7, 7, false, false, false, false},
        {"same ETag", SyncModeGoogleToMac, false, "e1", 0, 7, 7, false, true, false, false},
        {"local photo resized", SyncModeMacToGoogle, false, "e1", 700, 7, 7, false, false, true, false},
        {"local photo removed", SyncModeMacToGoogle, false, "e1", 0, 7, 7, false, false, true, false},
        {"same size, other bytes", SyncModeMacToGoogle, false, "e1", 500, 7, 8, false, false, true, false},
        {"same size, same bytes", SyncModeMacToGoogle, false, nullptr, 500, 7, 7, false, false, false, true},
        {"older record: the size decides", SyncModeMacToGoogle, false, "e1", 500, kNone, 8, false, false, false, true},
        {"bytes not known: the size decides", SyncModeMacToGoogle, false, "e1", 500, 7, kNone, false, false, false, true},
        {"two-way: both sides", SyncModeTwoWay, false, "e2", 700, 7, 7, true, false, true, false},
        // Without a photo state (no record, or one of the photo on one side only), a photo on one
        // side only is carried; one on both sides, or on neither, is found in step.
        {"first pairing: Google's photo alone", SyncModeTwoWay, false, "e2", 0, kNone, kNone, true, false, false, false, true},
        {"first pairing: the local photo alone", SyncModeTwoWay, false, nullptr, 700, kNone, kNone, false, false, true, false, true},
        {"first pairing: both", SyncModeTwoWay, false, "e2", 700, kNone, kNone, false, false, false, false, true},
        {"first pairing one way: the destination's photo stays", SyncModeGoogleToMac, false, nullptr, 700, kNone, kNone, false,
         false, false, false, true},
        {"a record of the local photo alone", SyncModeTwoWay, false, nullptr, 500, 7, 7, false, true, true, false, false, 500, nullptr},
        {"a record of Google's photo alone", SyncModeTwoWay, false, "e1", 0, 7, kNone, true, false, false, true, false, 0},
        {"a record of Google's photo alone, now on both sides", SyncModeTwoWay, false, "e1", 700, 7, 7, false, true, false, true,
         false, 0, "e1", true},
        {"a record of one photo, on neither side now", SyncModeTwoWay, false, nullptr, 0, 7, kNone, false, true, false, true,
         false, 500, nullptr, true},
        {"a photo sent, its ETag pending", SyncModeTwoWay, true, "e2", 500, 7, 7, false, false, false, true, false, 500, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SyncHistoryRecord r = storedRecord(false);
        r.googleETagPendingAssignment = c.pending;
        r.appleImageSize = c.storedSize;
        r.googleETag = c.storedETag ? std::optional<std::string>(c.storedETag) : std::nullopt;
        if (c.storedDigest != kNone) r.applePhotoDigest = uint64_t(c.storedDigest);
        // Nothing else moved: the photo alone makes the change.
        auto in = pairInputs(c.noRecord ? nullptr : &r, c.mode, 0, 0);
        in.syncPhotos = true;
        if (c.etagNow) in.googlePhotoETag = std::string(c.etagNow);
        in.applePhotoSize = [&] { return c.sizeNow; };
        in.applePhotoDigest = [&]() -> std::optional<uint64_t> {
            return c.digestNow == kNone ? std::nullopt : std::optional<uint64_t>(uint64_t(c.digestNow));
        };
        auto s = computeSyncStrategy(in);
        EXPECT_EQ(s.googlePhotoChanged, c.googleChanged);
        EXPECT_EQ(s.googlePhotoVerifiedNotChanged, c.googleVerified);
        EXPECT_EQ(s.applePhotoChanged, c.appleChanged);
        EXPECT_EQ(s.applePhotoVerifiedNotChanged, c.appleVerified);
        EXPECT_EQ(s.historyLacksPhotoDigest, c.storedDigest == kNone && !c.noRecord);
        EXPECT_EQ(s.photoStateFound, c.foundInStep);
        EXPECT_FALSE(s.googleContactChanged || s.appleContactChanged);

        // With photo sync off no photo field is ever set.
        in.syncPhotos = false;
        auto off = computeSyncStrategy(in);
        EXPECT_FALSE(off.googlePhotoChanged || off.googlePhotoVerifiedNotChanged || off.applePhotoChanged ||
                     off.applePhotoVerifiedNotChanged);
    }
    // A photo moves on its own: a photo change alone makes no merge of the texts.
    SyncHistoryRecord merged = storedRecord(false);
    auto in = pairInputs(&merged, SyncModeTwoWay, 0, 0);
    in.syncPhotos = true;
    in.googlePhotoETag = std::string("e1");
    in.applePhotoSize = [] { return 700; };
    EXPECT_FALSE(computeSyncStrategy(in).mergeContacts);
}

// What a merge does with a value one side holds alone, and with a single-valued field, judged
// against what the last run left on each side; and what the history keeps next.
TEST(SyncStrategyTest, AMergeJudgesEachValueAgainstWhatTheLastRunLeftOnEachSide) {
    auto values = [](std::initializer_list<const char*> emails) {
        FieldValues v;
        for (const char* e : emails) v.add(MergeField::Emails, textKey(std::string(e)));
        v.finish();
        return v;
    };
    const uint32_t x = *textKey(std::string("X@example.com"));
    EXPECT_EQ(x, *textKey(std::string(" x@EXAMPLE.com")));
    EXPECT_EQ(*phoneKey(std::string("(555) 01-00")), *phoneKey(std::string("5550100")));
    const std::optional<FieldValues> none, withX = values({"x@example.com"}), without = values({});
    struct Row {
        const char* what;
        std::optional<FieldValues> localBase, googleBase;
        bool localUnchanged, googleUnchanged;
        ValueFate local;  // of x, held locally alone
    } rows[] = {
        {"removed on Google since", withX, withX, false, true, ValueFate::Drop},
        {"added locally since", without, without, false, true, ValueFate::Copy},
        {"left apart by the last run", withX, without, true, true, ValueFate::Keep},
        {"older store, Google unchanged: added locally", none, none, false, true, ValueFate::Copy},
        {"older store, Google changed: never copied", none, none, true, false, ValueFate::Keep},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const FieldMergeBase base{r.localBase, r.googleBase, r.localUnchanged, r.googleUnchanged};
        EXPECT_EQ(base.fate(true, MergeField::Emails, x), r.local);
    }
    // A single-valued field: the side that changed it wins; the source where both did.
    FieldValues a, b;
    a.add(MergeField::Note, textKey(std::string("a")));
    b.add(MergeField::Note, textKey(std::string("b")));
    const FieldMergeBase noteWas{a, a, false, false};
    const auto keyA = textKey(std::string("a")), keyB = textKey(std::string("b")), keyC = textKey(std::string("c"));
    EXPECT_EQ(noteWas.single(true, MergeField::Note, keyA, keyB), SingleFate::Keep);   // only Google changed it
    EXPECT_EQ(noteWas.single(true, MergeField::Note, keyB, keyA), SingleFate::Write);  // only local changed it
    EXPECT_EQ(noteWas.single(true, MergeField::Note, keyB, keyC), SingleFate::Write);  // both: the source's
    EXPECT_EQ(noteWas.single(true, MergeField::Note, std::nullopt, keyA), SingleFate::Clear);  // removed locally
    EXPECT_EQ(noteWas.single(false, MergeField::Note, keyA, std::nullopt), SingleFate::Keep);  // not brought back
    // Kept next: a value added on one side and not carried is left out (the next merge carries
    // it), one removed there that the other side still holds is kept (the next merge removes it).
    const FieldMergeBase lastRun{withX, withX, false, true};
    const FieldValues local = values({"new@example.com"}), google = values({"x@example.com"});
    const FieldValues next = FieldMergeBase::nextBase(local, google, &lastRun, true);
    EXPECT_FALSE(next.has(MergeField::Emails, *textKey(std::string("new@example.com"))));
    EXPECT_TRUE(next.has(MergeField::Emails, x));
    EXPECT_EQ(FieldValues::decode(next.encode()), next);
    EXPECT_EQ(FieldValues::decode(std::string("\x02\x05\x00", 3)), std::nullopt);  // cut short
    // Fields added in any order keep their own values; the stored form stays per field, in field
    // order (number, count, digests), as stores written before hold it.
    FieldValues mixed;
    mixed.add(MergeField::Note, 7);
    mixed.add(MergeField::Emails, 3);
    mixed.add(MergeField::Emails, 1);
    mixed.add(MergeField::Name, 9);
    mixed.finish();
    EXPECT_EQ(std::vector<uint32_t>(mixed.of(MergeField::Emails).begin(), mixed.of(MergeField::Emails).end()),
              (std::vector<uint32_t>{1, 3}));
    EXPECT_TRUE(mixed.of(MergeField::Phones).empty() && mixed.has(MergeField::Note, 7) && !mixed.has(MergeField::Name, 7));
    const unsigned char stored[] = {0, 1, 0, 9, 0, 0, 0, 2, 2, 0, 1, 0, 0, 0, 3, 0, 0, 0, 11, 1, 0, 7, 0, 0, 0};
    EXPECT_EQ(mixed.encode(), std::string(reinterpret_cast<const char*>(stored), sizeof stored));
    EXPECT_EQ(FieldValues::decode(mixed.encode()), mixed);
    // IM addresses and social profiles are one value by service and user name, postal addresses
    // by region and country too; recorded by the older rules (an older store, under their own
    // field numbers) they read as unknown, never as values that look removed.
    const unsigned char olderIMs[] = {4, 1, 0, 6, 0, 0, 0, 8, 1, 0, 5, 0, 0, 0};
    const auto older = FieldValues::decode(std::string(reinterpret_cast<const char*>(olderIMs), sizeof olderIMs));
    ASSERT_TRUE(older);
    EXPECT_TRUE(!older->known(MergeField::IMs) && older->of(MergeField::IMs).empty() && older->known(MergeField::SocialProfiles));
    EXPECT_TRUE(!older->known(MergeField::Addresses) && older->of(MergeField::Addresses).empty());
    FieldValues withIM = mixed;
    withIM.add(MergeField::IMs, 5);
    withIM.finish();
    EXPECT_EQ((FieldMergeBase{*older, withIM, false, true, true, true}.fate(false, MergeField::IMs, 5)), ValueFate::Keep);
    EXPECT_NE(withIM.encode().find(std::string("\x0e\x01\x00\x05\x00\x00\x00", 7)), std::string::npos);
    EXPECT_EQ(FieldValues::decode(withIM.encode()), withIM);
    // Memberships: a record kept before them (withX) judges a group by the group hashes; a side
    // without groups (an account that keeps none) leaves none known on either side.
    const uint32_t team = *textKey(std::string("Team"));
    EXPECT_FALSE((FieldMergeBase{withX, withX}.recorded()));
    EXPECT_EQ((FieldMergeBase{withX, withX, true, true, false, true}).fate(true, MergeField::Groups, team), ValueFate::Copy);
    EXPECT_EQ((FieldMergeBase{withX, withX, true, true, false, false}).fate(true, MergeField::Groups, team), ValueFate::Keep);
    FieldValues inTeam;
    inTeam.knowGroups();
    inTeam.add(MergeField::Groups, team);
    const FieldMergeBase wasInTeam{inTeam, inTeam};
    EXPECT_TRUE(wasInTeam.recorded());
    EXPECT_EQ(wasInTeam.fate(false, MergeField::Groups, team), ValueFate::Drop);  // left locally
    const FieldValues nextWithout = FieldMergeBase::nextBase(inTeam, *without, &wasInTeam, false);
    EXPECT_TRUE(nextWithout.known(MergeField::Groups) && nextWithout.of(MergeField::Groups).empty());
    EXPECT_EQ(FieldValues::decode(nextWithout.encode()), nextWithout);
}

TEST(SyncStrategyTest, GroupHashHasFixedValues) {
    // 64-bit FNV-1a over the case-folded names sorted by code point and joined by ",".
    EXPECT_EQ(groupNamesHash(std::nullopt), 0u);
    EXPECT_EQ(groupNamesHash(std::vector<std::string>{}), 0xcbf29ce484222325ull);
    EXPECT_EQ(groupNamesHash(std::vector<std::string>{"Work", "friends"}), 0x80a3e61a8a54ade7ull);
    EXPECT_EQ(groupNamesHash(std::vector<std::string>{"friends", "WORK"}), 0x80a3e61a8a54ade7ull);
    EXPECT_EQ(groupNamesHash(std::vector<std::string>{"Straße", "ÉCOLE"}), 0xae5fb306f100b045ull);
    EXPECT_EQ(groupNamesHash(std::vector<std::string>{"My Contacts"}), 0x3c378bb8c2f05684ull);
}

// The history keeps the Google digests of earlier runs: read without the tree, an entry must give
// the value its tree gives, whatever it holds (unknown elements and attributes, empty elements,
// values set by the model after the parse).
TEST(ContentDigest, TheGoogleDigestEqualsItsTreeFormForEveryEntry) {
    std::vector<std::shared_ptr<GDataEntryContact>> entries;
    size_t written = 0;
    for (uint32_t seed : {1u, 2u, 3u}) {
        const std::string xml = testing::generateContactsFeed({60, seed, seed != 2});
        auto feed = GDataFeedContact::contactFeedWithXMLData(platform::Bytes(xml.begin(), xml.end()));
        ASSERT_TRUE(feed && feed->entries());
        for (const auto& e : *feed->entries()) {
            entries.push_back(std::dynamic_pointer_cast<GDataEntryContact>(e));
            // Written beside their feed, as the kept list writes them, the bytes are read without
            // the parser, to the parser's value.
            if (const auto bytes = e->writtenXMLData()) {
                EXPECT_EQ(googleContentDigestOfPlainXML(*bytes), googleContentDigestOfParsedXML(*bytes));
                ++written;
            }
        }
    }
    EXPECT_EQ(written, entries.size());
    auto edited = std::dynamic_pointer_cast<GDataEntryContact>(entries[0]->copy());
    edited->setTitleWithString("");
    edited->setContent(nullptr);
    entries.push_back(edited);
    entries.push_back(GDataEntryContact::contactEntryWithFullNameString("A & <B> \"C\""));
    std::set<uint64_t> seen;
    for (const auto& entry : entries) {
        ASSERT_TRUE(entry);
        const uint64_t digest = googleContentDigest(*entry);
        EXPECT_EQ(digest, googleContentDigestOfTree(*entry)) << entry->identifier().value_or("(new)");
        if (const auto bytes = entry->writtenXMLData()) EXPECT_EQ(googleContentDigestOfPlainXML(*bytes), digest);
        seen.insert(digest);
    }
    EXPECT_GT(seen.size(), entries.size() - 5);  // the generator repeats a few contacts
}

// Bytes read without the parser give the parser's digest, or none, and those the parser refuses give none.
TEST(ContentDigest, BytesReadWithoutTheParserGiveTheParsersDigest) {
    const std::string ns = R"( xmlns="http://www.w3.org/2005/Atom" xmlns:gd="http://schemas.google.com/g/2005")"
                           R"( xmlns:gContact="http://schemas.google.com/contact/2008" gd:etag="&quot;e1&quot;")";
    struct Case {
        std::string xml;
        bool plain;  // read without the parser
    };
    const std::vector<Case> cases = {
        {"<entry" + ns + "><id>x</id><gd:name><gd:givenName>A &amp; B &lt;&gt; &#233;&#x10348;</gd:givenName></gd:name></entry>", true},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<entry" + ns + "><content type='text'>line\r\nnext\rlast</content></entry>\n", true},
        {"<entry" + ns + "><gd:email address=\"a\tb\r\nc&#10;d&#9;\" rel='x' primary=\"true\"/>  <title>  </title></entry>", true},
        {"<entry" + ns + "><updated>1</updated><link rel='x' href='y'/><gContact:groupMembershipInfo href='g'/>"
         "<app:edited xmlns:app='http://www.w3.org/2007/app'>2</app:edited><published>3</published>text<x:y xmlns:x='urn:o'"
         " x:a='1' b='2'><z xmlns='urn:d'>é</z></x:y></entry>", true},
        {"<entry" + ns + "><batch:id xmlns:batch='http://schemas.google.com/gdata/batch'>7</batch:id><p:q xmlns:p='urn:p'/>"
         "<gd:e xmlns:gd='urn:other'/><w xmlns=''/></entry>", true},
        {"<entry" + ns + " etag='1' other='2'><title type = \"text\" >T</title ></entry>", true},
        {"<entry" + ns + "><!-- note --><title>a<![CDATA[b]]>c</title></entry>", false},
        {"<entry" + ns + "><title xml:lang='en'>x</title></entry>", false},
        {"<entry" + ns + "><title>&nbsp;</title></entry>", false},
        {"<entry" + ns + "><u:title>x</u:title></entry>", false},
        {"<entry" + ns + "><title a='1' a='2'/></entry>", false},
        {"<entry" + ns + " xmlns:gd='urn:again'/>", false},
        {"<entry" + ns + "><batch:id xmlns:batch='&amp;'/></entry>", false},
        {"<entry" + ns + "><title>\x01</title></entry>", false},
        {"<entry" + ns + "><title>\xff</title></entry>", false},
        {"<entry" + ns + "><title>&#0;</title></entry>", false},
        {"<entry" + ns + "><title>x</titel></entry>", false},
        {"<entry" + ns + "><title>]]></title></entry>", false},
        {"<entry" + ns + "><titlé>x</titlé></entry>", false},
        {"<entry" + ns + "/><more/>", false},
    };
    for (const auto& c : cases) {
        const platform::Bytes bytes(c.xml.begin(), c.xml.end());
        const auto plain = googleContentDigestOfPlainXML(bytes);
        EXPECT_EQ(plain.has_value(), c.plain) << c.xml;
        if (plain) EXPECT_EQ(plain, googleContentDigestOfParsedXML(bytes)) << c.xml;
        EXPECT_EQ(googleContentDigestOfXML(bytes), googleContentDigestOfParsedXML(bytes)) << c.xml;
    }
}

}  // namespace
}  // namespace quorvane
