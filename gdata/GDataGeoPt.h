#pragma once
// gd:geoPt — a geographic point: label, latitude, longitude, elevation and time, kept in fields
// of their own and written as the element's attributes.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataGeoPt : public GDataObject {
    QV_GDATA_CLASS(GDataGeoPt)
public:
    static std::shared_ptr<GDataGeoPt> geoPtWithLabel(std::optional<std::string> label, std::optional<double> lat,
                                                      std::optional<double> lon, std::optional<double> elev,
                                                      std::optional<GDataDateTime> time);
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;
    std::vector<std::string> itemsForDescription() const override;

    const std::optional<std::string>& label() const { return label_; }
    void setLabel(std::optional<std::string> v) { label_ = std::move(v); }
    const std::optional<double>& lat() const { return lat_; }
    void setLat(std::optional<double> v) { lat_ = v; }
    const std::optional<double>& lon() const { return lon_; }
    void setLon(std::optional<double> v) { lon_ = v; }
    const std::optional<double>& elev() const { return elev_; }
    void setElev(std::optional<double> v) { elev_ = v; }
    const std::optional<GDataDateTime>& time() const { return time_; }
    void setTime(std::optional<GDataDateTime> v) { time_ = std::move(v); }

    // The text a coordinate is written as: the shortest that reads back as the same number.
    static std::optional<std::string> numberText(const std::optional<double>& v);

private:
    std::optional<std::string> label_;
    std::optional<double> lat_, lon_, elev_;
    std::optional<GDataDateTime> time_;
};

}  // namespace quorvane
