#pragma once
// Atom text constructs (title, subtitle, summary, rights): text content with a type and a language.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataTextConstruct : public GDataObject {
    QV_GDATA_CLASS(GDataTextConstruct)
public:
    static std::shared_ptr<GDataTextConstruct> textConstructWithString(const GDataClassInfo& cls,
                                                                       std::optional<std::string> text);
    template <class T>
    static std::shared_ptr<T> textConstructWithString(std::optional<std::string> text) {
        return std::dynamic_pointer_cast<T>(textConstructWithString(T::staticClassInfo(), std::move(text)));
    }
    void addParseDeclarations() override;

    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    std::optional<std::string> lang() const { return stringValueForAttribute("xml:lang"); }
    void setLang(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "xml:lang"); }
    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "type"); }

    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"type"};
    }
    // nil, "text" and "text/plain" all mean plain text.
    static bool isTypeEqualToText(const std::optional<std::string>& type);
    bool isEqual(const GDataExtension& other) const override;
};

}  // namespace quorvane
