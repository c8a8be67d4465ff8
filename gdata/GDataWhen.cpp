#include "gdata/GDataWhen.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataWhen, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "when")

std::shared_ptr<GDataWhen> GDataWhen::whenWithStartTime(const std::optional<GDataDateTime>& startTime,
                                                        const std::optional<GDataDateTime>& endTime) {
    auto obj = object();
    obj->setStartTime(startTime);
    obj->setEndTime(endTime);
    return obj;
}

void GDataWhen::addParseDeclarations() { addLocalAttributeDeclarations({"valueString", "startTime", "endTime"}); }

}  // namespace quorvane
