#pragma once
// gd:rating — a rating with its bounds, the average and the number of raters.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataRating : public GDataObject {
    QV_GDATA_CLASS(GDataRating)
public:
    static std::shared_ptr<GDataRating> ratingWithValue(int32_t value, int32_t max, int32_t min);
    void addParseDeclarations() override;

    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // Numbers are written as their decimal text; nullopt removes the attribute.
    std::optional<int32_t> value() const { return intNumberForAttribute("value"); }
    void setValue(std::optional<int32_t> v) { setInt(v, "value"); }
    std::optional<int32_t> max() const { return intNumberForAttribute("max"); }
    void setMax(std::optional<int32_t> v) { setInt(v, "max"); }
    std::optional<int32_t> min() const { return intNumberForAttribute("min"); }
    void setMin(std::optional<int32_t> v) { setInt(v, "min"); }
    std::optional<int32_t> numberOfRaters() const { return intNumberForAttribute("numRaters"); }
    void setNumberOfRaters(std::optional<int32_t> v) { setInt(v, "numRaters"); }
    std::optional<double> average() const { return doubleNumberForAttribute("average"); }
    void setAverage(std::optional<double> v);

private:
    void setInt(std::optional<int32_t> v, std::string_view name);
};

}  // namespace quorvane
