#include "gdata/GDataCategory.h"

#include <algorithm>

#include "gdata/GDataUtilities.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataCategory, GDataObject, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "category")

GDataCategoryPtr GDataCategory::categoryWithScheme(std::optional<std::string> scheme,
                                                   std::optional<std::string> term) {
    auto category = object();
    category->setScheme(std::move(scheme));
    category->setTerm(std::move(term));
    return category;
}

std::string GDataCategory::labelScheme() { return std::string(kGDataNamespaceGData) + "/labels"; }

GDataCategoryPtr GDataCategory::categoryWithLabel(const std::string& label) {
    auto scheme = labelScheme();
    auto category = categoryWithScheme(scheme, scheme + "#" + label);
    category->setLabel(label);
    return category;
}

void GDataCategory::addParseDeclarations() { addLocalAttributeDeclarations({"scheme", "term", "label", "xml:lang"}); }

std::vector<GDataCategoryPtr> GDataCategory::categoriesWithScheme(const std::optional<std::string>& scheme,
                                                                  const std::vector<GDataCategoryPtr>& categories) {
    std::vector<GDataCategoryPtr> out;
    for (const auto& c : categories)
        if (c && AreEqualOrBothNil(c->scheme(), scheme)) out.push_back(c);
    return out;
}

std::vector<GDataCategoryPtr> GDataCategory::categoriesWithSchemePrefix(
    std::string_view prefix, const std::vector<GDataCategoryPtr>& categories) {
    std::vector<GDataCategoryPtr> out;
    for (const auto& c : categories) {
        if (!c) continue;
        auto scheme = c->scheme();
        if (scheme && platform::hasPrefix(*scheme, prefix)) out.push_back(c);
    }
    return out;
}

std::vector<std::string> GDataCategory::categoryLabelsFromCategories(const std::vector<GDataCategoryPtr>& categories) {
    std::vector<std::string> labels;
    for (const auto& c : categories) {
        if (!c) continue;
        auto label = c->label();
        if (label && std::find(labels.begin(), labels.end(), *label) == labels.end()) labels.push_back(*label);
    }
    return labels;
}

bool GDataCategory::containsCategoryWithScheme(const std::vector<GDataCategoryPtr>& categories,
                                               const std::optional<std::string>& scheme,
                                               const std::optional<std::string>& term,
                                               const std::optional<std::string>& label) {
    for (const auto& c : categories) {
        if (!c) continue;
        if (scheme && !AreEqualOrBothNil(c->scheme(), scheme)) continue;
        if (term && !AreEqualOrBothNil(c->term(), term)) continue;
        if (label && !AreEqualOrBothNil(c->label(), label)) continue;
        return true;
    }
    return false;
}

bool GDataCategory::containsCategoryWithLabel(const std::vector<GDataCategoryPtr>& categories,
                                              const std::string& label) {
    return containsCategoryWithScheme(categories, labelScheme(), std::nullopt, label);
}

}  // namespace quorvane
