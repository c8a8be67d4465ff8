#include "gdata/GDataContactConstants.h"

#include "gdata/GDataUtilities.h"

namespace quorvane {

std::string GDataContactConstants::coreProtocolVersionForServiceVersion(
    const std::optional<std::string>& serviceVersion) {
    std::optional<std::string_view> v;
    if (serviceVersion) v = *serviceVersion;
    return GDataUtilities::compareVersion(v, "2.0") >= 0 ? "2.0" : "1.0";
}

}  // namespace quorvane
