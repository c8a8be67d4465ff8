#pragma once
// Shared helpers of the XML layer tests.

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <string>
#include <string_view>

#include "gdata/GDataXMLTree.h"
#include "platform/foundation/Value.h"

namespace quorvane::xmltest {

inline constexpr const char* kAtomNS = "http://www.w3.org/2005/Atom";
inline constexpr const char* kGDNS = "http://schemas.google.com/g/2005";
inline constexpr const char* kContactNS = "http://schemas.google.com/contact/2008";
inline constexpr const char* kXMLNS = "http://www.w3.org/XML/1998/namespace";

// Parses the bytes with libxml2 directly and reports whether they are well-formed and
// namespace-well-formed (no unbound prefix, no attribute given twice), with the messages.
inline ::testing::AssertionResult reparsesCleanly(std::string_view bytes) {
    gdataxml::ErrorCapture capture;
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    xmlDocPtr doc = xmlCtxtReadMemory(context, bytes.data(), int(bytes.size()), nullptr, nullptr, XML_PARSE_NONET);
    bool ok = doc && context->wellFormed && context->nsWellFormed && capture.messages().empty();
    if (doc) xmlFreeDoc(doc);
    xmlFreeParserCtxt(context);
    if (ok) return ::testing::AssertionSuccess();
    std::string all;
    for (const auto& m : capture.messages()) all += m + "\n";
    return ::testing::AssertionFailure() << "does not parse cleanly:\n" << bytes << "\n" << all;
}

inline ::testing::AssertionResult reparsesCleanly(const platform::Bytes& bytes) {
    return reparsesCleanly(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace quorvane::xmltest
