#pragma once
// Ownership and libxml2 plumbing shared by the XML node, element and document wrappers.
//
// A GDataXMLTree owns one libxml2 tree: a document, or a detached node (element, attribute,
// text, namespace record...). Every wrapper of a node in that tree holds the tree through a
// shared pointer, so the tree lives as long as the last wrapper that can reach it. Nodes and
// namespace declarations removed from the tree are not freed at once: they are buried in the
// tree and freed with it, because wrappers (or other nodes) may still point at them.
//
// Not for use outside the XML layer.

#include <libxml/tree.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

class GDataXMLTree {
public:
    // A tree owning `root` (any node type; a document node is freed as a document). Pass
    // nullptr for a tree that owns nothing yet.
    explicit GDataXMLTree(xmlNodePtr root);
    ~GDataXMLTree();
    GDataXMLTree(const GDataXMLTree&) = delete;
    GDataXMLTree& operator=(const GDataXMLTree&) = delete;

    static std::shared_ptr<GDataXMLTree> owning(xmlNodePtr root);
    static std::shared_ptr<GDataXMLTree> owningDocument(xmlDocPtr doc) { return owning(reinterpret_cast<xmlNodePtr>(doc)); }

    xmlNodePtr root() const { return root_; }
    bool ownsRoot() const { return ownsRoot_; }
    void setOwnsRoot(bool owns) { ownsRoot_ = owns; }

    // Keeps an unlinked node (and its subtree) until the tree is freed.
    void bury(xmlNodePtr node);
    // Keeps a namespace record that is no longer in any declaration list until the tree is freed.
    void buryNamespace(xmlNsPtr ns);

    // Takes over what `other` buried, to free it with this tree instead.
    void takeBuried(GDataXMLTree& other);

    // Frees any node kind the right way (document, attribute, namespace record, DTD, other node).
    static void freeAnyNode(xmlNodePtr node);

private:
    xmlNodePtr root_ = nullptr;
    bool ownsRoot_ = true;
    struct Buried {
        std::vector<xmlNodePtr> nodes;
        std::vector<xmlNsPtr> namespaces;
    };
    std::unique_ptr<Buried> buried_;  // made by the first burial: most trees never bury anything
};

namespace gdataxml {

// Calls xmlInitParser once per process, before any other libxml2 use.
void ensureInitialized();

// While alive, every libxml2 error or warning raised on this thread is collected here
// instead of reaching standard error. Guards nest; the previous handlers come back when the
// guard ends. libxml2 keeps these handlers per thread, so guards on different threads do not
// interfere.
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

    const std::vector<std::string>& messages() const { return messages_; }
    void add(std::string message);
    // The structured error function installed for the thread; its context is the capture.
    static void structuredHandler(void* context, xmlErrorPtr error);

private:
    std::vector<std::string> messages_;
    xmlStructuredErrorFunc previousStructured_;
    void* previousStructuredContext_;
    xmlGenericErrorFunc previousGeneric_;
    void* previousGenericContext_;
};

// Strings in and out of libxml2.
inline const xmlChar* xstr(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
inline std::string str(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }
inline bool xequal(const xmlChar* a, const xmlChar* b) {
    if (a == b) return true;
    if (!a || !b) return false;
    return xmlStrEqual(a, b) != 0;
}
inline bool xequal(const xmlChar* a, std::string_view b) {
    if (!a) return false;
    size_t n = static_cast<size_t>(xmlStrlen(a));
    return n == b.size() && std::string_view(reinterpret_cast<const char*>(a), n) == b;
}

// The namespace record of an element or attribute; nullptr for any other node kind (other
// node structs have no namespace field at that place, or a different one).
inline xmlNsPtr namespaceOf(xmlNodePtr node) {
    if (!node) return nullptr;
    if (node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE) return node->ns;
    return nullptr;
}
// The document of a node; nullptr for a namespace record (it has no such field).
inline xmlDocPtr documentOf(xmlNodePtr node) {
    if (!node || node->type == XML_NAMESPACE_DECL) return nullptr;
    return node->doc;
}
// Whether the node struct has children/parent/sibling links (a namespace record does not).
inline bool hasTreeLinks(xmlNodePtr node) { return node && node->type != XML_NAMESPACE_DECL; }

// Splits a name made by the braced convention "{URI}:local"; false for any other name.
bool splitBracedName(std::string_view name, std::string& uri, std::string& local);
std::string bracedName(std::string_view uri, std::string_view local);

// The URI bound to `prefix` (empty for the default namespace) in scope at `element`, without
// changing the tree ("xml" is always bound). nullptr when unbound.
const xmlChar* lookupNamespaceURI(xmlNodePtr element, const xmlChar* prefix);

// The declaration of `prefix` nearest to `element` (walking up through its ancestors);
// nullptr when none.
xmlNsPtr nearestDeclaration(xmlNodePtr element, const xmlChar* prefix);

// A declaration with a non-empty prefix for `href` in scope at `element`, not hidden by a
// nearer declaration of the same prefix; nullptr when there is none. Attributes need one:
// an unprefixed attribute is in no namespace whatever the default namespace.
xmlNsPtr searchPrefixedNamespaceByHref(xmlNodePtr element, const xmlChar* href);

// Declares `href` on `element` under `preferredPrefix` when that prefix is not bound in scope
// there (nor declared on the element itself), else under a new prefix "ns1", "ns2"... that is
// not. Never declares a default namespace.
xmlNsPtr declareNamespace(xmlNodePtr element, const xmlChar* href, const xmlChar* preferredPrefix);

// Makes every element and attribute in the subtree of `element` use a namespace record that
// its written prefix really resolves to at its place (after declarations were removed or a
// nearer declaration hides the one a node used): a declaration of the same URI in scope, or
// a new one on the node's element.
void repairNamespaces(xmlNodePtr element);

// The nodes of the siblings from `first` to `last` (or to the end) and of everything under them,
// attributes included.
size_t nodesInSubtrees(xmlNodePtr first, xmlNodePtr last);

// Deep copies that own all their strings and point into no document.
xmlNodePtr copyNode(xmlNodePtr node, std::vector<xmlNsPtr>* extraNamespaces);
xmlNsPtr copyNamespace(xmlNsPtr ns);

}  // namespace gdataxml
}  // namespace quorvane
