#include "gdata/GDataOrganization.h"

#include "gdata/GDataDescriptionItems.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

#define QV_GDATA_GD_CLASS(Cls, Super, local) \
    QV_GDATA_DEFINE_CLASS(Cls, Super, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, local)

QV_GDATA_GD_CLASS(GDataOrgDepartment, GDataValueElementConstruct, "orgDepartment")
QV_GDATA_GD_CLASS(GDataOrgJobDescription, GDataValueElementConstruct, "orgJobDescription")
QV_GDATA_GD_CLASS(GDataOrgSymbol, GDataValueElementConstruct, "orgSymbol")
QV_GDATA_GD_CLASS(GDataOrgTitle, GDataValueElementConstruct, "orgTitle")
QV_GDATA_GD_CLASS(GDataOrganizationName, GDataObject, "orgName")
QV_GDATA_GD_CLASS(GDataOrganization, GDataObject, "organization")

#undef QV_GDATA_GD_CLASS

// --- GDataOrganizationName ---

std::shared_ptr<GDataOrganizationName> GDataOrganizationName::organizationNameWithString(
    std::optional<std::string> name) {
    auto obj = object();
    obj->setStringValue(std::move(name));
    return obj;
}

void GDataOrganizationName::addParseDeclarations() {
    addLocalAttributeDeclarations({"yomi"});
    addContentValueDeclaration();
}

std::vector<std::string> GDataOrganizationName::itemsForDescription() const {
    std::vector<std::string> items;
    addDescriptionRecords({gdataValueItem("value", [this] { return stringValue(); }),
                           gdataValueItem("yomi", [this] { return yomi(); })},
                          items);
    return items;
}

// --- GDataOrganization ---

std::shared_ptr<GDataOrganization> GDataOrganization::organizationWithName(std::optional<std::string> name) {
    auto obj = object();
    obj->setOrgName(std::move(name));
    return obj;
}

void GDataOrganization::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        staticClassInfo(), {&GDataOrgDepartment::staticClassInfo(), &GDataOrgJobDescription::staticClassInfo(),
                            &GDataOrgSymbol::staticClassInfo(), &GDataOrgTitle::staticClassInfo(),
                            &GDataOrganizationName::staticClassInfo(), &GDataWhere::staticClassInfo()});
}

void GDataOrganization::addParseDeclarations() { addLocalAttributeDeclarations({"label", "rel", "primary"}); }

bool GDataOrganization::isBlankText(const std::string& s) { return platform::isBlank(s); }

std::optional<std::string> GDataOrganization::orgName() const {
    auto name = objectForExtension<GDataOrganizationName>();
    return name ? name->stringValue() : std::nullopt;
}

void GDataOrganization::setOrgName(std::optional<std::string> name) {
    auto element = objectForExtension<GDataOrganizationName>();
    if (!element) {
        if (!name) return;
        element = GDataOrganizationName::organizationNameWithString(std::nullopt);
        setObject(element, GDataOrganizationName::staticClassInfo());
    }
    if (name && platform::isBlank(*name)) name.reset();
    element->setStringValue(std::move(name));
}

std::optional<std::string> GDataOrganization::orgNameYomi() const {
    auto name = objectForExtension<GDataOrganizationName>();
    return name ? name->yomi() : std::nullopt;
}

void GDataOrganization::setOrgNameYomi(std::optional<std::string> yomi) {
    auto element = objectForExtension<GDataOrganizationName>();
    if (!element) {
        if (!yomi) return;
        element = GDataOrganizationName::organizationNameWithString(std::nullopt);
        setObject(element, GDataOrganizationName::staticClassInfo());
    }
    element->setYomi(std::move(yomi));
}

std::vector<std::string> GDataOrganization::itemsForDescription() const {
    std::vector<std::string> items;
    addDescriptionRecords({gdataValueItem("name", [this] { return orgName(); }),
                           gdataValueItem("orgNameYomi", [this] { return orgNameYomi(); }),
                           gdataValueItem("title", [this] { return orgTitle(); }),
                           gdataValueItem("dept", [this] { return orgDepartment(); }),
                           gdataValueItem("jobDesc", [this] { return orgJobDescription(); }),
                           gdataValueItem("symbol", [this] { return orgSymbol(); }),
                           gdataObjectItem("where", [this] { return where(); }),
                           gdataValueItem("rel", [this] { return rel(); }),
                           gdataValueItem("label", [this] { return label(); }),
                           gdataBoolIfTrueItem("primary", [this] { return isPrimary(); })},
                          items);
    return items;
}

}  // namespace quorvane
