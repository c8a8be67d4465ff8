#pragma once
// gd:structuredPostalAddress — a postal address by its parts (street, city, region, country...),
// each part a child element whose text is its value.

#include "gdata/GDataValueConstruct.h"

namespace quorvane {

#define QV_GDATA_POSTAL_PART(Cls)          \
    class Cls : public GDataValueElementConstruct { \
        QV_GDATA_CLASS(Cls)                \
    };

QV_GDATA_POSTAL_PART(GDataPostalAddressAgent)             // gd:agent
QV_GDATA_POSTAL_PART(GDataPostalAddressCity)              // gd:city
QV_GDATA_POSTAL_PART(GDataPostalAddressFormattedAddress)  // gd:formattedAddress
QV_GDATA_POSTAL_PART(GDataPostalAddressHouseName)         // gd:housename
QV_GDATA_POSTAL_PART(GDataPostalAddressNeighborhood)      // gd:neighborhood
QV_GDATA_POSTAL_PART(GDataPostalAddressPOBox)             // gd:pobox
QV_GDATA_POSTAL_PART(GDataPostalAddressPostCode)          // gd:postcode
QV_GDATA_POSTAL_PART(GDataPostalAddressRegion)            // gd:region
QV_GDATA_POSTAL_PART(GDataPostalAddressStreet)            // gd:street
QV_GDATA_POSTAL_PART(GDataPostalAddressSubregion)         // gd:subregion

#undef QV_GDATA_POSTAL_PART

// gd:country — the country name as text, its code in the "code" attribute.
class GDataPostalAddressCountry : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataPostalAddressCountry)
public:
    void addParseDeclarations() override;
    std::optional<std::string> code() const { return stringValueForAttribute("code"); }
    void setCode(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "code"); }
};

class GDataStructuredPostalAddress : public GDataObject {
    QV_GDATA_CLASS(GDataStructuredPostalAddress)
public:
    // An empty address.
    static std::shared_ptr<GDataStructuredPostalAddress> structuredPostalAddress() { return object(); }
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    std::optional<std::string> mailClass() const { return stringValueForAttribute("mailClass"); }
    void setMailClass(std::optional<std::string> v) { setStringValue(std::move(v), "mailClass"); }
    std::optional<std::string> usage() const { return stringValueForAttribute("usage"); }
    void setUsage(std::optional<std::string> v) { setStringValue(std::move(v), "usage"); }
    // "primary" is written only when true; unlike most contact elements, it takes part in equality.
    bool isPrimary() const { return boolValueForAttribute("primary", false); }
    void setIsPrimary(bool flag) { setBoolValue(flag, false, "primary"); }

    // Parts: nil removes the part; an empty string keeps an element with empty text.
    std::optional<std::string> agent() const { return part<GDataPostalAddressAgent>(); }
    void setAgent(std::optional<std::string> v) { setPart<GDataPostalAddressAgent>(std::move(v)); }
    std::optional<std::string> city() const { return part<GDataPostalAddressCity>(); }
    void setCity(std::optional<std::string> v) { setPart<GDataPostalAddressCity>(std::move(v)); }
    std::optional<std::string> formattedAddress() const { return part<GDataPostalAddressFormattedAddress>(); }
    void setFormattedAddress(std::optional<std::string> v) { setPart<GDataPostalAddressFormattedAddress>(std::move(v)); }
    std::optional<std::string> houseName() const { return part<GDataPostalAddressHouseName>(); }
    void setHouseName(std::optional<std::string> v) { setPart<GDataPostalAddressHouseName>(std::move(v)); }
    std::optional<std::string> neighborhood() const { return part<GDataPostalAddressNeighborhood>(); }
    void setNeighborhood(std::optional<std::string> v) { setPart<GDataPostalAddressNeighborhood>(std::move(v)); }
    std::optional<std::string> POBox() const { return part<GDataPostalAddressPOBox>(); }
    void setPOBox(std::optional<std::string> v) { setPart<GDataPostalAddressPOBox>(std::move(v)); }
    std::optional<std::string> postCode() const { return part<GDataPostalAddressPostCode>(); }
    void setPostCode(std::optional<std::string> v) { setPart<GDataPostalAddressPostCode>(std::move(v)); }
    std::optional<std::string> region() const { return part<GDataPostalAddressRegion>(); }
    void setRegion(std::optional<std::string> v) { setPart<GDataPostalAddressRegion>(std::move(v)); }
    std::optional<std::string> street() const { return part<GDataPostalAddressStreet>(); }
    void setStreet(std::optional<std::string> v) { setPart<GDataPostalAddressStreet>(std::move(v)); }
    std::optional<std::string> subregion() const { return part<GDataPostalAddressSubregion>(); }
    void setSubregion(std::optional<std::string> v) { setPart<GDataPostalAddressSubregion>(std::move(v)); }

    // The country element's text and code. A name or code given to an address without a country
    // element adds one; nil clears the text (or removes the code) of an existing element, which
    // stays with the other half.
    std::optional<std::string> countryName() const { return part<GDataPostalAddressCountry>(); }
    void setCountryName(std::optional<std::string> name);
    std::optional<std::string> countryCode() const;
    void setCountryCode(std::optional<std::string> code);

private:
    template <class T>
    std::optional<std::string> part() const {
        return extensionStringValue<T>();
    }
    template <class T>
    void setPart(std::optional<std::string> v) {
        setExtensionStringValue<T>(std::move(v));
    }
};

}  // namespace quorvane
