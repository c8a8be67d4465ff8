#include "sync/NSContactSourceRecord_QV.h"

namespace quorvane {

std::optional<std::string> NSContactSourceRecord_QV::getContainerID() const {
    if (!mContainer) return std::nullopt;
    return mContainer->identifier();
}

std::string NSContactSourceRecord_QV::getDescriptionWithVerbose(bool verbose, bool includeUsername) const {
    const auto& description = verbose ? mDescription : mConciseDescription;
    if (!description) return "";
    if (includeUsername && mUsername && !mUsername->empty()) return *description + " (" + *mUsername + ")";
    return *description;
}

}  // namespace quorvane
