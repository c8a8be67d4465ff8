#pragma once
// NSContainerInfo: the summary of one local contact container (account) that the model builds
// when it describes the containers.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/contacts/CNContainer.h"
#include "sync/SyncTypes.h"

namespace quorvane {

class NSContainerInfo {
public:
    platform::CNContainerPtr mContainer;
    std::optional<std::string> mContainerIdentifier;
    std::optional<std::string> mDescription;         // verbose
    std::optional<std::string> mConciseDescription;  // short
    std::optional<std::string> mUsername;            // the account's user name, may be nil
    int32_t mContainerAccountType = ContainerAccountTypeNone;
    int32_t mNumContacts = 0;
    bool mReadOnlySource = false;
};

using NSContainerInfoPtr = std::shared_ptr<NSContainerInfo>;

}  // namespace quorvane
