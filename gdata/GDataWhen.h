#pragma once
// gd:when — a span of time: a start, an optional end and an optional text value.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataWhen : public GDataObject {
    QV_GDATA_CLASS(GDataWhen)
public:
    static std::shared_ptr<GDataWhen> whenWithStartTime(const std::optional<GDataDateTime>& startTime,
                                                        const std::optional<GDataDateTime>& endTime);
    void addParseDeclarations() override;

    // Written in RFC 3339 form; a date without a time is written as a date only.
    std::optional<GDataDateTime> startTime() const { return dateTimeForAttribute("startTime"); }
    void setStartTime(const std::optional<GDataDateTime>& t) { setDateTimeValue(t, "startTime"); }
    std::optional<GDataDateTime> endTime() const { return dateTimeForAttribute("endTime"); }
    void setEndTime(const std::optional<GDataDateTime>& t) { setDateTimeValue(t, "endTime"); }
    // The "valueString" attribute.
    std::optional<std::string> value() const { return stringValueForAttribute("valueString"); }
    void setValue(std::optional<std::string> v) { setStringValue(std::move(v), "valueString"); }
};

}  // namespace quorvane
