#pragma once
// gd:name — a contact's structured name: prefix, given, additional and family names, suffix and
// full name, the name parts with optional phonetic ("yomi") readings.

#include "gdata/GDataValueConstruct.h"

namespace quorvane {

// A name part: its text, with the phonetic reading in "yomi".
class GDataNameElement : public GDataObject {
    QV_GDATA_CLASS(GDataNameElement)
public:
    // nullptr for a nil or empty string; else an element of the class with that text.
    static std::shared_ptr<GDataNameElement> nameElementWithString(const GDataClassInfo& cls,
                                                                   const std::optional<std::string>& text);
    // Always a new element of the class, carrying the given element's text and yomi (both nil
    // when it is null).
    static std::shared_ptr<GDataNameElement> nameElementWithNameElement(const GDataClassInfo& cls,
                                                                        const std::shared_ptr<GDataNameElement>& e);
    template <class T>
    static std::shared_ptr<T> nameElementWithString(const std::optional<std::string>& text) {
        return std::dynamic_pointer_cast<T>(nameElementWithString(T::staticClassInfo(), text));
    }
    template <class T>
    static std::shared_ptr<T> nameElementWithNameElement(const std::shared_ptr<GDataNameElement>& e) {
        return std::dynamic_pointer_cast<T>(nameElementWithNameElement(T::staticClassInfo(), e));
    }
    void addParseDeclarations() override;

    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    using GDataObject::setStringValue;
    // nil or an empty string removes the attribute.
    std::optional<std::string> yomi() const { return stringValueForAttribute("yomi"); }
    void setYomi(std::optional<std::string> v);
};

class GDataNameAdditional : public GDataNameElement {  // gd:additionalName
    QV_GDATA_CLASS(GDataNameAdditional)
};
class GDataNameFamily : public GDataNameElement {  // gd:familyName
    QV_GDATA_CLASS(GDataNameFamily)
};
class GDataNameFull : public GDataNameElement {  // gd:fullName
    QV_GDATA_CLASS(GDataNameFull)
};
class GDataNameGiven : public GDataNameElement {  // gd:givenName
    QV_GDATA_CLASS(GDataNameGiven)
};
class GDataNamePrefix : public GDataValueElementConstruct {  // gd:namePrefix
    QV_GDATA_CLASS(GDataNamePrefix)
};
class GDataNameSuffix : public GDataValueElementConstruct {  // gd:nameSuffix
    QV_GDATA_CLASS(GDataNameSuffix)
};

class GDataName : public GDataObject {
    QV_GDATA_CLASS(GDataName)
public:
    // An empty name.
    static std::shared_ptr<GDataName> name() { return object(); }
    static std::shared_ptr<GDataName> nameWithFullNameString(const std::optional<std::string>& fullName);
    static std::shared_ptr<GDataName> nameWithPrefix(const std::optional<std::string>& prefix,
                                                     const std::optional<std::string>& given,
                                                     const std::optional<std::string>& additional,
                                                     const std::optional<std::string>& family,
                                                     const std::optional<std::string>& suffix);
    void addExtensionDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::shared_ptr<GDataNameElement> givenName() const { return objectForExtension<GDataNameGiven>(); }
    std::shared_ptr<GDataNameElement> additionalName() const { return objectForExtension<GDataNameAdditional>(); }
    std::shared_ptr<GDataNameElement> familyName() const { return objectForExtension<GDataNameFamily>(); }
    std::shared_ptr<GDataNameElement> fullName() const { return objectForExtension<GDataNameFull>(); }

    // Store a new element carrying the given one's text and yomi: null stores an empty element
    // rather than removing the part.
    void setGivenName(const std::shared_ptr<GDataNameElement>& e) { setPartElement<GDataNameGiven>(e); }
    void setAdditionalName(const std::shared_ptr<GDataNameElement>& e) { setPartElement<GDataNameAdditional>(e); }
    void setFamilyName(const std::shared_ptr<GDataNameElement>& e) { setPartElement<GDataNameFamily>(e); }
    void setFullName(const std::shared_ptr<GDataNameElement>& e) { setPartElement<GDataNameFull>(e); }

    // nil or an empty string removes the part.
    void setGivenNameWithString(const std::optional<std::string>& s) { setPartString<GDataNameGiven>(s); }
    void setAdditionalNameWithString(const std::optional<std::string>& s) { setPartString<GDataNameAdditional>(s); }
    void setFamilyNameWithString(const std::optional<std::string>& s) { setPartString<GDataNameFamily>(s); }
    void setFullNameWithString(const std::optional<std::string>& s) { setPartString<GDataNameFull>(s); }

    // The text; nil or an empty string removes the element.
    std::optional<std::string> namePrefix() const { return valuePart<GDataNamePrefix>(); }
    void setNamePrefix(const std::optional<std::string>& s) { setValuePart<GDataNamePrefix>(s); }
    std::optional<std::string> nameSuffix() const { return valuePart<GDataNameSuffix>(); }
    void setNameSuffix(const std::optional<std::string>& s) { setValuePart<GDataNameSuffix>(s); }

private:
    template <class T>
    void setPartElement(const std::shared_ptr<GDataNameElement>& e) {
        setObject(GDataNameElement::nameElementWithNameElement(T::staticClassInfo(), e), T::staticClassInfo());
    }
    template <class T>
    void setPartString(const std::optional<std::string>& s) {
        setObject(GDataNameElement::nameElementWithString(T::staticClassInfo(), s), T::staticClassInfo());
    }
    template <class T>
    std::optional<std::string> valuePart() const {
        auto obj = objectForExtension<T>();
        return obj ? obj->stringValue() : std::nullopt;
    }
    template <class T>
    void setValuePart(const std::optional<std::string>& s) {
        std::shared_ptr<GDataValueConstruct> obj;
        if (s && !s->empty()) obj = GDataValueConstruct::valueWithString(T::staticClassInfo(), s);
        setObject(obj, T::staticClassInfo());
    }
};

}  // namespace quorvane
