#pragma once
// The XML tree layer: a small document object model over libxml2, with the operations the
// GData object model performs on XML.
//
// GDataXMLNode wraps one libxml2 node (or namespace record). A wrapper is either owning (it
// made or adopted a detached tree) or borrowing (it points into a tree someone else made);
// either way it holds that tree alive, so a wrapper handed out from a document stays valid
// after the document wrapper is gone, and a node removed from its tree stays readable until
// the last wrapper of the tree goes. Wrappers are cheap: a node pointer, a shared tree owner
// and lazily filled caches of the name, children and attributes.
//
// A document with its wrappers is used by one thread at a time; different documents may be
// used on different threads.

#include <libxml/tree.h>

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

namespace quorvane {

class GDataXMLNode;
class GDataXMLElement;
class GDataXMLTree;

// Kinds of nodes, numbered as the platform's XML node kinds.
enum class GDataXMLNodeKind : int {
    Invalid = 0,
    Document = 1,
    Element = 2,
    Attribute = 3,
    Namespace = 4,
    ProcessingInstruction = 5,
    Comment = 6,
    Text = 7,
    DTD = 8,
    EntityDeclaration = 9,
    AttributeDeclaration = 10,
    ElementDeclaration = 11,
    NotationDeclaration = 12,
};

inline constexpr const char* kGDataXMLErrorDomain = "com.quorvane.GDataXML";
inline constexpr const char* kGDataXMLErrorKey = "error";
// Codes of kGDataXMLErrorDomain: a document that is not well-formed XML (or an XPath failure), and
// two that are refused though well-formed: one element carrying more than
// kGDataXMLMaxAttributesPerElement attributes (or a type declaration with more literal values
// than that, or more than kGDataXMLMaxNamespacesInScope namespace declarations in force at one
// element), and one using an external entity, which is never read. The refusals carry a sentence
// as their localized description.
inline constexpr int64_t kGDataXMLErrorMalformed = -1;
inline constexpr int64_t kGDataXMLErrorTooManyAttributes = -2;
inline constexpr int64_t kGDataXMLErrorExternalEntity = -3;
// A document in an encoding the parser would decode into other characters than its bytes (only
// UTF-8, ISO-8859-1 and ASCII are read).
inline constexpr int64_t kGDataXMLErrorUnreadableEncoding = -4;
// A document that holds more nodes (elements, attributes, texts, comments, instructions) than
// its size allows: kGDataXMLNodesBeforeBound, and one more for every kGDataXMLBytesPerNode bytes.
// Each node costs a few hundred bytes, in the tree and in what is made of it, so a dense document
// would take tens of times its size; a contacts feed holds one node for every 20 bytes or more.
inline constexpr int64_t kGDataXMLErrorTooManyNodes = -5;
inline constexpr size_t kGDataXMLNodesBeforeBound = 200000;
inline constexpr size_t kGDataXMLBytesPerNode = 16;
// Far above what any contact, entry or feed element carries (a dozen, namespace declarations
// included); the parser's cost grows much faster than the count.
inline constexpr size_t kGDataXMLMaxAttributesPerElement = 1000;
// Far above what a feed declares (half a dozen): each prefixed name is looked up through every
// declaration in force where it is used, so the parser's time grows with their product.
inline constexpr size_t kGDataXMLMaxNamespacesInScope = 100;

using GDataXMLNodeList = std::vector<std::shared_ptr<GDataXMLNode>>;
using GDataXMLElementList = std::vector<std::shared_ptr<GDataXMLElement>>;
// Prefix to URI, for XPath queries.
using GDataXMLNamespaceDictionary = std::map<std::string, std::string>;

class GDataXMLNode {
protected:
    struct Token {};

public:
    // Use the factories; the constructor is public only for make_shared.
    GDataXMLNode(Token, xmlNodePtr node, std::shared_ptr<GDataXMLTree> tree);
    virtual ~GDataXMLNode();
    GDataXMLNode(const GDataXMLNode&) = delete;
    GDataXMLNode& operator=(const GDataXMLNode&) = delete;

    // --- factories (owning wrappers of new detached nodes; nullptr when libxml2 fails) ---

    // An element with that name; a prefixed name stays literally as given until the element is
    // grafted into a tree where the prefix is bound.
    static std::shared_ptr<GDataXMLElement> elementWithName(std::string_view name);
    // An element with one text child holding the value, stored literally.
    static std::shared_ptr<GDataXMLElement> elementWithName(std::string_view name, std::string_view stringValue);
    // An element in the namespace `URI`, named "{URI}:local" until grafted into a tree that
    // declares the URI (the local part is what follows the first colon of `name`).
    static std::shared_ptr<GDataXMLElement> elementWithNameURI(std::string_view name, std::string_view URI);
    static std::shared_ptr<GDataXMLNode> attributeWithName(std::string_view name, std::string_view stringValue);
    static std::shared_ptr<GDataXMLNode> attributeWithName(std::string_view name, std::string_view URI,
                                                           std::string_view stringValue);
    static std::shared_ptr<GDataXMLNode> textWithStringValue(std::string_view value);
    // A namespace record; an empty name makes a default namespace.
    static std::shared_ptr<GDataXMLNode> namespaceWithName(std::string_view name, std::string_view stringValue);

    // Takes ownership of a detached libxml2 node whose strings it owns (no dictionary strings
    // of a document that may go away). Element nodes get a GDataXMLElement.
    static std::shared_ptr<GDataXMLNode> nodeConsumingXMLNode(xmlNodePtr node);
    // Wraps a node of a tree managed by the caller, who keeps it alive while the wrapper and
    // anything obtained from it are in use.
    static std::shared_ptr<GDataXMLNode> nodeBorrowingXMLNode(xmlNodePtr node);

    // The part after the first ":" unless that colon ends the name; otherwise the whole name.
    static std::string localNameForName(std::string_view name);
    // The part before the first ":"; nullopt without a colon.
    static std::optional<std::string> prefixForName(std::string_view name);

    // --- the libxml2 node ---

    xmlNodePtr XMLNode() const { return node_; }
    // A deep copy that owns its strings; the caller frees it (for an attribute with a
    // namespace, the copy's namespace record is its own and is freed with xmlFreeNs too).
    xmlNodePtr XMLNodeCopy() const;
    // Whether this wrapper's tree is the node itself and is freed with the last wrapper.
    bool shouldFreeXMLNode() const;
    // false: the node is no longer freed (the caller takes it over). true: a detached node
    // becomes owned; a node inside a tree cannot be, and the request is reported and ignored.
    void setShouldFreeXMLNode(bool flag);

    // --- reading ---

    // A namespace node's URI; for any other node its concatenated text content.
    std::optional<std::string> stringValue() const;
    // Namespace node: replaces the URI. Element or attribute: the text replaces the content,
    // stored literally (no entity references are interpreted). Text, comment, processing
    // instruction: replaces the content.
    void setStringValue(std::string_view value);
    // The node serialised without indentation, trimmed of white space and newlines.
    std::optional<std::string> XMLString() const;
    std::optional<std::string> localName() const;
    // The prefix of the node's namespace; empty when there is none.
    std::optional<std::string> prefix() const;
    std::optional<std::string> URI() const;
    std::optional<std::string> qualifiedName() const;
    // qualifiedName(), cached.
    std::optional<std::string> name() const;
    size_t childCount() const;
    // All children of every kind, in document order; cached. Empty when there are none.
    const GDataXMLNodeList& children() const;
    std::shared_ptr<GDataXMLNode> childAtIndex(size_t index) const;
    GDataXMLNodeKind kind() const;

    // The matching nodes (possibly none), or a kGDataXMLErrorDomain error.
    platform::Result<GDataXMLNodeList> nodesForXPath(std::string_view xpath) const;
    platform::Result<GDataXMLNodeList> nodesForXPath(std::string_view xpath,
                                                     const GDataXMLNamespaceDictionary* namespaces) const;

    // --- views for readers walking many nodes (nothing copied; valid while the node is) ---

    // The name as the node holds it: the local part once resolved to a namespace, otherwise the
    // name as written ("p:local", "{URI}:local"). Empty for a node without a name.
    std::string_view storedName() const;
    // The URI of the node's namespace; nullopt when it has none (or for another kind of node).
    std::optional<std::string_view> namespaceURIView() const;
    // Whether the qualified name as written ("prefix:local" or "local") is `name`.
    bool hasQualifiedName(std::string_view name) const;
    // An element's or attribute's text when it is made of one plain text child ("" when it has no
    // children); nullopt for any other content. Text and CDATA nodes: their own text.
    std::optional<std::string_view> simpleContent() const;
    bool isTextNode() const;  // text or CDATA

    // One pointer-sized mark per node for its readers (libxml2's application pointer), and the
    // node's identity (stable while the node lives), so a reader can record what it took.
    const void* mark() const;
    void setMark(const void* mark) const;
    const void* identity() const { return node_; }

    std::string description() const;
    // An owning wrapper of a deep copy (same class); nullptr without a node.
    std::shared_ptr<GDataXMLNode> copy() const;

    // Same node, or same kind, name and number of children (shallow).
    bool isEqual(const GDataXMLNode* other) const;
    bool isEqual(const std::shared_ptr<GDataXMLNode>& other) const { return isEqual(other.get()); }
    // One value for all nodes: hashed collections tell nodes apart by isEqual alone.
    size_t hash() const;

    virtual const char* className() const { return "GDataXMLNode"; }

    // Internal: a wrapper of `node` sharing `tree` (element class for element nodes).
    static std::shared_ptr<GDataXMLNode> wrap(xmlNodePtr node, std::shared_ptr<GDataXMLTree> tree);
    const std::shared_ptr<GDataXMLTree>& tree() const { return tree_; }

protected:
    // When `wrapper` is the only holder of the detached tree whose root its node is, takes the
    // node over for the tree `into`: the wrapper is released, the node belongs to the caller, and
    // what the old tree buried is kept by `into` (nodes of the subtree may still point at buried
    // namespace records). Otherwise nullptr, and the wrapper is left as it was.
    static xmlNodePtr takeDetachedRoot(std::shared_ptr<GDataXMLNode>& wrapper, GDataXMLTree& into);
    void releaseCachedValues();
    const GDataXMLNodeList& cachedChildren() const;
    const GDataXMLNodeList& cachedAttributes() const;
    // name(), without copying.
    const std::optional<std::string>& nameRef() const;

    xmlNodePtr node_;
    std::shared_ptr<GDataXMLTree> tree_;
    // Filled on first use only: most wrappers never need them, and a wrapper stays small.
    struct Caches {
        bool nameCached = false;
        std::optional<std::string> name;
        std::optional<GDataXMLNodeList> children;
        std::optional<GDataXMLNodeList> attributes;
    };
    Caches& caches() const;
    mutable std::unique_ptr<Caches> caches_;

    friend class GDataXMLElement;
    friend class GDataXMLDocument;
    friend class GDataXMLDocumentBuilder;
};

}  // namespace quorvane
