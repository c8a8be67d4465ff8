#pragma once
// NSCachedAppleContact: one entry of the model's cache of fully fetched local contacts: the
// contact, its modification date when it was fetched, and the key set it was fetched with.

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/contacts/CNContact.h"
#include "platform/foundation/Date.h"
#include "sync/SyncTypes.h"

namespace quorvane {

class NSCachedAppleContact {
public:
    platform::CNContactPtr mAppleContact;
    std::optional<platform::Date> mModificationDate;
    ContactKeySet mKeySet = 0;
    // The contact is kept without its image bytes; this is the byte length of its photo when it
    // was fetched with them (0 for none), nil when it was fetched without.
    std::optional<int32_t> mImageSize;
    std::optional<uint64_t> mImageDigest;  // photoDigest of those bytes, the same way
};

using NSCachedAppleContactPtr = std::shared_ptr<NSCachedAppleContact>;

}  // namespace quorvane
