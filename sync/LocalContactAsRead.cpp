// The check that a local contact still holds what the run read of it.

#include "sync/LocalContactAsRead.h"

#include <algorithm>

#include "sync/ContentDigest.h"

namespace quorvane {

std::optional<platform::Bytes> LocalContactAsRead::localPhotoOf(const platform::CNContact& contact) {
    if (contact.isKeyAvailable(platform::CNContactImageDataKey) && contact.imageData()) return contact.imageData();
    if (contact.isKeyAvailable(platform::CNContactThumbnailImageDataKey)) return contact.thumbnailImageData();
    return std::nullopt;
}

bool LocalContactAsRead::fieldsHeldBy(const platform::CNContact& stored) const {
    if (fields && localContentDigest(stored) != *fields) return false;
    const bool photoRead = stored.isKeyAvailable(platform::CNContactImageDataKey) ||
                           stored.isKeyAvailable(platform::CNContactThumbnailImageDataKey);
    return !(photo && photoRead && photoDigest(localPhotoOf(stored)) != *photo);
}

std::vector<platform::CNKeyDescriptor> LocalContactAsRead::checkedKeys(std::vector<platform::CNKeyDescriptor> keys) const {
    if (photo) {
        for (const char* key : {platform::CNContactImageDataKey, platform::CNContactThumbnailImageDataKey})
            if (std::find(keys.begin(), keys.end(), platform::CNKeyDescriptor(key)) == keys.end()) keys.emplace_back(key);
    }
    return keys;
}

platform::CNSaveRequest::Unchanged LocalContactAsRead::test() const {
    return [read = *this](const platform::CNContact& stored) { return read.fieldsHeldBy(stored); };
}

void LocalContactAsRead::update(platform::CNSaveRequest& request, platform::CNMutableContactPtr contact,
                                std::vector<platform::CNKeyDescriptor> keys) const {
    request.updateContact(std::move(contact), checkedKeys(std::move(keys)), test(), container);
}

void LocalContactAsRead::remove(platform::CNSaveRequest& request, platform::CNMutableContactPtr contact,
                                std::vector<platform::CNKeyDescriptor> keys) const {
    request.deleteContact(std::move(contact), checkedKeys(std::move(keys)), test(), container);
}

}  // namespace quorvane
