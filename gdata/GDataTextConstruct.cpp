#include "gdata/GDataTextConstruct.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataTextConstruct, GDataObject, nullptr, nullptr, nullptr)

std::shared_ptr<GDataTextConstruct> GDataTextConstruct::textConstructWithString(const GDataClassInfo& cls,
                                                                                std::optional<std::string> text) {
    auto obj = std::dynamic_pointer_cast<GDataTextConstruct>(cls.make());
    if (obj) obj->setStringValue(std::move(text));
    return obj;
}

void GDataTextConstruct::addParseDeclarations() {
    addLocalAttributeDeclarations({"type", "xml:lang"});
    addContentValueDeclaration();
}

bool GDataTextConstruct::isTypeEqualToText(const std::optional<std::string>& type) {
    return !type || *type == "text" || *type == "text/plain";
}

bool GDataTextConstruct::isEqual(const GDataExtension& other) const {
    if (!GDataObject::isEqual(other)) return false;
    auto o = dynamic_cast<const GDataTextConstruct*>(&other);
    if (!o) return false;
    if (type() == o->type()) return true;
    return isTypeEqualToText(type()) && isTypeEqualToText(o->type());
}

}  // namespace quorvane
