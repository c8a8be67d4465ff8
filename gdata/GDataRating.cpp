#include "gdata/GDataRating.h"

#include <charconv>

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataRating, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "rating")

std::shared_ptr<GDataRating> GDataRating::ratingWithValue(int32_t value, int32_t max, int32_t min) {
    auto obj = object();
    obj->setValue(value);
    obj->setMax(max);
    obj->setMin(min);
    return obj;
}

void GDataRating::addParseDeclarations() {
    addLocalAttributeDeclarations({"rel", "value", "max", "min", "average", "numRaters"});
}

void GDataRating::setInt(std::optional<int32_t> v, std::string_view name) {
    setStringValue(v ? std::optional<std::string>(std::to_string(*v)) : std::nullopt, name);
}

void GDataRating::setAverage(std::optional<double> v) {
    if (!v) {
        setStringValue(std::nullopt, "average");
        return;
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, *v);  // shortest text that reads back the same
    setStringValue(std::string(buf, r.ptr), "average");
}

}  // namespace quorvane
