#pragma once
// gContact:event — a dated event of a contact (an anniversary...): rel or label, and the date
// in a gd:when child.

#include "gdata/GDataWhen.h"

namespace quorvane {

class GDataContactEvent : public GDataObject {
    QV_GDATA_CLASS(GDataContactEvent)
public:
    static std::shared_ptr<GDataContactEvent> eventWithRel(std::optional<std::string> rel,
                                                           std::optional<std::string> label,
                                                           const std::shared_ptr<GDataWhen>& when);
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // null removes the date.
    std::shared_ptr<GDataWhen> when() const { return objectForExtension<GDataWhen>(); }
    void setWhen(const std::shared_ptr<GDataWhen>& v) { setObject(v, GDataWhen::staticClassInfo()); }
};

}  // namespace quorvane
