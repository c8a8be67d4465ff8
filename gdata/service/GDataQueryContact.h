#pragma once
// GDataQueryContact: a query on the contacts service's feeds, with its group parameter.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gdata/service/GDataQuery.h"

namespace quorvane {

class GDataQueryContact : public GDataQuery {
public:
    using GDataQuery::GDataQuery;

    static std::shared_ptr<GDataQueryContact> contactQueryWithFeedURL(std::optional<platform::URL> feedURL) {
        return std::make_shared<GDataQueryContact>(std::move(feedURL));
    }
    // A query on the user's contacts feed (feed "contacts", projection "full").
    static std::shared_ptr<GDataQueryContact> contactQueryForUserID(std::string_view userID);
    // The contacts feed URL of the user: the service root, then "contacts/<user id>/full".
    static std::optional<platform::URL> contactFeedURLForUserID(std::string_view userID);

    // "group": the identifier of the group whose members are asked for.
    std::optional<std::string> groupIdentifier() const { return valueForParameterWithName("group"); }
    void setGroupIdentifier(std::optional<std::string> v) { addCustomParameterWithName("group", std::move(v)); }

    const char* className() const override { return "GDataQueryContact"; }

protected:
    std::shared_ptr<GDataQuery> makeEmptyQuery() const override { return std::make_shared<GDataQueryContact>(); }
};

}  // namespace quorvane
