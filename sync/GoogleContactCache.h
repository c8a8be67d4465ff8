#pragma once
// GoogleContactCache: the last whole Google contact list of a profile, kept on disk beside the
// sync store, so that a run asks the provider only for what changed since (GoogleFeedFetch) and
// loads the rest without parsing any XML.
//
// Per contact it keeps what pairing and planning read (identifier, ETag, update date, links,
// name parts, nickname, organisations, e-mail addresses, phone numbers, group memberships,
// extended properties), the content digest of the entry (ContentDigest.h), and the entry's XML
// bytes as the model writes them, with a checksum of their own. A loaded contact is a summary
// entry (Summary): a GDataEntryContact answering only those values, its identifier, ETag and update
// date held as objects, the others kept as the summary part's bytes and made into objects when
// first read (the most recently read few hundred summaries keep them; older ones let them go, to
// make them again when read again; a summary that is changed keeps everything). The readers that
// read every contact in a run use readValues instead, which reads an unchanged summary's values
// straight from its bytes and makes no objects. Nothing may be compared field by field,
// written into a local contact or sent to Google from a summary: wholeEntry() first parses the
// kept bytes into the whole entry, unknown elements and all. Bytes that fail their checksum or do
// not parse give no entry, and the caller leaves that contact alone.
//
// The file (its layout is written and read in one place, beside encodeRecord in the source): a
// header (magic, format version, the length and checksum of the summary part, the length of the
// entries' bytes), the entries' bytes, then the summaries with the owner (account and feed URL)
// and the date the list is current at. Only the summary part is read into memory; an entry's bytes are read from the
// file when it is made whole. A file that is missing, cut short, damaged, of another format or of
// another owner is not used (the run then downloads the whole list). It is replaced whole (written
// beside, made durable and renamed on a thread of its own: DurableReplace.h), and only when the
// list changed; load() waits for this process's replacements first.
//
// Main thread only.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "platform/foundation/Error.h"

namespace quorvane {

class GoogleContactCache {
public:
    class Summary;
    // 1: the first.
    static constexpr uint32_t kFormatVersion = 1;
    static constexpr const char* kFileName = "GoogleContacts.cache";
    static std::filesystem::path pathInFolder(const std::filesystem::path& dataFolder) { return dataFolder / kFileName; }

    // Whose list it is: a list of another account or another provider is never used.
    struct Owner {
        std::string account;
        std::string feedURL;
    };

    // The list kept at `path`, or why it cannot be used.
    static platform::Result<std::shared_ptr<GoogleContactCache>> load(const std::filesystem::path& path, const Owner& owner);
    // An empty cache (nothing kept yet), to write the first list through.
    static std::shared_ptr<GoogleContactCache> empty(Owner owner);

    const Owner& owner() const { return owner_; }
    size_t count() const { return records_.size(); }
    // The feed of summary entries, in the kept order, dated when the list was current (the base of
    // the next incremental download). Each call makes new entries.
    std::shared_ptr<GDataFeedContact> summaryFeed(const std::optional<std::string>& serviceVersion);

    // The values pairing, planning and descriptions read of a Google contact, as the entry's own
    // accessors answer them (see readValues).
    struct Values {
        // The parts to read, as a mask.
        enum Part : uint32_t {
            kTitle = 1u << 0, kName = 1u << 1, kNickname = 1u << 2, kLinks = 1u << 3, kOrganizations = 1u << 4,
            kEmails = 1u << 5, kPhones = 1u << 6, kGroups = 1u << 7, kProperties = 1u << 8,
            kPhotoLink = 1u << 10,  // of the links, only photoLink()'s (unless kLinks is asked too)
        };
        struct NameParts {
            std::optional<std::string> given, additional, family, full, prefix, suffix;
        };
        struct Link {
            std::string rel;
            std::optional<std::string> type, href, etag;
        };
        struct Membership {
            std::optional<std::string> href;
            bool deleted = false;
        };
        struct Property {
            std::optional<std::string> name, value;
        };
        std::optional<std::string> title;            // title()->stringValue()
        std::optional<NameParts> name;               // nullopt: no name element
        std::optional<std::string> nickname;
        std::vector<Link> links;                     // rel as GDataLink::rel() gives it
        std::vector<std::optional<std::string>> organizations;  // orgName() of each
        std::vector<std::optional<std::string>> emails;         // address() of each
        std::vector<std::optional<std::string>> phones;         // stringValue() of each
        std::vector<Membership> groups;
        std::vector<Property> properties;

        // As photoLink() (the first link of the photo's rel); nullptr when there is none.
        const Link* photoLink() const;
        // As extendedPropertyForName(name): the first property of that name; nullptr when there is none.
        const Property* property(const std::string& name) const;
    };
    // The parts `parts` of the values of any contact entry (the others are left empty): read
    // straight from the kept bytes of an unchanged summary, so that reading it makes no objects;
    // from the entry's objects otherwise.
    static Values readValues(const GDataEntryContact& entry, uint32_t parts);

    // Whether the entry is a summary made by this cache.
    bool isSummary(const GDataEntryContact* entry) const;
    // The whole entry of a summary, parsed from its kept bytes (the entry itself when it is not a
    // summary); nullptr when the bytes fail their checksum or do not parse.
    std::shared_ptr<GDataEntryContact> wholeEntry(const std::shared_ptr<GDataEntryContact>& entry);
    // The content digest of a summary, of a whole entry made from one, of a lean copy or of an
    // entry this cache wrote; nullopt for any other entry.
    std::optional<uint64_t> knownDigest(const GDataEntryContact* entry) const;

    // A copy of a whole entry holding only what a run still reads of a contact it will no longer
    // send, compare or write locally: identifier, ETag, update date, photo links and group
    // memberships, with the whole entry's content digest. It is never made whole (wholeEntry
    // gives nullptr) nor written to the kept list. nullptr when `whole` is a summary (already
    // small, and made whole only from the kept list) or lean.
    std::shared_ptr<GDataEntryContact> leanCopy(const std::shared_ptr<GDataEntryContact>& whole);
    bool isLean(const GDataEntryContact* entry) const;

    // Writes the feed's entries as the kept list at `path`, dated as the feed is, replacing the
    // file whole; this cache then holds that list (its summaries stay summaries). An entry kept
    // here with the same identifier and ETag is copied as it is kept; any other is written from
    // the entry, which must be whole.
    platform::Result<void> write(const std::filesystem::path& path, const GDataFeedContact& feed);
    // Puts, in the place of each whole entry of a feed just written, the summary of what was
    // kept of it, so that a run holds the list as summaries and makes an entry whole only for
    // the moment it compares, writes or sends it. false when a kept entry could not be read back
    // (it is then missing from the feed, which is no longer the whole list).
    bool summarize(GDataFeedContact& feed);

    // A download of the whole list, kept page by page as it comes: beginList() lets go of the
    // list this cache holds (summaries made of it are then made whole no more) and opens a file
    // of its own in `folder`, gone with the process; keepPage() writes each whole entry of a page
    // to it and puts the entry's summary in its place, so that at most one page is held whole.
    // Entries it cannot keep (no identifier or ETag, an identifier kept already, bytes that do
    // not read back) stay whole. write() then writes the list from what was kept. false from
    // keepPage: the file could not be written (what is not kept yet stays whole).
    platform::Result<void> beginList(const std::filesystem::path& folder);
    bool keepPage(GDataFeedContact& page);

    // The provider's answer to a write of the run (a contact made or changed, at its new ETag),
    // held until writeWithAnswers() puts it in the kept list (its bytes in a file of its own in
    // `folder`, gone with the process); a later answer for the same contact takes its place.
    // Whole answers only (a summary or a lean copy is not kept).
    // false when it cannot be kept (no ETag, or bytes that do not read back).
    bool keepAnswer(const std::shared_ptr<GDataEntryContact>& answer, const std::filesystem::path& folder);
    bool holdsAnswers() const { return !answers_.empty(); }
    void dropAnswers() {
        answers_.clear();
        answerOrder_.clear();
        answerFile_.reset();
    }
    // Writes the kept list with the answers held in it (each in its contact's place, new ones at
    // the end) and, when given, the changes downloaded since its date merged in by the rule every
    // merge of changes follows (ChangesMerge), dated as the changes are (else as it was). So
    // dated after the run's own writes, the next download of changes finds only what changed
    // since. An error when the list this cache holds is not a whole kept one. The answers are let
    // go either way.
    platform::Result<void> writeWithAnswers(const std::filesystem::path& path, const GDataFeedContact* changes = nullptr);
    // The versions the kept list and the answers hold: identifier -> ETag.
    std::unordered_map<std::string, std::string> heldVersions() const;
    // The date the kept list is current at (RFC 3339), "" when unknown.
    const std::string& datedAt() const { return watermark_; }

private:
    struct Record {
        std::string identifier, etag, updated;
        uint64_t digest = 0;
        size_t summaryBegin = 0, summaryEnd = 0;  // its summary in summary_
        uint64_t xmlBegin = 0, xmlLength = 0;     // its XML in the file
        uint64_t xmlChecksum = 0;
    };
    // The open file the records' XML is read from.
    struct File {
        int fd = -1;
        uint64_t size = 0;
        ~File();
    };
    // A contact's bytes as they go into the file, made from a whole entry: its XML as the model
    // writes it, its content digest and its summary's values.
    struct Fresh {
        std::string identifier, etag, updated;
        uint64_t digest = 0;
        std::string xml, summary;
        // The XML put aside in the answers' file instead (xml is then empty).
        bool spilled = false;
        uint64_t xmlAt = 0, xmlLength = 0, xmlChecksum = 0;
    };
    // nullopt when the entry has no identifier or its bytes do not read back.
    std::optional<Fresh> freshOf(const GDataEntryContact& entry) const;
    // One contact of a list to write: a record of the kept list (its index), an answer, or a
    // whole entry.
    struct Item {
        size_t kept = SIZE_MAX;
        const Fresh* answer = nullptr;
        std::shared_ptr<GDataEntryContact> whole;
    };
    const std::string& etagOf(const Item& item) const;
    // Writes the items as the kept list dated `watermark`, and holds it.
    platform::Result<void> writeItems(const std::filesystem::path& path, const std::string& watermark,
                                      const std::vector<Item>& items);
    // A whole entry made or written here, or a lean copy.
    struct Known {
        std::weak_ptr<GDataEntryContact> entry;
        uint64_t digest = 0;
        bool lean = false;  // made by leanCopy
    };

    GoogleContactCache() = default;
    GoogleContactCache(const GoogleContactCache&) = delete;  // its index refers to its own records
    GoogleContactCache& operator=(const GoogleContactCache&) = delete;
    // Reads the summary part of the open file into records; why not when it cannot be used.
    platform::Result<void> adopt(std::shared_ptr<File> file, const Owner* expected);
    // The XML bytes of a record, checked against its checksum; nullopt when they cannot be read.
    std::optional<std::string> xmlOf(const Record& record) const;
    std::shared_ptr<GDataEntryContact> summaryOfRecord(const Record& record) const;
    // Points the summaries made before a write at the list written, so that the summary part read
    // before it is let go.
    void moveSummaries();
    // The whole entry parsed from the record's kept bytes; nullptr when they cannot be read.
    std::shared_ptr<GDataEntryContact> wholeOfRecord(const Record& record);
    // In place of each entry kept as a record (recordOf[i] names it), that record's summary, or its
    // whole entry read back; false when one did not read back.
    bool putSummaries(std::vector<std::shared_ptr<GDataEntryBase>>& entries, const std::vector<size_t>& recordOf);
    void remember(const std::shared_ptr<GDataEntryContact>& entry, uint64_t digest, bool lean = false);
    // The entry as a summary made by this cache; nullptr when it is none.
    const Summary* summaryOf(const GDataEntryContact* entry) const;
    const Known* knownEntry(const GDataEntryContact* entry) const;

    Owner owner_;
    std::string watermark_;  // RFC 3339, "" when unknown
    std::shared_ptr<File> file_;
    // The summary part of the file; a new one for each list, shared with the summaries made of it.
    std::shared_ptr<std::string> summary_ = std::make_shared<std::string>();
    std::vector<Record> records_;
    // The records by identifier: their positions, hashed through the identifiers the records hold
    // (not a copy of each).
    class RecordIndex {
    public:
        static constexpr size_t kNone = SIZE_MAX;
        explicit RecordIndex(const std::vector<Record>* records) : positions_(0, Hash{records}, Equal{records}) {}
        size_t find(std::string_view identifier) const {
            auto found = positions_.find(identifier);
            return found == positions_.end() ? kNone : *found;
        }
        // false when a record of the same identifier is indexed already.
        bool add(size_t position) { return positions_.insert(position).second; }
        void remove(size_t position) { positions_.erase(position); }
        void clear() { positions_.clear(); }
        void reserve(size_t n) { positions_.reserve(n); }

    private:
        struct Hash {
            const std::vector<Record>* records;
            using is_transparent = void;
            size_t operator()(std::string_view identifier) const { return std::hash<std::string_view>{}(identifier); }
            size_t operator()(size_t position) const { return (*this)(std::string_view((*records)[position].identifier)); }
        };
        struct Equal {
            const std::vector<Record>* records;
            using is_transparent = void;
            std::string_view of(size_t position) const { return (*records)[position].identifier; }
            std::string_view of(std::string_view identifier) const { return identifier; }
            template <class A, class B>
            bool operator()(const A& a, const B& b) const { return of(a) == of(b); }
        };
        std::unordered_set<size_t, Hash, Equal> positions_;
    };
    RecordIndex byIdentifier_{&records_};
    std::unordered_map<const GDataEntryContact*, Known> known_;
    // Answers to the run's writes (keepAnswer), by identifier, and the order they came in.
    std::unordered_map<std::string, Fresh> answers_;
    std::vector<std::string> answerOrder_;
    std::shared_ptr<File> answerFile_;
    std::optional<std::string> serviceVersion_;
    uint64_t list_ = 0;  // counts the lists begun by beginList
    // The summaries made of the list held (summaryOfRecord), while they live.
    mutable std::vector<std::weak_ptr<Summary>> summaries_;
    mutable size_t summariesLive_ = 512;  // how many lived when summaries_ was last pruned
    uint64_t serial_ = 0;  // tells the summaries of this cache from those of another
    // file_ is the file of a list begun by beginList that has no name yet: write() names it.
    bool pagesUnnamed_ = false;
    // Whether the feed holds exactly the summaries of that list, in its order.
    bool holdsOnlyKeptPages(const GDataFeedContact& feed) const;
    platform::Result<void> finishKeptPages(const std::filesystem::path& path, const GDataFeedContact& feed);
};

}  // namespace quorvane
