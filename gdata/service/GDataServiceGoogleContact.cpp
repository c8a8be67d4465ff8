#include "gdata/service/GDataServiceGoogleContact.h"

#include "gdata/GDataContactConstants.h"

namespace quorvane {

namespace {
std::optional<std::string> gContactServiceRoot;
}  // namespace

std::string GDataServiceGoogleContact::contactServiceRootURLString() {
    return gContactServiceRoot.value_or(kGDataGoogleContactServiceRootURLString);
}

void GDataServiceGoogleContact::setContactServiceRootURLString(std::optional<std::string> root) {
    gContactServiceRoot = std::move(root);
}

void GDataServiceGoogleContact::init() {
    registerContactClasses();
    GDataServiceGoogle::init();
}

GDataStringDictionary GDataServiceGoogleContact::standardServiceNamespaces() const {
    return GDataContactConstants::contactNamespaces();
}

std::optional<platform::URL> GDataServiceGoogleContact::contactURLForFeedName(std::string_view feedName,
                                                                              std::string_view userID,
                                                                              std::string_view projection) {
    // Each part is encoded as one path segment, a space included (left as it is, a space would
    // make the text no URL at all).
    std::string text = contactServiceRootURLString();
    text += GDataQuery::stringByURLEncodingPathSegment(feedName) + "/" + GDataQuery::stringByURLEncodingPathSegment(userID) +
            "/" + GDataQuery::stringByURLEncodingPathSegment(projection);
    return platform::URL::URLWithString(text);
}

std::optional<platform::URL> GDataServiceGoogleContact::contactFeedURLForUserID(std::string_view userID) {
    return contactURLForFeedName("contacts", userID, "full");
}

std::optional<platform::URL> GDataServiceGoogleContact::contactFeedURLForUserID(std::string_view userID,
                                                                                std::string_view projection) {
    return contactURLForFeedName("contacts", userID, projection);
}

std::optional<platform::URL> GDataServiceGoogleContact::groupFeedURLForUserID(std::string_view userID) {
    return contactURLForFeedName("groups", userID, "full");
}

std::optional<platform::URL> GDataServiceGoogleContact::contactFeedURLForPropertyName(std::string_view property) {
    return contactURLForFeedName("contacts", "default", "property-" + std::string(property));
}

std::optional<platform::URL> GDataServiceGoogleContact::contactGroupFeedURLForPropertyName(std::string_view property) {
    return contactURLForFeedName("groups", "default", "property-" + std::string(property));
}

GDataServiceTicketPtr GDataServiceGoogleContact::fetchContactFeedForUsername(std::string_view username,
                                                                             const GDataServiceDelegate& delegate) {
    auto url = contactFeedURLForUserID(username);
    if (!url) return nullptr;
    return fetchFeedWithURL(*url, delegate);
}

}  // namespace quorvane
