#include "gdata/GDataEntryContactProfile.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryContactProfile, GDataEntryContactBase, nullptr, nullptr, nullptr)

std::shared_ptr<GDataEntryContactProfile> GDataEntryContactProfile::contactProfileEntry() {
    registerContactClasses();
    auto entry = object();
    entry->setNamespaces(GDataContactConstants::contactNamespaces());
    return entry;
}

}  // namespace quorvane
