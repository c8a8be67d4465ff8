#include "gdata/GDataClassRegistry.h"

#include <map>
#include <mutex>

#include "gdata/GDataAtomServiceDocument.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryACL.h"
#include "gdata/GDataEntryBase.h"
#include "gdata/GDataFeedBase.h"
#include "platform/foundation/Log.h"

namespace quorvane {

namespace {

struct RegistryState {
    std::mutex mutex;
    GDataKindMap entries;
    GDataKindMap feeds;
    std::map<std::string, const GDataClassInfo*, std::less<>> names;

    GDataKindMap& map(GDataClassRegistry::Family family) {
        return family == GDataClassRegistry::Family::Entry ? entries : feeds;
    }
};

RegistryState& state() {
    static RegistryState s;
    return s;
}

std::string categoryKey(const std::string& scheme, const std::optional<std::string>& term) {
    return "{\"" + scheme + "\":\"" + term.value_or("") + "\"}";
}

// The standard kind term and kind attribute value a class of the family declares.
struct StandardKinds {
    std::optional<std::string> term;
    std::optional<std::string> attributeValue;
};

std::optional<StandardKinds> standardKinds(GDataClassRegistry::Family family, const GDataClassInfo& cls) {
    auto proto = cls.allocate ? cls.allocate() : nullptr;
    if (family == GDataClassRegistry::Family::Entry) {
        auto entry = std::dynamic_pointer_cast<GDataEntryBase>(proto);
        if (!entry) return std::nullopt;
        return StandardKinds{entry->standardEntryKind(), entry->standardKindAttributeValue()};
    }
    auto feed = std::dynamic_pointer_cast<GDataFeedBase>(proto);
    if (!feed) return std::nullopt;
    return StandardKinds{feed->standardFeedKind(), feed->standardKindAttributeValue()};
}

}  // namespace

void GDataClassRegistry::registerClass(const GDataClassInfo& cls, GDataKindMap& map,
                                       const std::optional<std::string>& scheme,
                                       const std::optional<std::string>& term) {
    if (auto existing = classForCategoryWithScheme(scheme, term, map); existing && existing != &cls) {
        QV_ASSERT(false, std::string(cls.name) + " registration conflicts with " + existing->name);
    }
    std::string key;
    if (!scheme || *scheme == kGDataCategoryScheme) key = term.value_or("");
    else key = categoryKey(*scheme, term);
    map[key] = &cls;
}

const GDataClassInfo* GDataClassRegistry::classForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                                     const std::optional<std::string>& term,
                                                                     const GDataKindMap& map) {
    if (term) {
        auto it = map.find(*term);
        if (it != map.end()) return it->second;
    }
    if (!scheme) return nullptr;
    auto it = map.find(categoryKey(*scheme, term));
    if (it != map.end()) return it->second;
    it = map.find(categoryKey(*scheme, std::string()));
    if (it != map.end()) return it->second;
    return nullptr;
}

void GDataClassRegistry::registerKindClass(Family family, const GDataClassInfo& cls) {
    auto kinds = standardKinds(family, cls);
    if (!kinds) return;
    if (kinds->term) registerKindClass(family, cls, std::string(kGDataCategoryScheme), kinds->term);
    if (kinds->attributeValue) registerKindClass(family, cls, std::nullopt, kinds->attributeValue);
}

void GDataClassRegistry::registerKindClass(Family family, const GDataClassInfo& cls,
                                           const std::optional<std::string>& scheme,
                                           const std::optional<std::string>& term) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    registerClass(cls, s.map(family), scheme, term);
    s.names[cls.name] = &cls;
}

const GDataClassInfo* GDataClassRegistry::kindClass(Family family, const std::optional<std::string>& scheme,
                                                    const std::optional<std::string>& term) {
    registerKnownKinds();  // before the lock: registering takes it
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return classForCategoryWithScheme(scheme, term, s.map(family));
}

void GDataClassRegistry::registerKnownKinds() {
    registerContactClasses();
    registerACLClasses();
}

void GDataClassRegistry::registerClassName(const GDataClassInfo& cls) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.names[cls.name] = &cls;
}

const GDataClassInfo* GDataClassRegistry::classNamed(std::string_view name) {
    static std::once_flag once;
    std::call_once(once, [] {
        registerClassName(GDataAtomServiceDocument::staticClassInfo());
        registerClassName(GDataEntryBase::staticClassInfo());
        registerClassName(GDataFeedBase::staticClassInfo());
    });
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.names.find(name);
    return it == s.names.end() ? nullptr : it->second;
}

const GDataClassInfo* GDataClassRegistry::classForXMLElement(const GDataObject* caller,
                                                             const GDataXMLElementPtr& element) {
    if (!element) return nullptr;
    auto local = element->localName().value_or("");
    if (local == "feed" || local == "entry") {
        Family family = local == "feed" ? Family::Feed : Family::Entry;
        if (auto kind = element->attributeForLocalName("kind", std::string_view(kGDataNamespaceGData))) {
            if (auto found = kindClass(family, std::nullopt, kind->stringValue().value_or(""))) return found;
        }
        auto categories = element->elementsForLocalName("category", std::string_view(kGDataNamespaceAtom));
        if (categories.empty()) {
            auto prefix = element->resolvePrefixForNamespaceURI(kGDataNamespaceAtom);
            if (!prefix || prefix->empty()) categories = element->elementsForName("category");
        }
        for (const auto& cat : categories) {
            std::optional<std::string> scheme, term;
            if (auto a = cat->attributeForName("scheme")) scheme = a->stringValue();
            if (auto a = cat->attributeForName("term")) term = a->stringValue();
            if (!scheme && !term) continue;
            if (auto found = kindClass(family, scheme, term)) return found;
        }
        if (family == Family::Feed) return &GDataFeedBase::staticClassInfo();
        if (auto feed = dynamic_cast<const GDataFeedBase*>(caller)) return &feed->defaultClassForEntries();
        return &GDataEntryBase::staticClassInfo();
    }
    if (local == "service") return classNamed("GDataAtomServiceDocument");
    return nullptr;
}

}  // namespace quorvane
