#pragma once
// GDataClassRegistry: which class a GData element becomes. It keeps the process-wide kind maps
// of entry and feed classes (a kind category's scheme and term, or a gd "kind" attribute value,
// to the class), the classes known by name, and the choice of class for an entry, feed or
// service document element of a response.
//
// It sits above the entry and feed bases: the object base and the parse helpers ask it, so the
// object base never names its own subclasses. The maps are filled by the registration calls
// (registerContactClasses(), registerACLClasses(), a test's own classes) and every lookup runs
// the known registrations first, so a feed parsed through the base class finds its entries'
// classes in a fresh process too.

#include <optional>
#include <string>
#include <string_view>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataClassRegistry {
public:
    // The two process-wide kind maps.
    enum class Family { Entry, Feed };

    // Registers the class under its own standard kind category term (with the kind scheme) and
    // its kind attribute value (with no scheme), each when it has one; a class that is not of the
    // family registers nothing.
    static void registerKindClass(Family family, const GDataClassInfo& cls);
    // Registers any class under a scheme and term; a conflicting earlier class is reported and
    // replaced.
    static void registerKindClass(Family family, const GDataClassInfo& cls, const std::optional<std::string>& scheme,
                                  const std::optional<std::string>& term);
    static const GDataClassInfo* kindClass(Family family, const std::optional<std::string>& scheme,
                                           const std::optional<std::string>& term);

    // The key rules and lookup order, on a kind map of the caller's.
    static void registerClass(const GDataClassInfo& cls, GDataKindMap& map, const std::optional<std::string>& scheme,
                              const std::optional<std::string>& term);
    static const GDataClassInfo* classForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                            const std::optional<std::string>& term,
                                                            const GDataKindMap& map);

    // Classes by name: every class registered by kind, and the entry base, the feed base and the
    // service document from the start.
    static void registerClassName(const GDataClassInfo& cls);
    static const GDataClassInfo* classNamed(std::string_view name);

    // The class for a child element of `caller` (nullptr: no enclosing object): entries and feeds
    // by their gd "kind" attribute, else by their kind categories, else the base class (entries
    // inside a feed: the feed's default entry class); "service" documents by name; nothing for
    // other elements.
    static const GDataClassInfo* classForXMLElement(const GDataObject* caller, const GDataXMLElementPtr& element);

private:
    static void registerKnownKinds();
};

}  // namespace quorvane
