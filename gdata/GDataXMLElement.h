#pragma once
// An XML element: children, attributes and namespace declarations, lookups by qualified name
// or by local name and namespace URI, and the namespace fix-up that runs whenever nodes are
// grafted into a tree.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gdata/GDataXMLNode.h"

namespace quorvane {

class GDataXMLElement : public GDataXMLNode {
public:
    using GDataXMLNode::GDataXMLNode;

    // Old namespace record to its replacement, filled while fixing up a grafted subtree.
    using NamespaceSubstitutionMap = std::map<xmlNsPtr, xmlNsPtr>;

    // Parses the string (blank text nodes dropped, CDATA merged into text, no network and no
    // external entities) and returns an owning wrapper of a copy of its root element; a
    // kGDataXMLErrorDomain error (code -1) when it is not well-formed or has no root element.
    static platform::Result<std::shared_ptr<GDataXMLElement>> initWithXMLString(std::string_view xml);

    // --- namespace declarations ---

    // The element's own declarations, in order, without any "xml" declaration.
    GDataXMLNodeList namespaces() const;
    // The same declarations as prefix ("" for a default namespace) and URI, read in place.
    void forEachNamespace(const std::function<void(std::string_view prefix, std::string_view URI)>& visit) const;
    // Replaces the element's own declarations with the given namespace nodes, then fixes up
    // the element's names. Nodes that still used a replaced declaration are moved to a
    // declaration of the same URI in scope, or one declared anew, so the tree stays writable.
    void setNamespaces(const GDataXMLNodeList& namespaces);
    // Declares the namespace on the element unless the element already declares its prefix.
    void addNamespace(const std::shared_ptr<GDataXMLNode>& aNamespace);

    // --- children ---

    // Attaches a copy of the node (attributes go to addAttribute, namespaces to addNamespace)
    // and fixes up the copy's names against the element.
    void addChild(const std::shared_ptr<GDataXMLNode>& child);
    // addChild for a node the caller has just built and gives up: when `child` is the only
    // holder of the detached tree it is the root of, that node itself is attached, without a
    // copy; otherwise a copy, as addChild. The names are fixed up the same way either way.
    void adoptChild(std::shared_ptr<GDataXMLNode> child);
    // Adds a text child holding the text literally (merged into a text child it follows).
    void addStringValue(std::string_view text);
    // Unlinks the child (or attribute) from the element. Its wrappers stay usable: the node is
    // kept, detached, until the tree goes.
    void removeChild(const std::shared_ptr<GDataXMLNode>& child);
    // Child elements by name. A prefix bound at the element means local name and URI; otherwise
    // the qualified names are compared. Empty when nothing matches.
    GDataXMLElementList elementsForName(std::string_view name) const;
    // Child elements with that local name in the namespace `URI` (compared as URIs, whatever
    // prefix or declaration the child uses), or made with that URI and not yet resolved.
    // nullopt or an empty URI means no namespace.
    GDataXMLElementList elementsForLocalName(std::string_view localName, std::optional<std::string_view> URI) const;

    // Calls `visit` with each child (of every kind, as children() lists them) in turn, as a
    // passing view like forEachAttribute's: nothing is allocated or cached.
    void forEachChild(const std::function<void(const GDataXMLNode&)>& visit) const;
    // The wrapper of a child element seen through forEachChild, found by its identity(): made
    // for the call, sharing this element's tree. nullptr when `identity` is not that of a child
    // element of this element.
    std::shared_ptr<GDataXMLElement> childElementWithIdentity(const void* identity) const;

    // --- attributes ---

    // The element's attributes in document order; cached. Empty when there are none.
    const GDataXMLNodeList& attributes() const;
    size_t attributeCount() const;
    // Calls `visit` with each attribute in turn, as a wrapper made for the call alone: nothing is
    // allocated or cached, and the wrapper (which does not hold the tree) is gone after the call.
    void forEachAttribute(const std::function<void(const GDataXMLNode&)>& visit) const;
    // Adds a copy of the attribute; an attribute of the same name (and namespace) already
    // present is never replaced.
    void addAttribute(const std::shared_ptr<GDataXMLNode>& attribute);
    // addAttribute of attributeWithName(name, value), or of attributeWithName(name, URI, value)
    // with a URI, without making that attribute first. Whether it was added.
    bool addAttributeWithName(const std::string& name, std::optional<std::string_view> URI, const std::string& value);
    std::shared_ptr<GDataXMLNode> attributeForXMLNode(xmlAttrPtr theXMLNode) const;
    std::shared_ptr<GDataXMLNode> attributeForName(std::string_view name) const;
    std::shared_ptr<GDataXMLNode> attributeForLocalName(std::string_view localName,
                                                         std::optional<std::string_view> URI) const;
    // The attribute the two lookups above find, handed to `visit` as a passing view instead of
    // a cached wrapper; false (and no call) when there is none.
    bool visitAttributeForName(std::string_view name, const std::function<void(const GDataXMLNode&)>& visit) const;
    bool visitAttributeForLocalName(std::string_view localName, std::optional<std::string_view> URI,
                                    const std::function<void(const GDataXMLNode&)>& visit) const;

    // The prefix bound to the URI in scope at the element; "" for a default namespace;
    // nullopt when the URI is not in scope.
    std::optional<std::string> resolvePrefixForNamespaceURI(std::string_view namespaceURI) const;

    // An owning wrapper of a deep copy; nullptr without a node.
    std::shared_ptr<GDataXMLElement> copy() const;

    const char* className() const override { return "GDataXMLElement"; }

    // --- namespace fix-up, run on a node newly attached to or declared in a tree ---
    // Removed declarations are buried in `tree` when given (freed with it), else freed.

    static void fixUpNamespacesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode, GDataXMLTree* tree = nullptr);
    // Resolves a braced "{URI}:local" or prefixed "p:local" name of a node that has no
    // namespace yet against the declarations in scope.
    static void fixQualifiedNamesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode);
    // Drops the element's own declarations that repeat one already in scope (same prefix and
    // URI), recording the substitution, and moves the node off a substituted declaration.
    static void fixDuplicateNamespacesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode,
                                              NamespaceSubstitutionMap& nsMap, GDataXMLTree* tree = nullptr);
    static void fixUpNamespacesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode,
                                       NamespaceSubstitutionMap& nsMap, GDataXMLTree* tree = nullptr);
    // Takes the declaration out of the node's own list; buries it in `tree`, or frees it.
    static void deleteNamespacePtr(xmlNsPtr namespaceToDelete, xmlNodePtr node, GDataXMLTree* tree = nullptr);

private:
    static void fixUpNamespaces(xmlNodePtr node, xmlNodePtr graft, NamespaceSubstitutionMap& nsMap,
                                GDataXMLTree* tree, bool isTop);
    void buryOrFree(xmlNodePtr node);
    // The common step of addAttribute: an attribute named `name`, in the namespace `href` (one
    // of `preferredPrefix` declared when none is in scope), holding `value` literally.
    // The child elements `match` accepts, in order.
    GDataXMLElementList matchingChildElements(const std::function<bool(xmlNodePtr)>& match) const;
    xmlAttrPtr findAttributeForName(std::string_view name) const;
    xmlAttrPtr findAttributeForLocalName(std::string_view localName, std::optional<std::string_view> URI) const;
    bool addAttributeNamed(const xmlChar* name, const xmlChar* href, const xmlChar* preferredPrefix,
                           const xmlChar* value);
};

}  // namespace quorvane
