// A feed or entry parsed through the GData model, written back as XML, parsed and written again:
// what the model writes must parse again, into an object that writes the same bytes. (An object
// read back is not always equal to the first: an attribute named with a well-known prefix bound
// to another namespace is taken for the modelled one and written in the right namespace.)
// Read entry by entry as it is parsed, a document gives the object of its whole tree.
// Documents with undeclared namespace prefixes are left out: their names have no namespace to
// keep.

#include <libxml/parser.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataObject.h"
#include "gdata/GDataXMLDocument.h"

using namespace quorvane;

namespace {

struct Written {
    GDataObjectPtr object;
    std::string xml;
};

// The object of the document's root and the XML it writes; no object when the root is not a
// class the model knows.
Written parseAndWrite(const char* bytes, size_t length) {
    auto document = GDataXMLDocument::initWithData(bytes, length).valueOr(nullptr);
    if (!document || !document->rootElement()) return {};
    auto root = document->rootElement();
    const GDataClassInfo* cls = GDataObject::objectClassForXMLElement(nullptr, root);
    if (!cls) return {};
    auto object = GDataObject::objectWithXMLElement(*cls, root, nullptr);
    if (!object) return {};
    auto out = object->XMLDocument();
    FUZZ_CHECK(out, "a parsed object writes a document");
    auto data = out->XMLData();
    FUZZ_CHECK(data, "the written document has bytes");
    // The bytes are written straight from the model, or else a feed's entry by entry; built as one
    // tree they must be the same.
    auto whole = object->XMLDocument();
    whole->rootElement();
    auto wholeData = whole->XMLData();
    if (auto direct = object->writtenXMLData())
        FUZZ_CHECK(direct == wholeData, "the document written straight from the model equals its whole tree");
    FUZZ_CHECK(wholeData == data, "the document written directly or entry by entry equals its whole tree");
    return {object, std::string(data->begin(), data->end())};
}

bool isNamespaceWellFormed(const uint8_t* data, size_t size) {
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) return false;
    xmlDocPtr doc = xmlCtxtReadMemory(context, reinterpret_cast<const char*>(data), int(size), nullptr, nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    bool ok = doc && context->nsWellFormed;
    xmlFreeDoc(doc);
    xmlFreeParserCtxt(context);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    registerContactClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT_MAX || !isNamespaceWellFormed(data, size)) return 0;
    Written first = parseAndWrite(reinterpret_cast<const char*>(data), size);
    if (!first.object) return 0;
    // Read with its entries taken one by one as they are parsed, the document gives the same object.
    auto streamed = GDataObject::objectWithXMLData(platform::Bytes(data, data + size), nullptr, std::nullopt, nullptr,
                                                   false)
                        .valueOr(nullptr);
    FUZZ_CHECK(streamed, "a document read entry by entry gives an object");
    auto streamedData = streamed->XMLDocument()->XMLData();
    FUZZ_CHECK(streamedData && std::string(streamedData->begin(), streamedData->end()) == first.xml,
               "a document read entry by entry gives the object of its whole tree");
    Written second = parseAndWrite(first.xml.data(), first.xml.size());
    FUZZ_CHECK(second.object, "the written XML parses again into an object");
    Written third = parseAndWrite(second.xml.data(), second.xml.size());
    FUZZ_CHECK(third.object && third.xml == second.xml, "writing what was read back gives the same bytes");
    return 0;
}
