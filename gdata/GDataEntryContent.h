#pragma once
// GDataEntryContent: the Atom content element of entries and links. Text types keep their text;
// an "application/atom+xml;..." content carries an object (usually an entry) parsed from its
// first child element; KML content keeps its child XML; any other type keeps its children as
// unparsed XML.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataObject.h"
#include "platform/net/URL.h"

namespace quorvane {

class GDataEntryContent : public GDataObject {
    QV_GDATA_CLASS(GDataEntryContent)
public:
    // A content whose string value is set (also when it is nil).
    template <class T = GDataEntryContent>
    static std::shared_ptr<T> contentWithString(std::optional<std::string> str) {
        return std::dynamic_pointer_cast<T>(contentWithString(T::staticClassInfo(), std::move(str)));
    }
    template <class T = GDataEntryContent>
    static std::shared_ptr<T> textConstructWithString(std::optional<std::string> str) {
        return contentWithString<T>(std::move(str));
    }
    template <class T = GDataEntryContent>
    static std::shared_ptr<T> contentWithSourceURI(std::optional<std::string> uri, std::optional<std::string> type) {
        return std::dynamic_pointer_cast<T>(contentWithSourceURI(T::staticClassInfo(), std::move(uri), std::move(type)));
    }
    // A content keeping child XML, of the type, holding the element when there is one.
    template <class T = GDataEntryContent>
    static std::shared_ptr<T> contentWithXMLValue(const GDataXMLElementPtr& element, std::optional<std::string> type) {
        return std::dynamic_pointer_cast<T>(contentWithXMLValue(T::staticClassInfo(), element, std::move(type)));
    }
    static std::shared_ptr<GDataEntryContent> contentWithString(const GDataClassInfo& cls,
                                                                std::optional<std::string> str);
    static std::shared_ptr<GDataEntryContent> contentWithSourceURI(const GDataClassInfo& cls,
                                                                   std::optional<std::string> uri,
                                                                   std::optional<std::string> type);
    static std::shared_ptr<GDataEntryContent> contentWithXMLValue(const GDataClassInfo& cls,
                                                                  const GDataXMLElementPtr& element,
                                                                  std::optional<std::string> type);

    // Whether the type is a text type: none, "text", "text/...", "html" or "xhtml".
    static bool isTextType(const std::optional<std::string>& type);

    void addParseDeclarations() override;
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    using GDataObject::initWithXMLElement;
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;
    // The type is compared by its own rule (all text types are alike).
    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"type"};
    }
    std::vector<std::string> itemsForDescription() const override;

    std::optional<std::string> lang() const { return stringValueForAttribute("xml:lang"); }
    void setLang(std::optional<std::string> v) { setStringValue(std::move(v), "xml:lang"); }
    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> v) { setStringValue(std::move(v), "type"); }
    std::optional<std::string> sourceURI() const { return stringValueForAttribute("src"); }
    void setSourceURI(std::optional<std::string> v) { setStringValue(std::move(v), "src"); }
    // The source as a URL; nullopt when "src" is missing, empty or not a URL.
    std::optional<platform::URL> sourceURL() const;

    // The text; nullopt unless this content holds text.
    std::optional<std::string> stringValue() const;
    // Makes this a text-holding content when it is not one yet.
    void setStringValue(std::optional<std::string> str);
    using GDataObject::setStringValue;

    const GDataObjectPtr& childObject() const { return childObject_; }
    void setChildObject(GDataObjectPtr object) { childObject_ = std::move(object); }

    // The kept child XML elements; nullopt when there are none.
    std::optional<GDataXMLElementList> XMLValues() const;
    // Makes this an XML-keeping content when it is not one yet.
    void setXMLValues(const std::optional<GDataXMLElementList>& values);
    void addXMLValue(const GDataXMLElementPtr& element);

private:
    // Declarations that depend on the type belong to this object alone, not to every content
    // of the parsed tree.
    void declareOwnMarker(bool contentValue);

    GDataObjectPtr childObject_;
};

// <atom:content> as entries and links declare it.
class GDataAtomContent : public GDataEntryContent {
    QV_GDATA_CLASS(GDataAtomContent)
};

}  // namespace quorvane
