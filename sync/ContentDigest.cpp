#include "sync/ContentDigest.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

// Every text below the element, with the local name of the element that holds it.
void collectTexts(const xmlNode* element, std::vector<std::pair<std::string, std::string>>& out) {
    for (const xmlNode* c = element->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) collectTexts(c, out);
        else if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && !text(c->content).empty())
            out.emplace_back(localName(text(element->name)), std::string(text(c->content)));
    }
}

size_t characters(std::string_view s) {
    return size_t(std::count_if(s.begin(), s.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

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
    if (auto e = sent.XMLElement(); e && e->XMLNode()) collectTexts(e->XMLNode(), sentTexts);
    if (auto e = kept.XMLElement(); e && e->XMLNode()) collectTexts(e->XMLNode(), keptTexts);
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
