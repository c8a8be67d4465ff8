#pragma once
// GooglePhotoTransfer: moves one contact photo between the provider and this machine, through
// the contact entry's photo links, signed like every other request of the contacts service.
//
// download: GET the photo link. A contact without a photo (the link carries no ETag, or the
// provider answers 404) gives no bytes and no error.
// upload: PUT the bytes to the edit-photo link ("image/*"); empty bytes DELETE the photo. The
// answer's ETag is the photo's new ETag (none when the provider sends none).
// Each call ends with exactly one call of its completion, on the main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataEntryContact.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace quorvane {

class GooglePhotoTransfer {
public:
    using Downloaded = std::function<void(const std::optional<platform::Bytes>& photo,
                                          const std::optional<std::string>& etag,
                                          const std::optional<platform::Error>& error)>;
    using Uploaded = std::function<void(const std::optional<std::string>& etag,
                                        const std::optional<platform::Error>& error)>;

    static void download(const std::shared_ptr<GDataServiceGoogleContact>& service,
                         const std::shared_ptr<GDataEntryContact>& contact, Downloaded completion);
    static void upload(const std::shared_ptr<GDataServiceGoogleContact>& service,
                       const std::shared_ptr<GDataEntryContact>& contact, const platform::Bytes& photo,
                       Uploaded completion);
};

}  // namespace quorvane
