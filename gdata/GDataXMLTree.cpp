#include "gdata/GDataXMLTree.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace quorvane {

// --- GDataXMLTree ---

GDataXMLTree::GDataXMLTree(xmlNodePtr root) : root_(root) {}

std::shared_ptr<GDataXMLTree> GDataXMLTree::owning(xmlNodePtr root) {
    return std::make_shared<GDataXMLTree>(root);
}

GDataXMLTree::~GDataXMLTree() {
    // Buried nodes first: their strings may live in the document's dictionary, and their
    // attributes may be listed in the document's ID table.
    if (buried_)
        for (auto it = buried_->nodes.rbegin(); it != buried_->nodes.rend(); ++it) freeAnyNode(*it);
    if (root_ && ownsRoot_) freeAnyNode(root_);
    if (buried_)
        for (xmlNsPtr ns : buried_->namespaces) xmlFreeNs(ns);
}

void GDataXMLTree::bury(xmlNodePtr node) {
    if (!node) return;
    if (!buried_) buried_ = std::make_unique<Buried>();
    buried_->nodes.push_back(node);
}

void GDataXMLTree::buryNamespace(xmlNsPtr ns) {
    if (!ns) return;
    ns->next = nullptr;
    if (!buried_) buried_ = std::make_unique<Buried>();
    buried_->namespaces.push_back(ns);
}

void GDataXMLTree::takeBuried(GDataXMLTree& other) {
    if (!other.buried_) return;
    if (!buried_) {
        buried_ = std::move(other.buried_);
        return;
    }
    auto& nodes = other.buried_->nodes;
    auto& namespaces = other.buried_->namespaces;
    buried_->nodes.insert(buried_->nodes.end(), nodes.begin(), nodes.end());
    buried_->namespaces.insert(buried_->namespaces.end(), namespaces.begin(), namespaces.end());
    other.buried_.reset();
}

void GDataXMLTree::freeAnyNode(xmlNodePtr node) {
    if (!node) return;
    switch (node->type) {
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
#ifdef LIBXML_DOCB_ENABLED
        case XML_DOCB_DOCUMENT_NODE:
#endif
            xmlFreeDoc(reinterpret_cast<xmlDocPtr>(node));
            break;
        case XML_NAMESPACE_DECL:
            xmlFreeNs(reinterpret_cast<xmlNsPtr>(node));
            break;
        case XML_ATTRIBUTE_NODE:
            xmlFreeProp(reinterpret_cast<xmlAttrPtr>(node));
            break;
        case XML_DTD_NODE:
            xmlFreeDtd(reinterpret_cast<xmlDtdPtr>(node));
            break;
        default:
            xmlFreeNode(node);
            break;
    }
}

namespace gdataxml {

void ensureInitialized() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// --- ErrorCapture ---

namespace {

std::string trimmedMessage(const char* message) {
    std::string s = message ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

void genericHandler(void* context, const char* format, ...) {
    auto* capture = static_cast<ErrorCapture*>(context);
    if (!capture || !format) return;
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    capture->add(buffer);
}

}  // namespace

ErrorCapture::ErrorCapture() {
    ensureInitialized();
    // These read and write the calling thread's own handler slots.
    previousStructured_ = xmlStructuredError;
    previousStructuredContext_ = xmlStructuredErrorContext;
    previousGeneric_ = xmlGenericError;
    previousGenericContext_ = xmlGenericErrorContext;
    xmlSetStructuredErrorFunc(this, &ErrorCapture::structuredHandler);
    xmlSetGenericErrorFunc(this, &genericHandler);
}

ErrorCapture::~ErrorCapture() {
    xmlSetStructuredErrorFunc(previousStructuredContext_, previousStructured_);
    xmlSetGenericErrorFunc(previousGenericContext_, previousGeneric_);
}

void ErrorCapture::add(std::string message) {
    std::string m = trimmedMessage(message.c_str());
    if (!m.empty()) messages_.push_back(std::move(m));
}

void ErrorCapture::structuredHandler(void* context, xmlErrorPtr error) {
    auto* capture = static_cast<ErrorCapture*>(context);
    if (!capture || !error) return;
    std::string m = trimmedMessage(error->message);
    if (error->line > 0) m = "line " + std::to_string(error->line) + ": " + m;
    capture->add(std::move(m));
}

// --- names ---

bool splitBracedName(std::string_view name, std::string& uri, std::string& local) {
    if (name.size() < 3 || name.front() != '{') return false;
    size_t close = name.rfind("}:");
    if (close == std::string_view::npos || close < 1) return false;
    uri.assign(name.substr(1, close - 1));
    local.assign(name.substr(close + 2));
    return true;
}

std::string bracedName(std::string_view uri, std::string_view local) {
    std::string s;
    s.reserve(uri.size() + local.size() + 3);
    s += '{';
    s += uri;
    s += "}:";
    s += local;
    return s;
}

// --- namespace scope ---

static const xmlChar* kXMLPrefix = reinterpret_cast<const xmlChar*>("xml");

const xmlChar* lookupNamespaceURI(xmlNodePtr node, const xmlChar* prefix) {
    if (prefix && xmlStrEqual(prefix, kXMLPrefix)) return XML_XML_NAMESPACE;
    for (xmlNodePtr n = node; n && n->type == XML_ELEMENT_NODE; n = n->parent) {
        for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next) {
            if (xequal(ns->prefix, prefix)) {
                // An empty default declaration (xmlns="") unbinds the default namespace.
                if (!prefix && (!ns->href || !*ns->href)) return nullptr;
                return ns->href;
            }
        }
    }
    return nullptr;
}

xmlNsPtr nearestDeclaration(xmlNodePtr node, const xmlChar* prefix) {
    for (xmlNodePtr n = node; n && n->type == XML_ELEMENT_NODE; n = n->parent) {
        for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next) {
            if (xequal(ns->prefix, prefix)) return ns;
        }
    }
    return nullptr;
}

xmlNsPtr searchPrefixedNamespaceByHref(xmlNodePtr element, const xmlChar* href) {
    if (!href) return nullptr;
    for (xmlNodePtr n = element; n && n->type == XML_ELEMENT_NODE; n = n->parent) {
        for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next) {
            if (ns->prefix && *ns->prefix && xequal(ns->href, href) &&
                nearestDeclaration(element, ns->prefix) == ns) {
                return ns;
            }
        }
    }
    return nullptr;
}

static bool declaredOn(xmlNodePtr element, const xmlChar* prefix) {
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
        if (xequal(ns->prefix, prefix)) return true;
    }
    return false;
}

xmlNsPtr declareNamespace(xmlNodePtr element, const xmlChar* href, const xmlChar* preferredPrefix) {
    if (!element || element->type != XML_ELEMENT_NODE || !href) return nullptr;
    // The XML namespace is bound to "xml" everywhere and may not be declared under another prefix.
    if (xmlStrEqual(href, XML_XML_NAMESPACE)) return xmlSearchNs(element->doc, element, kXMLPrefix);
    if (preferredPrefix && *preferredPrefix && !xmlStrEqual(preferredPrefix, kXMLPrefix)) {
        const xmlChar* bound = lookupNamespaceURI(element, preferredPrefix);
        if (bound && xmlStrEqual(bound, href)) {
            xmlNsPtr existing = nearestDeclaration(element, preferredPrefix);
            if (existing) return existing;
        }
        if (!bound && !declaredOn(element, preferredPrefix)) return xmlNewNs(element, href, preferredPrefix);
    }
    for (int i = 1; i < 100000; ++i) {
        std::string candidate = "ns" + std::to_string(i);
        if (!lookupNamespaceURI(element, xstr(candidate)) && !declaredOn(element, xstr(candidate))) {
            return xmlNewNs(element, href, xstr(candidate));
        }
    }
    return nullptr;
}

void repairNamespaces(xmlNodePtr element) {
    if (!element || element->type != XML_ELEMENT_NODE) return;
    auto repair = [](xmlNodePtr node, xmlNodePtr scope, bool isAttribute) {
        xmlNsPtr ns = node->ns;
        if (!ns || !ns->href) return;
        if (ns->prefix && xmlStrEqual(ns->prefix, kXMLPrefix)) return;
        if (isAttribute && !ns->prefix) return;  // written unprefixed either way
        if (nearestDeclaration(scope, ns->prefix) == ns) return;
        xmlNsPtr replacement = nullptr;
        if (isAttribute) {
            replacement = searchPrefixedNamespaceByHref(scope, ns->href);
        } else {
            xmlNsPtr byPrefix = nearestDeclaration(scope, ns->prefix);
            if (byPrefix && xequal(byPrefix->href, ns->href)) {
                replacement = byPrefix;
            } else {
                replacement = xmlSearchNsByHref(scope->doc, scope, ns->href);
                if (replacement && nearestDeclaration(scope, replacement->prefix) != replacement) replacement = nullptr;
            }
        }
        if (!replacement) replacement = declareNamespace(scope, ns->href, ns->prefix);
        if (replacement) node->ns = replacement;
    };
    std::vector<xmlNodePtr> stack{element};
    while (!stack.empty()) {
        xmlNodePtr node = stack.back();
        stack.pop_back();
        repair(node, node, false);
        for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
            repair(reinterpret_cast<xmlNodePtr>(attr), node, true);
        }
        for (xmlNodePtr child = node->last; child; child = child->prev) {
            if (child->type == XML_ELEMENT_NODE) stack.push_back(child);
        }
    }
}

// --- copies ---

xmlNsPtr copyNamespace(xmlNsPtr ns) {
    if (!ns) return nullptr;
    // Made by hand: libxml2's constructors refuse the "xml" prefix, which XPath results carry.
    auto* copy = static_cast<xmlNsPtr>(xmlMalloc(sizeof(xmlNs)));
    if (!copy) return nullptr;
    std::memset(copy, 0, sizeof(xmlNs));
    copy->type = XML_LOCAL_NAMESPACE;
    copy->href = ns->href ? xmlStrdup(ns->href) : nullptr;
    copy->prefix = ns->prefix ? xmlStrdup(ns->prefix) : nullptr;
    return copy;
}

static xmlNodePtr copyAttribute(xmlAttrPtr attr, std::vector<xmlNsPtr>* extraNamespaces) {
    // libxml2's own attribute copy drops the namespace of a detached copy and takes its
    // strings from the source document's dictionary; this copy owns everything.
    xmlAttrPtr copy = xmlNewDocProp(nullptr, attr->name, nullptr);
    if (!copy) return nullptr;
    xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attr));
    if (value) {
        xmlNodePtr text = xmlNewDocText(nullptr, value);
        xmlFree(value);
        if (text) {
            copy->children = copy->last = text;
            text->parent = reinterpret_cast<xmlNodePtr>(copy);
        }
    }
    if (attr->ns) {
        xmlNsPtr ns = copyNamespace(attr->ns);
        if (ns) {
            copy->ns = ns;
            if (extraNamespaces) extraNamespaces->push_back(ns);
        }
    }
    return reinterpret_cast<xmlNodePtr>(copy);
}

xmlNodePtr copyNode(xmlNodePtr node, std::vector<xmlNsPtr>* extraNamespaces) {
    if (!node) return nullptr;
    switch (node->type) {
        case XML_NAMESPACE_DECL:
            return reinterpret_cast<xmlNodePtr>(copyNamespace(reinterpret_cast<xmlNsPtr>(node)));
        case XML_ATTRIBUTE_NODE:
            return copyAttribute(reinterpret_cast<xmlAttrPtr>(node), extraNamespaces);
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
            return reinterpret_cast<xmlNodePtr>(xmlCopyDoc(reinterpret_cast<xmlDocPtr>(node), 1));
        default:
            // With no target document the copy duplicates every string and declares the
            // namespaces it uses from outside the copied subtree on the copy itself.
            return xmlCopyNode(node, 1);
    }
}

size_t nodesInSubtrees(xmlNodePtr first, xmlNodePtr last) {
    size_t n = 0;
    std::vector<xmlNodePtr> stack;
    for (xmlNodePtr node = first; node; node = node == last ? nullptr : node->next) stack.push_back(node);
    while (!stack.empty()) {
        xmlNodePtr node = stack.back();
        stack.pop_back();
        ++n;
        if (node->type != XML_ELEMENT_NODE) continue;
        for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) ++n;
        for (xmlNodePtr child = node->children; child; child = child->next) stack.push_back(child);
    }
    return n;
}

}  // namespace gdataxml
}  // namespace quorvane
