#pragma once
// Compares the information two XML documents carry, read independently of the XML layer under
// test (libxml2 directly):
// - elements by namespace URI and local name, whatever prefix they are written with;
// - attributes as a set of (namespace URI, local name, value): their order and where namespace
//   declarations sit do not matter, and declarations themselves are not attributes;
// - text content exactly, except white-space-only text beside child elements (indentation);
// - children by name: same-named siblings must come in the same order, while the interleaving of
//   differently named siblings may change (Atom gives it no meaning, and generation writes the
//   children class by class).

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::infoset {

struct Node {
    std::string name;                     // "{uri}local"
    std::vector<std::string> attributes;  // sorted "{uri}local=value"
    std::string text;
    std::vector<Node> children;           // stably sorted by name
};

namespace detail {

inline std::string qualified(const xmlNs* ns, const xmlChar* local) {
    std::string out = "{";
    if (ns && ns->href) out += reinterpret_cast<const char*>(ns->href);
    out += "}";
    out += reinterpret_cast<const char*>(local);
    return out;
}

inline bool isBlank(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

inline Node build(xmlNodePtr element) {
    Node node;
    node.name = qualified(element->ns, element->name);
    for (xmlAttrPtr a = element->properties; a; a = a->next) {
        xmlChar* value = xmlNodeListGetString(element->doc, a->children, 1);
        node.attributes.push_back(qualified(a->ns, a->name) + "=" +
                                  (value ? reinterpret_cast<const char*>(value) : ""));
        xmlFree(value);
    }
    std::sort(node.attributes.begin(), node.attributes.end());
    std::string text;
    for (xmlNodePtr c = element->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) node.children.push_back(build(c));
        else if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
            text += reinterpret_cast<const char*>(c->content);
    }
    if (!(node.children.size() && isBlank(text))) node.text = text;
    std::stable_sort(node.children.begin(), node.children.end(),
                     [](const Node& a, const Node& b) { return a.name < b.name; });
    return node;
}

inline std::string join(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += (out.empty() ? "" : " ") + s;
    return out;
}

// The first difference, as "path: what differs"; empty when none.
inline std::string difference(const Node& a, const Node& b, const std::string& path) {
    std::string here = path + "/" + a.name;
    if (a.name != b.name) return path + ": element " + a.name + " vs " + b.name;
    if (a.attributes != b.attributes)
        return here + ": attributes [" + join(a.attributes) + "] vs [" + join(b.attributes) + "]";
    if (a.text != b.text) return here + ": text \"" + a.text + "\" vs \"" + b.text + "\"";
    size_t n = std::min(a.children.size(), b.children.size());
    for (size_t i = 0; i < n; ++i) {
        auto d = difference(a.children[i], b.children[i], here + "[" + std::to_string(i) + "]");
        if (!d.empty()) return d;
    }
    if (a.children.size() != b.children.size()) {
        const auto& longer = a.children.size() > b.children.size() ? a : b;
        return here + ": " + std::to_string(a.children.size()) + " vs " + std::to_string(b.children.size()) +
               " children, first unmatched " + longer.children[n].name;
    }
    return {};
}

}  // namespace detail

// The document's root element as a tree; nullptr when the bytes are not well-formed.
inline std::unique_ptr<Node> parse(std::string_view bytes) {
    xmlDocPtr doc = xmlReadMemory(bytes.data(), int(bytes.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (!doc) return nullptr;
    std::unique_ptr<Node> root;
    if (xmlNodePtr e = xmlDocGetRootElement(doc)) root = std::make_unique<Node>(detail::build(e));
    xmlFreeDoc(doc);
    return root;
}

// Success when both documents are well-formed and carry the same information (see above).
inline ::testing::AssertionResult sameInfoset(std::string_view expected, std::string_view actual) {
    auto a = parse(expected);
    auto b = parse(actual);
    if (!a) return ::testing::AssertionFailure() << "the expected document is not well-formed";
    if (!b) return ::testing::AssertionFailure() << "the actual document is not well-formed";
    auto d = detail::difference(*a, *b, "");
    if (d.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "first difference (expected vs actual) at " << d;
}

}  // namespace quorvane::infoset
