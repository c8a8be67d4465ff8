#include "gdata/GDataXMLNode.h"

#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cstdio>
#include <functional>

#include "gdata/GDataXMLElement.h"
#include "gdata/GDataXMLTree.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

using namespace gdataxml;

namespace {

std::shared_ptr<GDataXMLNode> owningWrapper(xmlNodePtr node) {
    if (!node) return nullptr;
    return GDataXMLNode::wrap(node, GDataXMLTree::owning(node));
}

std::shared_ptr<GDataXMLElement> owningElement(xmlNodePtr node) {
    return std::static_pointer_cast<GDataXMLElement>(owningWrapper(node));
}

}  // namespace

GDataXMLNode::GDataXMLNode(Token, xmlNodePtr node, std::shared_ptr<GDataXMLTree> tree)
    : node_(node), tree_(std::move(tree)) {}

GDataXMLNode::~GDataXMLNode() = default;

std::shared_ptr<GDataXMLNode> GDataXMLNode::wrap(xmlNodePtr node, std::shared_ptr<GDataXMLTree> tree) {
    if (!node) return nullptr;
    if (node->type == XML_ELEMENT_NODE) return std::make_shared<GDataXMLElement>(Token{}, node, std::move(tree));
    return std::make_shared<GDataXMLNode>(Token{}, node, std::move(tree));
}

// --- factories ---

std::shared_ptr<GDataXMLElement> GDataXMLNode::elementWithName(std::string_view name) {
    ensureInitialized();
    return owningElement(xmlNewNode(nullptr, xstr(std::string(name))));
}

std::shared_ptr<GDataXMLElement> GDataXMLNode::elementWithName(std::string_view name, std::string_view stringValue) {
    ensureInitialized();
    xmlNodePtr element = xmlNewNode(nullptr, xstr(std::string(name)));
    if (!element) return nullptr;
    std::string value(stringValue);
    xmlNodePtr text = xmlNewText(xstr(value));  // literal text; escaped when written
    if (!text || !xmlAddChild(element, text)) {
        if (text) xmlFreeNode(text);
        xmlFreeNode(element);
        return nullptr;
    }
    return owningElement(element);
}

std::shared_ptr<GDataXMLElement> GDataXMLNode::elementWithNameURI(std::string_view name, std::string_view URI) {
    ensureInitialized();
    std::string braced = bracedName(URI, localNameForName(name));
    return owningElement(xmlNewNode(nullptr, xstr(braced)));
}

std::shared_ptr<GDataXMLNode> GDataXMLNode::attributeWithName(std::string_view name, std::string_view stringValue) {
    ensureInitialized();
    std::string n(name), v(stringValue);
    return owningWrapper(reinterpret_cast<xmlNodePtr>(xmlNewProp(nullptr, xstr(n), xstr(v))));
}

std::shared_ptr<GDataXMLNode> GDataXMLNode::attributeWithName(std::string_view name, std::string_view URI,
                                                              std::string_view stringValue) {
    ensureInitialized();
    std::string braced = bracedName(URI, localNameForName(name)), v(stringValue);
    return owningWrapper(reinterpret_cast<xmlNodePtr>(xmlNewProp(nullptr, xstr(braced), xstr(v))));
}

std::shared_ptr<GDataXMLNode> GDataXMLNode::textWithStringValue(std::string_view value) {
    ensureInitialized();
    std::string v(value);
    return owningWrapper(xmlNewText(xstr(v)));
}

std::shared_ptr<GDataXMLNode> GDataXMLNode::namespaceWithName(std::string_view name, std::string_view stringValue) {
    ensureInitialized();
    std::string prefix(name), uri(stringValue);
    xmlNsPtr ns = xmlNewNs(nullptr, xstr(uri), prefix.empty() ? nullptr : xstr(prefix));
    return owningWrapper(reinterpret_cast<xmlNodePtr>(ns));
}

std::shared_ptr<GDataXMLNode> GDataXMLNode::nodeConsumingXMLNode(xmlNodePtr node) {
    ensureInitialized();
    return owningWrapper(node);
}

std::shared_ptr<GDataXMLNode> GDataXMLNode::nodeBorrowingXMLNode(xmlNodePtr node) {
    ensureInitialized();
    return wrap(node, nullptr);
}

std::string GDataXMLNode::localNameForName(std::string_view name) {
    size_t colon = name.find(':');
    if (colon != std::string_view::npos && colon + 1 < name.size()) return std::string(name.substr(colon + 1));
    return std::string(name);
}

std::optional<std::string> GDataXMLNode::prefixForName(std::string_view name) {
    size_t colon = name.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return std::string(name.substr(0, colon));
}

// --- the libxml2 node ---

xmlNodePtr GDataXMLNode::XMLNodeCopy() const {
    if (!node_) return nullptr;
    return copyNode(node_, nullptr);
}

bool GDataXMLNode::shouldFreeXMLNode() const {
    return node_ && tree_ && tree_->root() == node_ && tree_->ownsRoot();
}

void GDataXMLNode::setShouldFreeXMLNode(bool flag) {
    if (!node_) return;
    if (!flag) {
        if (shouldFreeXMLNode()) tree_->setOwnsRoot(false);
        return;
    }
    if (shouldFreeXMLNode()) return;
    if (tree_ && tree_->root() == node_) {
        tree_->setOwnsRoot(true);
        return;
    }
    bool detached = !tree_ && (node_->type == XML_NAMESPACE_DECL ||
                               (node_->parent == nullptr && (node_->doc == nullptr ||
                                                             node_ == reinterpret_cast<xmlNodePtr>(node_->doc))));
    if (!QV_ASSERT(detached, "GDataXMLNode cannot take ownership of a node inside a tree")) return;
    releaseCachedValues();
    tree_ = GDataXMLTree::owning(node_);
}

// --- reading ---

std::optional<std::string> GDataXMLNode::stringValue() const {
    if (!node_) return std::nullopt;
    if (node_->type == XML_NAMESPACE_DECL) {
        auto ns = reinterpret_cast<xmlNsPtr>(node_);
        if (!ns->href) return std::nullopt;
        return str(ns->href);
    }
    xmlChar* content = xmlNodeGetContent(node_);
    if (!content) return std::nullopt;
    std::string result = str(content);
    xmlFree(content);
    return result;
}

void GDataXMLNode::setStringValue(std::string_view value) {
    if (!node_) return;
    std::string v(value);
    switch (node_->type) {
        case XML_NAMESPACE_DECL: {
            auto ns = reinterpret_cast<xmlNsPtr>(node_);
            if (ns->href) xmlFree(const_cast<xmlChar*>(ns->href));
            ns->href = xmlStrdup(xstr(v));
            return;
        }
        case XML_ELEMENT_NODE:
        case XML_ATTRIBUTE_NODE:
        case XML_DOCUMENT_FRAG_NODE: {
            // The value is text, not markup: "&amp;" stays five characters. The old children
            // are unlinked and kept with the tree, since wrappers may point at them.
            releaseCachedValues();
            xmlNodePtr child = node_->children;
            while (child) {
                xmlNodePtr next = child->next;
                xmlUnlinkNode(child);
                if (tree_) {
                    tree_->bury(child);
                } else {
                    xmlFreeNode(child);
                }
                child = next;
            }
            node_->children = node_->last = nullptr;
            xmlNodePtr text = xmlNewDocText(node_->doc, xstr(v));
            if (!text) return;
            text->parent = node_;
            node_->children = node_->last = text;
            return;
        }
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            xmlNodeSetContent(node_, xstr(v));  // stored as given for these kinds
            return;
        default:
            return;
    }
}

std::optional<std::string> GDataXMLNode::XMLString() const {
    if (!node_) return std::nullopt;
    ErrorCapture capture;
    xmlBufferPtr buffer = xmlBufferCreate();
    if (!buffer) return std::nullopt;
    xmlNodeDump(buffer, documentOf(node_), node_, 0, 0);
    std::string out(reinterpret_cast<const char*>(xmlBufferContent(buffer)), static_cast<size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    for (const auto& m : capture.messages()) platform::Log::debug("GDataXML", m);
    return platform::trimWhitespace(out);
}

std::optional<std::string> GDataXMLNode::localName() const {
    if (!node_) return std::nullopt;
    if (node_->type == XML_NAMESPACE_DECL) {
        auto ns = reinterpret_cast<xmlNsPtr>(node_);
        return ns->prefix ? str(ns->prefix) : std::string();
    }
    if (!node_->name) return std::nullopt;
    std::string name = str(node_->name);
    std::string uri, local;
    if ((node_->type == XML_ELEMENT_NODE || node_->type == XML_ATTRIBUTE_NODE) && splitBracedName(name, uri, local)) {
        return local;
    }
    return localNameForName(name);
}

std::optional<std::string> GDataXMLNode::prefix() const {
    if (!node_) return std::nullopt;
    xmlNsPtr ns = namespaceOf(node_);
    if (ns && ns->prefix) return str(ns->prefix);
    return std::string();
}

std::optional<std::string> GDataXMLNode::URI() const {
    if (!node_) return std::nullopt;
    xmlNsPtr ns = namespaceOf(node_);
    if (ns && ns->href) return str(ns->href);
    return std::nullopt;
}

std::optional<std::string> GDataXMLNode::qualifiedName() const {
    if (!node_) return std::nullopt;
    if (node_->type == XML_NAMESPACE_DECL) {
        auto ns = reinterpret_cast<xmlNsPtr>(node_);
        return ns->prefix ? str(ns->prefix) : std::string();
    }
    if (!node_->name) return std::nullopt;
    xmlNsPtr ns = namespaceOf(node_);
    if (ns && ns->prefix) {
        std::string q = str(ns->prefix);
        q += ':';
        q += reinterpret_cast<const char*>(node_->name);
        return q;
    }
    return str(node_->name);
}

std::string_view GDataXMLNode::storedName() const {
    if (!node_ || node_->type == XML_NAMESPACE_DECL || !node_->name) return {};
    return reinterpret_cast<const char*>(node_->name);
}

std::optional<std::string_view> GDataXMLNode::namespaceURIView() const {
    xmlNsPtr ns = namespaceOf(node_);
    if (!ns || !ns->href) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(ns->href));
}

bool GDataXMLNode::hasQualifiedName(std::string_view name) const {
    std::string_view local = storedName();
    if (local.empty()) return false;
    xmlNsPtr ns = namespaceOf(node_);
    if (ns && ns->prefix) {
        std::string_view prefix(reinterpret_cast<const char*>(ns->prefix));
        return name.size() == prefix.size() + 1 + local.size() && name.substr(0, prefix.size()) == prefix &&
               name[prefix.size()] == ':' && name.substr(prefix.size() + 1) == local;
    }
    return name == local;
}

bool GDataXMLNode::isTextNode() const {
    return node_ && (node_->type == XML_TEXT_NODE || node_->type == XML_CDATA_SECTION_NODE);
}

std::optional<std::string_view> GDataXMLNode::simpleContent() const {
    if (!node_) return std::nullopt;
    if (isTextNode()) return std::string_view(node_->content ? reinterpret_cast<const char*>(node_->content) : "");
    if (node_->type != XML_ELEMENT_NODE && node_->type != XML_ATTRIBUTE_NODE) return std::nullopt;
    xmlNodePtr c = node_->children;
    if (!c) return std::string_view();
    if (!c->next && c->type == XML_TEXT_NODE && c->content) return std::string_view(reinterpret_cast<const char*>(c->content));
    return std::nullopt;
}

const void* GDataXMLNode::mark() const {
    return hasTreeLinks(node_) ? node_->_private : nullptr;
}

void GDataXMLNode::setMark(const void* mark) const {
    if (hasTreeLinks(node_)) node_->_private = const_cast<void*>(mark);
}

GDataXMLNode::Caches& GDataXMLNode::caches() const {
    if (!caches_) caches_ = std::make_unique<Caches>();
    return *caches_;
}

const std::optional<std::string>& GDataXMLNode::nameRef() const {
    auto& c = caches();
    if (!c.nameCached) {
        c.name = qualifiedName();
        c.nameCached = true;
    }
    return c.name;
}

std::optional<std::string> GDataXMLNode::name() const { return nameRef(); }

namespace {
const GDataXMLNodeList kNoNodes;
}  // namespace

const GDataXMLNodeList& GDataXMLNode::cachedChildren() const {
    // A node without children needs no cache: most leaves of a parsed feed never get one.
    if (!(caches_ && caches_->children) && (!hasTreeLinks(node_) || !node_->children)) return kNoNodes;
    auto& c = caches();
    if (!c.children) {
        GDataXMLNodeList list;
        // An entity reference's child link points at the declaration inside the DTD, whose
        // siblings are other declarations: it is not listed as a child.
        if (hasTreeLinks(node_) && node_->type != XML_ENTITY_REF_NODE) {
            list.reserve(childCount());
            for (xmlNodePtr child = node_->children; child; child = child->next) list.push_back(wrap(child, tree_));
        }
        c.children = std::move(list);
    }
    return *c.children;
}

const GDataXMLNodeList& GDataXMLNode::cachedAttributes() const {
    if (!(caches_ && caches_->attributes) && (!node_ || node_->type != XML_ELEMENT_NODE || !node_->properties))
        return kNoNodes;
    auto& c = caches();
    if (!c.attributes) {
        GDataXMLNodeList list;
        if (node_ && node_->type == XML_ELEMENT_NODE) {
            size_t count = 0;
            for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) ++count;
            list.reserve(count);
            for (xmlAttrPtr attr = node_->properties; attr; attr = attr->next) {
                list.push_back(wrap(reinterpret_cast<xmlNodePtr>(attr), tree_));
            }
        }
        c.attributes = std::move(list);
    }
    return *c.attributes;
}

xmlNodePtr GDataXMLNode::takeDetachedRoot(std::shared_ptr<GDataXMLNode>& wrapper, GDataXMLTree& into) {
    if (!wrapper || wrapper.use_count() != 1) return nullptr;
    xmlNodePtr node = wrapper->node_;
    const auto& tree = wrapper->tree_;
    // A node made for a document (see GDataXMLDocumentBuilder) moves only within that document.
    if (!node || !hasTreeLinks(node) || node->parent || (node->doc && node->doc != documentOf(into.root())) ||
        !tree || tree.get() == &into || tree->root() != node || !tree->ownsRoot())
        return nullptr;
    // The wrapper's own caches hold the tree too; without them it must be the only holder.
    wrapper->releaseCachedValues();
    if (tree.use_count() != 1) return nullptr;
    tree->setOwnsRoot(false);
    into.takeBuried(*tree);
    wrapper.reset();
    return node;
}

void GDataXMLNode::releaseCachedValues() {
    caches_.reset();
}

size_t GDataXMLNode::childCount() const {
    if (caches_ && caches_->children) return caches_->children->size();
    size_t count = 0;
    if (hasTreeLinks(node_) && node_->type != XML_ENTITY_REF_NODE) {
        for (xmlNodePtr child = node_->children; child; child = child->next) ++count;
    }
    return count;
}

const GDataXMLNodeList& GDataXMLNode::children() const { return cachedChildren(); }

std::shared_ptr<GDataXMLNode> GDataXMLNode::childAtIndex(size_t index) const {
    const auto& list = cachedChildren();
    return index < list.size() ? list[index] : nullptr;
}

GDataXMLNodeKind GDataXMLNode::kind() const {
    if (!node_) return GDataXMLNodeKind::Invalid;
    switch (static_cast<int>(node_->type)) {
        case XML_DOCUMENT_NODE:
        case XML_DOCUMENT_TYPE_NODE:
        case XML_DOCUMENT_FRAG_NODE:
        case XML_HTML_DOCUMENT_NODE:
        case 21:  // DOCB document
            return GDataXMLNodeKind::Document;
        case XML_ELEMENT_NODE:
            return GDataXMLNodeKind::Element;
        case XML_ATTRIBUTE_NODE:
            return GDataXMLNodeKind::Attribute;
        case XML_NAMESPACE_DECL:
            return GDataXMLNodeKind::Namespace;
        case XML_PI_NODE:
        case XML_XINCLUDE_START:
        case XML_XINCLUDE_END:
            return GDataXMLNodeKind::ProcessingInstruction;
        case XML_COMMENT_NODE:
            return GDataXMLNodeKind::Comment;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            return GDataXMLNodeKind::Text;
        case XML_DTD_NODE:
            return GDataXMLNodeKind::DTD;
        case XML_ENTITY_REF_NODE:
        case XML_ENTITY_NODE:
        case XML_ENTITY_DECL:
            return GDataXMLNodeKind::EntityDeclaration;
        case XML_ATTRIBUTE_DECL:
            return GDataXMLNodeKind::AttributeDeclaration;
        case XML_ELEMENT_DECL:
            return GDataXMLNodeKind::ElementDeclaration;
        case XML_NOTATION_NODE:
            return GDataXMLNodeKind::NotationDeclaration;
        default:
            return GDataXMLNodeKind::Invalid;
    }
}

// --- XPath ---

platform::Result<GDataXMLNodeList> GDataXMLNode::nodesForXPath(std::string_view xpath) const {
    return nodesForXPath(xpath, nullptr);
}

platform::Result<GDataXMLNodeList> GDataXMLNode::nodesForXPath(std::string_view xpath,
                                                               const GDataXMLNamespaceDictionary* namespaces) const {
    ensureInitialized();
    auto fail = [](int64_t code, platform::Value info) {
        return platform::Error(kGDataXMLErrorDomain, code, std::move(info));
    };
    auto invalidNode = [&]() -> platform::Result<GDataXMLNodeList> {
        platform::Value info = platform::Value::dictionary();
        info.set(kGDataXMLErrorKey, "invalid node");
        return fail(-1, std::move(info));
    };
    if (!node_ || node_->type == XML_NAMESPACE_DECL) return invalidNode();

    bool isDocument = node_->type == XML_DOCUMENT_NODE || node_->type == XML_HTML_DOCUMENT_NODE;
    xmlDocPtr doc = isDocument ? reinterpret_cast<xmlDocPtr>(node_) : node_->doc;

    // A node of no document is queried inside a scratch document holding its topmost
    // ancestor; the tree is detached again afterwards.
    xmlDocPtr scratch = nullptr;
    xmlNodePtr top = nullptr;
    if (!doc) {
        scratch = xmlNewDoc(nullptr);
        if (!scratch) return invalidNode();
        top = node_;
        while (top->parent) top = top->parent;
        if (top->type == XML_ELEMENT_NODE) {
            xmlDocSetRootElement(scratch, top);
        } else {
            top = nullptr;
        }
        doc = scratch;
    }
    auto dissolveScratch = [&] {
        if (!scratch) return;
        if (top) {
            xmlUnlinkNode(top);
            xmlSetTreeDoc(top, nullptr);
        }
        xmlFreeDoc(scratch);
        scratch = nullptr;
    };

    ErrorCapture capture;
    xmlXPathContextPtr context = xmlXPathNewContext(doc);
    if (!context) {
        dissolveScratch();
        return fail(-1, platform::Value::dictionary());
    }
    context->node = node_;

    if (namespaces) {
        for (const auto& [prefix, uri] : *namespaces) {
            xmlXPathRegisterNs(context, xstr(prefix), xstr(uri));
        }
    } else {
        xmlNodePtr element = nullptr;
        if (isDocument) {
            element = xmlDocGetRootElement(doc);
        } else {
            for (xmlNodePtr n = node_; n; n = n->parent) {
                if (n->type == XML_ELEMENT_NODE) {
                    element = n;
                    break;
                }
            }
        }
        static const xmlChar* kDefaultPrefix = reinterpret_cast<const xmlChar*>("_def_ns");
        for (xmlNsPtr ns = element ? element->ns : nullptr; ns; ns = ns->next) {
            if (!ns->href) continue;
            xmlXPathRegisterNs(context, ns->prefix ? ns->prefix : kDefaultPrefix, ns->href);
        }
    }

    std::string expression(xpath);
    xmlXPathObjectPtr result = xmlXPathEval(xstr(expression), context);
    platform::Result<GDataXMLNodeList> nodes = GDataXMLNodeList();
    if (result) {
        GDataXMLNodeList list;
        if (result->type == XPATH_NODESET && result->nodesetval) {
            for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
                xmlNodePtr found = result->nodesetval->nodeTab[i];
                if (!found) continue;
                if (found->type == XML_NAMESPACE_DECL) {
                    // The result's namespace nodes are temporary copies freed with it.
                    auto copied = owningWrapper(reinterpret_cast<xmlNodePtr>(copyNamespace(reinterpret_cast<xmlNsPtr>(found))));
                    if (copied) list.push_back(std::move(copied));
                } else if (scratch && found == reinterpret_cast<xmlNodePtr>(scratch)) {
                    continue;  // the scratch document does not outlive the query
                } else {
                    list.push_back(wrap(found, tree_));
                }
            }
        }
        nodes = std::move(list);
        xmlXPathFreeObject(result);
    } else {
        // libxml2 keeps the code on the context and hands the message to this thread's
        // error handler, which the capture is.
        int code = context->lastError.code;
        std::string message = capture.messages().empty() ? std::string() : capture.messages().back();
        platform::Value info = platform::Value::dictionary();
        if (!message.empty()) info.set(kGDataXMLErrorKey, message);
        nodes = platform::Error(kGDataXMLErrorDomain, code != 0 ? code : -1, std::move(info));
    }
    xmlXPathFreeContext(context);
    dissolveScratch();
    for (const auto& m : capture.messages()) platform::Log::debug("GDataXML", m);
    return nodes;
}

// --- description, copy, equality ---

std::string GDataXMLNode::description() const {
    const std::string address = platform::addressText(this);
    int type = node_ ? static_cast<int>(node_->type) : -1;
    std::string out = className();
    out += ' ';
    out += address;
    out += ": {type:" + std::to_string(type) + " name:" + nameRef().value_or("(null)") +
           " xml:\"" + XMLString().value_or("(null)") + "\"}";
    return out;
}

std::shared_ptr<GDataXMLNode> GDataXMLNode::copy() const {
    if (!node_) return nullptr;
    std::vector<xmlNsPtr> extraNamespaces;
    xmlNodePtr copied = copyNode(node_, &extraNamespaces);
    if (!copied) {
        for (xmlNsPtr ns : extraNamespaces) xmlFreeNs(ns);
        return nullptr;
    }
    auto tree = GDataXMLTree::owning(copied);
    for (xmlNsPtr ns : extraNamespaces) tree->buryNamespace(ns);  // freed with the copy
    return wrap(copied, std::move(tree));
}

bool GDataXMLNode::isEqual(const GDataXMLNode* other) const {
    if (other == this) return true;
    if (!other) return false;
    if (node_ && node_ == other->node_) return true;
    return kind() == other->kind() && nameRef() == other->nameRef() && childCount() == other->childCount();
}

size_t GDataXMLNode::hash() const {
    static const size_t value = std::hash<std::string_view>()("GDataXMLNode");
    return value;
}

}  // namespace quorvane
