#pragma once
// Parse, generate and reparse helpers shared by the element class tests.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gdata/GDataObject.h"

namespace quorvane::elementtest {

inline constexpr const char* kNamespaces =
    " xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'"
    " xmlns:gContact='http://schemas.google.com/contact/2008'";

// Declares the gd and gContact prefixes on an object built in code, so its XML stands alone.
inline void declareNamespaces(GDataObject& o) {
    o.addNamespaces({{"gd", "http://schemas.google.com/g/2005"}, {"gContact", "http://schemas.google.com/contact/2008"}});
}

inline GDataObjectPtr parseAs(const GDataClassInfo& cls, const std::string& xml) {
    auto parsed = GDataXMLElement::initWithXMLString(xml);
    EXPECT_TRUE(parsed) << "not well-formed: " << xml;
    auto element = parsed.valueOr(nullptr);
    if (!element) return nullptr;
    return GDataObject::objectWithXMLElement(cls, element, nullptr);
}

template <class T>
std::shared_ptr<T> parse(const std::string& xml) {
    return std::dynamic_pointer_cast<T>(parseAs(T::staticClassInfo(), xml));
}

inline std::string xmlOf(const GDataObject& o) {
    auto e = o.XMLElement();
    return e ? e->XMLString().value_or("") : "";
}

// Generates the object, parses the text again as the same class, and checks that the result
// equals the object both ways and generates the same text. Returns the reparsed object.
template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& obj) {
    EXPECT_TRUE(obj);
    if (!obj) return nullptr;
    auto xml = xmlOf(*obj);
    auto again = parse<T>(xml);
    EXPECT_TRUE(again) << xml;
    if (!again) return nullptr;
    EXPECT_TRUE(again->isEqual(*obj)) << xml << "\n" << again->description() << "\n" << obj->description();
    EXPECT_TRUE(obj->isEqual(*again)) << xml;
    EXPECT_EQ(xmlOf(*again), xml);
    auto copy = std::dynamic_pointer_cast<T>(obj->copy());
    EXPECT_TRUE(copy && copy->isEqual(*obj)) << xml;
    if (copy) {
        EXPECT_EQ(xmlOf(*copy), xml);
    }
    return again;
}

inline bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

}  // namespace quorvane::elementtest
