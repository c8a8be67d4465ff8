#pragma once
// gd:organization — an organization a contact belongs to: its name (with a phonetic reading),
// title, department, job description, symbol and place.

#include "gdata/GDataValueConstruct.h"
#include "gdata/GDataWhere.h"

namespace quorvane {

// gd:orgDepartment, gd:orgJobDescription, gd:orgSymbol, gd:orgTitle: the value is the text.
class GDataOrgDepartment : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataOrgDepartment)
};
class GDataOrgJobDescription : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataOrgJobDescription)
};
class GDataOrgSymbol : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataOrgSymbol)
};
class GDataOrgTitle : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataOrgTitle)
};

// gd:orgName — the name as text, its phonetic reading in "yomi".
class GDataOrganizationName : public GDataObject {
    QV_GDATA_CLASS(GDataOrganizationName)
public:
    // Always an element, also for nil.
    static std::shared_ptr<GDataOrganizationName> organizationNameWithString(std::optional<std::string> name);
    void addParseDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    using GDataObject::setStringValue;
    // nil removes the attribute; an empty string is kept.
    std::optional<std::string> yomi() const { return stringValueForAttribute("yomi"); }
    void setYomi(std::optional<std::string> v) { setStringValue(std::move(v), "yomi"); }
};

class GDataOrganization : public GDataObject {
    QV_GDATA_CLASS(GDataOrganization)
public:
    static std::shared_ptr<GDataOrganization> organizationWithName(std::optional<std::string> name);
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // "primary" is written only when true; unlike most contact elements, it takes part in equality.
    bool isPrimary() const { return boolValueForAttribute("primary", false); }
    void setIsPrimary(bool flag) { setBoolValue(flag, false, "primary"); }

    // The orgName element's text. A non-nil name adds an orgName element when there is none; a
    // name that is blank (Unicode white space and newlines only) leaves the element without text.
    // The element is never removed here.
    std::optional<std::string> orgName() const;
    void setOrgName(std::optional<std::string> name);
    // The orgName element's "yomi"; a non-nil reading adds an orgName element when there is none.
    std::optional<std::string> orgNameYomi() const;
    void setOrgNameYomi(std::optional<std::string> yomi);

    // nil or a blank string removes the element; otherwise it holds the string as given.
    std::optional<std::string> orgTitle() const { return part<GDataOrgTitle>(); }
    void setOrgTitle(std::optional<std::string> v) { setPart<GDataOrgTitle>(std::move(v)); }
    std::optional<std::string> orgDepartment() const { return part<GDataOrgDepartment>(); }
    void setOrgDepartment(std::optional<std::string> v) { setPart<GDataOrgDepartment>(std::move(v)); }
    std::optional<std::string> orgJobDescription() const { return part<GDataOrgJobDescription>(); }
    void setOrgJobDescription(std::optional<std::string> v) { setPart<GDataOrgJobDescription>(std::move(v)); }
    std::optional<std::string> orgSymbol() const { return part<GDataOrgSymbol>(); }
    void setOrgSymbol(std::optional<std::string> v) { setPart<GDataOrgSymbol>(std::move(v)); }

    std::shared_ptr<GDataWhere> where() const { return objectForExtension<GDataWhere>(); }
    void setWhere(const std::shared_ptr<GDataWhere>& v) { setObject(v, GDataWhere::staticClassInfo()); }

private:
    template <class T>
    std::optional<std::string> part() const {
        return extensionStringValue<T>();
    }
    template <class T>
    void setPart(std::optional<std::string> v) {
        if (v && isBlankText(*v)) v.reset();
        setExtensionStringValue<T>(std::move(v));
    }
    static bool isBlankText(const std::string& s);
};

}  // namespace quorvane
