#include "platform/contacts/CNContactStore.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/runloop/NotificationCenter.h"

namespace quorvane::platform {

using nlohmann::json;

namespace {

// --- Values <-> JSON text -------------------------------------------------------------------

// Each member of an object is one of the text members named, read into its place (a member left
// out stays empty); false for anything else: not an object, another member, a value not text.
bool textMembers(const json& j, std::initializer_list<std::pair<const char*, std::string*>> members) {
    if (!j.is_object()) return false;
    for (const auto& [key, value] : j.items()) {
        std::string* into = nullptr;
        for (const auto& [name, field] : members)
            if (key == name) into = field;
        if (!into || !value.is_string()) return false;
        *into = value.get<std::string>();
    }
    return true;
}

json componentsToJSON(const DateComponents& c) {
    json j = json::object();
    auto put = [&](const char* k, int64_t v) {
        if (DateComponents::isSet(v)) j[k] = v;
    };
    put("year", c.year);
    put("month", c.month);
    put("day", c.day);
    put("hour", c.hour);
    put("minute", c.minute);
    put("second", c.second);
    return j;
}

// The date parts of an object; readable is cleared when it holds anything but whole numbers
// under the names of the parts.
DateComponents componentsFromJSON(const json& j, bool& readable) {
    DateComponents c;
    if (!j.is_object()) {
        readable = false;
        return c;
    }
    const std::pair<const char*, int64_t*> parts[] = {{"year", &c.year}, {"month", &c.month},   {"day", &c.day},
                                                      {"hour", &c.hour}, {"minute", &c.minute}, {"second", &c.second}};
    for (const auto& [key, value] : j.items()) {
        int64_t* into = nullptr;
        for (const auto& [name, field] : parts)
            if (key == name) into = field;
        if (!into || !value.is_number_integer()) {
            readable = false;
            continue;
        }
        *into = value.get<int64_t>();
    }
    return c;
}

// The JSON of a stored value; nullopt when it is not JSON (a byte that is not UTF-8, a cut text):
// such a value cannot be read, and is never taken for an empty one.
std::optional<json> parse(std::string_view text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

template <typename T, typename Encode>
std::string encodeList(const std::vector<CNLabeledValue<T>>& list, Encode encode) {
    json a = json::array();
    for (const auto& lv : list) {
        json e = json::object();
        e["identifier"] = lv.identifier();
        e["label"] = lv.label() ? json(*lv.label()) : json();
        e["value"] = encode(lv.value());
        a.push_back(std::move(e));
    }
    return a.dump();
}

// --- Reading the store's own text without a document --------------------------------------------
// A fetch of every contact reads each list and date column, so they are read straight into their
// values when they have the shape this store writes: arrays of objects whose keys are all known
// and whose values have the expected types. Anything else (an unknown key, a value of another
// type, a \u escape, a number that is not a small integer, text that is not JSON) gives up, and
// the general parser reads the text, so both read any text alike.
class QuickReader {
public:
    explicit QuickReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    bool take(char c) {
        space();
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    bool atEnd() {
        space();
        return p_ == end_;
    }
    bool null() {
        space();
        if (end_ - p_ < 4 || std::memcmp(p_, "null", 4) != 0) return false;
        p_ += 4;
        return true;
    }
    bool string(std::string& out) {
        if (!take('"')) return false;
        // Most values are one run of plain characters: it is taken whole, and only text with an
        // escape is put together piece by piece.
        bool ascii = true;
        const char* run = p_;
        if (!plainRun(ascii)) return false;
        out.assign(run, p_);
        while (*p_ != '"') {
            if (*p_++ != '\\' || p_ == end_) return false;  // a raw control character
            switch (*p_++) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                default: return false;
            }
            run = p_;
            if (!plainRun(ascii)) return false;
            out.append(run, p_);
        }
        ++p_;
        return ascii || isValidUTF8(out);
    }
    // An object key, in place: a key the store writes is plain text, so one with an escape or a
    // byte that is not ASCII is none of them (and is refused like any unknown key).
    bool key(std::string_view& out) {
        if (!take('"')) return false;
        bool ascii = true;
        const char* run = p_;
        if (!plainRun(ascii) || *p_ != '"' || !ascii) return false;
        out = std::string_view(run, size_t(p_ - run));
        ++p_;
        return true;
    }
    bool integer(int64_t& out) {
        space();
        const bool negative = p_ != end_ && *p_ == '-';
        if (negative) ++p_;
        const char* digits = p_;
        int64_t v = 0;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9' && p_ - digits < 18) v = v * 10 + (*p_++ - '0');
        if (p_ == digits || (p_ - digits > 1 && *digits == '0')) return false;
        if (p_ != end_ && ((*p_ >= '0' && *p_ <= '9') || *p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
        out = negative ? -v : v;
        return true;
    }

private:
    // Moves over plain string characters (anything but a quote, a backslash or a control
    // character) to the next other one, eight bytes at a time; false at the end of the text.
    // ASCII is cleared when a byte passed over is not ASCII.
    bool plainRun(bool& ascii) {
        constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
        uint64_t high = 0;
        while (end_ - p_ >= 8) {
            uint64_t w;
            std::memcpy(&w, p_, 8);
            const uint64_t quote = w ^ (kOnes * '"'), backslash = w ^ (kOnes * '\\');
            // The lowest byte marked in each is exact: a zero byte of the quote and backslash
            // views, a byte below 0x20 of the text.
            const uint64_t stop = (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                   ((w - kOnes * 0x20) & ~w)) & kHigh;
            if (stop) {
                const int bytes = __builtin_ctzll(stop) / 8;
                if (bytes) high |= w & (~0ull >> (64 - 8 * bytes));
                p_ += bytes;
                ascii = ascii && (high & kHigh) == 0;
                return true;
            }
            high |= w;
            p_ += 8;
        }
        ascii = ascii && (high & kHigh) == 0;
        while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) {
            ascii = ascii && static_cast<unsigned char>(*p_) < 0x80;
            ++p_;
        }
        return p_ != end_;
    }
    void space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }
    const char* p_;
    const char* end_;
};

// An object each of whose keys READ takes (reading its value); false when one is not taken.
template <typename Read>
bool quickObject(QuickReader& r, Read read) {
    if (!r.take('{')) return false;
    if (r.take('}')) return true;
    std::string_view key;
    do {
        if (!r.key(key) || !r.take(':') || !read(key)) return false;
    } while (r.take(','));
    return r.take('}');
}

// String fields of an object by name.
bool quickStrings(QuickReader& r, std::initializer_list<std::pair<const char*, std::string*>> fields) {
    return quickObject(r, [&](std::string_view key) {
        for (const auto& [name, field] : fields)
            if (key == name) return r.string(*field);
        return false;
    });
}

bool quickValue(QuickReader& r, std::string& v) { return r.string(v); }
bool quickValue(QuickReader& r, CNPhoneNumber& v) { return r.string(v.stringValue); }
bool quickValue(QuickReader& r, CNContactRelation& v) { return r.string(v.name); }
bool quickValue(QuickReader& r, CNPostalAddress& a) {
    return quickStrings(r, {{"street", &a.street}, {"city", &a.city}, {"state", &a.state},
                            {"postalCode", &a.postalCode}, {"country", &a.country}, {"ISOCountryCode", &a.ISOCountryCode}});
}
bool quickValue(QuickReader& r, CNInstantMessageAddress& a) {
    return quickStrings(r, {{"username", &a.username}, {"service", &a.service}});
}
bool quickValue(QuickReader& r, CNSocialProfile& p) {
    return quickStrings(r, {{"username", &p.username}, {"service", &p.service}});
}
bool quickValue(QuickReader& r, DateComponents& c) {
    const std::pair<const char*, int64_t*> fields[] = {{"year", &c.year}, {"month", &c.month},   {"day", &c.day},
                                                       {"hour", &c.hour}, {"minute", &c.minute}, {"second", &c.second}};
    return quickObject(r, [&](std::string_view key) {
        for (const auto& [name, field] : fields)
            if (key == name) return r.integer(*field);
        return false;
    });
}

template <typename T>
std::optional<std::vector<CNLabeledValue<T>>> quickList(std::string_view text) {
    QuickReader r(text);
    std::vector<CNLabeledValue<T>> out;
    if (!r.take('[')) return std::nullopt;
    if (!r.take(']')) {
        do {
            std::string identifier;
            std::optional<std::string> label;
            T value{};
            const bool read = quickObject(r, [&](std::string_view key) {
                if (key == "identifier") return r.string(identifier);
                if (key == "label") {
                    label.reset();
                    return r.null() || r.string(label.emplace());
                }
                if (key == "value") return quickValue(r, value = T{});
                return false;
            });
            if (!read) return std::nullopt;
            out.emplace_back(std::move(identifier), std::move(label), std::move(value));
        } while (r.take(','));
        if (!r.take(']')) return std::nullopt;
    }
    if (!r.atEnd()) return std::nullopt;
    return out;
}

DateComponents readComponents(std::string_view text, bool& readable) {
    QuickReader r(text);
    DateComponents c;
    if (quickValue(r, c) && r.atEnd()) return c;
    auto j = parse(text);
    if (!j) {
        readable = false;
        return {};
    }
    return componentsFromJSON(*j, readable);
}

CNNonGregorianDate readNonGregorian(std::string_view text, bool& readable) {
    QuickReader r(text);
    CNNonGregorianDate d;
    const bool read = quickObject(r, [&](std::string_view key) {
        if (key == "calendar") return r.string(d.calendarIdentifier);
        if (key == "components") return quickValue(r, d.components = DateComponents{});
        return false;
    });
    if (read && r.atEnd()) return d;
    auto j = parse(text);
    if (!j || !j->is_object()) {
        readable = false;
        return {};
    }
    d = CNNonGregorianDate{};
    for (const auto& [key, value] : j->items()) {
        if (key == "calendar" && value.is_string()) d.calendarIdentifier = value.get<std::string>();
        else if (key == "components") d.components = componentsFromJSON(value, readable);
        else readable = false;
    }
    return d;
}

// The list a column holds, as a JSON reader would take it; readable is cleared when the text is
// not a list of labeled values of the shape this store writes (what of it could not be read is
// left out or empty).
template <typename T, typename Decode>
std::vector<CNLabeledValue<T>> decodeList(std::string_view text, Decode decode, bool& readable) {
    if (auto quick = quickList<T>(text)) return std::move(*quick);
    std::vector<CNLabeledValue<T>> out;
    auto a = parse(text);
    if (!a || !a->is_array()) {
        readable = false;
        return out;
    }
    for (const auto& e : *a) {
        if (!e.is_object()) {
            readable = false;
            continue;
        }
        std::string identifier;
        std::optional<std::string> label;
        T value{};
        for (const auto& [key, member] : e.items()) {
            if (key == "identifier" && member.is_string()) identifier = member.template get<std::string>();
            else if (key == "label" && member.is_string()) label = member.template get<std::string>();
            else if (key == "value") value = decode(member, readable);
            else if (key != "label" || !member.is_null()) readable = false;
        }
        out.emplace_back(std::move(identifier), std::move(label), std::move(value));
    }
    return out;
}

json encodeString(const std::string& s) { return s; }
// Each decoder clears readable for a value of another shape than the one its encoder writes.
std::string decodeString(const json& j, bool& readable) {
    if (j.is_string()) return j.get<std::string>();
    readable = false;
    return {};
}
json encodePhone(const CNPhoneNumber& p) { return p.stringValue; }
CNPhoneNumber decodePhone(const json& j, bool& readable) { return CNPhoneNumber{decodeString(j, readable)}; }
json encodeRelation(const CNContactRelation& r) { return r.name; }
CNContactRelation decodeRelation(const json& j, bool& readable) { return CNContactRelation{decodeString(j, readable)}; }
json encodePostal(const CNPostalAddress& a) {
    return json{{"street", a.street}, {"city", a.city}, {"state", a.state}, {"postalCode", a.postalCode},
                {"country", a.country}, {"ISOCountryCode", a.ISOCountryCode}};
}
CNPostalAddress decodePostal(const json& j, bool& readable) {
    CNPostalAddress a;
    readable = textMembers(j, {{"street", &a.street}, {"city", &a.city}, {"state", &a.state}, {"postalCode", &a.postalCode},
                               {"country", &a.country}, {"ISOCountryCode", &a.ISOCountryCode}}) && readable;
    return a;
}
json encodeIM(const CNInstantMessageAddress& a) { return json{{"username", a.username}, {"service", a.service}}; }
CNInstantMessageAddress decodeIM(const json& j, bool& readable) {
    CNInstantMessageAddress a;
    readable = textMembers(j, {{"username", &a.username}, {"service", &a.service}}) && readable;
    return a;
}
json encodeSocial(const CNSocialProfile& p) { return json{{"username", p.username}, {"service", p.service}}; }
CNSocialProfile decodeSocial(const json& j, bool& readable) {
    CNSocialProfile p;
    readable = textMembers(j, {{"username", &p.username}, {"service", &p.service}}) && readable;
    return p;
}

// --- The contact columns ------------------------------------------------------------------------

// Notes that the stored value of a key could not be read (it reads as empty, and says so).
void unreadable(CNContactFields& f, const char* key) {
    Log::error("contacts", std::string("The stored ") + key + " of contact " + f.identifier + " cannot be read");
    f.unreadableKeys.emplace_back(key);
}

struct Field {
    const char* key;
    const char* select;  // the expression a fetch reads
    const char* column;  // the column a save writes; nullptr for derived keys
    void (*read)(const SQLStatement&, int, CNContactFields&);
    void (*bind)(SQLStatement&, int, const CNContactFields&);
};

#define QV_TEXT_FIELD(KEY, COL, MEMBER)                                                     \
    Field {                                                                                 \
        KEY, COL, COL, [](const SQLStatement& s, int c, CNContactFields& f) { f.MEMBER = s.text(c); }, \
            [](SQLStatement& s, int i, const CNContactFields& f) { s.bind(i, f.MEMBER); }   \
    }
#define QV_LIST_FIELD(KEY, COL, MEMBER, TYPE, ENC, DEC)                                                   \
    Field {                                                                                               \
        KEY, COL, COL,                                                                                    \
            [](const SQLStatement& s, int c, CNContactFields& f) {                                       \
                bool readable = true;                                                                     \
                f.MEMBER = decodeList<TYPE>(s.textView(c), DEC, readable);                                \
                if (!readable) unreadable(f, KEY);                                                        \
            },                                                                                            \
            [](SQLStatement& s, int i, const CNContactFields& f) { s.bind(i, encodeList(f.MEMBER, ENC)); } \
    }

const std::vector<Field>& fields() {
    static const std::vector<Field> table = {
        QV_TEXT_FIELD(CNContactNamePrefixKey, "name_prefix", namePrefix),
        QV_TEXT_FIELD(CNContactGivenNameKey, "given_name", givenName),
        QV_TEXT_FIELD(CNContactMiddleNameKey, "middle_name", middleName),
        QV_TEXT_FIELD(CNContactFamilyNameKey, "family_name", familyName),
        QV_TEXT_FIELD(CNContactPreviousFamilyNameKey, "previous_family_name", previousFamilyName),
        QV_TEXT_FIELD(CNContactNameSuffixKey, "name_suffix", nameSuffix),
        QV_TEXT_FIELD(CNContactNicknameKey, "nickname", nickname),
        QV_TEXT_FIELD(CNContactPhoneticGivenNameKey, "phonetic_given_name", phoneticGivenName),
        QV_TEXT_FIELD(CNContactPhoneticMiddleNameKey, "phonetic_middle_name", phoneticMiddleName),
        QV_TEXT_FIELD(CNContactPhoneticFamilyNameKey, "phonetic_family_name", phoneticFamilyName),
        QV_TEXT_FIELD(CNContactOrganizationNameKey, "organization_name", organizationName),
        QV_TEXT_FIELD(CNContactDepartmentNameKey, "department_name", departmentName),
        QV_TEXT_FIELD(CNContactJobTitleKey, "job_title", jobTitle),
        QV_TEXT_FIELD(CNContactNoteKey, "note", note),
        Field{CNContactBirthdayKey, "birthday", "birthday",
              [](const SQLStatement& s, int c, CNContactFields& f) {
                  f.birthday.reset();
                  bool readable = true;
                  if (!s.isNull(c)) f.birthday = readComponents(s.textView(c), readable);
                  if (!readable) unreadable(f, CNContactBirthdayKey);
              },
              [](SQLStatement& s, int i, const CNContactFields& f) {
                  f.birthday ? s.bind(i, componentsToJSON(*f.birthday).dump()) : s.bindNull(i);
              }},
        Field{CNContactNonGregorianBirthdayKey, "non_gregorian_birthday", "non_gregorian_birthday",
              [](const SQLStatement& s, int c, CNContactFields& f) {
                  f.nonGregorianBirthday.reset();
                  bool readable = true;
                  if (!s.isNull(c)) f.nonGregorianBirthday = readNonGregorian(s.textView(c), readable);
                  if (!readable) unreadable(f, CNContactNonGregorianBirthdayKey);
              },
              [](SQLStatement& s, int i, const CNContactFields& f) {
                  if (!f.nonGregorianBirthday) return s.bindNull(i);
                  json j{{"calendar", f.nonGregorianBirthday->calendarIdentifier},
                         {"components", componentsToJSON(f.nonGregorianBirthday->components)}};
                  s.bind(i, j.dump());
              }},
        QV_LIST_FIELD(CNContactDatesKey, "dates", dates, DateComponents, componentsToJSON, componentsFromJSON),
        QV_LIST_FIELD(CNContactPhoneNumbersKey, "phone_numbers", phoneNumbers, CNPhoneNumber, encodePhone, decodePhone),
        QV_LIST_FIELD(CNContactEmailAddressesKey, "email_addresses", emailAddresses, std::string, encodeString, decodeString),
        QV_LIST_FIELD(CNContactPostalAddressesKey, "postal_addresses", postalAddresses, CNPostalAddress, encodePostal,
                      decodePostal),
        QV_LIST_FIELD(CNContactUrlAddressesKey, "url_addresses", urlAddresses, std::string, encodeString, decodeString),
        QV_LIST_FIELD(CNContactRelationsKey, "contact_relations", contactRelations, CNContactRelation, encodeRelation,
                      decodeRelation),
        QV_LIST_FIELD(CNContactInstantMessageAddressesKey, "instant_message_addresses", instantMessageAddresses,
                      CNInstantMessageAddress, encodeIM, decodeIM),
        QV_LIST_FIELD(CNContactSocialProfilesKey, "social_profiles", socialProfiles, CNSocialProfile, encodeSocial,
                      decodeSocial),
        Field{CNContactImageDataKey, "image_data", "image_data",
              [](const SQLStatement& s, int c, CNContactFields& f) {
                  f.imageData.reset();
                  if (!s.isNull(c)) f.imageData = s.blob(c);
              },
              [](SQLStatement& s, int i, const CNContactFields& f) {
                  f.imageData ? s.bindBlob(i, f.imageData->data(), f.imageData->size()) : s.bindNull(i);
              }},
        // The store keeps one image; small displays get the same bytes.
        Field{CNContactThumbnailImageDataKey, "image_data", nullptr,
              [](const SQLStatement& s, int c, CNContactFields& f) {
                  f.thumbnailImageData.reset();
                  if (!s.isNull(c)) f.thumbnailImageData = s.blob(c);
              },
              nullptr},
        Field{CNContactImageDataAvailableKey, "image_data IS NOT NULL", nullptr,
              [](const SQLStatement& s, int c, CNContactFields& f) { f.imageDataAvailable = s.integer(c) != 0; }, nullptr},
        Field{CNContactCreationDateKey, "creation_date", nullptr,
              [](const SQLStatement& s, int c, CNContactFields& f) {
                  f.creationDate.reset();
                  if (!s.isNull(c)) f.creationDate = Date(s.real(c));
              },
              nullptr},
        Field{CNContactModificationDateKey, "modification_date", nullptr,
              [](const SQLStatement& s, int c, CNContactFields& f) {
                  f.modificationDate.reset();
                  if (!s.isNull(c)) f.modificationDate = Date(s.real(c));
              },
              nullptr},
    };
    return table;
}

#undef QV_TEXT_FIELD
#undef QV_LIST_FIELD

const Field* fieldForKey(const std::string& key) {
    for (const auto& f : fields())
        if (key == f.key) return &f;
    return nullptr;
}

// An identifier that is not UTF-8 (read from another program's file) is looked for with its bad
// bytes replaced, never thrown on: it then names no record.
std::string identifiersJSON(const std::vector<std::string>& ids) {
    return json(ids).dump(-1, ' ', false, json::error_handler_t::replace);
}

Error makeError(int64_t code, const std::string& description, const std::vector<std::string>& identifiers = {}) {
    Error e(CNErrorDomain, code);
    e.userInfo.set(Error::kLocalizedDescriptionKey, description);
    if (!identifiers.empty()) {
        Value::Array a;
        for (const auto& id : identifiers) a.emplace_back(id);
        e.userInfo.set(CNErrorUserInfoAffectedRecordIdentifiersKey, Value(std::move(a)));
    }
    return e;
}

// Row id of the record with that identifier in the table, or nullopt.
std::optional<int64_t> rowID(sqlite3* db, const char* table, const std::string& identifier) {
    SQLStatement st(db, std::string("SELECT id FROM ") + table + " WHERE identifier = ?");
    if (!st.ok()) return std::nullopt;
    st.bind(1, identifier);
    if (st.step() != SQLITE_ROW) return std::nullopt;
    return st.integer(0);
}

}  // namespace

// --- The store ----------------------------------------------------------------------------------

CNContactStore::CNContactStore() : CNContactStore(defaultPath()) {}
CNContactStore::CNContactStore(std::filesystem::path file) : path_(std::move(file)) {}
CNContactStore::~CNContactStore() = default;

std::filesystem::path CNContactStore::defaultPath() { return Paths::applicationSupport() / "Contacts.sqlite"; }

Result<ContactsDatabase*> CNContactStore::database() {
    if (!db_) {
        auto opened = ContactsDatabase::open(path_);
        if (!opened) return opened.error();
        db_ = std::move(*opened);
    }
    return db_.get();
}

Result<std::vector<CNContactPtr>> CNContactStore::unifiedContactsMatchingPredicate(
    const CNPredicatePtr& predicate, const std::vector<CNKeyDescriptor>& keys) {
    CNContactFetchRequest request(keys);
    request.setPredicate(predicate);
    std::vector<CNContactPtr> out;
    auto done = enumerateContactsWithFetchRequest(request, [&](const CNContactPtr& c, bool&) { out.push_back(c); });
    if (!done) return done.error();
    return out;
}

namespace {

// The WHERE clause (on contacts as c) of the contacts a predicate selects, and its argument.
Result<std::pair<std::string, std::string>> contactSelection(const CNPredicatePtr& p) {
    if (!p) return std::pair<std::string, std::string>();
    if (!p->selectsContacts()) {
        QV_ASSERT(false, "A contact fetch was given a predicate for groups or containers");
        return makeError(CNErrorCodeCommunicationError, "The predicate does not select contacts.");
    }
    const std::string first = p->identifiers().empty() ? std::string() : p->identifiers()[0];
    switch (p->kind()) {
        case CNPredicate::Kind::ContactsWithIdentifiers:
            return std::pair{std::string(" WHERE c.identifier IN (SELECT value FROM json_each(?1))"),
                             identifiersJSON(p->identifiers())};
        case CNPredicate::Kind::ContactsInContainer:
            return std::pair{std::string(" WHERE c.container_id = (SELECT id FROM containers WHERE identifier = ?1)"),
                             first};
        default:  // ContactsInGroup
            return std::pair{std::string(" WHERE c.id IN (SELECT m.contact_id FROM group_members m"
                                         " JOIN contact_groups g ON g.id = m.group_id WHERE g.identifier = ?1)"),
                             first};
    }
}

}  // namespace

Result<void> CNContactStore::queryContacts(const CNPredicatePtr& predicate, const std::string& select,
                                           const std::string& tail, const char* failure,
                                           const std::function<void(const SQLStatement&)>& row) {
    auto selection = contactSelection(predicate);
    if (!selection) return selection.error();
    const auto& [where, argument] = *selection;
    std::lock_guard<std::mutex> lock(mutex_);
    auto opened = database();
    if (!opened) return opened.error();
    ContactsDatabase* db = *opened;
    SQLStatement st(db->handle(), select + where + tail);
    if (!st.ok()) return db->error(CNErrorCodeCommunicationError, failure);
    if (predicate) st.bind(1, argument);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) row(st);
    if (rc != SQLITE_DONE) return db->error(CNErrorCodeCommunicationError, failure);
    return {};
}

Result<size_t> CNContactStore::countOfContactsMatchingPredicate(const CNPredicatePtr& predicate) {
    size_t count = 0;
    auto counted = queryContacts(predicate, "SELECT count(*) FROM contacts c", "", "Contacts cannot be counted",
                                 [&](const SQLStatement& st) { count = size_t(st.integer(0)); });
    if (!counted) return counted.error();
    return count;
}

Result<std::vector<std::string>> CNContactStore::identifiersOfContactsMatchingPredicate(const CNPredicatePtr& predicate) {
    std::vector<std::string> identifiers;
    auto read = queryContacts(predicate, "SELECT c.identifier FROM contacts c", " ORDER BY c.id", "Contacts cannot be read",
                              [&](const SQLStatement& st) { identifiers.push_back(st.text(0)); });
    if (!read) return read.error();
    return identifiers;
}

// What a fetch with these keys reads: the fields, each once in a fixed order, and the statement's
// columns (the identifier first, then one per field) from contacts as c.
struct CNContactStore::ContactColumns {
    std::vector<const Field*> wanted;  // the field of each column after the identifier
    std::string select;
    std::shared_ptr<const std::set<std::string>> keys;  // the keys the contacts hold, the identifier's included
};

CNContactStore::ContactColumns CNContactStore::contactColumns(const std::vector<CNKeyDescriptor>& descriptors) {
    std::set<std::string> keys;
    for (const auto& d : descriptors)
        for (const auto& k : d.keys()) {
            if (QV_ASSERT(CNContactIsKnownKey(k), "A contact fetch asked for an unknown key: " + k)) keys.insert(k);
        }
    ContactColumns out;
    out.select = "SELECT c.identifier";
    for (const auto& f : fields()) {
        if (!keys.count(f.key)) continue;
        out.wanted.push_back(&f);
        out.select += std::string(", ") + f.select;
    }
    out.select += " FROM contacts c";
    keys.insert(CNContactIdentifierKey);
    out.keys = std::make_shared<const std::set<std::string>>(std::move(keys));
    return out;
}

CNContactPtr CNContactStore::contactFromRow(const SQLStatement& st, const ContactColumns& c, bool mutableObject) {
    // Each value is read into its contact in place.
    CNContactPtr contact = mutableObject ? std::make_shared<CNMutableContact>(c.keys) : std::make_shared<CNContact>(c.keys);
    CNContactFields& f = contact->f_;
    f.identifier = st.textView(0);
    for (size_t i = 0; i < c.wanted.size(); ++i) c.wanted[i]->read(st, int(i + 1), f);
    return contact;
}

Result<void> CNContactStore::enumerateContactsWithFetchRequest(
    const CNContactFetchRequest& request, const std::function<void(const CNContactPtr&, bool&)>& block) {
    const ContactColumns columns = contactColumns(request.keysToFetch());
    // Read everything under the lock, then hand the contacts out without it, so the block may
    // use the store.
    std::vector<CNContactPtr> contacts;
    auto read = queryContacts(request.predicate(), columns.select, " ORDER BY c.id", "Contacts cannot be read",
                              [&](const SQLStatement& st) { contacts.push_back(contactFromRow(st, columns, request.mutableObjects())); });
    if (!read) return read.error();
    bool stop = false;
    for (const auto& c : contacts) {
        block(c, stop);
        if (stop) break;
    }
    return {};
}

Result<std::vector<CNGroupPtr>> CNContactStore::groupsMatchingPredicate(const CNPredicatePtr& predicate) {
    std::string sql = "SELECT g.identifier, g.name FROM contact_groups g";
    std::string argument;
    if (predicate) {
        if (!predicate->selectsGroups()) {
            QV_ASSERT(false, "A group fetch was given a predicate for contacts or containers");
            return makeError(CNErrorCodeCommunicationError, "The predicate does not select groups.");
        }
        if (predicate->kind() == CNPredicate::Kind::GroupsWithIdentifiers) {
            sql += " WHERE g.identifier IN (SELECT value FROM json_each(?1))";
            argument = identifiersJSON(predicate->identifiers());
        } else {
            sql += " WHERE g.container_id = (SELECT id FROM containers WHERE identifier = ?1)";
            argument = predicate->identifiers().empty() ? std::string() : predicate->identifiers()[0];
        }
    }
    sql += " ORDER BY g.id";
    std::lock_guard<std::mutex> lock(mutex_);
    auto opened = database();
    if (!opened) return opened.error();
    ContactsDatabase* db = *opened;
    SQLStatement st(db->handle(), sql);
    if (!st.ok()) {
        return db->error(CNErrorCodeCommunicationError, "Groups cannot be read");
    }
    if (predicate) st.bind(1, argument);
    std::vector<CNGroupPtr> out;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) out.push_back(std::make_shared<CNGroup>(st.text(0), st.text(1)));
    if (rc != SQLITE_DONE) {
        return db->error(CNErrorCodeCommunicationError, "Groups cannot be read");
    }
    return out;
}

Result<std::vector<CNContainerPtr>> CNContactStore::containersMatchingPredicate(const CNPredicatePtr& predicate) {
    std::string sql = "SELECT k.identifier, k.name, k.type FROM containers k";
    std::string argument;
    if (predicate) {
        if (!predicate->selectsContainers()) {
            QV_ASSERT(false, "A container fetch was given a predicate for contacts or groups");
            return makeError(CNErrorCodeCommunicationError, "The predicate does not select containers.");
        }
        switch (predicate->kind()) {
            case CNPredicate::Kind::ContainersWithIdentifiers:
                sql += " WHERE k.identifier IN (SELECT value FROM json_each(?1))";
                argument = identifiersJSON(predicate->identifiers());
                break;
            case CNPredicate::Kind::ContainerOfContact:
                sql += " WHERE k.id = (SELECT container_id FROM contacts WHERE identifier = ?1)";
                argument = predicate->identifiers().empty() ? std::string() : predicate->identifiers()[0];
                break;
            default:  // ContainerOfGroup
                sql += " WHERE k.id = (SELECT container_id FROM contact_groups WHERE identifier = ?1)";
                argument = predicate->identifiers().empty() ? std::string() : predicate->identifiers()[0];
                break;
        }
    }
    sql += " ORDER BY k.id";
    std::lock_guard<std::mutex> lock(mutex_);
    auto opened = database();
    if (!opened) return opened.error();
    ContactsDatabase* db = *opened;
    SQLStatement st(db->handle(), sql);
    if (!st.ok()) {
        return db->error(CNErrorCodeCommunicationError, "Containers cannot be read");
    }
    if (predicate) st.bind(1, argument);
    std::vector<CNContainerPtr> out;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        out.push_back(std::make_shared<CNContainer>(st.text(0), st.text(1), CNContainerType(st.integer(2))));
    if (rc != SQLITE_DONE) {
        return db->error(CNErrorCodeCommunicationError, "Containers cannot be read");
    }
    return out;
}

namespace {

std::string defaultContainerLocked(sqlite3* db) {
    {
        SQLStatement st(db,
                        "SELECT k.identifier FROM store_info i JOIN containers k ON k.identifier = i.value"
                        " WHERE i.key = 'defaultContainer'");
        if (st.ok() && st.step() == SQLITE_ROW) return st.text(0);
    }
    SQLStatement st(db, "SELECT identifier FROM containers ORDER BY type <> 1, id LIMIT 1");
    if (st.ok() && st.step() == SQLITE_ROW) return st.text(0);
    return {};
}

}  // namespace

std::string CNContactStore::defaultContainerIdentifier() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto db = database();
    return db ? defaultContainerLocked((*db)->handle()) : std::string();
}

Result<CNContainerPtr> CNContactStore::addContainer(std::string name, CNContainerType type,
                                                    std::optional<std::string> identifier) {
    return insertContainer(identifier ? *identifier : CNNewRecordIdentifier(":ABAccount"), std::move(name), type, false);
}

Result<CNContainerPtr> CNContactStore::addContainerIfNone(std::string name, CNContainerType type) {
    return insertContainer(CNNewRecordIdentifier(":ABAccount"), std::move(name), type, true);
}

Result<CNContainerPtr> CNContactStore::insertContainer(std::string id, std::string name, CNContainerType type,
                                                       bool onlyIfNone) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto opened = database();
    if (!opened) return opened.error();
    ContactsDatabase* db = *opened;
    // One statement: the look for a container and the insert are one write transaction.
    SQLStatement st(db->handle(), onlyIfNone ? "INSERT INTO containers (identifier, name, type) SELECT ?, ?, ? "
                                               "WHERE NOT EXISTS (SELECT 1 FROM containers)"
                                             : "INSERT INTO containers (identifier, name, type) VALUES (?, ?, ?)");
    st.bind(1, id);
    st.bind(2, name);
    st.bind(3, int64_t(type));
    if (!st.ok() || st.step() != SQLITE_DONE) {
        bool taken = sqlite3_extended_errcode(db->handle()) == SQLITE_CONSTRAINT_UNIQUE;
        return taken ? makeError(CNErrorCodeInsertedRecordAlreadyExists, "A container with this identifier exists.", {id})
                     : db->error(CNErrorCodeCommunicationError, "The container cannot be added");
    }
    if (sqlite3_changes(db->handle()) == 0) return CNContainerPtr();
    return std::make_shared<CNContainer>(id, std::move(name), type);
}

Result<void> CNContactStore::setDefaultContainerIdentifier(const std::string& identifier) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto opened = database();
    if (!opened) return opened.error();
    ContactsDatabase* db = *opened;
    if (!rowID(db->handle(), "containers", identifier)) {
        return makeError(CNErrorCodeRecordDoesNotExist, "There is no container with this identifier.", {identifier});
    }
    SQLStatement st(db->handle(), "INSERT OR REPLACE INTO store_info (key, value) VALUES ('defaultContainer', ?)");
    st.bind(1, identifier);
    if (!st.ok() || st.step() != SQLITE_DONE) {
        return db->error(CNErrorCodeCommunicationError, "The default container cannot be set");
    }
    return {};
}

// --- Saving -------------------------------------------------------------------------------------

namespace {

class SaveRun {
public:
    // Reads one stored contact with the keys, in the run's transaction; nullptr when it is gone.
    using Reader = std::function<Result<CNContactPtr>(const std::string& identifier, const std::vector<CNKeyDescriptor>& keys)>;

    SaveRun(ContactsDatabase& db, Date now, Reader read)
        : db_(db), h_(db.handle()), now_(now.timeIntervalSinceReferenceDate()), read_(std::move(read)) {}

    bool apply(const CNSaveRequest::Operation& op) {
        using K = CNSaveRequest::Kind;
        switch (op.kind) {
            case K::AddContact: return addContact(*op.contact, op.containerIdentifier);
            case K::UpdateContact: return unchanged(op) && updateContact(*op.contact);
            case K::DeleteContact: return unchanged(op) && deleteRecord("contacts", op.contact->identifier(), "contact");
            case K::AddGroup: return addGroup(*op.group, op.containerIdentifier);
            case K::UpdateGroup: return updateGroup(*op.group);
            case K::DeleteGroup: return deleteRecord("contact_groups", op.group->identifier(), "group");
            case K::AddMember: return member(op, true);
            case K::RemoveMember: return member(op, false);
        }
        return false;
    }

    Error error;

private:
    bool fail(Error e) {
        error = std::move(e);
        return false;
    }
    bool failSQL(const std::string& what) { return fail(db_.error(CNErrorCodeCommunicationError, what)); }

    // A prepared statement of this run, reset for another use; nullptr when it cannot be prepared.
    SQLStatement* statement(const std::string& sql) {
        auto& slot = statements_[sql];
        if (!slot) slot = std::make_unique<SQLStatement>(h_, sql);
        if (!slot->ok()) return nullptr;
        slot->reset();
        return slot.get();
    }

    std::optional<int64_t> lookup(const char* table, const std::string& identifier) {
        SQLStatement* st = statement(std::string("SELECT id FROM ") + table + " WHERE identifier = ?");
        if (!st) return std::nullopt;
        st->bind(1, identifier);
        if (st->step() != SQLITE_ROW) return std::nullopt;
        return st->integer(0);
    }

    // The identifier of the container the contact is in; "" when it cannot be told.
    std::string containerOf(const std::string& contactIdentifier) {
        SQLStatement* st = statement(
            "SELECT k.identifier FROM containers k JOIN contacts c ON c.container_id = k.id WHERE c.identifier = ?");
        if (!st) return "";
        st->bind(1, contactIdentifier);
        if (st->step() != SQLITE_ROW) return "";
        return st->text(0);
    }

    std::optional<int64_t> container(const std::optional<std::string>& identifier) {
        if (!identifier && !defaultContainer_) defaultContainer_ = defaultContainerLocked(h_);
        const std::string& id = identifier ? *identifier : *defaultContainer_;
        if (id.empty()) {
            fail(makeError(CNErrorCodeNoContainer, "The store has no container to add the record to."));
            return std::nullopt;
        }
        auto known = containers_.find(id);
        if (known != containers_.end()) return known->second;
        auto row = lookup("containers", id);
        if (!row) {
            fail(makeError(CNErrorCodeRecordDoesNotExist, "There is no container with this identifier.", {id}));
            return std::nullopt;
        }
        containers_[id] = *row;
        return row;
    }

    // A value the store keeps as JSON must be UTF-8 (the writer throws on anything else): such a
    // contact is refused with an error naming the field, and nothing of the request is saved.
    bool bindChecked(SQLStatement& st, int index, const Field& f, const CNMutableContact& c) {
        try {
            f.bind(st, index, c.fields());
            return true;
        } catch (const json::exception&) {
            return fail(makeError(CNErrorCodeTextNotUTF8,
                                  std::string("The contact's ") + f.key + " holds text that is not UTF-8.", {c.identifier()}));
        }
    }

    bool constraintFailed() const { return sqlite3_extended_errcode(h_) == SQLITE_CONSTRAINT_UNIQUE; }

    // A conditional change goes ahead only while the stored contact passes its test; one that is
    // gone is left to the change itself to report.
    bool unchanged(const CNSaveRequest::Operation& op) {
        if (!op.unchanged) return true;
        auto stored = read_(op.contact->identifier(), op.checkedKeys);
        if (!stored) return fail(stored.error());
        if (!*stored) return true;
        if (op.unchanged(**stored) && (!op.checkedContainer || containerOf(op.contact->identifier()) == *op.checkedContainer))
            return true;
        return fail(makeError(CNErrorCodeRecordChanged, "The contact changed since it was read.", {op.contact->identifier()}));
    }

    bool addContact(const CNMutableContact& c, const std::optional<std::string>& containerID) {
        auto k = container(containerID);
        if (!k) return false;
        static const std::string sql = [] {
            std::string cols = "identifier, container_id, creation_date, modification_date", marks = "?, ?, ?, ?";
            for (const auto& f : fields()) {
                if (!f.column) continue;
                cols += std::string(", ") + f.column;
                marks += ", ?";
            }
            return "INSERT INTO contacts (" + cols + ") VALUES (" + marks + ")";
        }();
        SQLStatement* st = statement(sql);
        if (!st) return failSQL("The contact cannot be added");
        st->bind(1, c.identifier());
        st->bind(2, *k);
        st->bind(3, now_);
        st->bind(4, now_);
        int i = 5;
        for (const auto& f : fields())
            if (f.column && !bindChecked(*st, i++, f, c)) return false;
        if (st->step() == SQLITE_DONE) return true;
        if (constraintFailed())
            return fail(makeError(CNErrorCodeInsertedRecordAlreadyExists, "The contact is already in the store.", {c.identifier()}));
        return failSQL("The contact cannot be added");
    }

    bool updateContact(const CNMutableContact& c) {
        auto row = lookup("contacts", c.identifier());
        if (!row) return fail(makeError(CNErrorCodeRecordDoesNotExist, "The contact to update is not in the store.", {c.identifier()}));
        std::vector<const Field*> written;
        std::string sets;
        for (const auto& key : c.changedKeys()) {
            const Field* f = fieldForKey(key);
            if (!f || !f->column) continue;
            written.push_back(f);
            sets += std::string(f->column) + " = ?, ";
        }
        if (written.empty()) return true;  // nothing changed
        SQLStatement* st = statement("UPDATE contacts SET " + sets + "modification_date = ? WHERE id = ?");
        if (!st) return failSQL("The contact cannot be updated");
        int i = 1;
        for (const Field* f : written)
            if (!bindChecked(*st, i++, *f, c)) return false;
        st->bind(i++, now_);
        st->bind(i, *row);
        return st->step() == SQLITE_DONE || failSQL("The contact cannot be updated");
    }

    bool deleteRecord(const char* table, const std::string& identifier, const char* what) {
        SQLStatement* st = statement(std::string("DELETE FROM ") + table + " WHERE identifier = ?");
        if (!st) return failSQL(std::string("The ") + what + " cannot be deleted");
        st->bind(1, identifier);
        if (st->step() != SQLITE_DONE) return failSQL(std::string("The ") + what + " cannot be deleted");
        if (sqlite3_changes(h_) == 0)
            return fail(makeError(CNErrorCodeRecordDoesNotExist, std::string("The ") + what + " to delete is not in the store.", {identifier}));
        return true;
    }

    bool addGroup(const CNMutableGroup& g, const std::optional<std::string>& containerID) {
        auto k = container(containerID);
        if (!k) return false;
        SQLStatement* st = statement("INSERT INTO contact_groups (identifier, name, container_id) VALUES (?, ?, ?)");
        if (!st) return failSQL("The group cannot be added");
        st->bind(1, g.identifier());
        st->bind(2, g.name());
        st->bind(3, *k);
        if (st->step() == SQLITE_DONE) return true;
        if (constraintFailed())
            return fail(makeError(CNErrorCodeInsertedRecordAlreadyExists, "The group is already in the store.", {g.identifier()}));
        return failSQL("The group cannot be added");
    }

    bool updateGroup(const CNMutableGroup& g) {
        SQLStatement* st = statement("UPDATE contact_groups SET name = ? WHERE identifier = ?");
        if (!st) return failSQL("The group cannot be updated");
        st->bind(1, g.name());
        st->bind(2, g.identifier());
        if (st->step() != SQLITE_DONE) return failSQL("The group cannot be updated");
        if (sqlite3_changes(h_) == 0)
            return fail(makeError(CNErrorCodeRecordDoesNotExist, "The group to update is not in the store.", {g.identifier()}));
        return true;
    }

    bool member(const CNSaveRequest::Operation& op, bool add) {
        auto group = lookup("contact_groups", op.groupIdentifier);
        if (!group) return fail(makeError(CNErrorCodeRecordDoesNotExist, "The group is not in the store.", {op.groupIdentifier}));
        auto contact = lookup("contacts", op.contactIdentifier);
        if (!contact)
            return fail(makeError(CNErrorCodeRecordDoesNotExist, "The contact is not in the store.", {op.contactIdentifier}));
        SQLStatement* st = statement(add ? "INSERT OR IGNORE INTO group_members (group_id, contact_id) VALUES (?, ?)"
                                         : "DELETE FROM group_members WHERE group_id = ? AND contact_id = ?");
        if (!st) return failSQL("The group membership cannot be changed");
        st->bind(1, *group);
        st->bind(2, *contact);
        return st->step() == SQLITE_DONE || failSQL("The group membership cannot be changed");
    }

    ContactsDatabase& db_;
    sqlite3* h_;
    double now_;
    Reader read_;
    std::map<std::string, std::unique_ptr<SQLStatement>> statements_;
    std::map<std::string, int64_t> containers_;
    std::optional<std::string> defaultContainer_;
};

}  // namespace

Result<void> CNContactStore::executeSaveRequest(const CNSaveRequest& request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto opened = database();
        if (!opened) return opened.error();
        ContactsDatabase* db = *opened;
        if (auto begun = db->exec("BEGIN IMMEDIATE"); !begun) return begun;
        std::optional<Error> failure;
        {
            // The run's statements are finalised before the transaction ends.
            auto read = [db](const std::string& identifier,
                              const std::vector<CNKeyDescriptor>& keys) -> Result<CNContactPtr> {
                const ContactColumns columns = contactColumns(keys);
                SQLStatement st(db->handle(), columns.select + " WHERE c.identifier = ?");
                if (!st.ok()) return db->error(CNErrorCodeCommunicationError, "The contact cannot be read");
                st.bind(1, identifier);
                const int rc = st.step();
                if (rc == SQLITE_DONE) return CNContactPtr();
                if (rc != SQLITE_ROW) return db->error(CNErrorCodeCommunicationError, "The contact cannot be read");
                return contactFromRow(st, columns, false);
            };
            SaveRun run(*db, Clock::current()->now(), read);
            for (const auto& op : request.operations()) {
                if (!run.apply(op)) {
                    failure = run.error;
                    break;
                }
            }
        }
        if (failure) {
            (void)db->exec("ROLLBACK");
            return *failure;
        }
        if (auto committed = db->exec("COMMIT"); !committed) {
            (void)db->exec("ROLLBACK");
            return committed;
        }
    }
    NotificationCenter::defaultCenter().post(CNContactStoreDidChangeNotification, this);
    return {};
}

}  // namespace quorvane::platform
