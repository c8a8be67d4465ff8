#pragma once
// <media:thumbnail>: an image standing for a media item, optionally taken at a time offset.

#include <optional>
#include <string>

#include "gdata/GDataNormalPlayTime.h"
#include "gdata/GDataObject.h"

namespace quorvane {

class GDataMediaThumbnail : public GDataObject {
    QV_GDATA_CLASS(GDataMediaThumbnail)
public:
    // A thumbnail with the given "url".
    static std::shared_ptr<GDataMediaThumbnail> mediaContentWithURL(std::optional<std::string> urlString);
    void addParseDeclarations() override;

    std::optional<std::string> URLString() const { return stringValueForAttribute("url"); }
    void setURLString(std::optional<std::string> s) { GDataObject::setStringValue(std::move(s), "url"); }
    std::optional<int32_t> height() const { return intNumberForAttribute("height"); }
    void setHeight(std::optional<int32_t> n);
    std::optional<int32_t> width() const { return intNumberForAttribute("width"); }
    void setWidth(std::optional<int32_t> n);

    // nullopt when "time" is absent or empty.
    std::optional<GDataNormalPlayTime> time() const;
    // Writes the time's HHMMSSString; nullopt removes the attribute.
    void setTime(const std::optional<GDataNormalPlayTime>& time);
};

}  // namespace quorvane
