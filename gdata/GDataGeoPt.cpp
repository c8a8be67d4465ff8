#include "gdata/GDataGeoPt.h"

#include <charconv>

#include "gdata/GDataUtilities.h"
#include "gdata/GDataXMLWriter.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataGeoPt, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "geoPt")

std::shared_ptr<GDataGeoPt> GDataGeoPt::geoPtWithLabel(std::optional<std::string> label, std::optional<double> lat,
                                                       std::optional<double> lon, std::optional<double> elev,
                                                       std::optional<GDataDateTime> time) {
    auto obj = object();
    obj->setLabel(std::move(label));
    obj->setLat(lat);
    obj->setLon(lon);
    obj->setElev(elev);
    obj->setTime(std::move(time));
    return obj;
}

std::optional<std::string> GDataGeoPt::numberText(const std::optional<double>& v) {
    if (!v) return std::nullopt;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, *v);
    return std::string(buf, r.ptr);
}

bool GDataGeoPt::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataObject::initWithXMLElement(element, parent)) return false;
    label_ = stringForAttributeName("label", element);
    lat_ = doubleNumberForAttributeName("lat", element);
    lon_ = doubleNumberForAttributeName("lon", element);
    elev_ = doubleNumberForAttributeName("elev", element);
    time_ = dateTimeForAttributeName("time", element);
    return true;
}

GDataXMLElementPtr GDataGeoPt::XMLElement() const {
    auto element = GDataObject::XMLElement();
    if (!element) return nullptr;
    addToElementAttributeValueIfNonNil(element, label_, "label");
    addToElementAttributeValueIfNonNil(element, numberText(lat_), "lat");
    addToElementAttributeValueIfNonNil(element, numberText(lon_), "lon");
    addToElementAttributeValueIfNonNil(element, numberText(elev_), "elev");
    if (time_) addToElementAttributeValueIfNonNil(element, time_->RFC3339String(), "time");
    return element;
}

void GDataGeoPt::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, std::nullopt);
    auto add = [&](const std::optional<std::string>& value, std::string_view name) {
        if (value) writer.addAttribute(name, GDataUtilities::stringWithControlsFilteredForString(*value));
    };
    add(label_, "label");
    add(numberText(lat_), "lat");
    add(numberText(lon_), "lon");
    add(numberText(elev_), "elev");
    if (time_) add(time_->RFC3339String(), "time");
    writeXMLChildren(writer);
    writer.endElement();
}

void GDataGeoPt::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    auto t = dynamic_cast<GDataGeoPt*>(&target);
    if (!t) return;
    t->label_ = label_;
    t->lat_ = lat_;
    t->lon_ = lon_;
    t->elev_ = elev_;
    t->time_ = time_;  // a GDataDateTime copy owns its fields
}

bool GDataGeoPt::isEqual(const GDataExtension& other) const {
    if (!GDataObject::isEqual(other)) return false;
    auto o = dynamic_cast<const GDataGeoPt*>(&other);
    return o && label_ == o->label_ && numberText(lat_) == numberText(o->lat_) &&
           numberText(lon_) == numberText(o->lon_) && numberText(elev_) == numberText(o->elev_) &&
           time_ == o->time_;
}

std::vector<std::string> GDataGeoPt::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    auto add = [&](const char* name, const std::optional<std::string>& v) {
        if (v) items.push_back(std::string(name) + ":" + *v);
    };
    add("label", label_);
    add("lat", numberText(lat_));
    add("lon", numberText(lon_));
    add("elev", numberText(elev_));
    add("time", time_ ? std::optional<std::string>(time_->RFC3339String()) : std::nullopt);
    return items;
}

}  // namespace quorvane
