// The kept Google contact list: its file, its summary entries and the whole entries made from it.

#include "sync/GoogleContactCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <typeinfo>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataContactElements.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEmail.h"
#include "gdata/GDataExtendedProperty.h"
#include "gdata/GDataGroupMembershipInfo.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataName.h"
#include "gdata/GDataOrganization.h"
#include "gdata/GDataPhoneNumber.h"
#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Memory.h"
#include "platform/foundation/Paths.h"
#include "sync/ContentDigest.h"
#include "sync/DurableReplace.h"
#include "sync/GoogleContactCacheInternal.h"

namespace quorvane {

namespace keptlist {

uint64_t checksum(std::string_view bytes, uint64_t h) {
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

platform::Error unusable(const std::string& why) {
    platform::Value info = platform::Value::dictionary();
    info.set("NSLocalizedDescription", "The kept Google contact list cannot be used: " + why);
    return platform::Error("com.quorvane.GoogleContactCache", 1, info);
}

}  // namespace keptlist

namespace {

using keptlist::checksum;
using keptlist::unusable;

constexpr char kMagic[4] = {'Q', 'V', 'G', 'C'};
constexpr size_t kHeaderSize = 4 + 4 + 8 + 8 + 8;  // magic, version, summary length and checksum, XML length

class Writer {
public:
    std::string out;
    void u8(uint8_t v) { out.push_back(char(v)); }
    void u32(uint32_t v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); }
    void u64(uint64_t v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); }
    void str(std::string_view s) {
        u32(uint32_t(s.size()));
        out.append(s);
    }
    void opt(const std::optional<std::string>& s) {
        u8(s ? 1 : 0);
        if (s) str(*s);
    }
};

// Reads what Writer wrote; once a read runs past the end every later read fails too.
class Reader {
public:
    Reader(std::string_view bytes, size_t at, size_t end) : bytes_(bytes), at_(at), end_(std::min(end, bytes.size())) {}
    bool ok() const { return ok_; }
    size_t at() const { return at_; }
    bool take(void* to, size_t n) {
        if (!ok_ || end_ - at_ < n) return ok_ = false;
        std::memcpy(to, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    uint8_t u8() {
        uint8_t v = 0;
        take(&v, 1);
        return v;
    }
    uint32_t u32() {
        uint32_t v = 0;
        take(&v, sizeof v);
        return v;
    }
    uint64_t u64() {
        uint64_t v = 0;
        take(&v, sizeof v);
        return v;
    }
    std::string_view view() {
        const uint32_t n = u32();
        if (!ok_ || end_ - at_ < n) {
            ok_ = false;
            return {};
        }
        std::string_view s = bytes_.substr(at_, n);
        at_ += n;
        return s;
    }
    std::string str() { return std::string(view()); }
    std::optional<std::string> opt() {
        if (!u8()) return std::nullopt;
        return str();
    }
    void skipOpt() {
        if (u8()) view();
    }
    // A count of items of at least `minimum` bytes each that the rest can hold.
    uint32_t count(size_t minimum) {
        const uint32_t n = u32();
        if (ok_ && size_t(n) * minimum > end_ - at_) ok_ = false;
        return ok_ ? n : 0;
    }

private:
    std::string_view bytes_;
    size_t at_ = 0, end_ = 0;
    bool ok_ = true;
};

// The file's layout, written and read here alone:
//   header   magic, format version, summary part length and checksum, entries' bytes length
//   entries  each kept entry's XML bytes, one after the other
//   summary  owner account and feed URL, the date the list is current at, the record count, and
//            per record: identifier, ETag, update date, content digest, where its XML lies among
//            the entries' bytes (offset, length, checksum) and its summary's values.
struct Header {
    uint32_t version = GoogleContactCache::kFormatVersion;
    uint64_t summaryLength = 0, summaryChecksum = 0, xmlLength = 0;
};

std::string encodeHeader(const Header& h) {
    Writer w;
    w.out.append(kMagic, 4);
    w.u32(h.version);
    w.u64(h.summaryLength);
    w.u64(h.summaryChecksum);
    w.u64(h.xmlLength);
    return std::move(w.out);
}

// nullopt when the bytes do not begin as a kept list does.
std::optional<Header> decodeHeader(std::string_view bytes) {
    if (bytes.size() < kHeaderSize || bytes.substr(0, 4) != std::string_view(kMagic, 4)) return std::nullopt;
    Reader r(bytes, 4, kHeaderSize);
    Header h;
    h.version = r.u32();
    h.summaryLength = r.u64();
    h.summaryChecksum = r.u64();
    h.xmlLength = r.u64();
    return h;
}

// What the summary part holds before its records.
struct ListHead {
    std::string_view account, feedURL, watermark;
    uint32_t count = 0;
};

void encodeListHead(Writer& w, const ListHead& head) {
    w.str(head.account);
    w.str(head.feedURL);
    w.str(head.watermark);
    w.u32(head.count);
}

// The smallest record: four empty strings, three 64-bit values and a 32-bit one.
constexpr size_t kSmallestRecord = 4 * 4 + 3 * 8 + 4;

bool decodeListHead(Reader& r, ListHead& head) {
    head.account = r.view();
    head.feedURL = r.view();
    head.watermark = r.view();
    head.count = r.count(kSmallestRecord);
    return r.ok();
}

// One record of the summary part (its strings are views of the bytes read or to be written).
struct RecordFields {
    std::string_view identifier, etag, updated;
    uint64_t digest = 0;
    uint64_t xmlAt = 0;  // from the start of the entries' bytes
    uint32_t xmlLength = 0;
    uint64_t xmlChecksum = 0;
    std::string_view summary;  // what writeSummary wrote
};

void encodeRecord(Writer& w, const RecordFields& f) {
    w.str(f.identifier);
    w.str(f.etag);
    w.str(f.updated);
    w.u64(f.digest);
    w.u64(f.xmlAt);
    w.u32(f.xmlLength);
    w.u64(f.xmlChecksum);
    w.str(f.summary);
}

bool decodeRecord(Reader& r, RecordFields& f) {
    f.identifier = r.view();
    f.etag = r.view();
    f.updated = r.view();
    f.digest = r.u64();
    f.xmlAt = r.u64();
    f.xmlLength = r.u32();
    f.xmlChecksum = r.u64();
    f.summary = r.view();
    return r.ok();
}

// The summary part as it goes to the file at the file's position: in pieces of about a
// megabyte, its length and checksum counted on the way, so that a long list is never held twice.
class SummaryPartWriter {
public:
    explicit SummaryPartWriter(int fd) : fd_(fd) {}
    void head(const ListHead& head) { encodeListHead(piece_, head); }
    bool record(const RecordFields& f) {
        encodeRecord(piece_, f);
        return piece_.out.size() < (size_t(1) << 20) || flush();
    }
    // Writes what is left; false when the file could not take it.
    bool finish() { return flush(); }
    uint64_t length() const { return length_; }
    uint64_t checksum() const { return checksum_; }

private:
    bool flush();
    int fd_;
    Writer piece_;
    uint64_t length_ = 0, checksum_ = quorvane::checksum("");
};

using Values = GoogleContactCache::Values;

std::optional<std::string> textOf(const std::shared_ptr<GDataNameElement>& e) {
    return e ? e->stringValue() : std::nullopt;
}

// The parts of a summary's values, in the order writeSummary writes them (each the bit of its
// Values::Part), and the kind category every contact entry has (not written: a summary makes it
// as a new entry does).
enum Section : uint32_t { kTitle, kName, kNickname, kLinks, kOrganizations, kEmails, kPhones, kGroups, kProperties, kKind, kSections };
constexpr uint32_t kAllSections = (1u << kSections) - 1;
static_assert(Values::kProperties == 1u << kProperties);

// The values of the parts `parts` of an entry, read through its accessors.
Values valuesOfObjects(const GDataEntryContact& e, uint32_t parts) {
    Values v;
    if (parts & Values::kTitle) {
        auto title = e.title();
        v.title = title ? title->stringValue() : std::nullopt;
    }
    if (parts & Values::kName) {
        if (auto name = e.name())
            v.name = Values::NameParts{textOf(name->givenName()), textOf(name->additionalName()), textOf(name->familyName()),
                                       textOf(name->fullName()), name->namePrefix(), name->nameSuffix()};
    }
    if (parts & Values::kNickname) v.nickname = e.nickname();
    auto addLink = [&](const std::shared_ptr<GDataLink>& l) { v.links.push_back(Values::Link{l->rel(), l->type(), l->href(), l->ETag()}); };
    if (parts & Values::kLinks) {
        for (const auto& l : e.links())
            if (l) addLink(l);
    } else if (parts & Values::kPhotoLink) {
        if (auto l = e.photoLink()) addLink(l);
    }
    if (parts & Values::kOrganizations) {
        for (const auto& o : e.organizations()) v.organizations.push_back(o ? o->orgName() : std::nullopt);
    }
    if (parts & Values::kEmails) {
        for (const auto& m : e.emailAddresses()) v.emails.push_back(m ? m->address() : std::nullopt);
    }
    if (parts & Values::kPhones) {
        for (const auto& p : e.phoneNumbers()) v.phones.push_back(p ? p->stringValue() : std::nullopt);
    }
    if (parts & Values::kGroups) {
        for (const auto& g : e.groupMembershipInfos())
            v.groups.push_back(Values::Membership{g ? g->href() : std::nullopt, g && g->isDeleted()});
    }
    if (parts & Values::kProperties) {
        for (const auto& p : e.extendedProperties())
            v.properties.push_back(Values::Property{p ? p->name() : std::nullopt, p ? p->value() : std::nullopt});
    }
    return v;
}

// The values a summary keeps, read from the whole entry (the same accessors pairing and planning use).
void writeSummary(Writer& w, const GDataEntryContact& e) {
    const Values v = valuesOfObjects(e, kAllSections);
    w.opt(v.title);
    w.u8(v.name ? 1 : 0);
    if (v.name) {
        for (const auto* part : {&v.name->given, &v.name->additional, &v.name->family, &v.name->full, &v.name->prefix,
                                 &v.name->suffix})
            w.opt(*part);
    }
    w.opt(v.nickname);
    w.u32(uint32_t(v.links.size()));
    for (const auto& l : v.links) {
        w.str(l.rel);
        w.opt(l.type);
        w.opt(l.href);
        w.opt(l.etag);
    }
    for (const auto* list : {&v.organizations, &v.emails, &v.phones}) {
        w.u32(uint32_t(list->size()));
        for (const auto& value : *list) w.opt(value);
    }
    w.u32(uint32_t(v.groups.size()));
    for (const auto& g : v.groups) {
        w.opt(g.href);
        w.u8(g.deleted ? 1 : 0);
    }
    w.u32(uint32_t(v.properties.size()));
    for (const auto& p : v.properties) {
        w.opt(p.name);
        w.opt(p.value);
    }
}

// Reads one section of what writeSummary wrote into `v`, or passes over it when `v` is nullptr;
// of the links, only the photo link when `photoOnly`.
void decodeSection(Reader& r, Section section, Values* v, bool photoOnly = false) {
    auto text = [&](std::optional<std::string>* to) {
        if (to) *to = r.opt();
        else r.skipOpt();
    };
    auto texts = [&](std::vector<std::optional<std::string>>* to) {
        for (uint32_t n = r.count(1); n > 0; --n) text(to ? &to->emplace_back() : nullptr);
    };
    switch (section) {
        case kTitle: return text(v ? &v->title : nullptr);
        case kName:
            if (r.u8()) {
                Values::NameParts name;
                for (auto* part : {&name.given, &name.additional, &name.family, &name.full, &name.prefix, &name.suffix})
                    text(v ? part : nullptr);
                if (v) v->name = std::move(name);
            }
            return;
        case kNickname: return text(v ? &v->nickname : nullptr);
        case kLinks:
            for (uint32_t n = r.count(7); n > 0; --n) {
                const std::string_view rel = r.view();
                const bool wanted = v && (!photoOnly || (rel == kGDataContactPhotoRel && v->links.empty()));
                auto* link = wanted ? &v->links.emplace_back() : nullptr;
                if (link) link->rel = rel;
                for (auto part : {&Values::Link::type, &Values::Link::href, &Values::Link::etag}) text(link ? &(link->*part) : nullptr);
            }
            return;
        case kOrganizations: return texts(v ? &v->organizations : nullptr);
        case kEmails: return texts(v ? &v->emails : nullptr);
        case kPhones: return texts(v ? &v->phones : nullptr);
        case kGroups:
            for (uint32_t n = r.count(2); n > 0; --n) {
                auto* group = v ? &v->groups.emplace_back() : nullptr;
                text(group ? &group->href : nullptr);
                const bool deleted = r.u8() != 0;
                if (group) group->deleted = deleted;
            }
            return;
        case kProperties:
            for (uint32_t n = r.count(2); n > 0; --n) {
                auto* property = v ? &v->properties.emplace_back() : nullptr;
                text(property ? &property->name : nullptr);
                text(property ? &property->value : nullptr);
            }
            return;
        default: return;
    }
}

// Whether of the links only the photo link is asked for: the links' section is then read for it.
bool photoLinkOnly(uint32_t& parts) {
    if (!(parts & Values::kPhotoLink) || (parts & Values::kLinks)) return false;
    parts |= Values::kLinks;
    return true;
}

// Where each section of a summary's values after the first begins, from the start of its bytes
// (all 0 when they are too long to be told so: they are then read from the start).
using SectionStarts = std::array<uint16_t, kProperties>;

// Reads the values writeSummary wrote into `into`, those of the parts in `parts` (a mask; the
// others are passed over), and where its sections begin into `starts`; either may be nullptr.
// false when the bytes do not read.
bool decodeSummary(std::string_view bytes, Values* into, uint32_t parts, SectionStarts* starts = nullptr) {
    Reader r(bytes, 0, bytes.size());
    const bool photoOnly = photoLinkOnly(parts);
    for (uint32_t section = kTitle; section <= kProperties; ++section) {
        if (starts && section > kTitle) (*starts)[section - 1] = uint16_t(r.at());
        decodeSection(r, Section(section), into && (parts & (1u << section)) ? into : nullptr, photoOnly);
    }
    if (starts && bytes.size() > UINT16_MAX) starts->fill(0);
    return r.ok() && r.at() == bytes.size();
}

// Makes the objects of the parts `parts` of the values into the entry, as a parsed entry holds them.
void makeObjects(GDataEntryContact& into, const Values& v, uint32_t parts) {
    // Stored as it was read: an empty title too, which the contact setter would leave out.
    if ((parts & Values::kTitle) && v.title)
        into.setObject(GDataTextConstruct::textConstructWithString<GDataAtomTitle>(v.title), GDataAtomTitle::staticClassInfo());
    if ((parts & Values::kName) && v.name) {
        auto name = GDataName::name();
        if (v.name->given) name->setGivenNameWithString(v.name->given);
        if (v.name->additional) name->setAdditionalNameWithString(v.name->additional);
        if (v.name->family) name->setFamilyNameWithString(v.name->family);
        if (v.name->full) name->setFullNameWithString(v.name->full);
        if (v.name->prefix) name->setNamePrefix(v.name->prefix);
        if (v.name->suffix) name->setNameSuffix(v.name->suffix);
        into.setName(name);
    }
    if ((parts & Values::kNickname) && v.nickname) into.setNickname(v.nickname);
    if (parts & Values::kLinks) {
        for (const auto& l : v.links) {
            auto link = GDataLink::linkWithRel(l.rel, l.type, l.href);
            if (l.etag) link->setETag(l.etag);
            into.addLink(link);
        }
    }
    if (parts & Values::kOrganizations)
        for (const auto& o : v.organizations) into.addOrganization(GDataOrganization::organizationWithName(o));
    if (parts & Values::kEmails)
        for (const auto& m : v.emails) into.addEmailAddress(GDataEmail::emailWithLabel(std::nullopt, m));
    if (parts & Values::kPhones)
        for (const auto& p : v.phones) into.addPhoneNumber(GDataPhoneNumber::phoneNumberWithString(p));
    if (parts & Values::kGroups) {
        for (const auto& g : v.groups) {
            auto group = GDataGroupMembershipInfo::groupMembershipInfoWithHref(g.href);
            if (g.deleted) group->setIsDeleted(true);
            into.addGroupMembershipInfo(group);
        }
    }
    if (parts & Values::kProperties)
        for (const auto& p : v.properties) into.addExtendedProperty(GDataExtendedProperty::propertyWithName(p.name, p.value));
    if (parts & (1u << kKind))
        into.addCategory(GDataCategory::categoryWithScheme(std::string(kGDataCategoryScheme), *into.standardEntryKind()));
}

const GDataClassInfo& classOfSection(uint32_t section) {
    static const GDataClassInfo* const classes[kSections] = {
        &GDataAtomTitle::staticClassInfo(),   &GDataName::staticClassInfo(),
        &GDataContactNickname::staticClassInfo(), &GDataLink::staticClassInfo(),
        &GDataOrganization::staticClassInfo(), &GDataEmail::staticClassInfo(),
        &GDataPhoneNumber::staticClassInfo(), &GDataGroupMembershipInfo::staticClassInfo(),
        &GDataExtendedProperty::staticClassInfo(), &GDataCategory::staticClassInfo()};
    return *classes[section];
}

// The section holding the values of an extension class; kSections for a class no summary holds
// apart from its identifier, ETag and update date.
uint32_t sectionOfClass(const GDataClassInfo& cls) {
    static const auto classes = [] {
        std::array<const GDataClassInfo*, kSections> all{};
        for (uint32_t section = 0; section < kSections; ++section) all[section] = &classOfSection(section);
        return all;
    }();
    for (uint32_t section = 0; section < kSections; ++section)
        if (classes[section] == &cls) return section;
    return kSections;
}

// Summaries holding values made from their bytes, the least recently read first: past the
// bound, the oldest lets its made values go (main thread only, as the cache).
constexpr size_t kSummariesHoldingValues = 256;
struct HoldingValues {
    const GoogleContactCache::Summary* oldest = nullptr;
    const GoogleContactCache::Summary* newest = nullptr;
    size_t count = 0;
};
HoldingValues& holdingValues() {
    static HoldingValues list;
    return list;
}

std::atomic<uint64_t> nextCacheSerial{1};

}  // namespace

// A summary entry: its identifier, ETag and update date as a whole entry holds them, its other
// values made from the kept list's summary part when first read and let go again when many other
// summaries have been read since, so that a run holds its list in little more than the bytes.
class GoogleContactCache::Summary final : public GDataEntryContact {
public:
    std::shared_ptr<const std::string> bytes;  // the summary part holding its values
    size_t begin = 0, end = 0;
    SectionStarts starts{};  // of its bytes' sections
    uint64_t digest = 0;
    uint64_t cache = 0;  // the serial of the cache that made it
    uint64_t list = 0;   // the list it was made of

    ~Summary() override { unlink(); }
    std::string_view view() const { return std::string_view(*bytes).substr(begin, end - begin); }
    // Whether its bytes still tell its values: true until it is changed.
    bool valuesInBytes() const { return !pinned_; }
    // From now on its other values are made when read.
    void holdValuesAsBytes() {
        trimExtensionRoom();
        setMakesExtensionsWhenRead(true);
    }

    void makeExtensions(const GDataClassInfo* cls, bool change) const override {
        uint32_t wanted = kAllSections;
        if (cls && !change) {
            const uint32_t section = sectionOfClass(*cls);
            if (section == kSections) return;  // held already, or held by none
            wanted = 1u << section;
        }
        // What is changed stays as changed: everything is made and kept.
        if (change) pinned_ = true;
        if (wanted & ~made_) {
            setMakesExtensionsWhenRead(false);
            auto* self = const_cast<Summary*>(this);
            Values values;
            decodeSummary(view(), &values, wanted & ~made_);
            makeObjects(*self, values, wanted & ~made_);
            made_ |= wanted;
            setMakesExtensionsWhenRead(!pinned_);
        }
        if (pinned_) {
            setMakesExtensionsWhenRead(false);
            unlink();
        } else {
            touch();
        }
    }

private:
    mutable uint32_t made_ = 0;  // the sections made
    mutable bool pinned_ = false;
    mutable bool linked_ = false;
    mutable const Summary* older_ = nullptr;
    mutable const Summary* newer_ = nullptr;

    void unlink() const {
        if (!linked_) return;
        auto& list = holdingValues();
        (older_ ? older_->newer_ : list.oldest) = newer_;
        (newer_ ? newer_->older_ : list.newest) = older_;
        older_ = newer_ = nullptr;
        linked_ = false;
        --list.count;
    }
    // Now the most recently read; the oldest past the bound lets its values go.
    void touch() const {
        auto& list = holdingValues();
        if (linked_ && list.newest == this) return;
        unlink();
        older_ = list.newest;
        (list.newest ? list.newest->newer_ : list.oldest) = this;
        list.newest = this;
        linked_ = true;
        ++list.count;
        while (list.count > kSummariesHoldingValues && list.oldest != this) list.oldest->letValuesGo();
    }
    void letValuesGo() const {
        unlink();
        setMakesExtensionsWhenRead(false);
        auto* self = const_cast<Summary*>(this);
        for (uint32_t section = 0; section < kSections; ++section)
            if (made_ & (1u << section)) self->setObject(nullptr, classOfSection(section));
        made_ = 0;
        setMakesExtensionsWhenRead(true);
    }
};

const GoogleContactCache::Values::Link* GoogleContactCache::Values::photoLink() const {
    for (const auto& link : links)
        if (link.rel == kGDataContactPhotoRel) return &link;
    return nullptr;
}

const GoogleContactCache::Values::Property* GoogleContactCache::Values::property(const std::string& name) const {
    for (const auto& property : properties)
        if (property.name == name) return &property;
    return nullptr;
}

GoogleContactCache::Values GoogleContactCache::readValues(const GDataEntryContact& entry, uint32_t parts) {
    if (typeid(entry) == typeid(Summary) && static_cast<const Summary&>(entry).valuesInBytes()) {
        const auto& summary = static_cast<const Summary&>(entry);
        const std::string_view bytes = summary.view();
        Values values;
        bool read = true;
        if (summary.starts[0] == 0) {  // not told where its sections begin: read from the start
            read = decodeSummary(bytes, &values, parts);
        } else {
            // Only the sections asked for.
            const bool photoOnly = photoLinkOnly(parts);
            for (uint32_t section = kTitle; section <= kProperties && read; ++section) {
                if (!(parts & (1u << section))) continue;
                const size_t begin = section == kTitle ? 0 : summary.starts[section - 1];
                const size_t end = section == kProperties ? bytes.size() : summary.starts[section];
                Reader r(bytes, begin, end);
                decodeSection(r, Section(section), &values, photoOnly);
                read = r.ok() && r.at() == end;
            }
        }
        if (read) return values;
    }
    return valuesOfObjects(entry, parts);
}

namespace {

// The record fields of a record held in memory, its XML at `xmlAt` among the entries' bytes.
template <class KeptRecord>
RecordFields fieldsOf(const KeptRecord& rec, std::string_view summary, uint64_t xmlAt) {
    return {rec.identifier, rec.etag, rec.updated, rec.digest, xmlAt, uint32_t(rec.xmlLength), rec.xmlChecksum,
            summary.substr(rec.summaryBegin, rec.summaryEnd - rec.summaryBegin)};
}

}  // namespace

std::optional<GoogleContactCache::Fresh> GoogleContactCache::freshOf(const GDataEntryContact& entry) const {
    auto id = entry.identifier();
    if (!id) return std::nullopt;
    const auto bytes = entry.writtenXMLData();
    if (!bytes) return std::nullopt;
    auto digest = knownDigest(&entry);
    if (!digest) digest = googleContentDigestOfXML(*bytes);
    if (!digest) return std::nullopt;
    Fresh fresh;
    fresh.identifier = std::move(*id);
    fresh.etag = entry.ETag().value_or("");
    auto date = entry.updatedDate();
    fresh.updated = date ? date->RFC3339String() : "";
    fresh.digest = *digest;
    fresh.xml.assign(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    Writer body;
    writeSummary(body, entry);
    fresh.summary = std::move(body.out);
    return fresh;
}

std::shared_ptr<GoogleContactCache> GoogleContactCache::empty(Owner owner) {
    auto cache = std::shared_ptr<GoogleContactCache>(new GoogleContactCache());
    cache->owner_ = std::move(owner);
    cache->serial_ = nextCacheSerial.fetch_add(1);
    return cache;
}

GoogleContactCache::File::~File() {
    if (fd >= 0) ::close(fd);
}

namespace {

bool readAt(int fd, void* to, size_t n, uint64_t offset) {
    auto* out = static_cast<char*>(to);
    while (n > 0) {
        const ssize_t got = ::pread(fd, out, n, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        n -= size_t(got);
        offset += uint64_t(got);
    }
    return true;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

bool SummaryPartWriter::flush() {
    checksum_ = quorvane::checksum(piece_.out, checksum_);
    length_ += piece_.out.size();
    const bool written = writeAll(fd_, piece_.out);
    piece_.out.clear();
    return written;
}

}  // namespace

platform::Result<std::shared_ptr<GoogleContactCache>> GoogleContactCache::load(const std::filesystem::path& path,
                                                                               const Owner& owner) {
    waitForReplacements(60);  // a list this process wrote is read as written
    auto file = std::make_shared<File>();
    file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file->fd < 0) return unusable(errno == ENOENT ? "there is none" : "it cannot be read");
    struct stat st {};
    if (::fstat(file->fd, &st) != 0) return unusable("it cannot be read");
    file->size = uint64_t(st.st_size);
    auto cache = empty(owner);
    if (auto adopted = cache->adopt(std::move(file), &owner); !adopted) return adopted.error();
    return cache;
}

platform::Result<void> GoogleContactCache::adopt(std::shared_ptr<File> file, const Owner* expected) {
    char headerBytes[kHeaderSize];
    std::optional<Header> header;
    if (file->size >= kHeaderSize && readAt(file->fd, headerBytes, kHeaderSize, 0))
        header = decodeHeader(std::string_view(headerBytes, kHeaderSize));
    if (!header) return unusable("it is not a kept list");
    if (header->version != kFormatVersion) return unusable("it is of format " + std::to_string(header->version));
    const uint64_t summaryLength = header->summaryLength, xmlLength = header->xmlLength;
    if (summaryLength > file->size - kHeaderSize || xmlLength != file->size - kHeaderSize - summaryLength)
        return unusable("it was cut short");
    const uint64_t xmlStart = kHeaderSize;
    std::string summary(summaryLength, '\0');
    if (!readAt(file->fd, summary.data(), summary.size(), xmlStart + xmlLength)) return unusable("it cannot be read");
    if (checksum(summary) != header->summaryChecksum) return unusable("it is damaged");
    Reader r(summary, 0, summary.size());
    ListHead head;
    if (!decodeListHead(r, head)) return unusable("it is damaged");
    Owner owner{std::string(head.account), std::string(head.feedURL)};
    if (expected && (owner.account != expected->account || owner.feedURL != expected->feedURL))
        return unusable("it is of another account");
    std::vector<Record> records(head.count);
    RecordIndex byIdentifier(&records);
    byIdentifier.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        RecordFields f;
        if (!decodeRecord(r, f) || f.xmlAt > xmlLength || f.xmlLength > xmlLength - f.xmlAt) return unusable("it is damaged");
        Record& rec = records[i];
        rec.identifier = f.identifier;
        rec.etag = f.etag;
        rec.updated = f.updated;
        rec.digest = f.digest;
        rec.xmlBegin = xmlStart + f.xmlAt;
        rec.xmlLength = f.xmlLength;
        rec.xmlChecksum = f.xmlChecksum;
        rec.summaryBegin = size_t(f.summary.data() - summary.data());
        rec.summaryEnd = rec.summaryBegin + f.summary.size();
        if (!byIdentifier.add(i)) return unusable("it names a contact twice");
    }
    if (r.at() != summary.size()) return unusable("it is damaged");
    owner_ = std::move(owner);
    watermark_ = std::string(head.watermark);
    file_ = std::move(file);
    pagesUnnamed_ = false;
    summary_ = std::make_shared<std::string>(std::move(summary));
    records_ = std::move(records);
    byIdentifier_ = RecordIndex(&records_);
    byIdentifier_.reserve(records_.size());
    for (size_t i = 0; i < records_.size(); ++i) byIdentifier_.add(i);
    return {};
}

std::optional<std::string> GoogleContactCache::xmlOf(const Record& rec) const {
    if (!file_) return std::nullopt;
    std::string xml(rec.xmlLength, '\0');
    if (!readAt(file_->fd, xml.data(), xml.size(), rec.xmlBegin) || checksum(xml) != rec.xmlChecksum) return std::nullopt;
    return xml;
}

std::shared_ptr<GDataEntryContact> GoogleContactCache::summaryOfRecord(const Record& rec) const {
    SectionStarts starts{};
    if (!decodeSummary(std::string_view(*summary_).substr(rec.summaryBegin, rec.summaryEnd - rec.summaryBegin), nullptr, 0, &starts))
        return nullptr;
    // Not made with make_shared: summaries_ only looks at it, and must not hold its memory.
    std::shared_ptr<Summary> e(new Summary());
    e->starts = starts;
    e->init();
    e->setObject(nullptr, GDataCategory::staticClassInfo());  // made when read, as the other values
    if (serviceVersion_) e->setServiceVersion(serviceVersion_);
    e->setIdentifier(rec.identifier);
    if (!rec.etag.empty()) e->setETag(rec.etag);
    if (!rec.updated.empty()) e->setUpdatedDate(GDataDateTime::dateTimeWithRFC3339String(rec.updated));
    e->bytes = summary_;
    e->begin = rec.summaryBegin;
    e->end = rec.summaryEnd;
    e->digest = rec.digest;
    e->cache = serial_;
    e->list = list_;
    e->holdValuesAsBytes();
    // Those let go are dropped from the list as it doubles.
    if (summaries_.size() >= 2 * summariesLive_) {
        std::erase_if(summaries_, [](const std::weak_ptr<Summary>& weak) { return weak.expired(); });
        summariesLive_ = std::max<size_t>(summaries_.size(), 512);
    }
    summaries_.push_back(e);
    return e;
}

void GoogleContactCache::moveSummaries() {
    // A summary whose record was written as it was reads the same bytes in the new summary part; any
    // other keeps a copy of its own bytes (it is of no record now). Either way none holds the old
    // part, which a run writing its list twice would otherwise hold three times.
    std::erase_if(summaries_, [this](const std::weak_ptr<Summary>& weak) {
        const auto summary = weak.lock();
        if (!summary) return true;
        if (summary->bytes == summary_) return false;
        const auto identifier = summary->identifier();
        const size_t found = identifier ? byIdentifier_.find(*identifier) : RecordIndex::kNone;
        if (found != RecordIndex::kNone) {
            const Record& rec = records_[found];
            const std::string_view now = std::string_view(*summary_).substr(rec.summaryBegin, rec.summaryEnd - rec.summaryBegin);
            if (rec.etag == summary->ETag().value_or("") && now == summary->view()) {
                summary->bytes = summary_;
                summary->begin = rec.summaryBegin;
                summary->end = rec.summaryEnd;
                return false;
            }
        }
        summary->bytes = std::make_shared<const std::string>(summary->view());
        summary->begin = 0;
        summary->end = summary->bytes->size();
        return true;
    });
}

void GoogleContactCache::remember(const std::shared_ptr<GDataEntryContact>& entry, uint64_t digest, bool lean) {
    known_[entry.get()] = Known{entry, digest, lean};
}

const GoogleContactCache::Known* GoogleContactCache::knownEntry(const GDataEntryContact* entry) const {
    auto it = entry ? known_.find(entry) : known_.end();
    // A slot outlived by its entry may name a new one at the same address.
    return it != known_.end() && it->second.entry.lock().get() == entry ? &it->second : nullptr;
}

std::shared_ptr<GDataEntryContact> GoogleContactCache::leanCopy(const std::shared_ptr<GDataEntryContact>& whole) {
    if (!whole || isSummary(whole.get()) || isLean(whole.get())) return nullptr;
    auto id = whole->objectForExtension<GDataAtomID>();
    if (!id) return nullptr;
    auto digest = knownDigest(whole.get());
    if (!digest) digest = googleContentDigest(*whole);
    auto lean = GDataEntryContact::object();
    // The identifier object is copied rather than set: setting one tells every feed to index its
    // entries again, and the lean copy takes the whole entry's place under the same identifier.
    lean->setObject(id->copy(), GDataAtomID::staticClassInfo());
    lean->setETag(whole->ETag());
    if (auto updated = whole->objectForExtension<GDataAtomUpdatedDate>())
        lean->setObject(updated->copy(), GDataAtomUpdatedDate::staticClassInfo());
    for (const char* rel : {kGDataContactPhotoRel, kGDataContactEditPhotoRel}) {
        if (auto link = whole->linkWithRelAttributeValue(std::string(rel)))
            lean->addLink(std::static_pointer_cast<GDataLink>(link->copy()));
    }
    for (const auto& group : whole->groupMembershipInfos()) {
        if (group) lean->addGroupMembershipInfo(std::static_pointer_cast<GDataGroupMembershipInfo>(group->copy()));
    }
    remember(lean, *digest, true);
    return lean;
}

bool GoogleContactCache::isLean(const GDataEntryContact* entry) const {
    const Known* known = knownEntry(entry);
    return known && known->lean;
}

std::shared_ptr<GDataFeedContact> GoogleContactCache::summaryFeed(const std::optional<std::string>& serviceVersion) {
    serviceVersion_ = serviceVersion;
    // Entries that are gone leave their slots.
    std::erase_if(known_, [](const auto& item) { return item.second.entry.expired(); });
    std::vector<std::shared_ptr<GDataEntryBase>> entries;
    entries.reserve(records_.size());
    for (const Record& rec : records_) {
        auto summary = summaryOfRecord(rec);
        if (!summary) return nullptr;  // only a damaged file gets here, and its checksum stopped it
        entries.push_back(std::move(summary));
    }
    auto feed = GDataFeedContact::contactFeed();
    if (serviceVersion) feed->setServiceVersion(serviceVersion);
    if (!watermark_.empty()) feed->setUpdatedDate(GDataDateTime::dateTimeWithRFC3339String(watermark_));
    feed->setEntries(entries);
    feed->setTotalResults(int32_t(entries.size()));
    return feed;
}

bool GoogleContactCache::putSummaries(std::vector<std::shared_ptr<GDataEntryBase>>& entries,
                                      const std::vector<size_t>& recordOf) {
    // Every kept entry goes before any summary is made, so that the list is never held whole and
    // as summaries at once.
    size_t replaced = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (recordOf[i] >= records_.size()) continue;
        entries[i].reset();
        ++replaced;
    }
    std::erase_if(known_, [](const auto& item) { return item.second.entry.expired(); });
    // The entries were parsed on another thread, whose malloc arena the summaries are not made
    // from: what a large list held goes back to the system first (a few changes free too little
    // to be worth the walk through the heap).
    if (replaced >= 1000) platform::returnFreedMemory();
    bool readBack = true;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (recordOf[i] >= records_.size()) continue;
        const Record& rec = records_[recordOf[i]];
        if (auto summary = summaryOfRecord(rec)) {
            entries[i] = std::move(summary);
        } else {
            entries[i] = wholeOfRecord(rec);
            readBack = readBack && entries[i];
        }
    }
    std::erase(entries, nullptr);
    return readBack;
}

bool GoogleContactCache::summarize(GDataFeedContact& feed) {
    if (!feed.entries()) return true;
    if (auto version = feed.serviceVersion()) serviceVersion_ = version;
    std::vector<std::shared_ptr<GDataEntryBase>> entries = *feed.entries();
    feed.setEntries(std::nullopt);
    constexpr size_t kNone = SIZE_MAX;
    std::vector<size_t> from(entries.size(), kNone);  // the record each replaced entry was kept as
    for (size_t i = 0; i < entries.size(); ++i) {
        auto entry = std::dynamic_pointer_cast<GDataEntryContact>(entries[i]);
        const auto id = entry ? entry->identifier() : std::nullopt;
        if (!id || isSummary(entry.get()) || isLean(entry.get())) continue;
        const size_t kept = byIdentifier_.find(*id);
        if (kept == RecordIndex::kNone || records_[kept].etag != entry->ETag().value_or("")) continue;
        from[i] = kept;
    }
    const bool readBack = putSummaries(entries, from);
    feed.setEntries(entries);
    return readBack;
}

const GoogleContactCache::Summary* GoogleContactCache::summaryOf(const GDataEntryContact* entry) const {
    auto summary = dynamic_cast<const Summary*>(entry);
    return summary && summary->cache == serial_ ? summary : nullptr;
}

bool GoogleContactCache::isSummary(const GDataEntryContact* entry) const { return summaryOf(entry) != nullptr; }

std::optional<uint64_t> GoogleContactCache::knownDigest(const GDataEntryContact* entry) const {
    if (auto summary = summaryOf(entry)) return summary->digest;
    if (const Known* known = knownEntry(entry)) return known->digest;
    // An answer held for the kept list: its digest was read when it came.
    if (entry && !answers_.empty()) {
        auto id = entry->identifier();
        auto answer = id ? answers_.find(*id) : answers_.end();
        if (answer != answers_.end() && !answer->second.etag.empty() && entry->ETag() == answer->second.etag)
            return answer->second.digest;
    }
    return std::nullopt;
}

std::shared_ptr<GDataEntryContact> GoogleContactCache::wholeEntry(const std::shared_ptr<GDataEntryContact>& entry) {
    if (isLean(entry.get())) return nullptr;
    const Summary* summary = summaryOf(entry.get());
    if (!summary) return entry;
    if (summary->list != list_) return nullptr;  // a summary of a list let go
    const auto identifier = summary->identifier();
    const size_t found = identifier ? byIdentifier_.find(*identifier) : RecordIndex::kNone;
    return found == RecordIndex::kNone ? nullptr : wholeOfRecord(records_[found]);
}

std::shared_ptr<GDataEntryContact> GoogleContactCache::wholeOfRecord(const Record& rec) {
    const auto xml = xmlOf(rec);
    if (!xml) return nullptr;
    const platform::Bytes data(xml->begin(), xml->end());
    auto parsed = GDataObject::objectWithXMLData(data, &GDataEntryContact::staticClassInfo(), serviceVersion_, nullptr, false);
    auto whole = parsed ? std::dynamic_pointer_cast<GDataEntryContact>(*parsed) : nullptr;
    // The bytes must be the entry the summary stands for.
    if (!whole || whole->identifier() != rec.identifier || whole->ETag().value_or("") != rec.etag) return nullptr;
    remember(whole, rec.digest);
    return whole;
}

platform::Result<void> GoogleContactCache::beginList(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    // A file without a name until the list is whole (write() then gives it the kept list's);
    // where the system cannot make one, a named one let go of at once, copied by write().
    auto file = std::make_shared<File>();
    bool named = false;
#ifdef O_TMPFILE
    file->fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (file->fd < 0) {
        std::string name = (folder / ".GoogleContacts.pages.XXXXXX").string();
        file->fd = ::mkstemp(name.data());
        if (file->fd >= 0) ::unlink(name.c_str());
        named = true;
    }
    if (file->fd < 0) return unusable("the download cannot be kept in " + folder.string());
    // Room for the header: the entries' bytes lie where the kept list's file holds them.
    file->size = kHeaderSize;
    if (::lseek(file->fd, off_t(kHeaderSize), SEEK_SET) < 0) return unusable("the download cannot be kept");
    file_ = std::move(file);
    pagesUnnamed_ = !named;
    // A buffer of its own: summaries of the list let go still read theirs.
    summary_ = std::make_shared<std::string>();
    summaries_.clear();
    records_.clear();
    byIdentifier_.clear();
    watermark_.clear();
    dropAnswers();
    ++list_;
    std::erase_if(known_, [](const auto& item) { return item.second.entry.expired(); });
    return {};
}

bool GoogleContactCache::keepPage(GDataFeedContact& page) {
    if (!page.entries() || !file_) return true;
    if (auto version = page.serviceVersion()) serviceVersion_ = version;
    std::vector<std::shared_ptr<GDataEntryBase>> entries = *page.entries();
    page.setEntries(std::nullopt);
    // The page's bytes go to the file in a few large writes.
    std::string pending;
    uint64_t pendingAt = file_->size;
    auto flush = [&]() {
        if (!writeAll(file_->fd, pending)) return false;
        pendingAt += pending.size();
        pending.clear();
        return true;
    };
    bool written = true;
    constexpr size_t kNone = SIZE_MAX;
    std::vector<size_t> keptAs(entries.size(), kNone);  // the record each kept entry was written as
    for (size_t i = 0; i < entries.size() && written; ++i) {
        auto entry = std::dynamic_pointer_cast<GDataEntryContact>(entries[i]);
        const auto id = entry ? entry->identifier() : std::nullopt;
        const std::string etag = entry ? entry->ETag().value_or("") : "";
        if (!id || etag.empty() || isSummary(entry.get()) || isLean(entry.get()) || byIdentifier_.find(*id) != RecordIndex::kNone) continue;
        auto fresh = freshOf(*entry);
        if (!fresh) continue;
        Record rec;
        rec.identifier = std::move(fresh->identifier);
        rec.etag = std::move(fresh->etag);
        rec.updated = std::move(fresh->updated);
        rec.digest = fresh->digest;
        rec.xmlBegin = pendingAt + pending.size();
        rec.xmlLength = fresh->xml.size();
        rec.xmlChecksum = checksum(fresh->xml);
        rec.summaryBegin = summary_->size();
        *summary_ += fresh->summary;
        rec.summaryEnd = summary_->size();
        pending += fresh->xml;
        keptAs[i] = records_.size();
        records_.push_back(std::move(rec));
        byIdentifier_.add(records_.size() - 1);
        if (pending.size() >= (size_t(1) << 20)) written = flush();
    }
    if (written) written = flush();
    // What did not reach the file stays whole.
    while (!records_.empty() && records_.back().xmlBegin + records_.back().xmlLength > pendingAt) {
        byIdentifier_.remove(records_.size() - 1);
        summary_->resize(records_.back().summaryBegin);
        records_.pop_back();
    }
    file_->size = pendingAt;
    putSummaries(entries, keptAs);
    page.setEntries(entries);
    return written;
}

bool GoogleContactCache::holdsOnlyKeptPages(const GDataFeedContact& feed) const {
    if (!pagesUnnamed_ || !file_) return false;
    const auto& entries = feed.entries();
    if (!entries || entries->size() != records_.size()) return false;
    for (size_t i = 0; i < records_.size(); ++i) {
        const Summary* summary = summaryOf(dynamic_cast<const GDataEntryContact*>((*entries)[i].get()));
        if (!summary || summary->list != list_ || summary->identifier() != records_[i].identifier) return false;
    }
    return true;
}

platform::Result<void> GoogleContactCache::finishKeptPages(const std::filesystem::path& path, const GDataFeedContact& feed) {
    // The summary part goes after the entries' bytes, in pieces, then the header at the start.
    auto updated = feed.updatedDate();
    std::string watermark = updated ? updated->RFC3339String() : "";
    const uint64_t xmlLength = file_->size - kHeaderSize;
    if (::lseek(file_->fd, off_t(file_->size), SEEK_SET) < 0) return unusable("it cannot be written");
    SummaryPartWriter part(file_->fd);
    part.head({owner_.account, owner_.feedURL, watermark, uint32_t(records_.size())});
    for (const Record& rec : records_)
        if (!part.record(fieldsOf(rec, *summary_, rec.xmlBegin - kHeaderSize))) return unusable("it cannot be written");
    if (!part.finish()) return unusable("it cannot be written");
    const uint64_t partLength = part.length();
    const std::string header = encodeHeader({kFormatVersion, partLength, part.checksum(), xmlLength});
    if (::pwrite(file_->fd, header.data(), header.size(), 0) != ssize_t(header.size()))
        return unusable("it cannot be written");
    // Named beside the kept list, then put in its place once on the disk (DurableReplace.h).
    std::string name = path.filename().string();
    name.insert(0, 1, '.');
    name.append(".XXXXXX");
    std::string temporary = (path.parent_path() / name).string();
    const std::string self = "/proc/self/fd/" + std::to_string(file_->fd);
    for (int attempt = 0;; ++attempt) {
        std::string candidate = temporary;
        const int fd = ::mkstemp(candidate.data());  // a free name, taken over by the link
        if (fd < 0) return unusable("a new list cannot be written beside " + path.string());
        ::close(fd);
        ::unlink(candidate.c_str());
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temporary = std::move(candidate);
            break;
        }
        if (errno != EEXIST || attempt >= 3) return unusable("a new list cannot be written beside " + path.string());
    }
    const int durable = ::fcntl(file_->fd, F_DUPFD_CLOEXEC, 0);
    if (durable < 0) {
        ::unlink(temporary.c_str());
        return unusable("it cannot replace " + path.string());
    }
    replaceWhenDurable(durable, std::move(temporary), path);
    file_->size += partLength;
    watermark_ = std::move(watermark);
    pagesUnnamed_ = false;
    return {};
}

platform::Result<void> GoogleContactCache::write(const std::filesystem::path& path, const GDataFeedContact& feed) {
    // A list kept page by page as it came is written where it lies.
    if (holdsOnlyKeptPages(feed)) return finishKeptPages(path, feed);
    std::vector<Item> items;
    const auto& entries = feed.entries();
    items.reserve(entries ? entries->size() : 0);
    for (const auto& base : entries ? *entries : std::vector<std::shared_ptr<GDataEntryBase>>{}) {
        auto entry = std::dynamic_pointer_cast<GDataEntryContact>(base);
        if (!entry || !entry->identifier()) return unusable("an entry without identifier cannot be kept");
        const std::string id = *entry->identifier();
        const std::string etag = entry->ETag().value_or("");
        // Kept as it is: the same contact at the same ETag, in the kept list or answered.
        const size_t kept = byIdentifier_.find(id);
        if (kept != RecordIndex::kNone && !etag.empty() && records_[kept].etag == etag) {
            items.push_back(Item{kept, nullptr, nullptr});
        } else if (auto answer = answers_.find(id); answer != answers_.end() && !etag.empty() && answer->second.etag == etag) {
            items.push_back(Item{RecordIndex::kNone, &answer->second, nullptr});
        } else if (isSummary(entry.get())) {
            return unusable("a summary of a contact it does not keep");
        } else if (isLean(entry.get())) {
            return unusable("a lean copy of a contact");
        } else {
            items.push_back(Item{RecordIndex::kNone, nullptr, entry});
        }
    }
    auto updated = feed.updatedDate();
    auto written = writeItems(path, updated ? updated->RFC3339String() : "", items);
    if (written) dropAnswers();  // kept as records now, or no longer the provider's
    return written;
}

platform::Result<void> GoogleContactCache::writeItems(const std::filesystem::path& path, const std::string& watermark,
                                                     const std::vector<Item>& items) {
    // Written beside and put in place of the old file once on the disk (DurableReplace.h): a reader
    // sees the old list or the new one. The bytes go straight to the file (the entries' bytes are
    // most of it), the header last.
    std::string name = path.filename().string();
    name.insert(0, 1, '.');
    name.append(".XXXXXX");
    std::string temporary = (path.parent_path() / name).string();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    removeStaleTemporaries(path, 3600);
    auto file = std::make_shared<File>();
    file->fd = ::mkstemp(temporary.data());
    if (file->fd < 0) return unusable("a new list cannot be written beside " + path.string());
    bool removeTemporary = true;
    struct Cleanup {
        std::string& name;
        bool& active;
        ~Cleanup() {
            if (active) ::unlink(name.c_str());
        }
    } cleanup{temporary, removeTemporary};

    std::vector<std::pair<std::shared_ptr<GDataEntryContact>, uint64_t>> written;  // whole entries and their digests
    // The entries' bytes go first, as each entry comes, then the summaries (a second pass over
    // the items); the header (written last) says where the summaries begin.
    if (::lseek(file->fd, off_t(kHeaderSize), SEEK_SET) < 0) return unusable("it cannot be written");
    // Kept entries lie one after the other in the old file: each run of them is copied at once.
    uint64_t runBegin = 0, runEnd = 0;
    auto copyRun = [&]() {
        std::string buffer;
        while (runBegin < runEnd) {
            loff_t from = loff_t(runBegin);
            const ssize_t n = ::copy_file_range(file_->fd, &from, file->fd, nullptr, size_t(runEnd - runBegin), 0);
            if (n > 0) {
                runBegin += uint64_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // Where the kernel cannot copy between the two, through memory.
            buffer.resize(size_t(std::min<uint64_t>(runEnd - runBegin, 1 << 20)));
            if (!readAt(file_->fd, buffer.data(), buffer.size(), runBegin) || !writeAll(file->fd, buffer)) return false;
            runBegin += buffer.size();
        }
        return true;
    };
    // Where each item's bytes went, and what was made of the whole entries (their bytes let go).
    struct Placed {
        uint64_t at = 0, checksum = 0;
        uint32_t length = 0;
    };
    std::vector<Placed> placed(items.size());
    std::vector<Fresh> made;
    uint64_t xmlLength = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        if (item.kept != RecordIndex::kNone) {
            const Record& rec = records_[item.kept];
            placed[i] = {xmlLength, rec.xmlChecksum, uint32_t(rec.xmlLength)};
            if (rec.xmlBegin != runEnd) {
                if (!copyRun()) return unusable("the old list cannot be copied");
                runBegin = runEnd = rec.xmlBegin;
            }
            runEnd += rec.xmlLength;
            xmlLength += rec.xmlLength;
            continue;
        }
        const Fresh* fresh = item.answer;
        if (!fresh) {
            auto whole = freshOf(*item.whole);
            if (!whole) return unusable("an entry's bytes do not read back");
            written.emplace_back(item.whole, whole->digest);
            made.push_back(std::move(*whole));
            fresh = &made.back();
        }
        std::string spilled;
        if (fresh->spilled) {
            spilled.resize(size_t(fresh->xmlLength));
            if (!answerFile_ || !readAt(answerFile_->fd, spilled.data(), spilled.size(), fresh->xmlAt) ||
                checksum(spilled) != fresh->xmlChecksum)
                return unusable("an answer kept for it cannot be read back");
        }
        const std::string& xml = fresh->spilled ? spilled : fresh->xml;
        placed[i] = {xmlLength, checksum(xml), uint32_t(xml.size())};
        if (!copyRun() || !writeAll(file->fd, xml)) return unusable("it cannot be written");
        xmlLength += xml.size();
        if (!item.answer) std::string().swap(made.back().xml);
    }
    if (!copyRun()) return unusable("it cannot be written");
    SummaryPartWriter part(file->fd);
    part.head({owner_.account, owner_.feedURL, watermark, uint32_t(items.size())});
    size_t nextMade = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        const Placed& p = placed[i];
        bool ok = false;
        if (item.kept != RecordIndex::kNone) {
            ok = part.record(fieldsOf(records_[item.kept], *summary_, p.at));
        } else {
            const Fresh& f = item.answer ? *item.answer : made[nextMade++];
            ok = part.record({f.identifier, f.etag, f.updated, f.digest, p.at, p.length, p.checksum, f.summary});
        }
        if (!ok) return unusable("it cannot be written");
    }
    if (!part.finish()) return unusable("it cannot be written");
    const std::string header = encodeHeader({kFormatVersion, part.length(), part.checksum(), xmlLength});
    if (::pwrite(file->fd, header.data(), header.size(), 0) != ssize_t(header.size())) return unusable("it cannot be written");
    file->size = header.size() + part.length() + xmlLength;
    const int durable = ::fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
    if (durable < 0) return unusable("it cannot replace " + path.string());
    removeTemporary = false;
    replaceWhenDurable(durable, temporary, path);

    // This cache now holds the list written; summaries it made stay summaries of their records.
    if (auto adopted = adopt(std::move(file), nullptr); !adopted) return adopted.error();
    moveSummaries();
    for (const auto& [entry, digest] : written) remember(entry, digest);
    std::erase_if(known_, [](const auto& item) { return item.second.entry.expired(); });
    return {};
}

}  // namespace quorvane
