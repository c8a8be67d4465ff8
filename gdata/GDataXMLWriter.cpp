#include "gdata/GDataXMLWriter.h"

#include <cstdio>

#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <array>

#include "gdata/GDataXMLNode.h"

namespace quorvane {

namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
constexpr std::string_view kXMLPrefix = "xml";
constexpr std::string_view kXMLNamespaceURI = "http://www.w3.org/XML/1998/namespace";

std::string_view view(const xmlChar* s) {
    return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

bool hasNul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// A name the tree writes as it is given: "local", or "prefix:local" with one colon inside it.
// Anything else ("{URI}:local", ":x", "x:", "a:b:c") the tree renames or binds only at the end.
struct PlainName {
    std::string_view prefix, local;
    bool prefixed = false;
};

bool splitPlainName(std::string_view name, PlainName& out) {
    if (name.empty() || name.front() == '{' || hasNul(name)) return false;
    size_t colon = name.find(':');
    if (colon == std::string_view::npos) {
        out = {{}, name, false};
        return true;
    }
    if (colon == 0 || colon + 1 == name.size() || name.find(':', colon + 1) != std::string_view::npos) return false;
    out = {name.substr(0, colon), name.substr(colon + 1), true};
    return true;
}

// What the serialiser replaces: in text & < > and carriage return; in attribute values the
// quote, tab and line feed too. Everything else, non-ASCII included, is written as it is.
constexpr const char* contentReplacement(unsigned char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '\r': return "&#13;";
        default: return nullptr;
    }
}

constexpr const char* attributeReplacement(unsigned char c) {
    switch (c) {
        case '"': return "&quot;";
        case '\t': return "&#9;";
        case '\n': return "&#10;";
        default: return contentReplacement(c);
    }
}

template <const char* (*Replacement)(unsigned char)>
constexpr std::array<bool, 256> specialTable() {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[size_t(c)] = Replacement(static_cast<unsigned char>(c)) != nullptr;
    return table;
}

constexpr std::array<bool, 256> kContentSpecial = specialTable<contentReplacement>();
constexpr std::array<bool, 256> kAttributeSpecial = specialTable<attributeReplacement>();

template <class Out, const char* (*Replacement)(unsigned char)>
void appendEscaped(Out& out, std::string_view s, const std::array<bool, 256>& special) {
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (!special[c]) continue;
        out.insert(out.end(), s.begin() + std::ptrdiff_t(run), s.begin() + std::ptrdiff_t(i));
        std::string_view replacement = Replacement(c);
        out.insert(out.end(), replacement.begin(), replacement.end());
        run = i + 1;
    }
    out.insert(out.end(), s.begin() + std::ptrdiff_t(run), s.end());
}

// An attribute's value as text children hold it; false for any other content.
bool attributeText(xmlAttrPtr attr, std::string& value) {
    value.clear();
    for (xmlNodePtr child = attr->children; child; child = child->next) {
        if (child->type != XML_TEXT_NODE || child->name == xmlStringTextNoenc) return false;
        value += view(child->content);
    }
    return true;
}

}  // namespace

GDataXMLWriter::GDataXMLWriter() {
    out_.reserve(16384);
    put(kDeclaration);
}

void GDataXMLWriter::reserve(size_t bytes) { out_.reserve(out_.size() + bytes); }

uint32_t GDataXMLWriter::storeTagText(std::string_view s) {
    auto at = static_cast<uint32_t>(tagText_.size());
    tagText_.append(s);
    return at;
}

void GDataXMLWriter::pushDecl(std::string_view prefix, std::string_view uri) {
    Decl d{static_cast<uint32_t>(declText_.size()), static_cast<uint32_t>(prefix.size()), 0,
           static_cast<uint32_t>(uri.size()), false};
    declText_.append(prefix);
    d.uriAt = static_cast<uint32_t>(declText_.size());
    declText_.append(uri);
    decls_.push_back(d);
}

int GDataXMLWriter::nearest(std::string_view prefix, size_t limit) const {
    for (size_t i = limit; i-- > 0;)
        if (!decls_[i].dropped && declPrefix(decls_[i]) == prefix) return int(i);
    return -1;
}

std::optional<std::string_view> GDataXMLWriter::prefixedDeclarationOf(std::string_view uri) const {
    // Element by element outwards, each element's declarations in their order.
    for (size_t level = open_.size(); level-- > 0;) {
        size_t end = level + 1 < open_.size() ? open_[level + 1].declStart : decls_.size();
        for (size_t i = open_[level].declStart; i < end; ++i) {
            const Decl& d = decls_[i];
            if (d.dropped || d.prefixLen == 0 || declURI(d) != uri) continue;
            if (nearest(declPrefix(d), decls_.size()) == int(i)) return declPrefix(d);
        }
    }
    return std::nullopt;
}

bool GDataXMLWriter::declaredSince(std::string_view prefix, size_t start) const {
    for (size_t i = start; i < decls_.size(); ++i)
        if (!decls_[i].dropped && declPrefix(decls_[i]) == prefix) return true;
    return false;
}

void GDataXMLWriter::putDeclarations(size_t from) {
    for (size_t i = from; i < decls_.size(); ++i) {
        const Decl& d = decls_[i];
        if (d.dropped) continue;
        put(d.prefixLen ? " xmlns:" : " xmlns");
        put(declPrefix(d));
        put("=\"");
        put(declURI(d));
        put("\"");
    }
}

int GDataXMLWriter::ownPrefixedDeclarationOf(std::string_view uri) const {
    for (size_t i = open_.back().declStart; i < decls_.size(); ++i)
        if (!decls_[i].dropped && decls_[i].prefixLen > 0 && declURI(decls_[i]) == uri) return int(i);
    return -1;
}

void GDataXMLWriter::startElement(std::string_view name) {
    check(name);
    if (gaveUp_) return;
    if (ended_) return giveUp();  // a second root
    if (starting_) finishStartTag();
    if (gaveUp_) return;
    if (!open_.empty()) markChild();
    open_.push_back(Open{static_cast<uint32_t>(decls_.size()), static_cast<uint32_t>(declText_.size()),
                         static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(name.size()), false});
    names_.append(name);
    if (open_.size() == 1)
        for (const auto& [prefix, uri] : inherited_) {
            pushDecl(prefix, uri);
            decls_.back().inherited = true;
        }
    starting_ = true;
    tagText_.clear();
    attrs_.clear();
}

void GDataXMLWriter::declareNamespace(std::string_view prefix, std::string_view uri) {
    if (gaveUp_) return;
    // Declarations come before the attributes: an attribute looks among those declared before it.
    if (!starting_ || !attrs_.empty()) return giveUp();
    if (prefix == kXMLPrefix) return;
    if ((!prefix.empty() && uri.empty()) || hasNul(prefix) || hasNul(uri) || uri.find('"') != std::string_view::npos)
        return giveUp();
    for (size_t i = open_.back().declStart; i < decls_.size(); ++i) {
        Decl& d = decls_[i];
        if (d.dropped || declPrefix(d) != prefix) continue;
        if (!d.inherited) return;  // declared here already
        d.dropped = true;          // the root's own binding of an inherited prefix
    }
    pushDecl(prefix, uri);
}

void GDataXMLWriter::inheritNamespace(std::string_view prefix, std::string_view uri) {
    if (prefix == kXMLPrefix || (!prefix.empty() && uri.empty()) || hasNul(prefix) || hasNul(uri) ||
        uri.find('"') != std::string_view::npos)
        return;  // nothing a declaration can carry
    inherited_.emplace_back(prefix, uri);
}

void GDataXMLWriter::addAttribute(std::string_view name, std::string_view value) {
    check(name);
    check(value);
    if (gaveUp_) return;
    if (!starting_ || hasNul(value)) return giveUp();
    Attr a{AttrKind::Literal, storeTagText(name), static_cast<uint32_t>(name.size()), 0, 0, -1, false, 0, 0};
    a.valueAt = static_cast<uint32_t>(tagText_.size());
    appendEscaped<std::string, attributeReplacement>(tagText_, value, kAttributeSpecial);
    a.valueLen = static_cast<uint32_t>(tagText_.size() - a.valueAt);
    attrs_.push_back(a);
}

void GDataXMLWriter::addAttribute(std::string_view name, std::string_view uri, std::string_view value) {
    check(name);
    check(value);
    if (gaveUp_) return;
    if (!starting_ || hasNul(value) || hasNul(uri) || uri.empty() || uri.find('}') != std::string_view::npos)
        return giveUp();
    // The local part: what follows the first colon, unless that colon ends the name.
    std::string_view local = name;
    if (size_t colon = name.find(':'); colon != std::string_view::npos && colon + 1 < name.size())
        local = name.substr(colon + 1);
    if (local.empty() || local.find(':') != std::string_view::npos || hasNul(local)) return giveUp();
    Attr a{AttrKind::InNamespace, storeTagText(local), static_cast<uint32_t>(local.size()), 0, 0, -1, false, 0, 0};
    a.uriAt = storeTagText(uri);
    a.uriLen = static_cast<uint32_t>(uri.size());
    if (uri == kXMLNamespaceURI) a.inXMLNamespace = true;
    else a.decl = ownPrefixedDeclarationOf(uri);  // else the one in scope once the element is placed
    a.valueAt = static_cast<uint32_t>(tagText_.size());
    appendEscaped<std::string, attributeReplacement>(tagText_, value, kAttributeSpecial);
    a.valueLen = static_cast<uint32_t>(tagText_.size() - a.valueAt);
    attrs_.push_back(a);
}

void GDataXMLWriter::addKeptAttribute(const GDataXMLNode& attribute) {
    xmlNodePtr node = attribute.XMLNode();
    if (!refused_ && node) refused_ = xmlTreeTextProblem(node->children);
    if (gaveUp_) return;
    if (!starting_ || !node || node->type != XML_ATTRIBUTE_NODE) return giveUp();
    auto attr = reinterpret_cast<xmlAttrPtr>(node);
    std::string value;
    if (!attributeText(attr, value)) return giveUp();
    xmlNsPtr ns = attr->ns;
    // An attribute is in a namespace only under a prefix.
    if (!ns || !ns->prefix || !*ns->prefix || !ns->href || !*ns->href) return addAttribute(view(attr->name), value);

    std::string_view local = view(attr->name), uri = view(ns->href), prefix = view(ns->prefix);
    Attr a{AttrKind::Kept, storeTagText(local), static_cast<uint32_t>(local.size()), 0, 0, -1, false, 0, 0};
    a.uriAt = storeTagText(uri);
    a.uriLen = static_cast<uint32_t>(uri.size());
    if (uri == kXMLNamespaceURI) {
        a.inXMLNamespace = true;
    } else {
        a.decl = ownPrefixedDeclarationOf(uri);
        if (a.decl < 0) {
            // The element declares the attribute's own prefix for it. That prefix taken by another
            // URI means a made-up one; on the root nothing would drop the declaration again where
            // an outer one repeats it.
            if (prefix == kXMLPrefix || declaredSince(prefix, open_.back().declStart) ||
                open_.size() == 1 || uri.find('"') != std::string_view::npos)
                return giveUp();
            pushDecl(prefix, uri);
            a.decl = int(decls_.size() - 1);
        }
    }
    a.valueAt = static_cast<uint32_t>(tagText_.size());
    appendEscaped<std::string, attributeReplacement>(tagText_, value, kAttributeSpecial);
    a.valueLen = static_cast<uint32_t>(tagText_.size() - a.valueAt);
    attrs_.push_back(a);
}

void GDataXMLWriter::finishStartTag() {
    starting_ = false;
    const Open& element = open_.back();
    const bool isRoot = open_.size() == 1;
    const size_t own = element.declStart;
    // A declaration that repeats the one in scope above is dropped (not on the root, which is
    // never grafted anywhere).
    if (!isRoot)
        for (size_t i = own; i < decls_.size(); ++i) {
            int above = nearest(declPrefix(decls_[i]), own);
            if (above >= 0 && declURI(decls_[above]) == declURI(decls_[i])) decls_[i].dropped = true;
        }

    auto bound = [&](std::string_view prefix) -> std::optional<std::string_view> {
        if (prefix == kXMLPrefix) return kXMLNamespaceURI;
        int d = nearest(prefix, decls_.size());
        if (d < 0 || decls_[d].uriLen == 0) return std::nullopt;
        return declURI(decls_[d]);
    };

    std::string_view name(names_.data() + element.nameAt, element.nameLen);
    PlainName plain;
    if (!splitPlainName(name, plain) || (plain.prefixed && !bound(plain.prefix))) return giveUp();

    // Each attribute's written prefix and expanded name; no two may share the expanded name.
    auto& resolved = resolved_;
    resolved.clear();
    for (const Attr& a : attrs_) {
        std::string_view text = tagText(a.nameAt, a.nameLen);
        Resolved r{{}, {}, text};
        if (a.kind == AttrKind::Literal) {
            if (!splitPlainName(text, plain)) return giveUp();
            if (plain.prefixed) {
                auto uri = bound(plain.prefix);
                if (!uri) return giveUp();
                r = {plain.prefix, *uri, plain.local};
            }
        } else {
            r.uri = tagText(a.uriAt, a.uriLen);
            if (a.inXMLNamespace) {
                r.prefix = kXMLPrefix;
            } else if (a.decl >= 0) {
                r.prefix = declPrefix(decls_[size_t(a.decl)]);
            } else {
                auto prefix = isRoot ? std::nullopt : prefixedDeclarationOf(r.uri);
                if (!prefix) return giveUp();
                r.prefix = *prefix;
            }
        }
        for (const auto& other : resolved)
            if (other.uri == r.uri && other.local == r.local) return giveUp();
        resolved.push_back(r);
    }

    put("<");
    put(name);
    putDeclarations(own);
    for (size_t i = 0; i < attrs_.size(); ++i) {
        put(" ");
        if (!resolved[i].prefix.empty()) {
            put(resolved[i].prefix);
            put(":");
        }
        put(resolved[i].local);
        put("=\"");
        put(tagText(attrs_[i].valueAt, attrs_[i].valueLen));
        put("\"");
    }
}

void GDataXMLWriter::markChild() {
    Open& element = open_.back();
    if (!element.hasChildren) {
        out_.push_back('>');
        element.hasChildren = true;
    }
}

void GDataXMLWriter::addText(std::string_view text) {
    check(text);
    if (gaveUp_) return;
    if (open_.empty() || hasNul(text)) return giveUp();
    if (starting_) finishStartTag();
    if (gaveUp_) return;
    // An empty text is still a child: the element is not written empty.
    markChild();
    appendEscaped<platform::Bytes, contentReplacement>(out_, text, kContentSpecial);
}

void GDataXMLWriter::addKeptNode(const GDataXMLNode& node) {
    if (!refused_ && node.XMLNode()) {
        xmlNodePtr n = node.XMLNode();
        // This node and what is below it, not its siblings.
        if (!(refused_ = xmlTextProblem(view(n->name))))
            refused_ = n->type == XML_ELEMENT_NODE ? xmlTreeTextProblem(n->children) : xmlTextProblem(view(n->content));
        if (!refused_ && n->type == XML_ELEMENT_NODE)
            for (xmlAttrPtr a = n->properties; a && !refused_; a = a->next) refused_ = xmlTreeTextProblem(a->children);
    }
    if (gaveUp_) return;
    if (open_.empty() || !node.XMLNode()) return giveUp();
    if (starting_) finishStartTag();
    if (gaveUp_) return;
    markChild();
    writeKept(node.XMLNode());
}

void GDataXMLWriter::writeKept(const void* opaque) {
    auto node = static_cast<xmlNodePtr>(const_cast<void*>(opaque));
    switch (node->type) {
        case XML_ELEMENT_NODE:
            return writeKeptElement(node);
        case XML_TEXT_NODE:
            if (node->name == xmlStringTextNoenc) return giveUp();
            if (node->content)
                appendEscaped<platform::Bytes, contentReplacement>(out_, view(node->content), kContentSpecial);
            return;
        case XML_COMMENT_NODE:
            if (!node->content) return;
            put("<!--");
            put(view(node->content));
            put("-->");
            return;
        case XML_PI_NODE:
            put("<?");
            put(view(node->name));
            if (node->content) {
                put(" ");
                put(view(node->content));
            }
            put("?>");
            return;
        default:
            return giveUp();
    }
}

void GDataXMLWriter::writeKeptElement(const void* opaque) {
    auto node = static_cast<xmlNodePtr>(const_cast<void*>(opaque));
    const size_t declStart = decls_.size(), declTextStart = declText_.size();
    for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next) {
        if (ns->prefix && view(ns->prefix) == kXMLPrefix) continue;  // never written
        std::string_view prefix = view(ns->prefix), uri = view(ns->href);
        if (!ns->href || (ns->prefix && prefix.empty()) || (!prefix.empty() && uri.empty()) ||
            uri.find('"') != std::string_view::npos || declaredSince(prefix, declStart))
            return giveUp();
        int above = nearest(prefix, declStart);
        pushDecl(prefix, uri);
        if (above >= 0 && declURI(decls_[above]) == uri) decls_.back().dropped = true;
    }
    // A kept node keeps its namespace record: it must be the one its prefix has in scope here.
    auto inScope = [&](xmlNsPtr ns) {
        if (!ns->href) return false;
        std::string_view prefix = view(ns->prefix);
        if (ns->prefix && prefix == kXMLPrefix) return view(ns->href) == kXMLNamespaceURI;
        int d = nearest(prefix, decls_.size());
        return d >= 0 && declURI(decls_[d]) == view(ns->href);
    };
    auto plainLocal = [](std::string_view name) {
        return !name.empty() && name.front() != '{' && name.find(':') == std::string_view::npos;
    };
    std::string_view local = view(node->name);
    if (node->ns ? !inScope(node->ns) : !plainLocal(local)) return giveUp();
    std::string_view prefix = node->ns ? view(node->ns->prefix) : std::string_view();

    put("<");
    if (!prefix.empty()) {
        put(prefix);
        put(":");
    }
    put(local);
    putDeclarations(declStart);
    std::string value;
    for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
        std::string_view name = view(attr->name);
        if (attr->ns ? (!attr->ns->prefix || !*attr->ns->prefix || !inScope(attr->ns)) : !plainLocal(name))
            return giveUp();
        if (!attributeText(attr, value)) return giveUp();
        put(" ");
        if (attr->ns) {
            put(view(attr->ns->prefix));
            put(":");
        }
        put(name);
        put("=\"");
        appendEscaped<platform::Bytes, attributeReplacement>(out_, value, kAttributeSpecial);
        put("\"");
    }
    if (!node->children) {
        put("/>");
    } else {
        put(">");
        for (xmlNodePtr child = node->children; child && !gaveUp_; child = child->next) writeKept(child);
        if (gaveUp_) return;
        put("</");
        if (!prefix.empty()) {
            put(prefix);
            put(":");
        }
        put(local);
        put(">");
    }
    decls_.resize(declStart);
    declText_.resize(declTextStart);
}

void GDataXMLWriter::endElement() {
    if (gaveUp_) return;
    if (open_.empty()) return giveUp();
    if (starting_) finishStartTag();
    if (gaveUp_) return;
    const Open element = open_.back();
    if (element.hasChildren) {
        put("</");
        put(std::string_view(names_.data() + element.nameAt, element.nameLen));
        put(">");
    } else {
        put("/>");
    }
    decls_.resize(element.declStart);
    declText_.resize(element.declTextStart);
    names_.resize(element.nameAt);
    open_.pop_back();
    if (open_.empty()) ended_ = true;
}

std::optional<platform::Bytes> GDataXMLWriter::finish() {
    if (gaveUp_ || !ended_ || refused_) return std::nullopt;
    // Every string was copied as it is: one pass over the whole document checks them all.
    refused_ = xmlDocumentProblem(std::string_view(reinterpret_cast<const char*>(out_.data()), out_.size()));
    if (refused_) return std::nullopt;
    out_.push_back('\n');
    return std::move(out_);
}

namespace {

bool xmlAllows(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

std::string hex(uint32_t c, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, c);
    return buf;
}

std::string forbidden(uint32_t c, size_t at) {
    return "U+" + hex(c, 4) + " at " + std::to_string(at) + " is a character XML cannot hold";
}

// The character a reference ("&#65;", "&#x41;") at `at` names, and where it ends; nullopt when
// it is not a character reference.
std::optional<std::pair<uint32_t, size_t>> characterReference(std::string_view s, size_t at) {
    if (at + 2 >= s.size() || s[at + 1] != '#') return std::nullopt;
    size_t i = at + 2;
    const bool isHex = s[i] == 'x';
    if (isHex) ++i;
    uint64_t value = 0;
    const size_t digits = i;
    for (; i < s.size() && s[i] != ';'; ++i) {
        const char c = s[i];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (isHex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (isHex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) return std::nullopt;
        value = std::min<uint64_t>(value * (isHex ? 16 : 10) + uint64_t(d), 0x110000);
    }
    if (i >= s.size() || i == digits) return std::nullopt;
    return std::pair{uint32_t(value), i};
}

}  // namespace

namespace {

std::optional<std::string> charactersProblem(std::string_view s, bool references) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        // Printable ASCII other than '&' (most of any document) needs no look: skip it in a run.
        while (i < n && p[i] >= 0x20 && p[i] < 0x80 && p[i] != '&') ++i;
        if (i == n) break;
        const unsigned char b = p[i];
        if (b < 0x80) {
            if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') return forbidden(b, i);
            if (b == '&' && references)
                if (auto ref = characterReference(s, i)) {
                    if (!xmlAllows(ref->first)) return forbidden(ref->first, i);
                    i = ref->second + 1;
                    continue;
                }
            ++i;
            continue;
        }
        // The length the lead byte announces, and the smallest code point of that length.
        size_t len = 0;
        uint32_t c = 0, least = 0;
        if (b >= 0xC2 && b <= 0xDF) len = 2, c = b & 0x1F, least = 0x80;
        else if (b >= 0xE0 && b <= 0xEF) len = 3, c = b & 0x0F, least = 0x800;
        else if (b >= 0xF0 && b <= 0xF4) len = 4, c = b & 0x07, least = 0x10000;
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = (p[i + k] & 0xC0) == 0x80;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (!ok || c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return "byte 0x" + hex(b, 2) + " at " + std::to_string(i) + " is not UTF-8";
        if (!xmlAllows(c)) return forbidden(c, i);
        i += len;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> xmlTextProblem(std::string_view text) { return charactersProblem(text, false); }

std::optional<std::string> xmlTreeTextProblem(const ::_xmlNode* first) {
    for (auto node = const_cast<xmlNodePtr>(first); node; node = node->next) {
        if (auto p = xmlTextProblem(view(node->name))) return p;
        if (node->type == XML_ELEMENT_NODE) {
            for (xmlAttrPtr a = node->properties; a; a = a->next) {
                if (auto p = xmlTextProblem(view(a->name))) return p;
                if (auto p = xmlTreeTextProblem(a->children)) return p;
            }
            if (auto p = xmlTreeTextProblem(node->children)) return p;
        } else if (auto p = xmlTextProblem(view(node->content))) {
            return p;
        }
    }
    return std::nullopt;
}
std::optional<std::string> xmlDocumentProblem(std::string_view bytes) { return charactersProblem(bytes, true); }

}  // namespace quorvane
