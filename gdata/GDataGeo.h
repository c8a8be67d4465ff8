#pragma once
// A location attached to an entry, in one of three XML encodings:
//   <georss:point>lat long</georss:point>
//   <georss:where><gml:Point><gml:pos>lat long</gml:pos></gml:Point></georss:where>
//   <geo:Point><geo:lat>lat</geo:lat><geo:long>long</geo:long></geo:Point>
// GDataGeo keeps the coordinates (pairs of latitude and longitude) and offers the operations
// with which any entry class declares the encodings and reads or replaces its location.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gdata/GDataObject.h"
#include "gdata/GDataValueConstruct.h"

namespace quorvane {

class GDataGeo : public GDataObject {
    QV_GDATA_CLASS(GDataGeo)
public:
    // "georss", "geo" and "gml" to their namespace URIs.
    static GDataStringDictionary geoNamespaces();

    // A new location of the given subclass at the point.
    static std::shared_ptr<GDataGeo> geoWithLatitude(const GDataClassInfo& cls, double latitude, double longitude);
    template <class T>
    static std::shared_ptr<T> geoWithLatitude(double latitude, double longitude) {
        return std::dynamic_pointer_cast<T>(geoWithLatitude(T::staticClassInfo(), latitude, longitude));
    }

    const std::optional<std::vector<double>>& values() const { return values_; }
    void setValues(std::optional<std::vector<double>> values) { values_ = std::move(values); }
    // Exactly one pair.
    bool isPoint() const { return values_ && values_->size() == 2; }
    // NaN when not a point.
    double latitude() const;
    double longitude() const;
    std::optional<std::string> coordinateString() const { return coordinateStringWithValues(values_); }

    // Pairs of numbers separated by white space; a lone last number is dropped.
    static std::vector<double> valuesWithCoordinateString(std::string_view str);
    // The numbers joined by single blanks.
    static std::optional<std::string> coordinateStringWithValues(const std::optional<std::vector<double>>& values);
    // The shortest text that reads back as the same number.
    static std::string numberString(double value);

    // Declares the three encodings, in lookup order, as children of `parentClass` on `object`.
    static void addGeoExtensionDeclarationsToObject(GDataObject& object, const GDataClassInfo& parentClass);
    // The object's georss point, else its georss where, else its W3C point.
    static std::shared_ptr<GDataGeo> geoLocationForObject(const GDataObject& object);
    // Replaces the object's location (of whatever encoding); nullptr removes it.
    static void setGeoLocation(const std::shared_ptr<GDataGeo>& geo, GDataObject& object);

    // Parsing into GDataGeo itself is a contract failure: only the encodings can be parsed.
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    // Without a subclass: a georss point.
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;
    std::vector<std::string> itemsForDescription() const override;

protected:
    // Sets the values from the element's text when it holds at least one pair; the text is
    // taken as parsed only then, so text that is not coordinates goes back out unchanged.
    void setValuesFromTextOfElement(const GDataXMLElementPtr& element);

private:
    std::optional<std::vector<double>> values_;
};

// <georss:point>lat long</georss:point>
class GDataGeoRSSPoint : public GDataGeo {
    QV_GDATA_CLASS(GDataGeoRSSPoint)
public:
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
};

// <georss:where><gml:Point><gml:pos>lat long</gml:pos></gml:Point></georss:where>
class GDataGeoRSSWhere : public GDataGeo {
    QV_GDATA_CLASS(GDataGeoRSSWhere)
public:
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;
};

// <geo:Point><geo:lat>lat</geo:lat><geo:long>long</geo:long></geo:Point>
class GDataGeoW3CPoint : public GDataGeo {
    QV_GDATA_CLASS(GDataGeoW3CPoint)
public:
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;

private:
    std::string childElementName(const char* local) const;
};

// <georss:featurename>name</georss:featurename>
class GDataGeoRSSFeatureName : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataGeoRSSFeatureName)
};

// <georss:radius>metres</georss:radius>
class GDataGeoRSSRadius : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataGeoRSSRadius)
};

}  // namespace quorvane
