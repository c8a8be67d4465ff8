#pragma once
// NSContactSourceRecord_QV: one selectable local contact source (auto select, one container, or
// all accounts) as the account menu and the settings window show it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/contacts/CNContainer.h"
#include "sync/SyncTypes.h"

namespace quorvane {

class NSContactSourceRecord_QV {
public:
    int32_t mContactSourceMode = ContactSourceModeAutoSelect;
    platform::CNContainerPtr mContainer;  // set only for one container
    std::optional<std::string> mDescription;         // verbose
    std::optional<std::string> mConciseDescription;
    std::optional<std::string> mUsername;
    bool mReadOnlySource = false;
    int32_t mContactCount = 0;
    int32_t mContainerAccountType = ContainerAccountTypeNone;

    // The container's identifier; nil without a container.
    std::optional<std::string> getContainerID() const;
    // The verbose or concise description ("" when nil), followed by " (<user name>)" when asked
    // for and the user name is not empty.
    std::string getDescriptionWithVerbose(bool verbose, bool includeUsername) const;
};

using NSContactSourceRecord_QVPtr = std::shared_ptr<NSContactSourceRecord_QV>;

}  // namespace quorvane
