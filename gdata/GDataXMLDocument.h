#pragma once
// An XML document: parsed from bytes or built around a root element, serialised whole.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gdata/GDataXMLElement.h"
#include "platform/foundation/Value.h"

namespace quorvane {

class GDataXMLDocumentBuilder;

class GDataXMLDocument {
    struct Token {};
    friend class GDataXMLDocumentBuilder;

public:
    GDataXMLDocument(Token, xmlDocPtr doc, std::shared_ptr<GDataXMLTree> tree);
    ~GDataXMLDocument();
    GDataXMLDocument(const GDataXMLDocument&) = delete;
    GDataXMLDocument& operator=(const GDataXMLDocument&) = delete;

    // Parsing drops blank text nodes, merges CDATA into text, loads nothing from the network
    // and expands no external entity; libxml2's messages go to the debug log, never to
    // standard error. `options` is accepted for the callers' sake and not used. On failure an
    // error of domain kGDataXMLErrorDomain, code -1.
    using Parsed = platform::Result<std::shared_ptr<GDataXMLDocument>>;
    static Parsed initWithXMLString(std::string_view xml, unsigned options = 0);
    static Parsed initWithData(const platform::Bytes& data, unsigned options = 0);
    static Parsed initWithData(const void* bytes, size_t length, unsigned options = 0);
    // As initWithData, but each child element of the root is handed to `takeChild` as soon as
    // its end tag is read: complete, in place under the root, after the children read before
    // it. A child it takes (returns true) is freed after the call, so a document with many large
    // children (a feed's entries) is never held whole; the document returned holds the root
    // with the children not taken. The wrappers it is given are valid during the call only.
    // Nothing is handed over from a document with a document type declaration (its entities are
    // checked on the whole tree), nor once the document is known to be refused. An exception
    // from `takeChild` ends the parse and is thrown on.
    using ChildTaker = std::function<bool(const std::shared_ptr<GDataXMLElement>& root,
                                          const std::shared_ptr<GDataXMLElement>& child)>;
    static Parsed initWithDataTakingChildren(const platform::Bytes& data, const ChildTaker& takeChild);
    // A new document whose root is a copy of the element.
    static std::shared_ptr<GDataXMLDocument> initWithRootElement(const std::shared_ptr<GDataXMLElement>& element);
    // The same for an element the caller has just built and gives up: when `element` is the
    // only holder of the detached tree it is the root of, the element itself becomes the root,
    // without a copy.
    static std::shared_ptr<GDataXMLDocument> initAdoptingRootElement(std::shared_ptr<GDataXMLElement> element);

    // A document made from a source when it is first read, not when this is called: XMLData()
    // asks `write` for the bytes (nullopt there: the tree is built and written instead), and the
    // first call that needs the tree asks `build` for it (nullptr: the document is empty).
    struct Source {
        std::function<std::optional<platform::Bytes>()> write;
        std::function<std::shared_ptr<GDataXMLDocument>()> build;
    };
    static std::shared_ptr<GDataXMLDocument> documentWithSource(Source source);

    std::shared_ptr<GDataXMLElement> rootElement() const;

    // The whole document with its XML declaration. Names still waiting for a namespace
    // ("{URI}:local") are given a declaration first, so the bytes always parse again.
    std::optional<platform::Bytes> XMLData() const;

    // nullopt removes the value.
    void setVersion(std::optional<std::string_view> version);
    void setCharacterEncoding(std::optional<std::string_view> encoding);

    platform::Result<GDataXMLNodeList> nodesForXPath(std::string_view xpath) const;
    platform::Result<GDataXMLNodeList> nodesForXPath(std::string_view xpath,
                                                     const GDataXMLNamespaceDictionary* namespaces) const;

    std::string description() const;

    xmlDocPtr XMLDocument() const {
        ensureBuilt();
        return doc_;
    }

private:
    static Parsed parse(const char* bytes, size_t length, const ChildTaker* takeChild = nullptr);
    // Takes the tree from the source, once, if there is one.
    void ensureBuilt() const;

    mutable xmlDocPtr doc_;
    mutable std::shared_ptr<GDataXMLTree> tree_;
    mutable std::shared_ptr<GDataXMLElement> cachedRoot_;
    mutable std::unique_ptr<Source> source_;
};

// Builds one document on the calling thread: while the builder is alive, the elements made by
// elementForBuilding() and the text added to them are made for its document, whose dictionary
// holds their names, so a large tree is built without copying each name and needs no pass to
// move it into the document at the end. Every node so made must be in the adopted tree or gone
// before the builder ends. Builders nest; elements made outside any builder are plain detached
// elements.
class GDataXMLDocumentBuilder {
public:
    GDataXMLDocumentBuilder();
    ~GDataXMLDocumentBuilder();
    GDataXMLDocumentBuilder(const GDataXMLDocumentBuilder&) = delete;
    GDataXMLDocumentBuilder& operator=(const GDataXMLDocumentBuilder&) = delete;

    // An element with that name, for the innermost builder of this thread (a plain detached element
    // when there is none), as GDataXMLNode::elementWithName.
    static std::shared_ptr<GDataXMLElement> elementForBuilding(std::string_view name);

    // The document (version "1.0", encoding "UTF-8") whose root is `root`, an element this
    // builder's thread has just built and gives up; names still written with a literal prefix
    // ("gd:email") are then bound: to the URI `knownNamespaces` (or the usual table) gives the
    // prefix, under a prefix in scope for it, else declared on the root.
    std::shared_ptr<GDataXMLDocument> documentAdoptingRootElement(
        std::shared_ptr<GDataXMLElement> root, const std::vector<std::pair<std::string, std::string>>& knownNamespaces,
        const std::vector<std::pair<const char*, const char*>>& usualNamespaces);

    // The bytes of that same document when its root is `root` followed by the children `nextChild`
    // gives (nullptr: no more), written one child at a time: each is attached to the root, given
    // its namespaces exactly as in the whole tree, written, and freed before the next is made, so
    // the whole tree is never held; `childCount`, how many there will be, sizes the bytes. nullopt
    // when the bytes could differ from the whole tree's (a name would need a declaration on the
    // root); the builder is used up either way.
    std::optional<platform::Bytes> writeDocumentChildByChild(
        std::shared_ptr<GDataXMLElement> root, const std::function<std::shared_ptr<GDataXMLElement>()>& nextChild,
        size_t childCount,
        const std::vector<std::pair<std::string, std::string>>& knownNamespaces,
        const std::vector<std::pair<const char*, const char*>>& usualNamespaces);

private:
    xmlDocPtr doc_;
    GDataXMLDocumentBuilder* previous_;
};

namespace gdataxml {
// Gives every element and attribute still named "{URI}:local" a namespace: one in scope when
// there is one, else a new declaration on its element.
void resolveBracedNames(xmlNodePtr root);
// Parses the bytes into a document owned by the caller (never null); on failure the error of a
// failed parse: kGDataXMLErrorDomain, code -1. A document that is well-formed but uses a
// namespace prefix it never declares is refused too, with libxml2's message as {"error": message}.
// With `takeChild`, each child element of the root is offered to it once complete (see
// GDataXMLDocument::initWithDataTakingChildren); what it takes is freed.
platform::Result<xmlDocPtr> parseDocument(const char* bytes, size_t length,
                                          const std::function<bool(xmlNodePtr root, xmlNodePtr child)>* takeChild = nullptr);
// The error of a failed parse: code -1, with {"error": message} for a namespace error.
platform::Error parseError(const std::string& namespaceError);
// Binds the names under `subtree` still written with a literal prefix (see
// GDataXMLDocumentBuilder::documentAdoptingRootElement); a declaration that is needed goes on
// `root`, or, when `mayDeclare` is false, the binding stops and false is returned.
bool bindLiteralPrefixes(xmlNodePtr subtree, xmlNodePtr root, const std::vector<std::pair<std::string, std::string>>& known,
                         const std::vector<std::pair<const char*, const char*>>& usual, bool mayDeclare = true);
}  // namespace gdataxml

}  // namespace quorvane
