#include "gdata/GDataXMLDocument.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Strings.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gdata/GDataXMLTree.h"
#include "platform/foundation/Log.h"

namespace quorvane {

using namespace gdataxml;

namespace {

// Marks the parser contexts of this layer; entity parsers made from them inherit it.
char kRefuseExternalResources;
xmlExternalEntityLoader previousEntityLoader;

// What made this thread's parse refuse a well-formed document (the parse runs on one thread).
thread_local std::optional<platform::Error> currentRefusal;

void refuse(int64_t code, const std::string& sentence) {
    if (!currentRefusal) currentRefusal = platform::Error::withDescription(kGDataXMLErrorDomain, code, sentence);
}

// Documents come from the network: they never make the parser read a file or fetch a URL (an
// external entity or DTD), and a document that asks for one is refused rather than read with
// the entity left out. Other parsers in the process keep the loader they had.
xmlParserInputPtr refusingEntityLoader(const char* url, const char* id, xmlParserCtxtPtr context) {
    if (context && context->_private == &kRefuseExternalResources) {
        platform::Log::debug("GDataXML", std::string("external resource not loaded: ") + (url ? url : id ? id : ""));
        refuse(kGDataXMLErrorExternalEntity,
               "The document was refused: it uses an external entity (a file or an address named in it), which is never read.");
        xmlStopParser(context);
        return nullptr;
    }
    return previousEntityLoader ? previousEntityLoader(url, id, context) : nullptr;
}

// Counts the attributes of each start tag in the bytes as they come, before the parser sees them:
// the parser's own checks of an element's attributes take time that grows much faster than their
// number, so an element past the bound is refused before it is parsed. A start tag's attributes
// are its quoted values; comments, CDATA sections, processing instructions and end tags hold none.
// The literals of a document type declaration are counted as a whole (declared attribute defaults
// are added to elements too), and the text of each internal entity is counted as it is declared
// (attributeCountOfEntity below), before any use expands it.
class AttributeCounter {
public:
    // False once a start tag (or the type declaration) holds more than the bound.
    bool feed(const char* bytes, size_t length) {
        const char* at = bytes;
        const char* const end = bytes + length;
        while (at < end && !over_) {
            // The runs of bytes that leave the state as it is are passed over whole: text up to
            // the next tag, a quoted value up to its closing quote, the rest of a tag up to
            // what ends it or opens a value.
            const char* stop = at;
            switch (state_) {
                case State::Text: stop = find(at, end, '<'); break;
                case State::Skip: stop = find(at, end, '>'); break;
                case State::StartTag:
                    if (quote_) {
                        stop = find(at, end, quote_);
                    } else {
                        while (stop < end && *stop != '"' && *stop != '\'' && *stop != '>') ++stop;
                    }
                    break;
                default: break;
            }
            if (stop != at) {
                passOver(at, stop);
                at = stop;
                if (at == end) break;
            }
            step(*at++);
        }
        return !over_;
    }
    bool overInDeclaration() const { return overInDeclaration_; }

private:
    enum class State {
        Text, Open, StartTag, Skip, Bang, Comment, CData, Instruction, Doctype, Subset, SubsetOpen, SubsetDecl,
        SubsetComment, SubsetInstruction
    };
    void count(size_t& counter, bool declaration) {
        if (++counter > kGDataXMLMaxAttributesPerElement) {
            over_ = true;
            overInDeclaration_ = declaration;
        }
    }
    // Whether the character belongs to a quoted value (opens it, is inside it or closes it); a
    // value just opened leaves quote_ equal to the character.
    bool quoted(char c) {
        if (quote_) {
            if (c == quote_) quote_ = 0;
            return true;
        }
        if (c != '"' && c != '\'') return false;
        quote_ = c;
        return true;
    }
    static const char* find(const char* from, const char* end, char c) {
        const void* found = std::memchr(from, c, size_t(end - from));
        return found ? static_cast<const char*>(found) : end;
    }
    // Bytes that change no state: only the last characters seen move on.
    void passOver(const char* from, const char* to) {
        const size_t n = std::min(size_t(to - from), sizeof recent_);
        std::memmove(recent_, recent_ + n, sizeof recent_ - n);
        std::memcpy(recent_ + sizeof recent_ - n, to - n, n);
    }
    // Whether the last characters seen end with `tail` (at most three).
    bool endsWith(std::string_view tail) const {
        return std::string_view(recent_ + sizeof recent_ - tail.size(), tail.size()) == tail;
    }
    // Enters a state that ends at a closing sequence ("-->", "?>", "]]>"): the characters of the
    // opening are forgotten, so that the end is looked for after it ("<!-->" opens a comment).
    void open(State state) {
        state_ = state;
        std::memset(recent_, 0, sizeof recent_);
    }
    void step(char c) {
        std::memmove(recent_, recent_ + 1, sizeof recent_ - 1);
        recent_[sizeof recent_ - 1] = c;
        switch (state_) {
            case State::Text:
                if (c == '<') state_ = State::Open;
                break;
            case State::Open:
                if (c == '!') {
                    state_ = State::Bang;
                    bang_.clear();
                } else if (c == '?') {
                    open(State::Instruction);
                } else if (c == '/') {
                    state_ = State::Skip;
                } else {
                    state_ = State::StartTag;
                    attributes_ = 0;
                    quote_ = 0;
                }
                break;
            case State::StartTag:
                if (quoted(c)) {
                    if (quote_ == c) count(attributes_, false);
                } else if (c == '>') {
                    state_ = State::Text;
                }
                break;
            case State::Skip:
                if (c == '>') state_ = State::Text;
                break;
            case State::Bang:
                bang_ += c;
                if (bang_ == "--") open(State::Comment);
                else if (bang_ == "[CDATA[") open(State::CData);
                else if (std::string_view("--").substr(0, bang_.size()) != bang_ &&
                         std::string_view("[CDATA[").substr(0, bang_.size()) != bang_) {
                    state_ = State::Doctype;
                    quote_ = 0;
                    literals_ = 0;
                }
                break;
            case State::Comment:
                if (endsWith("-->")) state_ = State::Text;
                break;
            case State::CData:
                if (endsWith("]]>")) state_ = State::Text;
                break;
            case State::Instruction:
                if (endsWith("?>")) state_ = State::Text;
                break;
            case State::Doctype:
                if (quoted(c)) break;
                if (c == '[') state_ = State::Subset;
                else if (c == '>') state_ = State::Text;
                break;
            case State::Subset:
                if (c == '<') state_ = State::SubsetOpen;
                else if (c == ']') state_ = State::Doctype;
                break;
            case State::SubsetOpen:
                if (c == '?') open(State::SubsetInstruction);
                else state_ = State::SubsetDecl;
                quote_ = 0;
                break;
            case State::SubsetDecl:
                if (quoted(c)) {
                    if (quote_ == c) count(literals_, true);
                } else if (c == '-' && endsWith("!--")) {
                    open(State::SubsetComment);
                } else if (c == '>') {
                    state_ = State::Subset;
                }
                break;
            case State::SubsetComment:
                if (endsWith("-->")) state_ = State::Subset;
                break;
            case State::SubsetInstruction:
                if (endsWith("?>")) state_ = State::Subset;
                break;
        }
    }

    State state_ = State::Text;
    char quote_ = 0;
    char recent_[3] = {0, 0, 0};
    std::string bang_;
    size_t attributes_ = 0, literals_ = 0;
    bool over_ = false, overInDeclaration_ = false;
};

void refuseAttributes(bool inDeclaration) {
    refuse(kGDataXMLErrorTooManyAttributes,
           inDeclaration ? "The document was refused: its type declaration holds more than " +
                               std::to_string(kGDataXMLMaxAttributesPerElement) + " values."
                         : "The document was refused: one of its elements carries more than " +
                               std::to_string(kGDataXMLMaxAttributesPerElement) + " attributes.");
}

// libxml2's own handler of entity declarations, which the one below calls first.
thread_local entityDeclSAXFunc declareEntity = nullptr;

// Called for an entity the document uses but does not declare (one its external type
// declaration, never read, would declare): left out, it would cut the text it stands in.
void refusingReference(void* ctx, const xmlChar*) {
    refuse(kGDataXMLErrorExternalEntity,
           "The document was refused: it uses an entity declared only outside it (in an external type declaration, "
           "which is never read).");
    xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

void countingEntityDecl(void* ctx, const xmlChar* name, int type, const xmlChar* publicId, const xmlChar* systemId,
                        xmlChar* content) {
    if (declareEntity) declareEntity(ctx, name, type, publicId, systemId, content);
    if (type != XML_INTERNAL_GENERAL_ENTITY || !content) return;
    AttributeCounter counter;
    if (!counter.feed(reinterpret_cast<const char*>(content), size_t(xmlStrlen(content)))) {
        refuseAttributes(false);
        xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
    }
}

// What one parse has declared and made so far, for the bounds that count on the parser's own
// reading.
struct ParseCounts {
    size_t declaredAttributes = 0;
    size_t nodes = 0, maxNodes = 0;
    // The nodes one use of an entity copies into the tree, by entity, once it has been expanded.
    std::unordered_map<xmlEntityPtr, size_t> entityNodes;
};
thread_local ParseCounts* currentCounts = nullptr;

// Counts nodes the parse makes; past the answer's bound the parse stops, refused.
void countNodes(void* ctx, size_t n) {
    if (!currentCounts) return;
    currentCounts->nodes += n;
    if (currentCounts->nodes <= currentCounts->maxNodes) return;
    refuse(kGDataXMLErrorTooManyNodes,
           "The document was refused: it holds more than " + std::to_string(currentCounts->maxNodes) +
               " elements, attributes, texts and comments, more than a document of its size can hold (" +
               std::to_string(kGDataXMLNodesBeforeBound) + ", and one more for every " +
               std::to_string(kGDataXMLBytesPerNode) + " bytes).");
    xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

// The nodes of the tree a parse is building, counted as the parser makes them. A node made of
// what an entity copied in is counted where the entity is used (countingGetEntity).
void countingStartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* URI,
                          int nbNamespaces, const xmlChar** namespaces, int nbAttributes, int nbDefaulted,
                          const xmlChar** attributes) {
    xmlSAX2StartElementNs(ctx, localname, prefix, URI, nbNamespaces, namespaces, nbAttributes, nbDefaulted, attributes);
    countNodes(ctx, 1 + size_t(std::max(nbAttributes, 0)) + size_t(std::max(nbNamespaces, 0)));
    // The parser keeps a prefix and a name for each declaration in force, those of this element
    // included.
    auto context = static_cast<xmlParserCtxtPtr>(ctx);
    if (size_t(std::max(context->nsNr, 0)) / 2 > kGDataXMLMaxNamespacesInScope) {
        refuse(kGDataXMLErrorTooManyAttributes,
               "The document was refused: more than " + std::to_string(kGDataXMLMaxNamespacesInScope) +
                   " namespace declarations are in force at one of its elements.");
        xmlStopParser(context);
    }
}

void countingCharacters(void* ctx, const xmlChar* text, int length) {
    // Text joins the text node it follows; only a new one counts.
    xmlNodePtr parent = static_cast<xmlParserCtxtPtr>(ctx)->node;
    bool joins = parent && parent->last && parent->last->type == XML_TEXT_NODE;
    xmlSAX2Characters(ctx, text, length);
    if (!joins) countNodes(ctx, 1);
}

void countingComment(void* ctx, const xmlChar* text) {
    xmlSAX2Comment(ctx, text);
    countNodes(ctx, 1);
}

void countingInstruction(void* ctx, const xmlChar* target, const xmlChar* data) {
    xmlSAX2ProcessingInstruction(ctx, target, data);
    countNodes(ctx, 1);
}

// Every use of an entity after its first copies the nodes the first made, without a call for each:
// they are counted here, as the parser looks the entity up.
xmlEntityPtr countingGetEntity(void* ctx, const xmlChar* name) {
    xmlEntityPtr entity = xmlSAX2GetEntity(ctx, name);
    if (entity && entity->children && currentCounts) {
        auto [at, added] = currentCounts->entityNodes.try_emplace(entity, 0);
        // (Once used, the entity's nodes may be the document's own, followed by other siblings.)
        if (added) at->second = nodesInSubtrees(entity->children, entity->last);
        countNodes(ctx, at->second);
    }
    return entity;
}

// Every attribute the type declaration declares, as the parser declares it (in the internal
// subset or in the text of a parameter entity, however that text was put together): a declared
// default is added to every element of its name, so the declarations count as one element's.
void countingAttributeDecl(void* ctx, const xmlChar* elem, const xmlChar* fullname, int type, int def,
                           const xmlChar* defaultValue, xmlEnumerationPtr tree) {
    xmlSAX2AttributeDecl(ctx, elem, fullname, type, def, defaultValue, tree);
    if (currentCounts && ++currentCounts->declaredAttributes > kGDataXMLMaxAttributesPerElement) {
        refuseAttributes(true);
        xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
    }
}

// Whether an encoding, by any of its names ("latin1", "l1", "ISO_8859-1:1987", "ANSI_X3.4-1968",
// "UTF8", ...), is one whose every byte below 0x80 is that ASCII character and every other byte
// part of another character: the counter reads their bytes as the parser reads their text. The
// name is resolved to the encoding it stands for through the converters' alias table, the one
// the parser's own decoders take their names from.
bool readsAsItsBytes(const char* encoding) {
    if (!encoding) return false;
    UErrorCode status = U_ZERO_ERROR;
    const char* canonical = ucnv_getAlias(encoding, 0, &status);
    if (U_FAILURE(status) || !canonical) return false;
    for (const char* name : {"UTF-8", "ISO-8859-1", "US-ASCII"})
        if (std::strcmp(canonical, name) == 0) return true;
    return false;
}

// Called once the parser knows the document's encoding (from its first bytes and its XML
// declaration), before it reads any markup: a document it would decode into other characters than
// its bytes (UTF-16, UCS-4, EBCDIC, a multi-byte legacy encoding) is refused, since the bounds
// above count on the bytes.
void startDocumentInItsBytes(void* ctx) {
    auto context = static_cast<xmlParserCtxtPtr>(ctx);
    xmlCharEncodingHandlerPtr decoder = context->input && context->input->buf ? context->input->buf->encoder : nullptr;
    if (decoder && !readsAsItsBytes(decoder->name)) {
        std::string name = decoder->name ? std::string(decoder->name).substr(0, 40) : std::string();
        refuse(kGDataXMLErrorUnreadableEncoding,
               "The document was refused: it is written in " + (name.empty() ? std::string("an encoding") : name) +
                   ", and only UTF-8 (or ISO-8859-1) is read.");
        xmlStopParser(context);
        return;
    }
    xmlSAX2StartDocument(ctx);
}

void installEntityLoader() {
    static std::once_flag once;
    std::call_once(once, [] {
        previousEntityLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(refusingEntityLoader);
    });
}

// Whether some element or attribute is named with a prefix that gave it no namespace. The parser
// reports that for the document itself, but not for what an internal entity expanded into.
bool hasUnboundPrefixedName(xmlNodePtr root) {
    auto unbound = [](xmlNodePtr node) { return !node->ns && node->name && xmlStrchr(node->name, ':'); };
    std::vector<xmlNodePtr> stack{root};
    while (!stack.empty()) {
        xmlNodePtr element = stack.back();
        stack.pop_back();
        if (unbound(element)) return true;
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next)
            if (unbound(reinterpret_cast<xmlNodePtr>(attr))) return true;
        for (xmlNodePtr child = element->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE) stack.push_back(child);
    }
    return false;
}

// The bytes of a parse, handed to libxml2 as it asks for them, each start tag's attributes
// counted on the way. Once the parser has met an error of well-formedness (the document is refused
// then) or a bound, it is given nothing more: after such an error the parser reads on, but no
// longer the way the counter does, so it ends with the piece it holds.
struct MemoryReader {
    const char* at;
    size_t left;
    xmlParserCtxtPtr parser;
    AttributeCounter counter;
    static int read(void* context, char* buffer, int length) {
        auto reader = static_cast<MemoryReader*>(context);
        if (currentRefusal || (reader->parser && !reader->parser->wellFormed)) return -1;
        const size_t n = std::min(reader->left, length > 0 ? static_cast<size_t>(length) : size_t(0));
        if (!reader->counter.feed(reader->at, n)) {
            refuseAttributes(reader->counter.overInDeclaration());
            return -1;  // the parse ends here
        }
        if (n) std::memcpy(buffer, reader->at, n);
        reader->at += n;
        reader->left -= n;
        return static_cast<int>(n);
    }
};

// A parse that hands the root's children over as they are read (parseDocument's takeChild).
struct ChildHandOver {
    const std::function<bool(xmlNodePtr, xmlNodePtr)>* take;
    endElementNsSAX2Func end;  // libxml2's own tree-building handler
    std::vector<xmlNodePtr> taken;
    std::exception_ptr failure;
};
thread_local ChildHandOver* currentHandOver = nullptr;

void endElementHandingOverChildren(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* URI) {
    auto context = static_cast<xmlParserCtxtPtr>(ctx);
    ChildHandOver* handOver = currentHandOver;
    xmlNodePtr node = context->node;  // the element this end tag closes
    handOver->end(ctx, localname, prefix, URI);
    if (!node || node->type != XML_ELEMENT_NODE || handOver->failure) return;
    xmlNodePtr root = node->parent;
    if (!root || root->type != XML_ELEMENT_NODE || root->parent != reinterpret_cast<xmlNodePtr>(context->myDoc)) return;
    // A document type's entities are checked on the whole tree; a refused document gains nothing.
    if (!context->wellFormed || !context->nsWellFormed || !context->myDoc || context->myDoc->intSubset) return;
    bool taken = false;
    try {
        taken = (*handOver->take)(root, node);
    } catch (...) {
        handOver->failure = std::current_exception();
        xmlStopParser(context);
        return;
    }
    if (!taken) return;
    // Emptied now and unlinked after the parse: the parser decides whether white space is blank,
    // and where text goes, by the root's children, so the element itself stays until then.
    xmlFreeNodeList(node->children);
    node->children = node->last = nullptr;
    xmlFreePropList(node->properties);
    node->properties = nullptr;
    handOver->taken.push_back(node);
}

}  // namespace

namespace gdataxml {

platform::Result<xmlDocPtr> parseDocument(const char* bytes, size_t length,
                                          const std::function<bool(xmlNodePtr root, xmlNodePtr child)>* takeChild) {
    ensureInitialized();
    installEntityLoader();
    if (length > static_cast<size_t>(INT_MAX)) return parseError({});
    ErrorCapture capture;  // this thread's messages, kept off standard error
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) return parseError({});
    context->_private = &kRefuseExternalResources;
    currentRefusal.reset();
    entityDeclSAXFunc outerDeclareEntity = declareEntity;
    if (context->sax && context->sax->entityDecl) {
        declareEntity = context->sax->entityDecl;
        context->sax->entityDecl = countingEntityDecl;
    }
    if (context->sax) {
        context->sax->reference = refusingReference;
        context->sax->attributeDecl = countingAttributeDecl;
        context->sax->startDocument = startDocumentInItsBytes;
        context->sax->startElementNs = countingStartElement;
        context->sax->characters = countingCharacters;
        context->sax->comment = countingComment;
        context->sax->processingInstruction = countingInstruction;
        context->sax->getEntity = countingGetEntity;
    }
    ParseCounts counts;
    counts.maxNodes = kGDataXMLNodesBeforeBound + length / kGDataXMLBytesPerNode;
    ParseCounts* outerCounts = std::exchange(currentCounts, &counts);
    // Blank text nodes dropped and CDATA merged into text. Internal entities are replaced by
    // their text (within libxml2's amplification limits), so what is written back parses again
    // without the document type declaration; external ones are refused by the loader above and
    // make the document fail; nothing is fetched from the network.
    const int options = XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET | XML_PARSE_NOENT;
    ChildHandOver handOver{takeChild, nullptr, {}, nullptr};
    ChildHandOver* outerHandOver = currentHandOver;
    if (takeChild && context->sax && context->sax->endElementNs) {
        handOver.end = context->sax->endElementNs;
        context->sax->endElementNs = endElementHandingOverChildren;
        currentHandOver = &handOver;
    }
    // Read through a callback a piece at a time: given the whole buffer, libxml2 would first copy
    // all of it (a feed's answer can be tens of megabytes), while pieces it has read are dropped
    // as the parse moves on.
    MemoryReader reader{bytes, length, context, {}};
    xmlDocPtr doc = xmlCtxtReadIO(context, MemoryReader::read, nullptr, &reader, nullptr, nullptr, options);
    currentHandOver = outerHandOver;
    currentCounts = outerCounts;
    declareEntity = outerDeclareEntity;
    if (std::optional<platform::Error> refusal = std::exchange(currentRefusal, std::nullopt)) {
        if (doc) {
            for (xmlNodePtr node : handOver.taken) {
                xmlUnlinkNode(node);
                xmlFreeNode(node);
            }
            xmlFreeDoc(doc);
        }
        xmlFreeParserCtxt(context);
        if (handOver.failure) std::rethrow_exception(handOver.failure);
        return *refusal;
    }
    if (doc)
        for (xmlNodePtr node : handOver.taken) {
            xmlUnlinkNode(node);
            xmlFreeNode(node);
        }
    if (handOver.failure) {
        if (doc) xmlFreeDoc(doc);
        xmlFreeParserCtxt(context);
        std::rethrow_exception(handOver.failure);
    }
    // An undeclared prefix leaves a name without its namespace, and writing it back would give
    // XML that a namespace-aware reader refuses.
    // Only a document that declares entities can hold such expanded content: the tree is walked
    // for it then alone.
    bool declaresEntities = doc && doc->intSubset && doc->intSubset->entities;
    bool namespacesBroken =
        doc && context->wellFormed &&
        (!context->nsWellFormed || (declaresEntities && hasUnboundPrefixedName(xmlDocGetRootElement(doc))));
    if (doc && (!context->wellFormed || namespacesBroken)) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    xmlFreeParserCtxt(context);
    for (const auto& message : capture.messages()) platform::Log::debug("GDataXML", message);
    if (namespacesBroken)
        return parseError(capture.messages().empty() ? "undeclared namespace prefix" : capture.messages().front());
    if (!doc) return parseError({});
    return doc;
}

platform::Error parseError(const std::string& namespaceError) {
    platform::Value info;
    if (!namespaceError.empty()) {
        info = platform::Value::dictionary();
        info.set(kGDataXMLErrorKey, namespaceError);
    }
    return platform::Error(kGDataXMLErrorDomain, -1, std::move(info));
}

void resolveBracedNames(xmlNodePtr root) {
    if (!root || root->type != XML_ELEMENT_NODE) return;
    auto resolve = [](xmlNodePtr node, xmlNodePtr element, bool isAttribute) {
        if (node->ns || !node->name || node->name[0] != '{') return;
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

bool bindLiteralPrefixes(xmlNodePtr subtree, xmlNodePtr root, const std::vector<std::pair<std::string, std::string>>& known,
                         const std::vector<std::pair<const char*, const char*>>& usual, bool mayDeclare) {
    if (!subtree || subtree->type != XML_ELEMENT_NODE || !root) return true;
    bool complete = true;
    auto uriFor = [&](std::string_view prefix) -> const char* {
        for (const auto& [p, uri] : known)
            if (p == prefix) return uri.c_str();
        for (const auto& [p, uri] : usual)
            if (prefix == p) return uri;
        return nullptr;
    };
    auto bind = [&](xmlNodePtr node, xmlNodePtr element, bool isAttribute) {
        if (!complete || node->ns || !node->name || !xmlStrchr(node->name, ':')) return;
        std::string_view name(reinterpret_cast<const char*>(node->name));
        size_t colon = name.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon + 1 == name.size() || name[0] == '{') return;
        std::string_view prefix = name.substr(0, colon);
        if (prefix == "xml" || prefix == "xmlns") return;
        const char* uri = uriFor(prefix);
        if (!uri) return;
        const auto* href = reinterpret_cast<const xmlChar*>(uri);
        xmlNsPtr ns = xmlSearchNsByHref(root->doc, element, href);
        // An attribute needs a prefixed declaration: a default namespace does not apply to it.
        if (ns && isAttribute && !ns->prefix) ns = nullptr;
        if (!ns && !mayDeclare) {
            complete = false;
            return;
        }
        if (!ns) {
            std::string declared(prefix);
            for (int n = 1; xmlSearchNs(root->doc, root, reinterpret_cast<const xmlChar*>(declared.c_str())); ++n)
                declared = std::string(prefix) + std::to_string(n);
            ns = xmlNewNs(root, href, reinterpret_cast<const xmlChar*>(declared.c_str()));
        }
        if (!ns) return;
        xmlSetNs(node, ns);
        // The local part is copied first: with a dictionary-less node the old name is freed.
        std::string local(name.substr(colon + 1));
        xmlNodeSetName(node, xstr(local));
    };
    std::vector<xmlNodePtr> stack{subtree};
    while (!stack.empty() && complete) {
        xmlNodePtr element = stack.back();
        stack.pop_back();
        bind(element, element, false);
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next)
            bind(reinterpret_cast<xmlNodePtr>(attr), element, true);
        for (xmlNodePtr child = element->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE) stack.push_back(child);
    }
    return complete;
}

}  // namespace gdataxml

namespace {

void replaceDocumentString(xmlDocPtr doc, const xmlChar*& field, std::optional<std::string_view> value) {
    if (field && !(doc->dict && xmlDictOwns(doc->dict, field))) xmlFree(const_cast<xmlChar*>(field));
    field = value ? xmlStrdup(xstr(std::string(*value))) : nullptr;
}

}  // namespace

// --- GDataXMLDocumentBuilder ---

namespace {
thread_local GDataXMLDocumentBuilder* currentBuilder = nullptr;
}  // namespace

GDataXMLDocumentBuilder::GDataXMLDocumentBuilder() : previous_(currentBuilder) {
    ensureInitialized();
    doc_ = xmlNewDoc(nullptr);
    if (doc_) doc_->dict = xmlDictCreate();
    currentBuilder = this;
}

GDataXMLDocumentBuilder::~GDataXMLDocumentBuilder() {
    currentBuilder = previous_;
    if (doc_) xmlFreeDoc(doc_);
}

std::shared_ptr<GDataXMLElement> GDataXMLDocumentBuilder::elementForBuilding(std::string_view name) {
    ensureInitialized();
    xmlDocPtr doc = currentBuilder ? currentBuilder->doc_ : nullptr;
    if (!doc || !doc->dict) return GDataXMLNode::elementWithName(name);
    const xmlChar* interned = xmlDictLookup(doc->dict, reinterpret_cast<const xmlChar*>(name.data()),
                                            static_cast<int>(name.size()));
    xmlNodePtr node = interned ? xmlNewDocNode(doc, nullptr, interned, nullptr) : nullptr;
    if (!node) return nullptr;
    return std::static_pointer_cast<GDataXMLElement>(GDataXMLNode::wrap(node, GDataXMLTree::owning(node)));
}

std::shared_ptr<GDataXMLDocument> GDataXMLDocumentBuilder::documentAdoptingRootElement(
    std::shared_ptr<GDataXMLElement> root, const std::vector<std::pair<std::string, std::string>>& knownNamespaces,
    const std::vector<std::pair<const char*, const char*>>& usualNamespaces) {
    std::shared_ptr<GDataXMLDocument> document;
    xmlNodePtr node = root ? root->XMLNode() : nullptr;
    if (doc_ && node && node->type == XML_ELEMENT_NODE && (!node->doc || node->doc == doc_)) {
        auto tree = GDataXMLTree::owningDocument(doc_);
        std::shared_ptr<GDataXMLNode> wrapper = std::move(root);
        if (xmlNodePtr adopted = GDataXMLNode::takeDetachedRoot(wrapper, *tree)) {
            xmlDocSetRootElement(doc_, adopted);
            resolveBracedNames(adopted);
            document = std::make_shared<GDataXMLDocument>(GDataXMLDocument::Token{}, doc_, std::move(tree));
            doc_ = nullptr;
        } else {
            tree->setOwnsRoot(false);
            root = std::static_pointer_cast<GDataXMLElement>(std::move(wrapper));
        }
    }
    if (!document) document = GDataXMLDocument::initWithRootElement(root);
    if (!document) return nullptr;
    if (auto written = document->rootElement())
        bindLiteralPrefixes(written->XMLNode(), written->XMLNode(), knownNamespaces, usualNamespaces);
    document->setVersion("1.0");
    document->setCharacterEncoding("UTF-8");
    return document;
}

namespace {

int appendToBytes(void* context, const char* buffer, int length) {
    auto* out = static_cast<platform::Bytes*>(context);
    out->insert(out->end(), buffer, buffer + length);
    return length;
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && std::string_view(s).substr(s.size() - tail.size()) == tail;
}

}  // namespace

std::optional<platform::Bytes> GDataXMLDocumentBuilder::writeDocumentChildByChild(
    std::shared_ptr<GDataXMLElement> root, const std::function<std::shared_ptr<GDataXMLElement>()>& nextChild,
    size_t childCount, const std::vector<std::pair<std::string, std::string>>& knownNamespaces,
    const std::vector<std::pair<const char*, const char*>>& usualNamespaces) {
    xmlNodePtr node = root ? root->XMLNode() : nullptr;
    if (!doc_ || !node || node->type != XML_ELEMENT_NODE || (node->doc && node->doc != doc_)) return std::nullopt;
    // The tree keeps what fix-ups bury; the document itself stays the builder's, freed after it.
    auto tree = GDataXMLTree::owningDocument(doc_);
    tree->setOwnsRoot(false);
    std::shared_ptr<GDataXMLNode> wrapper = std::move(root);
    xmlNodePtr rootNode = GDataXMLNode::takeDetachedRoot(wrapper, *tree);
    if (!rootNode) return std::nullopt;
    xmlDocSetRootElement(doc_, rootNode);
    resolveBracedNames(rootNode);
    if (!bindLiteralPrefixes(rootNode, rootNode, knownNamespaces, usualNamespaces, false)) return std::nullopt;
    replaceDocumentString(doc_, doc_->version, "1.0");
    replaceDocumentString(doc_, doc_->encoding, "UTF-8");

    ErrorCapture capture;
    // The document as it stands, without the root's end: the children follow it.
    xmlChar* memory = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc_, &memory, &size);
    if (!memory) return std::nullopt;
    std::string start(reinterpret_cast<const char*>(memory), static_cast<size_t>(size));
    xmlFree(memory);
    std::string qualified;
    if (rootNode->ns && rootNode->ns->prefix) qualified = str(rootNode->ns->prefix) + ":";
    qualified += str(rootNode->name);
    std::string end = "</" + qualified + ">\n";
    if (endsWith(start, end)) {
        start.resize(start.size() - end.size());
    } else if (endsWith(start, "/>\n")) {
        start.resize(start.size() - 3);
        start += '>';
    } else {
        return std::nullopt;
    }

    platform::Bytes out(start.begin(), start.end());
    auto rootElement = std::static_pointer_cast<GDataXMLElement>(GDataXMLNode::wrap(rootNode, tree));
    xmlOutputBufferPtr buffer = xmlOutputBufferCreateIO(appendToBytes, nullptr, &out, nullptr);
    if (!buffer) return std::nullopt;
    bool complete = true;
    size_t written = 0;
    while (auto child = nextChild()) {
        rootElement->adoptChild(std::move(child));
        xmlNodePtr added = rootNode->last;
        if (!added) continue;
        if (added->type == XML_ELEMENT_NODE) {
            resolveBracedNames(added);
            if (!bindLiteralPrefixes(added, rootNode, knownNamespaces, usualNamespaces, false)) {
                complete = false;
                break;
            }
        }
        xmlNodeDumpOutput(buffer, doc_, added, 0, 0, "UTF-8");
        // Nothing else points into the child: it is freed at once, before the next is made.
        xmlUnlinkNode(added);
        xmlFreeNode(added);
        if (++written == 1 && childCount > 1) {
            // Room for the rest at the first child's size and a quarter more, so the bytes are
            // not copied over and over as they grow.
            xmlOutputBufferFlush(buffer);
            size_t first = out.size() - start.size();
            out.reserve(out.size() + first * (childCount - 1) / 4 * 5 + end.size());
        }
    }
    bool failed = xmlOutputBufferClose(buffer) < 0;
    for (const auto& message : capture.messages()) platform::Log::debug("GDataXML", message);
    if (!complete || failed) return std::nullopt;
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

std::shared_ptr<GDataXMLDocument> GDataXMLDocument::documentWithSource(Source source) {
    auto document = std::make_shared<GDataXMLDocument>(Token{}, nullptr, nullptr);
    document->source_ = std::make_unique<Source>(std::move(source));
    return document;
}

void GDataXMLDocument::ensureBuilt() const {
    if (!source_) return;
    auto source = std::move(source_);
    source_.reset();
    auto built = source->build ? source->build() : nullptr;
    if (!built) return;
    built->ensureBuilt();
    doc_ = built->doc_;
    tree_ = std::move(built->tree_);
    built->doc_ = nullptr;
}

GDataXMLDocument::GDataXMLDocument(Token, xmlDocPtr doc, std::shared_ptr<GDataXMLTree> tree)
    : doc_(doc), tree_(std::move(tree)) {}

GDataXMLDocument::~GDataXMLDocument() = default;

GDataXMLDocument::Parsed GDataXMLDocument::parse(const char* bytes, size_t length, const ChildTaker* takeChild) {
    std::function<bool(xmlNodePtr, xmlNodePtr)> take;
    if (takeChild) {
        // The parser owns the tree while it reads: these wrappers borrow it for one call.
        auto borrowed = std::make_shared<GDataXMLTree>(nullptr);
        take = [takeChild, borrowed](xmlNodePtr root, xmlNodePtr child) {
            return (*takeChild)(std::static_pointer_cast<GDataXMLElement>(GDataXMLNode::wrap(root, borrowed)),
                                std::static_pointer_cast<GDataXMLElement>(GDataXMLNode::wrap(child, borrowed)));
        };
    }
    auto doc = parseDocument(bytes, length, takeChild ? &take : nullptr);
    if (!doc) return doc.error();
    return std::make_shared<GDataXMLDocument>(Token{}, *doc, GDataXMLTree::owningDocument(*doc));
}

GDataXMLDocument::Parsed GDataXMLDocument::initWithXMLString(std::string_view xml, unsigned) {
    return parse(xml.data(), xml.size());
}

GDataXMLDocument::Parsed GDataXMLDocument::initWithData(const platform::Bytes& data, unsigned) {
    return parse(reinterpret_cast<const char*>(data.data()), data.size());
}

GDataXMLDocument::Parsed GDataXMLDocument::initWithData(const void* bytes, size_t length, unsigned) {
    return parse(static_cast<const char*>(bytes), bytes ? length : 0);
}

GDataXMLDocument::Parsed GDataXMLDocument::initWithDataTakingChildren(const platform::Bytes& data,
                                                                      const ChildTaker& takeChild) {
    return parse(reinterpret_cast<const char*>(data.data()), data.size(), &takeChild);
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

std::shared_ptr<GDataXMLDocument> GDataXMLDocument::initAdoptingRootElement(std::shared_ptr<GDataXMLElement> element) {
    if (!element || !element->XMLNode() || element->XMLNode()->type != XML_ELEMENT_NODE) return initWithRootElement(element);
    ensureInitialized();
    xmlDocPtr doc = xmlNewDoc(nullptr);
    if (!doc) return nullptr;
    auto tree = GDataXMLTree::owningDocument(doc);
    std::shared_ptr<GDataXMLNode> wrapper = std::move(element);
    xmlNodePtr root = GDataXMLNode::takeDetachedRoot(wrapper, *tree);
    if (!root) return initWithRootElement(std::static_pointer_cast<GDataXMLElement>(wrapper));
    xmlDocSetRootElement(doc, root);
    resolveBracedNames(root);
    return std::make_shared<GDataXMLDocument>(Token{}, doc, std::move(tree));
}

std::shared_ptr<GDataXMLElement> GDataXMLDocument::rootElement() const {
    ensureBuilt();
    xmlNodePtr root = doc_ ? xmlDocGetRootElement(doc_) : nullptr;
    if (!root) return nullptr;
    if (!cachedRoot_ || cachedRoot_->XMLNode() != root) {
        cachedRoot_ = std::static_pointer_cast<GDataXMLElement>(GDataXMLNode::wrap(root, tree_));
    }
    return cachedRoot_;
}

std::optional<platform::Bytes> GDataXMLDocument::XMLData() const {
    // Whichever way the bytes are made, what XML cannot hold is never given out as a document:
    // a text that is not UTF-8 or holds a character XML forbids makes no document at all.
    auto checked = [](std::optional<platform::Bytes> bytes) -> std::optional<platform::Bytes> {
        if (!bytes || bytes->empty()) return std::nullopt;
        if (auto problem = xmlDocumentProblem(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()))) {
            platform::Log::error("GDataXML", "A document was not written: " + *problem);
            return std::nullopt;
        }
        return bytes;
    };
    if (source_ && source_->write)
        if (auto written = source_->write()) return checked(std::move(written));
    ensureBuilt();
    if (!doc_) return std::nullopt;
    resolveBracedNames(xmlDocGetRootElement(doc_));
    // The serialiser drops or replaces what XML cannot hold rather than failing: look first.
    if (auto problem = xmlTreeTextProblem(xmlDocGetRootElement(doc_))) {
        platform::Log::error("GDataXML", "A document was not written: " + *problem);
        return std::nullopt;
    }
    ErrorCapture capture;
    xmlChar* memory = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc_, &memory, &size);
    for (const auto& message : capture.messages()) platform::Log::debug("GDataXML", message);
    if (!memory) return std::nullopt;
    std::optional<platform::Bytes> result;
    if (size > 0) result = platform::Bytes(memory, memory + size);
    xmlFree(memory);
    return checked(std::move(result));
}


void GDataXMLDocument::setVersion(std::optional<std::string_view> version) {
    ensureBuilt();
    if (doc_) replaceDocumentString(doc_, doc_->version, version);
}

void GDataXMLDocument::setCharacterEncoding(std::optional<std::string_view> encoding) {
    ensureBuilt();
    if (doc_) replaceDocumentString(doc_, doc_->encoding, encoding);
}

platform::Result<GDataXMLNodeList> GDataXMLDocument::nodesForXPath(std::string_view xpath) const {
    return nodesForXPath(xpath, nullptr);
}

platform::Result<GDataXMLNodeList> GDataXMLDocument::nodesForXPath(std::string_view xpath,
                                                                   const GDataXMLNamespaceDictionary* namespaces) const {
    ensureBuilt();
    auto documentNode = GDataXMLNode::wrap(reinterpret_cast<xmlNodePtr>(doc_), tree_);
    if (!documentNode) {
        platform::Value info = platform::Value::dictionary();
        info.set(kGDataXMLErrorKey, "invalid node");
        return platform::Error(kGDataXMLErrorDomain, -1, std::move(info));
    }
    return documentNode->nodesForXPath(xpath, namespaces);
}

std::string GDataXMLDocument::description() const {
    return "GDataXMLDocument " + platform::addressText(this);
}

}  // namespace quorvane
