#pragma once
// LocalContactAsRead: what a run read of a local contact, checked in the transaction that writes
// or deletes the contact, so that nothing changed since is written over or deleted: every field,
// the photo and the account (container) it is in. A contact that fails the check is left for the
// next run, which sees what changed.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/contacts/CNContact.h"
#include "platform/contacts/CNSaveRequest.h"

namespace quorvane {

struct LocalContactAsRead {
    std::optional<uint64_t> fields;        // localContentDigest; nullopt: not checked
    std::optional<uint64_t> photo;         // photoDigest of localPhotoOf; nullopt: not known, not checked
    std::optional<std::string> container;  // nullopt: any

    // The photo of a local contact as the sync reads it: its image, else its thumbnail.
    static std::optional<platform::Bytes> localPhotoOf(const platform::CNContact& contact);

    // Whether the stored contact still holds the fields (and, when it was read with it, the photo).
    bool fieldsHeldBy(const platform::CNContact& stored) const;
    // The update (or deletion) of `contact`, made only while the stored contact, read with
    // `keys` and what the check needs beside them, holds what was read.
    void update(platform::CNSaveRequest& request, platform::CNMutableContactPtr contact,
                std::vector<platform::CNKeyDescriptor> keys) const;
    void remove(platform::CNSaveRequest& request, platform::CNMutableContactPtr contact,
                std::vector<platform::CNKeyDescriptor> keys) const;

private:
    std::vector<platform::CNKeyDescriptor> checkedKeys(std::vector<platform::CNKeyDescriptor> keys) const;
    platform::CNSaveRequest::Unchanged test() const;
};

}  // namespace quorvane
