#include "gdata/GDataName.h"

#include "gdata/GDataDescriptionItems.h"

namespace quorvane {

#define QV_GDATA_GD_CLASS(Cls, Super, local) \
    QV_GDATA_DEFINE_CLASS(Cls, Super, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, local)

QV_GDATA_DEFINE_CLASS(GDataNameElement, GDataObject, nullptr, nullptr, nullptr)
QV_GDATA_GD_CLASS(GDataNameAdditional, GDataNameElement, "additionalName")
QV_GDATA_GD_CLASS(GDataNameFamily, GDataNameElement, "familyName")
QV_GDATA_GD_CLASS(GDataNameFull, GDataNameElement, "fullName")
QV_GDATA_GD_CLASS(GDataNameGiven, GDataNameElement, "givenName")
QV_GDATA_GD_CLASS(GDataNamePrefix, GDataValueElementConstruct, "namePrefix")
QV_GDATA_GD_CLASS(GDataNameSuffix, GDataValueElementConstruct, "nameSuffix")
QV_GDATA_GD_CLASS(GDataName, GDataObject, "name")

#undef QV_GDATA_GD_CLASS

// --- GDataNameElement ---

std::shared_ptr<GDataNameElement> GDataNameElement::nameElementWithString(const GDataClassInfo& cls,
                                                                          const std::optional<std::string>& text) {
    if (!text || text->empty()) return nullptr;
    auto obj = std::dynamic_pointer_cast<GDataNameElement>(cls.make());
    if (obj) obj->setStringValue(text);
    return obj;
}

std::shared_ptr<GDataNameElement> GDataNameElement::nameElementWithNameElement(
    const GDataClassInfo& cls, const std::shared_ptr<GDataNameElement>& e) {
    auto obj = std::dynamic_pointer_cast<GDataNameElement>(cls.make());
    if (!obj) return nullptr;
    obj->setStringValue(e ? e->stringValue() : std::nullopt);
    // The reading is carried over as it is, without the setter's rule for empty text.
    obj->GDataObject::setStringValue(e ? e->yomi() : std::nullopt, "yomi");
    return obj;
}

void GDataNameElement::addParseDeclarations() {
    addLocalAttributeDeclarations({"yomi"});
    addContentValueDeclaration();
}

void GDataNameElement::setYomi(std::optional<std::string> v) {
    if (v && v->empty()) v.reset();
    GDataObject::setStringValue(std::move(v), "yomi");
}

// --- GDataName ---

std::shared_ptr<GDataName> GDataName::nameWithFullNameString(const std::optional<std::string>& fullName) {
    auto obj = object();
    obj->setFullNameWithString(fullName);
    return obj;
}

std::shared_ptr<GDataName> GDataName::nameWithPrefix(const std::optional<std::string>& prefix,
                                                     const std::optional<std::string>& given,
                                                     const std::optional<std::string>& additional,
                                                     const std::optional<std::string>& family,
                                                     const std::optional<std::string>& suffix) {
    auto obj = object();
    obj->setNamePrefix(prefix);
    obj->setGivenNameWithString(given);
    obj->setAdditionalNameWithString(additional);
    obj->setFamilyNameWithString(family);
    obj->setNameSuffix(suffix);
    return obj;
}

void GDataName::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        staticClassInfo(), {&GDataNameAdditional::staticClassInfo(), &GDataNameFamily::staticClassInfo(),
                            &GDataNameFull::staticClassInfo(), &GDataNameGiven::staticClassInfo(),
                            &GDataNamePrefix::staticClassInfo(), &GDataNameSuffix::staticClassInfo()});
}

std::vector<std::string> GDataName::itemsForDescription() const {
    std::vector<std::string> items;
    auto text = [](const std::shared_ptr<GDataNameElement>& e) { return e ? e->stringValue() : std::nullopt; };
    addDescriptionRecords({gdataValueItem("prefix", [this] { return namePrefix(); }),
                           gdataValueItem("given", [=, this] { return text(givenName()); }),
                           gdataValueItem("additional", [=, this] { return text(additionalName()); }),
                           gdataValueItem("family", [=, this] { return text(familyName()); }),
                           gdataValueItem("suffix", [this] { return nameSuffix(); }),
                           gdataValueItem("full", [=, this] { return text(fullName()); })},
                          items);
    return items;
}

}  // namespace quorvane
