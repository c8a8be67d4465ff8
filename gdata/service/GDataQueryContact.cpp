#include "gdata/service/GDataQueryContact.h"

#include "gdata/service/GDataServiceGoogleContact.h"

namespace quorvane {

std::optional<platform::URL> GDataQueryContact::contactFeedURLForUserID(std::string_view userID) {
    std::string text = GDataServiceGoogleContact::contactServiceRootURLString();
    text += stringByURLEncodingPathSegment("contacts") + "/" + stringByURLEncodingPathSegment(userID) + "/" +
            stringByURLEncodingPathSegment("full");
    return platform::URL::URLWithString(text);
}

std::shared_ptr<GDataQueryContact> GDataQueryContact::contactQueryForUserID(std::string_view userID) {
    return contactQueryWithFeedURL(contactFeedURLForUserID(userID));
}

}  // namespace quorvane
