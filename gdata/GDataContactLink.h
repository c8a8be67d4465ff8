#pragma once
// Links of a contact: gContact:website and gContact:calendarLink, with href, rel or label and a
// primary flag that is not part of equality.

#include "gdata/GDataObject.h"

namespace quorvane {

// The shared base; it names no element of its own.
class GDataContactLink : public GDataObject {
    QV_GDATA_CLASS(GDataContactLink)
public:
    static std::shared_ptr<GDataContactLink> linkWithRel(const GDataClassInfo& cls, std::optional<std::string> rel,
                                                         std::optional<std::string> label,
                                                         std::optional<std::string> href);
    template <class T>
    static std::shared_ptr<T> linkWithRel(std::optional<std::string> rel, std::optional<std::string> label,
                                          std::optional<std::string> href) {
        return std::dynamic_pointer_cast<T>(
            linkWithRel(T::staticClassInfo(), std::move(rel), std::move(label), std::move(href)));
    }
    void addParseDeclarations() override;
    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"primary"};
    }

    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // "primary" is written only when true.
    bool isPrimary() const { return boolValueForAttribute("primary", false); }
    void setIsPrimary(bool flag) { setBoolValue(flag, false, "primary"); }
};

class GDataContactWebsiteLink : public GDataContactLink {  // gContact:website
    QV_GDATA_CLASS(GDataContactWebsiteLink)
};

class GDataContactCalendarLink : public GDataContactLink {  // gContact:calendarLink
    QV_GDATA_CLASS(GDataContactCalendarLink)
};

}  // namespace quorvane
