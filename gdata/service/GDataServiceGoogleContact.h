#pragma once
// GDataServiceGoogleContact: the contacts service. It names the service ("cp"), speaks protocol
// version "3.0", gives new entries the contact namespaces, and builds the URLs of the contacts
// and contact-groups feeds: the service root, then "<feed>/<user id>/<projection>".

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gdata/service/GDataServiceGoogle.h"

namespace quorvane {

// The root of the provider's contacts feeds, and the authorization scope of the service
// wherever its feeds are served from.
inline constexpr const char* kGDataGoogleContactServiceRootURLString = "https://www.google.com/m8/feeds/";

class GDataServiceGoogleContact : public GDataServiceGoogle {
public:
    // A new contacts service, set up.
    static std::shared_ptr<GDataServiceGoogleContact> contactService() { return service<GDataServiceGoogleContact>(); }
    // Registers the contact entry and feed classes so that answers parse into them.
    void init() override;

    const char* className() const override { return "GDataServiceGoogleContact"; }
    std::optional<std::string> defaultServiceID() const override { return std::string("cp"); }
    std::optional<std::string> serviceRootURLString() const override { return contactServiceRootURLString(); }
    std::optional<std::string> authorizationScope() const override {
        return std::string(kGDataGoogleContactServiceRootURLString);
    }

    // The root every contacts and groups feed URL starts with: the provider's by default; a
    // configuration may point the whole process at another server with the same paths (a root
    // ending in "/"). nullopt puts the provider's back. Main thread, before any service is used.
    static std::string contactServiceRootURLString();
    static void setContactServiceRootURLString(std::optional<std::string> root);
    std::optional<std::string> defaultServiceVersion() const override { return std::string("3.0"); }
    GDataStringDictionary standardServiceNamespaces() const override;

    // --- feed URLs ---
    // The service root, then the feed name, the user id and the projection, each encoded for a
    // URI path segment.
    static std::optional<platform::URL> contactURLForFeedName(std::string_view feedName, std::string_view userID,
                                                              std::string_view projection);
    // Feed "contacts", projection "full".
    static std::optional<platform::URL> contactFeedURLForUserID(std::string_view userID);
    static std::optional<platform::URL> contactFeedURLForUserID(std::string_view userID, std::string_view projection);
    // Feed "groups", projection "full".
    static std::optional<platform::URL> groupFeedURLForUserID(std::string_view userID);
    // User "default", projection "property-<name>".
    static std::optional<platform::URL> contactFeedURLForPropertyName(std::string_view property);
    static std::optional<platform::URL> contactGroupFeedURLForPropertyName(std::string_view property);

    // Fetches the contacts feed of the user.
    GDataServiceTicketPtr fetchContactFeedForUsername(std::string_view username, const GDataServiceDelegate& delegate);
};

}  // namespace quorvane
