#pragma once
// AppleSourceInfo: what the account menu and the pre-sync check need to know about the local
// contact containers, returned by value by QuorvaneModel::getAppleSourceInfo.

#include <cstdint>

namespace quorvane {

struct AppleSourceInfo {
    bool hasLocalOrICloudContainer = false;
    bool hasExchangeContainer = false;
    bool hasGoogleContainer = false;
    // A Google container whose user name is unknown or holds the signed-in Google user.
    bool hasSameUserGoogleContainer = false;
    bool hasYahooContainer = false;
    // One container is to be synced and it is gone.
    bool selectedContainerMissing = false;
    bool selectedContainerIsFacebook = false;
    bool selectedContainerIsGoogle = false;
    bool selectedContainerIsSameUserGoogle = false;
    bool selectedContainerIsReadOnly = false;
    bool autoSelectedContainerIsGoogle = false;
    int32_t numContainersExcludingFacebook = 0;
};

}  // namespace quorvane
