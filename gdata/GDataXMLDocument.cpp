#include "gdata/GDataXMLDocument.h"

#include <libxml/parser.h>

#include <climits>
#include <cstdio>

#include "gdata/GDataXMLTree.h"
#include "platform/foundation/Log.h"

namespace quorvane {

using namespace gdataxml;

namespace gdataxml {

xmlDocPtr parseDocument(const char* bytes, size_t length) {
    ensureInitialized();
    if (length > static_cast<size_t>(INT_MAX)) return nullptr;
    ErrorCapture capture;  // this thread's messages, kept off standard error
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) return nullptr;
    // Blank text nodes dropped and CDATA merged into text; nothing fetched from the network,
    // no external DTD loaded and no entity substituted, so external entities stay unread.
    const int options = XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET;
    xmlDocPtr doc = xmlCtxtReadMemory(context, length ? bytes : "", static_cast<int>(length), nullptr, nullptr, options);
    if (doc && !context->wellFormed) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    xmlFreeParserCtxt(context);
    for (const auto& message : capture.messages()) platform::Log::debug("GDataXML", message);
    return doc;
}

void resolveBracedNames(xmlNodePtr root) {
    if (!root || root->type != XML_ELEMENT_NODE) return;
    auto resolve = [](xmlNodePtr node, xmlNodePtr element, bool isAttribute) {
        if (node->ns || !node->name) return;
        std::string uri, local;
        if (!splitBracedName(str(node->name), uri, local) || uri.empty()) return;
        xmlNsPtr ns = nullptr;
        if (xmlStrEqual(xstr(uri), XML_XML_NAMESPACE)) {
            ns = xmlSearchNs(element->doc, element, reinterpret_cast<const xmlChar*>("xml"));
        } else if (isAttribute) {
            ns = searchPrefixedNamespaceByHref(element, xstr(uri));
        } else {
            ns = xmlSearchNsByHref(element->doc, element, xstr(uri));
        }
        if (!ns) ns = declareNamespace(element, xstr(uri), nullptr);
        if (!ns) return;
        xmlSetNs(node, ns);
        xmlNodeSetName(node, xstr(local));
    };
    std::vector<xmlNodePtr> stack{root};
    while (!stack.empty()) {
        xmlNodePtr element = stack.back();
        stack.pop_back();
        resolve(element, element, false);
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
            resolve(reinterpret_cast<xmlNodePtr>(attr), element, true);
        }
        for (xmlNodePtr child = element->last; child; child = child->prev) {
            if (child->type == XML_ELEMENT_NODE) stack.push_back(child);
        }
    }
}

}  // namespace gdataxml

GDataXMLDocument::GDataXMLDocument(Token, xmlDocPtr doc, std::shared_ptr<GDataXMLTree> tree)
    : doc_(doc), tree_(std::move(tree)) {}

GDataXMLDocument::~GDataXMLDocument() = default;

std::shared_ptr<GDataXMLDocument> GDataXMLDocument::parse(const char* bytes, size_t length, platform::Error* error) {
    xmlDocPtr doc = parseDocument(bytes, length);
    if (!doc) {
        if (error) *error = platform::Error(kGDataXMLErrorDomain, -1);
        return nullptr;
    }
    if (error) *error = platform::Error();
    return std::make_shared<GDataXMLDocument>(Token{}, doc, GDataXMLTree::owningDocument(doc));
}

std::shared_ptr<GDataXMLDocument> GDataXMLDocument::initWithXMLString(std::string_view xml, unsigned,
                                                                      platform::Error* error) {
    return parse(xml.data(), xml.size(), error);
}

std::shared_ptr<GDataXMLDocument> GDataXMLDocument::initWithData(const platform::Bytes& data, unsigned,
                                                                 platform::Error* error) {
    return parse(reinterpret_cast<const char*>(data.data()), data.size(), error);
}

std::shared_ptr<GDataXMLDocument> GDataXMLDocument::initWithData(const void* bytes, size_t length, unsigned,
                                                                 platform::Error* error) {
    return parse(static_cast<const char*>(bytes), bytes ? length : 0, error);
}

std::shared_ptr<GDataXMLDocument> GDataXMLDocument::initWithRootElement(const std::shared_ptr<GDataXMLElement>& element) {
    ensureInitialized();
    xmlDocPtr doc = xmlNewDoc(nullptr);
    if (!doc) return nullptr;
    if (element && element->XMLNode()) {
        xmlNodePtr copied = copyNode(element->XMLNode(), nullptr);
        if (copied) {
            xmlDocSetRootElement(doc, copied);
            resolveBracedNames(copied);
        }
    }
    return std::make_shared<GDataXMLDocument>(Token{}, doc, GDataXMLTree::owningDocument(doc));
}

std::shared_ptr<GDataXMLElement> GDataXMLDocument::rootElement() const {
    xmlNodePtr root = doc_ ? xmlDocGetRootElement(doc_) : nullptr;
    if (!root) return nullptr;
    if (!cachedRoot_ || cachedRoot_->XMLNode() != root) {
        cachedRoot_ = std::static_pointer_cast<GDataXMLElement>(GDataXMLNode::wrap(root, tree_));
    }
    return cachedRoot_;
}

std::optional<platform::Bytes> GDataXMLDocument::XMLData() const {
    if (!doc_) return std::nullopt;
    resolveBracedNames(xmlDocGetRootElement(doc_));
    ErrorCapture capture;
    xmlChar* memory = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc_, &memory, &size);
    for (const auto& message : capture.messages()) platform::Log::debug("GDataXML", message);
    if (!memory) return std::nullopt;
    std::optional<platform::Bytes> result;
    if (size > 0) result = platform::Bytes(memory, memory + size);
    xmlFree(memory);
    return result;
}

namespace {

void replaceDocumentString(xmlDocPtr doc, const xmlChar*& field, std::optional<std::string_view> value) {
    if (field && !(doc->dict && xmlDictOwns(doc->dict, field))) xmlFree(const_cast<xmlChar*>(field));
    field = value ? xmlStrdup(xstr(std::string(*value))) : nullptr;
}

}  // namespace

void GDataXMLDocument::setVersion(std::optional<std::string_view> version) {
    if (doc_) replaceDocumentString(doc_, doc_->version, version);
}

void GDataXMLDocument::setCharacterEncoding(std::optional<std::string_view> encoding) {
    if (doc_) replaceDocumentString(doc_, doc_->encoding, encoding);
}

std::optional<GDataXMLNodeList> GDataXMLDocument::nodesForXPath(std::string_view xpath, platform::Error* error) const {
    return nodesForXPath(xpath, nullptr, error);
}

std::optional<GDataXMLNodeList> GDataXMLDocument::nodesForXPath(std::string_view xpath,
                                                                const GDataXMLNamespaceDictionary* namespaces,
                                                                platform::Error* error) const {
    auto documentNode = GDataXMLNode::wrap(reinterpret_cast<xmlNodePtr>(doc_), tree_);
    if (!documentNode) {
        platform::Value info = platform::Value::dictionary();
        info.set(kGDataXMLErrorKey, "invalid node");
        if (error) *error = platform::Error(kGDataXMLErrorDomain, -1, std::move(info));
        return std::nullopt;
    }
    return documentNode->nodesForXPath(xpath, namespaces, error);
}

std::string GDataXMLDocument::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("GDataXMLDocument ") + address;
}

}  // namespace quorvane
