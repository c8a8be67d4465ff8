#pragma once
// GDataCategory: an Atom category (<category scheme= term= label=/>), with the lookups over
// arrays of categories and the label categories of the provider.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataCategory;
using GDataCategoryPtr = std::shared_ptr<GDataCategory>;

class GDataCategory : public GDataObject {
    QV_GDATA_CLASS(GDataCategory)
public:
    static GDataCategoryPtr categoryWithScheme(std::optional<std::string> scheme, std::optional<std::string> term);
    // A label category: scheme "<gd>/labels", term "<gd>/labels#<label>", label the label.
    static GDataCategoryPtr categoryWithLabel(const std::string& label);
    // The scheme of label categories.
    static std::string labelScheme();

    void addParseDeclarations() override;
    // The language is not part of a category's identity.
    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"xml:lang"};
    }

    std::optional<std::string> scheme() const { return stringValueForAttribute("scheme"); }
    void setScheme(std::optional<std::string> v) { setStringValue(std::move(v), "scheme"); }
    std::optional<std::string> term() const { return stringValueForAttribute("term"); }
    void setTerm(std::optional<std::string> v) { setStringValue(std::move(v), "term"); }
    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> labelLang() const { return stringValueForAttribute("xml:lang"); }
    void setLabelLang(std::optional<std::string> v) { setStringValue(std::move(v), "xml:lang"); }

    // --- lookups over arrays of categories, in array order ---

    // Every category whose scheme equals the scheme (nullopt matches categories without one).
    static std::vector<GDataCategoryPtr> categoriesWithScheme(const std::optional<std::string>& scheme,
                                                              const std::vector<GDataCategoryPtr>& categories);
    // Every category whose scheme begins with the prefix.
    static std::vector<GDataCategoryPtr> categoriesWithSchemePrefix(std::string_view prefix,
                                                                    const std::vector<GDataCategoryPtr>& categories);
    // The distinct labels, in the order first seen.
    static std::vector<std::string> categoryLabelsFromCategories(const std::vector<GDataCategoryPtr>& categories);
    // Whether some category matches every given (non-nullopt) argument.
    static bool containsCategoryWithScheme(const std::vector<GDataCategoryPtr>& categories,
                                           const std::optional<std::string>& scheme,
                                           const std::optional<std::string>& term,
                                           const std::optional<std::string>& label);
    // Whether some label category has the label.
    static bool containsCategoryWithLabel(const std::vector<GDataCategoryPtr>& categories, const std::string& label);
};

}  // namespace quorvane
