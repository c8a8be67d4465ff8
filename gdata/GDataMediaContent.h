#pragma once
// <media:content>: one file of a media item, described entirely by attributes.

#include <cstdint>
#include <optional>
#include <string>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataMediaContent : public GDataObject {
    QV_GDATA_CLASS(GDataMediaContent)
public:
    static std::shared_ptr<GDataMediaContent> mediaContentWithURLString(std::optional<std::string> urlString);
    void addParseDeclarations() override;

    std::optional<std::string> URLString() const { return stringValueForAttribute("url"); }
    void setURLString(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "url"); }
    std::optional<int64_t> fileSize() const { return longLongNumberForAttribute("fileSize"); }
    void setFileSize(std::optional<int64_t> n);
    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "type"); }
    std::optional<std::string> medium() const { return stringValueForAttribute("medium"); }
    void setMedium(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "medium"); }
    // Written only when true.
    bool isDefault() const { return boolValueForAttribute("isDefault", false); }
    void setIsDefault(bool flag) { setBoolValue(flag, false, "isDefault"); }
    std::optional<std::string> expression() const { return stringValueForAttribute("expression"); }
    void setExpression(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "expression"); }

    // Decimal numbers, as their canonical decimal text ("128.5").
    std::optional<std::string> bitrate() const { return decimalNumberForAttribute("bitrate"); }
    void setBitrate(std::optional<std::string> decimal) { setDecimalNumberValue(std::move(decimal), "bitrate"); }
    std::optional<std::string> framerate() const { return decimalNumberForAttribute("framerate"); }
    void setFramerate(std::optional<std::string> decimal) { setDecimalNumberValue(std::move(decimal), "framerate"); }
    std::optional<std::string> samplingrate() const { return decimalNumberForAttribute("samplingrate"); }
    void setSamplingrate(std::optional<std::string> decimal) {
        setDecimalNumberValue(std::move(decimal), "samplingrate");
    }

    std::optional<int32_t> channels() const { return intNumberForAttribute("channels"); }
    void setChannels(std::optional<int32_t> n) { setIntAttribute(n, "channels"); }
    std::optional<int32_t> duration() const { return intNumberForAttribute("duration"); }
    void setDuration(std::optional<int32_t> n) { setIntAttribute(n, "duration"); }
    std::optional<int32_t> height() const { return intNumberForAttribute("height"); }
    void setHeight(std::optional<int32_t> n) { setIntAttribute(n, "height"); }
    std::optional<int32_t> width() const { return intNumberForAttribute("width"); }
    void setWidth(std::optional<int32_t> n) { setIntAttribute(n, "width"); }

    std::optional<std::string> lang() const { return stringValueForAttribute("lang"); }
    void setLang(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "lang"); }

private:
    void setIntAttribute(std::optional<int32_t> n, std::string_view name);
};

}  // namespace quorvane
