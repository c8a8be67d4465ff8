#include "gdata/GDataContactConstants.h"

#include <mutex>

#include "gdata/GDataEntryBase.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "gdata/GDataFeedContactProfile.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataUtilities.h"

namespace quorvane {

std::string GDataContactConstants::coreProtocolVersionForServiceVersion(
    const std::optional<std::string>& serviceVersion) {
    std::optional<std::string_view> v;
    if (serviceVersion) v = *serviceVersion;
    return GDataUtilities::compareVersion(v, "2.0") >= 0 ? "2.0" : "1.0";
}

GDataStringDictionary GDataContactConstants::contactNamespaces() {
    // Made once: every contact entry made or parsed asks for them.
    static const GDataStringDictionary made = [] {
        GDataStringDictionary namespaces{{kGDataNamespaceContactPrefix, kGDataNamespaceContactURI}};
        for (const auto& entry : GDataEntryBase::baseGDataNamespaces()) {
            bool replaced = false;
            for (auto& existing : namespaces)
                if (existing.first == entry.first) {
                    existing.second = entry.second;
                    replaced = true;
                }
            if (!replaced) namespaces.push_back(entry);
        }
        return namespaces;
    }();
    return made;
}

void registerContactClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        GDataEntryBase::registerEntryClass(GDataEntryContact::staticClassInfo());
        GDataEntryBase::registerEntryClass(GDataEntryContactProfile::staticClassInfo());
        GDataEntryBase::registerEntryClass(GDataEntryContactGroup::staticClassInfo());
        GDataFeedBase::registerFeedClass(GDataFeedContact::staticClassInfo());
        GDataFeedBase::registerFeedClass(GDataFeedContactGroup::staticClassInfo());
        GDataFeedBase::registerFeedClass(GDataFeedContactProfile::staticClassInfo());
    });
}

}  // namespace quorvane
