#pragma once
// gd:entryLink — a link to an entry, which may hold the entry itself as a nested Atom entry.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataEntryLink : public GDataObject {
    QV_GDATA_CLASS(GDataEntryLink)
public:
    static std::shared_ptr<GDataEntryLink> entryLinkWithHref(std::optional<std::string> href, bool isReadOnly);
    void addParseDeclarations() override;
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    GDataXMLElementPtr XMLElement() const override;
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;

    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // "readOnly" is written only when true.
    bool isReadOnly() const { return boolValueForAttribute("readOnly", false); }
    void setIsReadOnly(bool flag) { setBoolValue(flag, false, "readOnly"); }

    // The nested entry, of the class the kind registry chose for it.
    const GDataObjectPtr& entry() const { return entry_; }
    void setEntry(GDataObjectPtr entry) { entry_ = std::move(entry); }

private:
    GDataObjectPtr entry_;
};

}  // namespace quorvane
