#include "sync/ContentDigest.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {

constexpr uint64_t kOffsetBasis = 14695981039346656037ull;
constexpr uint64_t kPrime = 1099511628211ull;

// Each part is written with its length first, so that no two different forms run together.
class Digest {
public:
    void add(std::string_view text) {
        addNumber(int64_t(text.size()));
        for (unsigned char c : text) byte(c);
    }
    void addNumber(int64_t n) {
        for (int i = 0; i < 8; ++i) byte(uint8_t(uint64_t(n) >> (8 * i)));
    }
    void mark(char c) { byte(uint8_t(c)); }
    uint64_t value() const { return hash_; }

private:
    void byte(uint8_t b) { hash_ = (hash_ ^ b) * kPrime; }
    uint64_t hash_ = kOffsetBasis;
};

void addComponents(Digest& d, const platform::DateComponents& c) {
    for (int64_t field : {c.year, c.month, c.day, c.hour, c.minute, c.second}) d.addNumber(field);
}

template <class T, class AddValue>
void addLabeled(Digest& d, char tag, const std::vector<platform::CNLabeledValue<T>>& values, AddValue addValue) {
    d.mark(tag);
    d.addNumber(int64_t(values.size()));
    for (const auto& v : values) {
        d.mark(v.label() ? 'l' : '-');
        if (v.label()) d.add(*v.label());
        addValue(v.value());
    }
}

std::string_view text(const xmlChar* s) { return s ? std::string_view(reinterpret_cast<const char*>(s)) : ""; }
std::string_view nsOf(const xmlNode* n) { return n->ns ? text(n->ns->href) : ""; }

constexpr std::string_view kAtom = "http://www.w3.org/2005/Atom";
constexpr std::string_view kAtomPub = "http://www.w3.org/2007/app";
constexpr std::string_view kContacts = "http://schemas.google.com/contact/2008";
constexpr std::string_view kBatch = "http://schemas.google.com/gdata/batch";

// What the provider sets on every write, or the history keeps by other means.
bool skippedChild(const xmlNode* n) {
    const std::string_view ns = nsOf(n), name = text(n->name);
    if (ns == kAtom) return name == "id" || name == "updated" || name == "published" || name == "link";
    if (ns == kAtomPub) return name == "edited";
    if (ns == kContacts) return name == "groupMembershipInfo";
    return ns == kBatch;
}

void addElement(Digest& d, const xmlNode* element, bool root) {
    d.mark('<');
    d.add(nsOf(element));
    d.add(text(element->name));
    std::vector<std::pair<std::string, std::string>> attributes;
    for (const xmlAttr* a = element->properties; a; a = a->next) {
        const std::string_view name = text(a->name);
        if (root && name == "etag") continue;
        std::string key = std::string(a->ns ? text(a->ns->href) : "") + " " + std::string(name);
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(a));
        attributes.emplace_back(std::move(key), std::string(text(value)));
        xmlFree(value);
    }
    std::sort(attributes.begin(), attributes.end());
    d.addNumber(int64_t(attributes.size()));
    for (const auto& [key, value] : attributes) {
        d.add(key);
        d.add(value);
    }
    for (const xmlNode* c = element->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            if (root && skippedChild(c)) continue;
            addElement(d, c, false);
        } else if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
            d.mark('t');
            d.add(text(c->content));
        }
    }
    d.mark('>');
}

// "familyName" of "gd:familyName" (an entry made here names its elements with their prefixes).
std::string localName(std::string_view name) {
    const size_t colon = name.find(':');
    return std::string(colon == std::string_view::npos ? name : name.substr(colon + 1));
}

// Every text below the element, with the local name of the element that holds it; below an
// entry, none of what the provider sets itself (identifier, dates, batch elements).
void collectTexts(const xmlNode* element, std::vector<std::pair<std::string, std::string>>& out, bool root = false) {
    for (const xmlNode* c = element->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            if (!(root && skippedChild(c))) collectTexts(c, out);
            continue;
        }
        if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && !text(c->content).empty())
            out.emplace_back(localName(text(element->name)), std::string(text(c->content)));
    }
}

size_t characters(std::string_view s) {
    return size_t(std::count_if(s.begin(), s.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

// Reads the bytes the model writes as the XML parser reads them, for the digest alone, without
// building a tree: elements, attributes with the five predefined entities and character
// references, namespaces, line ends and attribute whitespace as the parser normalises them. It
// gives up (nullopt) on anything else (a comment, CDATA, a processing instruction or declaration
// after the XML one, another entity, a name that is not plain ASCII, a prefix bound nowhere, two
// attributes of one name or a prefix declared twice, a byte that is not XML text), and the parser
// reads those bytes instead.
class DigestScanner {
public:
    explicit DigestScanner(std::string_view in) : in_(in) {}

    std::optional<uint64_t> digest() {
        if (in_.size() > (size_t(1) << 20)) return std::nullopt;
        for (std::string_view declaration : {std::string_view(R"(<?xml version="1.0" encoding="UTF-8"?>)"),
                                             std::string_view(R"(<?xml version="1.0"?>)")}) {
            if (in_.substr(0, declaration.size()) == declaration) {
                at_ = declaration.size();
                break;
            }
        }
        skipSpace();
        if (!element(true, true)) return std::nullopt;
        skipSpace();
        if (at_ != in_.size()) return std::nullopt;
        return d_.value();
    }

private:
    struct Binding {
        std::string prefix, uri;
    };
    struct Attribute {
        std::string_view prefix, local;
        std::string value;
        std::string key;  // namespace URI, " ", local name
    };

    static bool nameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
    static bool nameChar(char c) { return nameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }
    static bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void skipSpace() {
        while (at_ < in_.size() && space(in_[at_])) ++at_;
    }
    // A name "local" or "prefix:local" of plain ASCII name characters.
    bool name(std::string_view& prefix, std::string_view& local) {
        const size_t start = at_;
        size_t colon = std::string_view::npos;
        if (at_ >= in_.size() || !nameStart(in_[at_])) return false;
        while (at_ < in_.size() && (nameChar(in_[at_]) || in_[at_] == ':')) {
            if (in_[at_] == ':') {
                if (colon != std::string_view::npos) return false;
                colon = at_;
            }
            ++at_;
        }
        if (colon == std::string_view::npos) {
            prefix = {};
            local = in_.substr(start, at_ - start);
            return true;
        }
        if (colon + 1 >= at_ || !nameStart(in_[colon + 1])) return false;
        prefix = in_.substr(start, colon - start);
        local = in_.substr(colon + 1, at_ - colon - 1);
        return true;
    }
    // Appends the run of plain printable ASCII at at_ up to `stop` (no markup, entity, "]" or
    // line end, which character() reads); false when there is none.
    bool plainRun(std::string& out, char stop) {
        size_t end = at_;
        while (end < in_.size()) {
            const auto c = static_cast<unsigned char>(in_[end]);
            if (c < 0x20 || c >= 0x80 || c == '<' || c == '&' || c == ']' || c == uint8_t(stop)) break;
            ++end;
        }
        if (end == at_) return false;
        out.append(in_.data() + at_, end - at_);
        at_ = end;
        return true;
    }
    // One character of text at at_ (an entity, a character reference or a UTF-8 sequence of a
    // character XML allows), appended to out with line ends as the parser gives them; false when
    // the parser would refuse it or this reader does not know it.
    bool character(std::string& out, bool attribute) {
        const auto c = static_cast<unsigned char>(in_[at_]);
        if (c == '&') {
            const size_t end = in_.find(';', at_);
            if (end == std::string_view::npos || end - at_ > 12) return false;
            const std::string_view ref = in_.substr(at_ + 1, end - at_ - 1);
            at_ = end + 1;
            if (ref == "lt") out += '<';
            else if (ref == "gt") out += '>';
            else if (ref == "amp") out += '&';
            else if (ref == "quot") out += '"';
            else if (ref == "apos") out += '\'';
            else if (ref.size() >= 2 && ref[0] == '#') return reference(ref.substr(1), out);
            else return false;
            return true;
        }
        if (c == '\r') {
            // A line end is one line feed (in an attribute, then a space).
            ++at_;
            if (at_ < in_.size() && in_[at_] == '\n') ++at_;
            out += attribute ? ' ' : '\n';
            return true;
        }
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n') return false;
            if (c == '<') return false;
            out += attribute && (c == '\t' || c == '\n') ? ' ' : char(c);
            ++at_;
            return true;
        }
        const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (!n || at_ + n > in_.size()) return false;
        uint32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
        for (size_t i = 1; i < n; ++i) {
            const auto b = static_cast<unsigned char>(in_[at_ + i]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        const uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
        if (cp < least || !allowed(cp)) return false;
        out.append(in_.substr(at_, n));
        at_ += n;
        return true;
    }
    static bool allowed(uint32_t cp) {
        return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
               (cp >= 0x10000 && cp <= 0x10FFFF);
    }
    static bool reference(std::string_view digits, std::string& out) {
        const bool hex = digits[0] == 'x';
        if (hex) digits.remove_prefix(1);
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t cp = 0;
        for (char ch : digits) {
            int v = ch >= '0' && ch <= '9' ? ch - '0' : !hex ? -1 : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
            if (v < 0) return false;
            cp = cp * (hex ? 16 : 10) + uint32_t(v);
        }
        if (!allowed(cp)) return false;
        platform::appendUTF8(out, char32_t(cp));
        return true;
    }
    std::optional<std::string_view> uriOf(std::string_view prefix, bool element) const {
        if (prefix == "xml") return std::nullopt;  // read by the parser alone
        if (prefix.empty() && !element) return std::string_view();
        for (size_t i = bindings_.size(); i-- > 0;)
            if (bindings_[i].prefix == prefix) return std::string_view(bindings_[i].uri);
        if (prefix.empty()) return std::string_view();
        return std::nullopt;
    }
    // The element at at_ and everything below it; `emit`: its part of the digest is written
    // (a child the digest skips is still read, as the parser would).
    bool element(bool root, bool emit) {
        if (at_ >= in_.size() || in_[at_] != '<') return false;
        ++at_;
        const size_t nameBegin = at_;
        std::string_view prefix, local;
        if (!name(prefix, local)) return false;
        const std::string_view qname = in_.substr(nameBegin, at_ - nameBegin);
        const size_t bindingsBefore = bindings_.size();
        std::vector<Attribute> attributes;
        bool empty = false;
        while (true) {
            const size_t before = at_;
            skipSpace();
            if (at_ >= in_.size()) return false;
            if (in_[at_] == '>') {
                ++at_;
                break;
            }
            if (in_[at_] == '/') {
                if (at_ + 1 >= in_.size() || in_[at_ + 1] != '>') return false;
                at_ += 2;
                empty = true;
                break;
            }
            if (at_ == before) return false;  // attributes are set apart by space
            Attribute a;
            if (!name(a.prefix, a.local)) return false;
            skipSpace();
            if (at_ >= in_.size() || in_[at_] != '=') return false;
            ++at_;
            skipSpace();
            if (at_ >= in_.size() || (in_[at_] != '"' && in_[at_] != '\'')) return false;
            const char quote = in_[at_++];
            const size_t valueBegin = at_;
            while (true) {
                if (at_ >= in_.size()) return false;
                if (in_[at_] == quote) break;
                if (plainRun(a.value, quote)) continue;
                if (!character(a.value, true)) return false;
            }
            ++at_;
            if (a.prefix.empty() ? a.local == "xmlns" : a.prefix == "xmlns") {
                // The model writes namespace names as they stand: one with a reference or a blank
                // to normalise is left to the parser, as is a prefix declared twice on one element
                // (not well-formed).
                const std::string_view raw = in_.substr(valueBegin, at_ - 1 - valueBegin);
                if (raw.find_first_of("&\t\n\r") != std::string_view::npos) return false;
                const std::string_view declared = a.prefix.empty() ? std::string_view() : a.local;
                for (size_t i = bindingsBefore; i < bindings_.size(); ++i)
                    if (bindings_[i].prefix == declared) return false;
            }
            if (a.prefix.empty() && a.local == "xmlns") {
                bindings_.push_back({"", a.value});
            } else if (a.prefix == "xmlns") {
                if (a.local == "xml" || a.local == "xmlns" || a.value.empty()) return false;
                bindings_.push_back({std::string(a.local), a.value});
            } else {
                attributes.push_back(std::move(a));
            }
        }
        const auto uri = uriOf(prefix, true);
        if (!uri) return false;
        for (auto& a : attributes) {
            const auto ns = uriOf(a.prefix, false);
            if (!ns) return false;
            a.key.reserve(ns->size() + 1 + a.local.size());
            a.key.append(*ns).append(" ").append(a.local);
        }
        std::sort(attributes.begin(), attributes.end(), [](const Attribute& x, const Attribute& y) { return x.key < y.key; });
        for (size_t i = 1; i < attributes.size(); ++i)
            if (attributes[i].key == attributes[i - 1].key) return false;
        if (emit) {
            d_.mark('<');
            d_.add(*uri);
            d_.add(local);
            size_t count = 0;
            for (const auto& a : attributes) count += !(root && a.local == "etag");
            d_.addNumber(int64_t(count));
            for (const auto& a : attributes) {
                if (root && a.local == "etag") continue;
                d_.add(a.key);
                d_.add(a.value);
            }
        }
        if (!empty && !content(qname, root, emit)) return false;
        bindings_.resize(bindingsBefore);
        if (emit) d_.mark('>');
        return true;
    }
    // What lies between the element's tags, then its end tag.
    bool content(std::string_view qname, bool root, bool emit) {
        std::string text;
        auto flush = [&] {
            if (!text.empty() && emit) {
                d_.mark('t');
                d_.add(text);
            }
            text.clear();
        };
        while (true) {
            if (at_ >= in_.size()) return false;
            if (in_[at_] == '<') {
                if (at_ + 1 >= in_.size()) return false;
                if (in_[at_ + 1] == '/') {
                    flush();
                    at_ += 2;
                    if (in_.substr(at_, qname.size()) != qname) return false;
                    at_ += qname.size();
                    skipSpace();
                    if (at_ >= in_.size() || in_[at_] != '>') return false;
                    ++at_;
                    return true;
                }
                if (!nameStart(in_[at_ + 1])) return false;  // a comment, CDATA or an instruction
                flush();
                bool child = emit;
                if (root && emit && !childDigested()) child = false;
                if (!element(false, child)) return false;
                continue;
            }
            if (plainRun(text, '<')) continue;
            if (in_[at_] == ']' && in_.substr(at_, 3) == "]]>") return false;
            if (!character(text, false)) return false;
        }
    }
    // Whether the root's child starting at at_ counts in the digest (see skippedChild).
    bool childDigested() {
        const size_t save = at_;
        ++at_;
        std::string_view prefix, local;
        const bool named = name(prefix, local);
        // Its own declarations may bind its prefix: read them as the element does.
        const size_t bindingsBefore = bindings_.size();
        while (named) {
            skipSpace();
            if (at_ >= in_.size() || in_[at_] == '>' || in_[at_] == '/') break;
            std::string_view ap, al;
            if (!name(ap, al)) break;
            skipSpace();
            if (at_ >= in_.size() || in_[at_] != '=') break;
            ++at_;
            skipSpace();
            if (at_ >= in_.size() || (in_[at_] != '"' && in_[at_] != '\'')) break;
            const char quote = in_[at_++];
            std::string value;
            bool ok = true;
            while (ok && at_ < in_.size() && in_[at_] != quote) ok = character(value, true);
            if (!ok || at_ >= in_.size()) break;
            ++at_;
            if (ap.empty() && al == "xmlns") bindings_.push_back({"", value});
            else if (ap == "xmlns") bindings_.push_back({std::string(al), value});
        }
        const auto found = named ? uriOf(prefix, true) : std::nullopt;
        const std::string ns = found ? std::string(*found) : std::string();
        bindings_.resize(bindingsBefore);
        at_ = save;
        // One the element itself would refuse is read (and refused) there.
        if (!found) return true;
        if (ns == kAtom) return !(local == "id" || local == "updated" || local == "published" || local == "link");
        if (ns == kAtomPub) return local != "edited";
        if (ns == kContacts) return local != "groupMembershipInfo";
        return ns != kBatch;
    }

    std::string_view in_;
    size_t at_ = 0;
    std::vector<Binding> bindings_;
    Digest d_;
};

}  // namespace

uint64_t localContentDigest(const platform::CNContact& contact) {
    const platform::CNContactFields& f = contact.fields();
    Digest d;
    for (const std::string* s : {&f.namePrefix, &f.givenName, &f.middleName, &f.familyName, &f.previousFamilyName,
                                 &f.nameSuffix, &f.nickname, &f.phoneticGivenName, &f.phoneticMiddleName,
                                 &f.phoneticFamilyName, &f.organizationName, &f.departmentName, &f.jobTitle, &f.note}) {
        d.add(*s);
    }
    d.mark(f.birthday ? 'b' : '-');
    if (f.birthday) addComponents(d, *f.birthday);
    d.mark(f.nonGregorianBirthday ? 'n' : '-');
    if (f.nonGregorianBirthday) {
        d.add(f.nonGregorianBirthday->calendarIdentifier);
        addComponents(d, f.nonGregorianBirthday->components);
    }
    addLabeled(d, 'D', f.dates, [&](const platform::DateComponents& c) { addComponents(d, c); });
    addLabeled(d, 'P', f.phoneNumbers, [&](const platform::CNPhoneNumber& p) { d.add(p.stringValue); });
    addLabeled(d, 'E', f.emailAddresses, [&](const std::string& s) { d.add(s); });
    addLabeled(d, 'A', f.postalAddresses, [&](const platform::CNPostalAddress& a) {
        for (const std::string* s : {&a.street, &a.city, &a.state, &a.postalCode, &a.country, &a.ISOCountryCode}) d.add(*s);
    });
    addLabeled(d, 'U', f.urlAddresses, [&](const std::string& s) { d.add(s); });
    addLabeled(d, 'R', f.contactRelations, [&](const platform::CNContactRelation& r) { d.add(r.name); });
    addLabeled(d, 'I', f.instantMessageAddresses, [&](const platform::CNInstantMessageAddress& a) {
        d.add(a.username);
        d.add(a.service);
    });
    addLabeled(d, 'S', f.socialProfiles, [&](const platform::CNSocialProfile& p) {
        d.add(p.username);
        d.add(p.service);
    });
    return d.value();
}

uint64_t photoDigest(const std::optional<platform::Bytes>& photo) {
    if (!photo || photo->empty()) return 0;
    uint64_t hash = kOffsetBasis;
    for (uint8_t b : *photo) hash = (hash ^ b) * kPrime;
    return hash;
}

std::vector<ShortenedValue> valuesShortenedByProvider(const GDataEntryContact& sent, const GDataEntryContact& kept) {
    std::vector<std::pair<std::string, std::string>> sentTexts, keptTexts;
    if (auto e = sent.XMLElement(); e && e->XMLNode()) collectTexts(e->XMLNode(), sentTexts, true);
    if (auto e = kept.XMLElement(); e && e->XMLNode()) collectTexts(e->XMLNode(), keptTexts, true);
    std::vector<ShortenedValue> out;
    for (const auto& [name, value] : sentTexts) {
        if (std::find(keptTexts.begin(), keptTexts.end(), std::make_pair(name, value)) != keptTexts.end()) continue;
        for (const auto& [keptName, keptValue] : keptTexts) {
            if (keptName == name && keptValue.size() < value.size() && value.compare(0, keptValue.size(), keptValue) == 0) {
                out.push_back({name, characters(value), characters(keptValue)});
                break;
            }
        }
    }
    return out;
}

uint64_t googleContentDigestOfTree(const GDataEntryContact& entry) {
    Digest d;
    auto element = entry.XMLElement();
    if (element && element->XMLNode()) addElement(d, element->XMLNode(), true);
    return d.value();
}

std::optional<uint64_t> googleContentDigestOfXML(const platform::Bytes& bytes) {
    // The usual bytes are read here, at a fraction of the parser's cost; the parser reads the rest.
    if (auto digest = googleContentDigestOfPlainXML(bytes)) return digest;
    return googleContentDigestOfParsedXML(bytes);
}

std::optional<uint64_t> googleContentDigestOfPlainXML(const platform::Bytes& bytes) {
    return DigestScanner(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())).digest();
}

std::optional<uint64_t> googleContentDigestOfParsedXML(const platform::Bytes& bytes) {
    // One parser per thread, reset for each entry: setting a parser up costs as much as reading
    // a small entry.
    struct Parser {
        xmlParserCtxtPtr context = xmlNewParserCtxt();
        ~Parser() {
            if (context) xmlFreeParserCtxt(context);
        }
    };
    thread_local Parser parser;
    if (!parser.context) return std::nullopt;
    xmlDocPtr doc = xmlCtxtReadMemory(parser.context, reinterpret_cast<const char*>(bytes.data()), int(bytes.size()),
                                      nullptr, nullptr, XML_PARSE_NONET);
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
    if (!root) {
        if (doc) xmlFreeDoc(doc);
        return std::nullopt;
    }
    Digest d;
    addElement(d, root, true);
    xmlFreeDoc(doc);
    return d.value();
}

uint64_t googleContentDigest(const GDataEntryContact& entry) {
    // The entry's bytes are written straight from the model and read back: the same elements,
    // attributes and texts as the tree it would build, at a fraction of the cost of building it.
    const auto bytes = entry.writtenXMLData();
    if (!bytes) return googleContentDigestOfTree(entry);
    if (auto digest = googleContentDigestOfXML(*bytes)) return *digest;
    return googleContentDigestOfTree(entry);
}

}  // namespace quorvane
