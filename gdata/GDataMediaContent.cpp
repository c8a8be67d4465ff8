#include "gdata/GDataMediaContent.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataMediaContent, GDataObject, kGDataNamespaceMediaURI, kGDataNamespaceMediaPrefix, "content")

std::shared_ptr<GDataMediaContent> GDataMediaContent::mediaContentWithURLString(std::optional<std::string> urlString) {
    auto obj = object();
    obj->setURLString(std::move(urlString));
    return obj;
}

void GDataMediaContent::addParseDeclarations() {
    addLocalAttributeDeclarations({"url", "fileSize", "type", "medium", "isDefault", "expression", "bitrate",
                                   "framerate", "samplingrate", "channels", "duration", "height", "width", "lang"});
}

void GDataMediaContent::setFileSize(std::optional<int64_t> n) {
    GDataObject::setStringValue(n ? std::optional<std::string>(std::to_string(*n)) : std::nullopt, "fileSize");
}

void GDataMediaContent::setIntAttribute(std::optional<int32_t> n, std::string_view name) {
    GDataObject::setStringValue(n ? std::optional<std::string>(std::to_string(*n)) : std::nullopt, name);
}

}  // namespace quorvane
