#pragma once
// Writes an XML document from the GData model straight to bytes: one growing buffer, no tree and
// no wrapper per element.
//
// The bytes are the ones the model's tree gives (GDataXMLDocument::XMLData of the document built
// from XMLElement()): the same XML declaration, names, namespace declarations, attribute order,
// escaping and empty elements. The model names elements and attributes with literal prefixes
// ("gd:email") that the tree binds to the declaration in scope where they end up, and drops a
// declaration that repeats the one in scope; the writer keeps the declarations in scope and does
// the same. Wherever it cannot be sure of the tree's bytes (a prefix bound nowhere, a name in a
// namespace declared under no prefix, a kept node whose namespace is not the one its prefix has
// in scope, two attributes of one name, text the tree would cut short) it gives up, and the
// caller writes the document through the tree instead.
//
// Use: startElement, then the element's own declarations, then its attributes, then its content
// (text, kept nodes, child elements), then endElement; finish() once the root element is ended.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

struct _xmlNode;

namespace quorvane {

class GDataXMLNode;

// Why a text cannot be held by XML 1.0 ("byte 0xFF at 12 is not UTF-8", "U+0001 at 3 is a
// character XML cannot hold"); nullopt when every character is one XML allows: tab, line feed,
// carriage return, U+0020-U+D7FF, U+E000-U+FFFD and U+10000-U+10FFFF, as well-formed UTF-8.
std::optional<std::string> xmlTextProblem(std::string_view text);
// The same of a written document, whose character references ("&#1;") must name such characters too.
std::optional<std::string> xmlDocumentProblem(std::string_view bytes);
// The first name, text or attribute value of a libxml2 node, its following siblings and
// everything below them, that XML cannot hold.
std::optional<std::string> xmlTreeTextProblem(const ::_xmlNode* node);

class GDataXMLWriter {
public:
    GDataXMLWriter();
    GDataXMLWriter(const GDataXMLWriter&) = delete;
    GDataXMLWriter& operator=(const GDataXMLWriter&) = delete;

    // An element with the name the model gives it ("entry", "gd:email").
    void startElement(std::string_view name);
    // A declaration on the element being started ("" prefix: the default namespace). A prefix the
    // element declares already is not declared again; the "xml" prefix is never declared.
    void declareNamespace(std::string_view prefix, std::string_view uri);
    // A binding the text's enclosing document made (an entry written apart from its feed): the
    // root declares it too unless it declares the prefix otherwise. Called before the root starts.
    void inheritNamespace(std::string_view prefix, std::string_view uri);
    // An attribute named as given ("rel", "gd:etag"), its value written as it is.
    void addAttribute(std::string_view name, std::string_view value);
    // An attribute in the namespace `uri`, named by the local part of `name` under a prefix
    // declared for the URI.
    void addAttribute(std::string_view name, std::string_view uri, std::string_view value);
    // An attribute the model kept unparsed, in its own namespace.
    void addKeptAttribute(const GDataXMLNode& attribute);

    void addText(std::string_view text);
    // A node the model kept: an element with its subtree, text, a comment or a processing
    // instruction.
    void addKeptNode(const GDataXMLNode& node);
    void endElement();

    // Room for this many more bytes.
    void reserve(size_t bytes);
    size_t size() const { return out_.size(); }
    void giveUp() { gaveUp_ = true; }
    bool gaveUp() const { return gaveUp_; }
    // The document; nullopt when the writer gave up, the root element is not ended, or a text,
    // name or value holds what XML cannot (refused(): no other way of writing it can do better).
    std::optional<platform::Bytes> finish();
    const std::optional<std::string>& refused() const { return refused_; }

private:
    struct Decl {
        uint32_t prefixAt, prefixLen, uriAt, uriLen;
        bool dropped;  // repeats the declaration in scope above: not written
        bool inherited = false;  // the enclosing document's, on the root: the root's own replaces it
    };
    // An element started or open: where its declarations begin and the name its end tag writes.
    struct Open {
        uint32_t declStart, declTextStart;
        uint32_t nameAt, nameLen;
        bool hasChildren;
    };
    enum class AttrKind : uint8_t { Literal, InNamespace, Kept };
    struct Attr {
        AttrKind kind;
        uint32_t nameAt, nameLen;  // Literal: the name as given; otherwise the local name
        uint32_t uriAt, uriLen;    // InNamespace and Kept with a namespace
        int32_t decl;              // the declaration chosen when added; -1 none yet
        bool inXMLNamespace;
        uint32_t valueAt, valueLen;  // the escaped value
    };
    // An attribute as written: prefix, and the expanded name no other attribute may share.
    struct Resolved {
        std::string_view prefix, uri, local;
    };

    std::string_view declPrefix(const Decl& d) const { return {declText_.data() + d.prefixAt, d.prefixLen}; }
    std::string_view declURI(const Decl& d) const { return {declText_.data() + d.uriAt, d.uriLen}; }
    std::string_view tagText(uint32_t at, uint32_t len) const { return {tagText_.data() + at, len}; }
    uint32_t storeTagText(std::string_view s);
    void pushDecl(std::string_view prefix, std::string_view uri);
    // The declaration of `prefix` nearest the end of the first `limit` declarations; -1 if none.
    int nearest(std::string_view prefix, size_t limit) const;
    // The prefix of the nearest declaration of `uri` under a prefix that nothing nearer hides.
    std::optional<std::string_view> prefixedDeclarationOf(std::string_view uri) const;
    // Among the declarations of the element being started: the first of `uri` under a prefix.
    int ownPrefixedDeclarationOf(std::string_view uri) const;
    // Whether one of the declarations from `start` on (dropped ones too) is of `prefix`.
    bool declaredSince(std::string_view prefix, size_t start) const;
    void finishStartTag();
    void markChild();
    void writeKept(const void* node);
    void writeKeptElement(const void* node);

    void put(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }
    // Every string is checked as it comes, even after the writer gave up: no other way of
    // writing it can hold what XML cannot.
    void check(std::string_view s) {
        if (!refused_) refused_ = xmlTextProblem(s);
    }
    void putDeclarations(size_t from);

    platform::Bytes out_;
    std::string declText_;
    std::vector<Decl> decls_;
    std::vector<std::pair<std::string, std::string>> inherited_;
    std::vector<Open> open_;
    std::string names_;
    // The start tag being made: its attributes and their strings.
    bool starting_ = false;
    std::string tagText_;
    std::vector<Attr> attrs_;
    std::vector<Resolved> resolved_;
    bool gaveUp_ = false;
    bool ended_ = false;  // the root element is ended
    std::optional<std::string> refused_;
};

}  // namespace quorvane
