#include "gdata/GDataStructuredPostalAddress.h"

#include "gdata/GDataDescriptionItems.h"

namespace quorvane {

#define QV_GDATA_GD_CLASS(Cls, Super, local) \
    QV_GDATA_DEFINE_CLASS(Cls, Super, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, local)

QV_GDATA_GD_CLASS(GDataPostalAddressAgent, GDataValueElementConstruct, "agent")
QV_GDATA_GD_CLASS(GDataPostalAddressCity, GDataValueElementConstruct, "city")
QV_GDATA_GD_CLASS(GDataPostalAddressCountry, GDataValueElementConstruct, "country")
QV_GDATA_GD_CLASS(GDataPostalAddressFormattedAddress, GDataValueElementConstruct, "formattedAddress")
QV_GDATA_GD_CLASS(GDataPostalAddressHouseName, GDataValueElementConstruct, "housename")
QV_GDATA_GD_CLASS(GDataPostalAddressNeighborhood, GDataValueElementConstruct, "neighborhood")
QV_GDATA_GD_CLASS(GDataPostalAddressPOBox, GDataValueElementConstruct, "pobox")
QV_GDATA_GD_CLASS(GDataPostalAddressPostCode, GDataValueElementConstruct, "postcode")
QV_GDATA_GD_CLASS(GDataPostalAddressRegion, GDataValueElementConstruct, "region")
QV_GDATA_GD_CLASS(GDataPostalAddressStreet, GDataValueElementConstruct, "street")
QV_GDATA_GD_CLASS(GDataPostalAddressSubregion, GDataValueElementConstruct, "subregion")
QV_GDATA_GD_CLASS(GDataStructuredPostalAddress, GDataObject, "structuredPostalAddress")

#undef QV_GDATA_GD_CLASS

void GDataPostalAddressCountry::addParseDeclarations() {
    GDataValueElementConstruct::addParseDeclarations();
    addLocalAttributeDeclarations({"code"});
    addContentValueDeclaration();
}

void GDataStructuredPostalAddress::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        staticClassInfo(),
        {&GDataPostalAddressAgent::staticClassInfo(), &GDataPostalAddressCity::staticClassInfo(),
         &GDataPostalAddressCountry::staticClassInfo(), &GDataPostalAddressFormattedAddress::staticClassInfo(),
         &GDataPostalAddressHouseName::staticClassInfo(), &GDataPostalAddressNeighborhood::staticClassInfo(),
         &GDataPostalAddressPOBox::staticClassInfo(), &GDataPostalAddressPostCode::staticClassInfo(),
         &GDataPostalAddressRegion::staticClassInfo(), &GDataPostalAddressStreet::staticClassInfo(),
         &GDataPostalAddressSubregion::staticClassInfo()});
}

void GDataStructuredPostalAddress::addParseDeclarations() {
    addLocalAttributeDeclarations({"label", "mailClass", "primary", "rel", "usage"});
}

void GDataStructuredPostalAddress::setCountryName(std::optional<std::string> name) {
    auto country = objectForExtension<GDataPostalAddressCountry>();
    if (!country) {
        if (!name) return;
        country = GDataPostalAddressCountry::object();
        setObject(country, GDataPostalAddressCountry::staticClassInfo());
    }
    country->setStringValue(std::move(name));
}

std::optional<std::string> GDataStructuredPostalAddress::countryCode() const {
    auto country = objectForExtension<GDataPostalAddressCountry>();
    return country ? country->code() : std::nullopt;
}

void GDataStructuredPostalAddress::setCountryCode(std::optional<std::string> code) {
    auto country = objectForExtension<GDataPostalAddressCountry>();
    if (!country) {
        if (!code) return;
        country = GDataPostalAddressCountry::object();
        setObject(country, GDataPostalAddressCountry::staticClassInfo());
    }
    country->setCode(std::move(code));
}

std::vector<std::string> GDataStructuredPostalAddress::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    auto rec = gdataValueItem;
    addDescriptionRecords({rec("agent", [this] { return agent(); }), rec("city", [this] { return city(); }),
                           rec("country", [this] { return countryName(); }),
                           rec("countryCode", [this] { return countryCode(); }),
                           rec("fmtAddr", [this] { return formattedAddress(); }),
                           rec("house", [this] { return houseName(); }),
                           rec("neighborhood", [this] { return neighborhood(); }),
                           rec("pobox", [this] { return POBox(); }), rec("postCode", [this] { return postCode(); }),
                           rec("region", [this] { return region(); }), rec("street", [this] { return street(); }),
                           rec("subregion", [this] { return subregion(); })},
                          items);
    return items;
}

}  // namespace quorvane
