#include "gdata/GDataContactLink.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataContactLink, GDataObject, nullptr, nullptr, nullptr)
QV_GDATA_DEFINE_CLASS(GDataContactWebsiteLink, GDataContactLink, kGDataNamespaceContactURI,
                      kGDataNamespaceContactPrefix, "website")
QV_GDATA_DEFINE_CLASS(GDataContactCalendarLink, GDataContactLink, kGDataNamespaceContactURI,
                      kGDataNamespaceContactPrefix, "calendarLink")

std::shared_ptr<GDataContactLink> GDataContactLink::linkWithRel(const GDataClassInfo& cls,
                                                                std::optional<std::string> rel,
                                                                std::optional<std::string> label,
                                                                std::optional<std::string> href) {
    auto obj = std::dynamic_pointer_cast<GDataContactLink>(cls.make());
    if (!obj) return nullptr;
    obj->setRel(std::move(rel));
    obj->setLabel(std::move(label));
    obj->setHref(std::move(href));
    return obj;
}

void GDataContactLink::addParseDeclarations() { addLocalAttributeDeclarations({"href", "label", "rel", "primary"}); }

}  // namespace quorvane
