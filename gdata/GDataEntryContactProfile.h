#pragma once
// GDataEntryContactProfile: a profile of the user's domain directory (kind "#profile"), with the
// contact elements of the base and nothing more.

#include <memory>

#include "gdata/GDataEntryContactBase.h"

namespace quorvane {

class GDataEntryContactProfile : public GDataEntryContactBase {
    QV_GDATA_CLASS(GDataEntryContactProfile)
public:
    // A new entry declaring the contact namespaces. It registers the contact classes first.
    static std::shared_ptr<GDataEntryContactProfile> contactProfileEntry();

    std::optional<std::string> standardEntryKind() const override {
        return std::string(kGDataCategoryContactProfile);
    }
    std::optional<std::string> defaultServiceVersion() const override {
        return std::string(kGDataContactDefaultServiceVersion);
    }
};

}  // namespace quorvane
