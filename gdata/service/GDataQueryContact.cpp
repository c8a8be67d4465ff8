#include "gdata/service/GDataQueryContact.h"

namespace quorvane {

namespace {
// The root of the contacts service's feeds.
constexpr std::string_view kContactServiceRootURLString = "https://www.google.com/m8/feeds/";
}  // namespace

std::optional<platform::URL> GDataQueryContact::contactFeedURLForUserID(std::string_view userID) {
    std::string text(kContactServiceRootURLString);
    text += stringByURLEncodingPathSegment("contacts") + "/" + stringByURLEncodingPathSegment(userID) + "/" +
            stringByURLEncodingPathSegment("full");
    return platform::URL::URLWithString(text);
}

std::shared_ptr<GDataQueryContact> GDataQueryContact::contactQueryForUserID(std::string_view userID) {
    return contactQueryWithFeedURL(contactFeedURLForUserID(userID));
}

}  // namespace quorvane
