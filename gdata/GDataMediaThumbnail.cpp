#include "gdata/GDataMediaThumbnail.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataMediaThumbnail, GDataObject, kGDataNamespaceMediaURI, kGDataNamespaceMediaPrefix,
                      "thumbnail")

namespace {
std::optional<std::string> numberText(std::optional<int32_t> n) {
    if (!n) return std::nullopt;
    return std::to_string(*n);
}
}  // namespace

std::shared_ptr<GDataMediaThumbnail> GDataMediaThumbnail::mediaContentWithURL(std::optional<std::string> urlString) {
    auto obj = object();
    obj->setURLString(std::move(urlString));
    return obj;
}

void GDataMediaThumbnail::addParseDeclarations() { addLocalAttributeDeclarations({"url", "height", "width", "time"}); }

void GDataMediaThumbnail::setHeight(std::optional<int32_t> n) { GDataObject::setStringValue(numberText(n), "height"); }
void GDataMediaThumbnail::setWidth(std::optional<int32_t> n) { GDataObject::setStringValue(numberText(n), "width"); }

std::optional<GDataNormalPlayTime> GDataMediaThumbnail::time() const {
    auto s = stringValueForAttribute("time");
    if (!s || s->empty()) return std::nullopt;
    return GDataNormalPlayTime::normalPlayTimeWithString(*s);
}

void GDataMediaThumbnail::setTime(const std::optional<GDataNormalPlayTime>& time) {
    GDataObject::setStringValue(time ? std::optional<std::string>(time->HHMMSSString()) : std::nullopt, "time");
}

}  // namespace quorvane
