#pragma once
// The smaller Media RSS elements: player, credit, category, rating, restriction, title and
// description. Those with text keep it as the element's content.

#include <optional>
#include <string>

#include "gdata/GDataObject.h"
#include "gdata/GDataTextConstruct.h"

namespace quorvane {

// <media:player url height width>: a page or program that plays the item.
class GDataMediaPlayer : public GDataObject {
    QV_GDATA_CLASS(GDataMediaPlayer)
public:
    static std::shared_ptr<GDataMediaPlayer> mediaPlayerWithURLString(std::optional<std::string> urlString);
    void addParseDeclarations() override;

    std::optional<std::string> URLString() const { return stringValueForAttribute("url"); }
    void setURLString(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "url"); }
    std::optional<int32_t> height() const { return intNumberForAttribute("height"); }
    void setHeight(std::optional<int32_t> n);
    std::optional<int32_t> width() const { return intNumberForAttribute("width"); }
    void setWidth(std::optional<int32_t> n);
};

// Elements holding text, with attributes of their own.
class GDataMediaTextElement : public GDataObject {
    QV_GDATA_CLASS(GDataMediaTextElement)
public:
    void addParseDeclarations() override { addContentValueDeclaration(); }
    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> s) { setContentStringValue(std::move(s)); }
};

// <media:credit role scheme>name</media:credit>
class GDataMediaCredit : public GDataMediaTextElement {
    QV_GDATA_CLASS(GDataMediaCredit)
public:
    static std::shared_ptr<GDataMediaCredit> mediaCreditWithString(std::optional<std::string> str);
    void addParseDeclarations() override;

    std::optional<std::string> role() const { return stringValueForAttribute("role"); }
    void setRole(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "role"); }
    std::optional<std::string> scheme() const { return stringValueForAttribute("scheme"); }
    void setScheme(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "scheme"); }
};

// <media:category label scheme>term</media:category>
class GDataMediaCategory : public GDataMediaTextElement {
    QV_GDATA_CLASS(GDataMediaCategory)
public:
    static std::shared_ptr<GDataMediaCategory> mediaCategoryWithString(std::optional<std::string> str);
    void addParseDeclarations() override;

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "label"); }
    std::optional<std::string> scheme() const { return stringValueForAttribute("scheme"); }
    void setScheme(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "scheme"); }
};

// <media:rating scheme>rating</media:rating>
class GDataMediaRating : public GDataMediaTextElement {
    QV_GDATA_CLASS(GDataMediaRating)
public:
    static std::shared_ptr<GDataMediaRating> mediaRatingWithString(std::optional<std::string> str);
    void addParseDeclarations() override;

    std::optional<std::string> scheme() const { return stringValueForAttribute("scheme"); }
    void setScheme(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "scheme"); }
};

// <media:restriction relationship type>entities</media:restriction>
class GDataMediaRestriction : public GDataMediaTextElement {
    QV_GDATA_CLASS(GDataMediaRestriction)
public:
    static std::shared_ptr<GDataMediaRestriction> mediaRestrictionWithString(std::optional<std::string> str,
                                                                             std::optional<std::string> relationship,
                                                                             std::optional<std::string> type);
    void addParseDeclarations() override;

    std::optional<std::string> relationship() const { return stringValueForAttribute("relationship"); }
    void setRelationship(std::optional<std::string> s) {
        GDataObject::setStringValue(std::move(s), "relationship");
    }
    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "type"); }
};

// <media:title> and <media:description>: text constructs.
class GDataMediaTitle : public GDataTextConstruct {
    QV_GDATA_CLASS(GDataMediaTitle)
};

class GDataMediaDescription : public GDataTextConstruct {
    QV_GDATA_CLASS(GDataMediaDescription)
};

}  // namespace quorvane
