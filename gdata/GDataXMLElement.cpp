#include "gdata/GDataXMLElement.h"

#include "gdata/GDataXMLDocument.h"
#include "gdata/GDataXMLTree.h"
#include "platform/foundation/Log.h"

namespace quorvane {

using namespace gdataxml;

namespace {

const xmlChar* const kXMLPrefix = reinterpret_cast<const xmlChar*>("xml");

bool isXMLPrefix(const xmlChar* prefix) { return prefix && xmlStrEqual(prefix, kXMLPrefix); }

// The namespace URI an attribute is written in: none for a record without prefix, since an
// unprefixed attribute is in no namespace.
const xmlChar* attributeURI(xmlAttrPtr attr) {
    xmlNsPtr ns = attr->ns;
    if (!ns || !ns->prefix || !*ns->prefix || !ns->href || !*ns->href) return nullptr;
    return ns->href;
}

bool isUnder(xmlNodePtr node, xmlNodePtr ancestor) {
    for (xmlNodePtr n = node; n; n = n->parent) {
        if (n == ancestor) return true;
    }
    return false;
}

// Where the names of `node` are looked up: the node's own place once it is in the tree being
// grafted to (a declaration on the node or between it and the graft point wins over one
// further out, exactly as a reader of the written XML sees it), else the graft point.
xmlNodePtr scopeFor(xmlNodePtr node, xmlNodePtr graft, bool underGraft) {
    if (!underGraft) return graft;
    if (node->type == XML_ELEMENT_NODE) return node;
    return node->parent ? node->parent : graft;
}

// The namespace bound to `prefix` (nullopt: the default namespace) in scope at `node`, found as
// xmlSearchNs finds it (declarations first, then the namespace an ancestor itself uses), without
// copying the prefix. Not for the "xml" prefix.
xmlNsPtr searchNamespaceByPrefix(xmlNodePtr node, std::optional<std::string_view> prefix) {
    auto matches = [&](xmlNsPtr ns) {
        if (!ns->href) return false;
        if (!prefix) return ns->prefix == nullptr;
        return ns->prefix && xequal(ns->prefix, *prefix);
    };
    for (xmlNodePtr n = node; n; n = n->parent) {
        if (n->type == XML_ENTITY_REF_NODE || n->type == XML_ENTITY_NODE || n->type == XML_ENTITY_DECL) return nullptr;
        if (n->type != XML_ELEMENT_NODE) continue;
        for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next)
            if (matches(ns)) return ns;
        if (n != node && n->ns && matches(n->ns)) return n->ns;
    }
    return nullptr;
}

void fixQualifiedName(xmlNodePtr node, xmlNodePtr scope) {
    if (!scope || namespaceOf(node) || !node->name) return;
    std::string_view name(reinterpret_cast<const char*>(node->name));
    size_t colon = name.rfind(':');
    if (colon != std::string_view::npos && colon + 1 == name.size()) return;  // ends in ":": left alone
    bool isAttribute = node->type == XML_ATTRIBUTE_NODE;
    bool hasPrefix = colon != std::string_view::npos && colon > 0;
    if (isAttribute && !hasPrefix) return;  // unprefixed attributes are in no namespace
    std::string_view prefix = hasPrefix ? name.substr(0, colon) : std::string_view();
    xmlDocPtr doc = scope->doc;
    xmlNsPtr found = nullptr;
    if (prefix.size() >= 3 && prefix.front() == '{' && prefix.back() == '}') {
        std::string uri(prefix.substr(1, prefix.size() - 2));
        if (!isAttribute) {
            found = xmlSearchNsByHref(doc, scope, xstr(uri));
        } else if (xmlStrEqual(xstr(uri), XML_XML_NAMESPACE)) {
            found = xmlSearchNs(doc, scope, kXMLPrefix);
        } else {
            // An attribute needs a prefixed declaration; the default namespace does not apply.
            found = searchPrefixedNamespaceByHref(scope, xstr(uri));
        }
        if (!found) return;  // stays "{URI}:local" until grafted where the URI is declared
    } else {
        found = prefix == "xml" ? xmlSearchNs(doc, scope, kXMLPrefix)
                                : searchNamespaceByPrefix(scope, hasPrefix ? std::optional<std::string_view>(prefix)
                                                                           : std::nullopt);
        if (found && (!found->href || !*found->href)) found = nullptr;  // xmlns="" binds nothing
    }
    if (!found) return;
    std::string local(colon == std::string_view::npos ? name : name.substr(colon + 1));
    xmlSetNs(node, found);
    xmlNodeSetName(node, xstr(local));
}

bool sameExpandedName(xmlAttrPtr a, xmlAttrPtr b) {
    return xequal(attributeURI(a), attributeURI(b)) && xequal(a->name, b->name);
}

}  // namespace

// --- parsing ---

platform::Result<std::shared_ptr<GDataXMLElement>> GDataXMLElement::initWithXMLString(std::string_view xml) {
    auto doc = parseDocument(xml.data(), xml.size());
    if (!doc) return doc.error();
    xmlNodePtr root = xmlDocGetRootElement(*doc);
    xmlNodePtr copied = root ? copyNode(root, nullptr) : nullptr;
    xmlFreeDoc(*doc);
    if (!copied) return parseError({});
    return std::static_pointer_cast<GDataXMLElement>(wrap(copied, GDataXMLTree::owning(copied)));
}

// --- namespace declarations ---

GDataXMLNodeList GDataXMLElement::namespaces() const {
    GDataXMLNodeList list;
    if (!node_ || node_->type != XML_ELEMENT_NODE) return list;
    for (xmlNsPtr ns = node_->nsDef; ns; ns = ns->next) {
        if (isXMLPrefix(ns->prefix)) continue;
        list.push_back(wrap(reinterpret_cast<xmlNodePtr>(ns), tree_));
    }
    return list;
}

void GDataXMLElement::forEachNamespace(
    const std::function<void(std::string_view prefix, std::string_view URI)>& visit) const {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return;
    for (xmlNsPtr ns = node_->nsDef; ns; ns = ns->next) {
        if (isXMLPrefix(ns->prefix)) continue;
        visit(ns->prefix ? reinterpret_cast<const char*>(ns->prefix) : "",
              ns->href ? reinterpret_cast<const char*>(ns->href) : "");
    }
}

void GDataXMLElement::setNamespaces(const GDataXMLNodeList& namespaces) {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return;
    releaseCachedValues();

    // Take out the element's own declarations ("xml" ones excepted: that prefix is fixed).
    std::vector<xmlNsPtr> removed;
    xmlNsPtr kept = nullptr;
    xmlNsPtr* tail = &kept;
    for (xmlNsPtr ns = node_->nsDef; ns;) {
        xmlNsPtr next = ns->next;
        ns->next = nullptr;
        if (isXMLPrefix(ns->prefix)) {
            *tail = ns;
            tail = &ns->next;
        } else {
            removed.push_back(ns);
        }
        ns = next;
    }
    node_->nsDef = kept;

    for (const auto& wrapper : namespaces) {
        if (!wrapper || !wrapper->node_ || wrapper->node_->type != XML_NAMESPACE_DECL) continue;
        auto ns = reinterpret_cast<xmlNsPtr>(wrapper->node_);
        if (!ns->href || isXMLPrefix(ns->prefix)) continue;
        xmlNewNs(node_, ns->href, ns->prefix);  // nullptr when the prefix is already declared here
    }
    fixUpNamespacesForNode(node_, node_, tree_.get());

    if (!removed.empty()) {
        // Nodes that used a removed declaration move to one that is in scope now.
        repairNamespaces(node_);
        for (xmlNsPtr ns : removed) {
            if (tree_) {
                tree_->buryNamespace(ns);
            } else {
                xmlFreeNs(ns);
            }
        }
    }
}

void GDataXMLElement::addNamespace(const std::shared_ptr<GDataXMLNode>& aNamespace) {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return;
    if (!aNamespace || !aNamespace->node_ || aNamespace->node_->type != XML_NAMESPACE_DECL) return;
    releaseCachedValues();
    auto ns = reinterpret_cast<xmlNsPtr>(aNamespace->node_);
    if (!ns->href || isXMLPrefix(ns->prefix)) return;
    for (xmlNsPtr own = node_->nsDef; own; own = own->next) {
        if (xequal(own->prefix, ns->prefix)) return;  // already declared here
    }
    if (!xmlNewNs(node_, ns->href, ns->prefix)) return;
    fixUpNamespacesForNode(node_, node_, tree_.get());
    // A new declaration may hide an outer one of the same prefix that nodes below still use.
    repairNamespaces(node_);
}

// --- children ---

void GDataXMLElement::addChild(const std::shared_ptr<GDataXMLNode>& child) {
    if (!node_ || node_->type != XML_ELEMENT_NODE || !child || !child->node_) return;
    switch (child->node_->type) {
        case XML_ATTRIBUTE_NODE:
            addAttribute(child);
            return;
        case XML_NAMESPACE_DECL:
            addNamespace(child);
            return;
        case XML_ELEMENT_NODE:
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
        case XML_ENTITY_REF_NODE:
            break;
        default:
            QV_ASSERT(false, "GDataXMLElement addChild: this kind of node cannot be a child of an element");
            return;
    }
    releaseCachedValues();
    xmlNodePtr copied = copyNode(child->node_, nullptr);
    if (!copied) return;
    // A text node next to a text node is merged into it (and the copy freed), as a parser would.
    xmlNodePtr added = xmlAddChild(node_, copied);
    if (!added) {
        GDataXMLTree::freeAnyNode(copied);
        return;
    }
    fixUpNamespacesForNode(added, node_, tree_.get());
}

void GDataXMLElement::adoptChild(std::shared_ptr<GDataXMLNode> child) {
    if (!node_ || node_->type != XML_ELEMENT_NODE || !child || !child->node_) return;
    switch (child->node_->type) {
        case XML_ELEMENT_NODE:
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            addChild(child);
            return;
    }
    xmlNodePtr node = tree_ ? takeDetachedRoot(child, *tree_) : nullptr;
    if (!node) {
        addChild(child);
        return;
    }
    releaseCachedValues();
    // A text node next to a text node is merged into it (and freed), as a parser would.
    xmlNodePtr added = xmlAddChild(node_, node);
    if (!added) {
        GDataXMLTree::freeAnyNode(node);
        return;
    }
    fixUpNamespacesForNode(added, node_, tree_.get());
}

void GDataXMLElement::addStringValue(std::string_view text) {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return;
    xmlNodePtr node =
        xmlNewDocTextLen(node_->doc, reinterpret_cast<const xmlChar*>(text.data()), static_cast<int>(text.size()));
    if (!node) return;
    releaseCachedValues();
    if (!xmlAddChild(node_, node)) xmlFreeNode(node);
}

void GDataXMLElement::removeChild(const std::shared_ptr<GDataXMLNode>& child) {
    if (!node_ || node_->type != XML_ELEMENT_NODE || !child || !child->node_) return;
    xmlNodePtr node = child->node_;
    if (node->type == XML_NAMESPACE_DECL || node->parent != node_) return;
    releaseCachedValues();
    xmlUnlinkNode(node);
    buryOrFree(node);
}

void GDataXMLElement::buryOrFree(xmlNodePtr node) {
    if (tree_) {
        tree_->bury(node);
    } else {
        GDataXMLTree::freeAnyNode(node);
    }
}

GDataXMLElementList GDataXMLElement::matchingChildElements(const std::function<bool(xmlNodePtr)>& match) const {
    GDataXMLElementList result;
    if (!node_ || node_->type != XML_ELEMENT_NODE || !node_->children) return result;
    // The cached wrappers when there are some; otherwise wrappers for the matches alone.
    if (caches_ && caches_->children) {
        for (const auto& child : *caches_->children)
            if (child->node_->type == XML_ELEMENT_NODE && match(child->node_))
                result.push_back(std::static_pointer_cast<GDataXMLElement>(child));
        return result;
    }
    for (xmlNodePtr n = node_->children; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE && match(n)) result.push_back(std::static_pointer_cast<GDataXMLElement>(wrap(n, tree_)));
    return result;
}

GDataXMLElementList GDataXMLElement::elementsForName(std::string_view name) const {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return {};
    if (auto prefix = prefixForName(name)) {
        if (const xmlChar* uri = lookupNamespaceURI(node_, xstr(*prefix))) {
            return elementsForLocalName(localNameForName(name), std::string_view(reinterpret_cast<const char*>(uri)));
        }
    }
    return matchingChildElements([&](xmlNodePtr n) {
        const GDataXMLNode view(Token{}, n, nullptr);
        return view.hasQualifiedName(name);
    });
}

GDataXMLElementList GDataXMLElement::elementsForLocalName(std::string_view localName,
                                                         std::optional<std::string_view> URI) const {
    bool hasURI = URI && !URI->empty();
    std::string_view local = localName;
    if (size_t colon = local.find(':'); colon != std::string_view::npos && colon + 1 < local.size())
        local = local.substr(colon + 1);
    return matchingChildElements([&](xmlNodePtr n) {
        if (n->ns && n->ns->href && *n->ns->href) {
            // Compared by URI: the child may use any prefix or declaration for it.
            return hasURI && xequal(n->ns->href, *URI) && xequal(n->name, localName);
        }
        if (!hasURI) return xequal(n->name, localName);
        // Made with the URI and not yet resolved: "{URI}:local".
        std::string_view name(n->name ? reinterpret_cast<const char*>(n->name) : "");
        return name.size() == URI->size() + local.size() + 3 && name[0] == '{' && name.substr(1, URI->size()) == *URI &&
               name.substr(1 + URI->size(), 2) == "}:" && name.substr(3 + URI->size()) == local;
    });
}

void GDataXMLElement::forEachChild(const std::function<void(const GDataXMLNode&)>& visit) const {
    // The children children() lists: none for an entity reference (see cachedChildren).
    if (!hasTreeLinks(node_) || node_->type == XML_ENTITY_REF_NODE) return;
    for (xmlNodePtr child = node_->children; child; child = child->next) {
        const GDataXMLNode view(Token{}, child, nullptr);
        visit(view);
    }
}

std::shared_ptr<GDataXMLElement> GDataXMLElement::childElementWithIdentity(const void* identity) const {
    auto child = static_cast<xmlNodePtr>(const_cast<void*>(identity));
    if (!child || !node_ || node_->type != XML_ELEMENT_NODE || child->type != XML_ELEMENT_NODE || child->parent != node_)
        return nullptr;
    return std::static_pointer_cast<GDataXMLElement>(wrap(child, tree_));
}

// --- attributes ---

const GDataXMLNodeList& GDataXMLElement::attributes() const { return cachedAttributes(); }

size_t GDataXMLElement::attributeCount() const {
    size_t count = 0;
    if (node_ && node_->type == XML_ELEMENT_NODE)
        for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) ++count;
    return count;
}

void GDataXMLElement::forEachAttribute(const std::function<void(const GDataXMLNode&)>& visit) const {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return;
    for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) {
        const GDataXMLNode view(Token{}, reinterpret_cast<xmlNodePtr>(attr), nullptr);
        visit(view);
    }
}

void GDataXMLElement::addAttribute(const std::shared_ptr<GDataXMLNode>& attribute) {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return;
    if (!attribute || !attribute->node_ || attribute->node_->type != XML_ATTRIBUTE_NODE) return;
    auto source = reinterpret_cast<xmlAttrPtr>(attribute->node_);
    xmlChar* value = xmlNodeGetContent(attribute->node_);
    addAttributeNamed(source->name, attributeURI(source), source->ns ? source->ns->prefix : nullptr, value);
    if (value) xmlFree(value);
}

bool GDataXMLElement::addAttributeWithName(const std::string& name, std::optional<std::string_view> URI,
                                           const std::string& value) {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return false;
    if (!URI) return addAttributeNamed(xstr(name), nullptr, nullptr, xstr(value));
    std::string braced = bracedName(*URI, localNameForName(name));
    return addAttributeNamed(xstr(braced), nullptr, nullptr, xstr(value));
}

bool GDataXMLElement::addAttributeNamed(const xmlChar* name, const xmlChar* href, const xmlChar* preferredPrefix,
                                        const xmlChar* value) {
    releaseCachedValues();
    // An attribute already present is never replaced.
    for (xmlAttrPtr existing = node_->properties; existing; existing = existing->next) {
        if (xequal(attributeURI(existing), href) && xequal(existing->name, name)) return false;
    }

    xmlNsPtr ns = nullptr;
    if (href) {
        ns = xmlStrEqual(href, XML_XML_NAMESPACE) ? xmlSearchNs(node_->doc, node_, kXMLPrefix)
                                                  : searchPrefixedNamespaceByHref(node_, href);
        if (!ns) ns = declareNamespace(node_, href, preferredPrefix);
    }
    xmlAttrPtr created = xmlNewNsProp(node_, ns, name, value);  // value taken literally
    if (!created) return false;
    fixUpNamespacesForNode(reinterpret_cast<xmlNodePtr>(created), node_, tree_.get());

    // A braced or prefixed name may have resolved to an attribute the element already has.
    for (xmlAttrPtr existing = node_->properties; existing; existing = existing->next) {
        if (existing != created && sameExpandedName(existing, created)) {
            xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(created));
            xmlFreeProp(created);
            return false;
        }
    }
    return true;
}

std::shared_ptr<GDataXMLNode> GDataXMLElement::attributeForXMLNode(xmlAttrPtr theXMLNode) const {
    if (!theXMLNode) return nullptr;
    for (const auto& attr : cachedAttributes()) {
        if (attr->node_ == reinterpret_cast<xmlNodePtr>(theXMLNode)) return attr;
    }
    return nullptr;
}

xmlAttrPtr GDataXMLElement::findAttributeForName(std::string_view name) const {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return nullptr;
    for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) {
        if (xequal(attr->name, name)) return attr;
    }
    auto prefix = prefixForName(name);
    if (!prefix) return nullptr;
    const xmlChar* uri = lookupNamespaceURI(node_, xstr(*prefix));
    std::string_view local = name.substr(prefix->size() + 1);
    if (local.empty()) local = name;  // a name ending in its only colon is its own local name
    for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) {
        bool inNamespace = uri ? (attr->ns && xequal(attr->ns->href, uri)) : attr->ns == nullptr;
        if (inNamespace && xequal(attr->name, local)) return attr;
    }
    return nullptr;
}

xmlAttrPtr GDataXMLElement::findAttributeForLocalName(std::string_view localName,
                                                      std::optional<std::string_view> URI) const {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return nullptr;
    bool hasURI = URI && !URI->empty();
    for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) {
        bool inNamespace = hasURI ? (attr->ns && xequal(attr->ns->href, *URI)) : attr->ns == nullptr;
        if (inNamespace && xequal(attr->name, localName)) return attr;
    }
    if (hasURI) {
        // A name not yet resolved: "{URI}:local", compared in place.
        for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) {
            if (attr->ns || !attr->name || attr->name[0] != '{') continue;
            std::string_view n(reinterpret_cast<const char*>(attr->name));
            if (n.size() == URI->size() + localName.size() + 3 && n.substr(1, URI->size()) == *URI &&
                n.substr(1 + URI->size(), 2) == "}:" && n.substr(3 + URI->size()) == localName)
                return attr;
        }
    }
    return nullptr;
}

std::shared_ptr<GDataXMLNode> GDataXMLElement::attributeForName(std::string_view name) const {
    return attributeForXMLNode(findAttributeForName(name));
}

std::shared_ptr<GDataXMLNode> GDataXMLElement::attributeForLocalName(std::string_view localName,
                                                                     std::optional<std::string_view> URI) const {
    return attributeForXMLNode(findAttributeForLocalName(localName, URI));
}

bool GDataXMLElement::visitAttributeForName(std::string_view name,
                                            const std::function<void(const GDataXMLNode&)>& visit) const {
    xmlAttrPtr attr = findAttributeForName(name);
    if (!attr) return false;
    const GDataXMLNode view(Token{}, reinterpret_cast<xmlNodePtr>(attr), nullptr);
    visit(view);
    return true;
}

bool GDataXMLElement::visitAttributeForLocalName(std::string_view localName, std::optional<std::string_view> URI,
                                                 const std::function<void(const GDataXMLNode&)>& visit) const {
    xmlAttrPtr attr = findAttributeForLocalName(localName, URI);
    if (!attr) return false;
    const GDataXMLNode view(Token{}, reinterpret_cast<xmlNodePtr>(attr), nullptr);
    visit(view);
    return true;
}

std::optional<std::string> GDataXMLElement::resolvePrefixForNamespaceURI(std::string_view namespaceURI) const {
    if (!node_ || node_->type != XML_ELEMENT_NODE) return std::nullopt;
    std::string uri(namespaceURI);
    if (xmlStrEqual(xstr(uri), XML_XML_NAMESPACE)) return std::string("xml");
    xmlNsPtr ns = xmlSearchNsByHref(node_->doc, node_, xstr(uri));
    if (!ns) return std::nullopt;
    return ns->prefix ? str(ns->prefix) : std::string();
}

std::shared_ptr<GDataXMLElement> GDataXMLElement::copy() const {
    return std::static_pointer_cast<GDataXMLElement>(GDataXMLNode::copy());
}

// --- namespace fix-up ---

void GDataXMLElement::fixUpNamespacesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode, GDataXMLTree* tree) {
    NamespaceSubstitutionMap nsMap;
    fixUpNamespacesForNode(nodeToFix, graftPointNode, nsMap, tree);
}

void GDataXMLElement::fixUpNamespacesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode,
                                             NamespaceSubstitutionMap& nsMap, GDataXMLTree* tree) {
    fixUpNamespaces(nodeToFix, graftPointNode, nsMap, tree, true);
}

void GDataXMLElement::fixUpNamespaces(xmlNodePtr node, xmlNodePtr graft, NamespaceSubstitutionMap& nsMap,
                                      GDataXMLTree* tree, bool isTop) {
    if (!node || (node->type != XML_ELEMENT_NODE && node->type != XML_ATTRIBUTE_NODE)) return;
    bool underGraft = isUnder(node, graft);
    fixQualifiedName(node, scopeFor(node, graft, underGraft));
    // The top node's declarations are compared with those in force at the graft point; a
    // descendant's with those in force at its parent.
    fixDuplicateNamespacesForNode(node, isTop ? graft : node->parent, nsMap, tree);
    if (node->type == XML_ELEMENT_NODE) {
        for (xmlNodePtr child = node->children; child; child = child->next) {
            fixUpNamespaces(child, graft, nsMap, tree, false);
        }
        for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
            fixUpNamespaces(reinterpret_cast<xmlNodePtr>(attr), graft, nsMap, tree, false);
        }
    }
}

void GDataXMLElement::fixQualifiedNamesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode) {
    if (!nodeToFix || (nodeToFix->type != XML_ELEMENT_NODE && nodeToFix->type != XML_ATTRIBUTE_NODE)) return;
    fixQualifiedName(nodeToFix, scopeFor(nodeToFix, graftPointNode, isUnder(nodeToFix, graftPointNode)));
}

void GDataXMLElement::fixDuplicateNamespacesForNode(xmlNodePtr nodeToFix, xmlNodePtr graftPointNode,
                                                    NamespaceSubstitutionMap& nsMap, GDataXMLTree* tree) {
    if (!nodeToFix) return;
    if (nodeToFix->type == XML_ELEMENT_NODE && graftPointNode && graftPointNode->type == XML_ELEMENT_NODE) {
        for (xmlNsPtr ns = nodeToFix->nsDef; ns;) {
            xmlNsPtr next = ns->next;
            if (!isXMLPrefix(ns->prefix)) {
                xmlNsPtr inScope = xmlSearchNs(graftPointNode->doc, graftPointNode, ns->prefix);
                if (inScope && inScope != ns && xequal(inScope->href, ns->href)) {
                    nsMap[ns] = inScope;
                    deleteNamespacePtr(ns, nodeToFix, tree);
                }
            }
            ns = next;
        }
    }
    if (nodeToFix->type == XML_ELEMENT_NODE || nodeToFix->type == XML_ATTRIBUTE_NODE) {
        if (nodeToFix->ns) {
            auto found = nsMap.find(nodeToFix->ns);
            if (found != nsMap.end()) nodeToFix->ns = found->second;
        }
    }
}

void GDataXMLElement::deleteNamespacePtr(xmlNsPtr namespaceToDelete, xmlNodePtr node, GDataXMLTree* tree) {
    if (!namespaceToDelete || !node || node->type != XML_ELEMENT_NODE) return;
    xmlNsPtr* link = &node->nsDef;
    while (*link && *link != namespaceToDelete) link = &(*link)->next;
    if (!*link) return;
    *link = namespaceToDelete->next;
    namespaceToDelete->next = nullptr;
    // Wrappers of the declaration may remain; with a tree it is kept until the tree goes.
    if (tree) {
        tree->buryNamespace(namespaceToDelete);
    } else {
        xmlFreeNs(namespaceToDelete);
    }
}

}  // namespace quorvane
