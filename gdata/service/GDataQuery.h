#pragma once
// GDataQuery: the URL of a feed request, built from a feed URL, category filters (a path
// "/-/{scheme}term|..." after the feed) and named query parameters (sorted by name ignoring
// case, form-encoded, after any query the feed URL already has).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gdata/GDataCategory.h"
#include "gdata/GDataDateTime.h"
#include "platform/net/URL.h"

namespace quorvane {

// One category path segment: categories joined with "|", excluded ones written "-<category>".
class GDataCategoryFilter {
public:
    using Categories = std::vector<GDataCategoryPtr>;

    GDataCategoryFilter() = default;
    // An empty filter.
    static std::shared_ptr<GDataCategoryFilter> categoryFilter() { return std::make_shared<GDataCategoryFilter>(); }

    const std::optional<Categories>& categories() const { return categories_; }
    void setCategories(std::optional<Categories> categories) { categories_ = std::move(categories); }
    void addCategory(const GDataCategoryPtr& category);
    void addCategoryWithScheme(std::optional<std::string> scheme, std::optional<std::string> term);
    const std::optional<Categories>& excludeCategories() const { return excludeCategories_; }
    void setExcludeCategories(std::optional<Categories> categories) { excludeCategories_ = std::move(categories); }
    void addExcludeCategory(const GDataCategoryPtr& category);
    void addExcludeCategoryWithScheme(std::optional<std::string> scheme, std::optional<std::string> term);

    // The segment's text, not yet encoded: "A|B|-C".
    std::string stringValue() const;
    // "{scheme}term", or the term alone for a category without a scheme.
    static std::string queryStringForCategory(const GDataCategory& category);

    // A filter holding copies of the categories.
    std::shared_ptr<GDataCategoryFilter> copy() const;
    std::string description() const;

private:
    std::optional<Categories> categories_;
    std::optional<Categories> excludeCategories_;
};

using GDataCategoryFilterPtr = std::shared_ptr<GDataCategoryFilter>;

class GDataQuery {
public:
    using Parameters = std::map<std::string, std::string>;

    explicit GDataQuery(std::optional<platform::URL> feedURL = std::nullopt) : feedURL_(std::move(feedURL)) {}
    virtual ~GDataQuery() = default;
    static std::shared_ptr<GDataQuery> queryWithFeedURL(std::optional<platform::URL> feedURL) {
        return std::make_shared<GDataQuery>(std::move(feedURL));
    }

    const std::optional<platform::URL>& feedURL() const { return feedURL_; }
    void setFeedURL(std::optional<platform::URL> url) { feedURL_ = std::move(url); }

    // --- the request's URL ---
    // The feed URL with the category path and the parameters; nullopt without a feed URL.
    std::optional<platform::URL> URL() const;
    // "" without filters; else "-" and "/<encoded filter>" per non-empty filter.
    std::string categoryFilterString() const;
    // "name=value&..." sorted by name ignoring case, both form-encoded; "" without parameters.
    std::string queryParamString() const;

    // A path segment encoded for a URL: every character but ASCII letters, digits and "-._~"
    // is percent-encoded, the space included (as "%20").
    static std::string stringByURLEncodingPathSegment(std::string_view segment);

    // --- category filters ---
    const std::optional<std::vector<GDataCategoryFilterPtr>>& categoryFilters() const { return categoryFilters_; }
    void setCategoryFilters(std::optional<std::vector<GDataCategoryFilterPtr>> filters) {
        categoryFilters_ = std::move(filters);
    }
    void addCategoryFilter(const GDataCategoryFilterPtr& filter);
    // A new filter holding the one category.
    void addCategoryFilterWithCategory(const GDataCategoryPtr& category);
    void addCategoryFilterWithScheme(std::optional<std::string> scheme, std::optional<std::string> term);

    // --- parameter primitives ---
    const std::optional<Parameters>& customParameters() const { return customParameters_; }
    void setCustomParameters(std::optional<Parameters> parameters) { customParameters_ = std::move(parameters); }
    // nullopt removes the parameter.
    void addCustomParameterWithName(const std::string& name, std::optional<std::string> value);
    void removeCustomParameterWithName(const std::string& name);
    std::optional<std::string> valueForParameterWithName(const std::string& name) const;
    // The date-time's RFC 3339 text; nullopt removes the parameter.
    void addCustomParameterWithNameDateTime(const std::string& name, const std::optional<GDataDateTime>& dateTime);
    std::optional<GDataDateTime> dateTimeForParameterWithName(const std::string& name) const;
    // Removes the parameter when the value is the remove value; else writes it in decimal.
    void addCustomParameterWithNameIntValue(const std::string& name, int32_t value, int32_t removeForValue);
    int32_t intValueForParameterWithName(const std::string& name, int32_t missingParameterValue) const;
    // Removes the parameter when the value is the default; else writes "true" or "false".
    void addCustomParameterWithNameBoolValue(const std::string& name, bool value, bool defaultValue);
    bool boolValueForParameterWithName(const std::string& name, bool defaultValue) const;

    // --- named parameters ---
    int32_t startIndex() const { return intValueForParameterWithName("start-index", -1); }
    void setStartIndex(int32_t v) { addCustomParameterWithNameIntValue("start-index", v, -1); }
    int32_t maxResults() const { return intValueForParameterWithName("max-results", -1); }
    void setMaxResults(int32_t v) { addCustomParameterWithNameIntValue("max-results", v, -1); }
    std::optional<std::string> fieldSelection() const { return valueForParameterWithName("fields"); }
    void setFieldSelection(std::optional<std::string> v) { addCustomParameterWithName("fields", std::move(v)); }
    std::optional<std::string> fullTextQueryString() const { return valueForParameterWithName("q"); }
    void setFullTextQueryString(std::optional<std::string> v) { addCustomParameterWithName("q", std::move(v)); }
    std::optional<std::string> author() const { return valueForParameterWithName("author"); }
    void setAuthor(std::optional<std::string> v) { addCustomParameterWithName("author", std::move(v)); }
    std::optional<std::string> orderBy() const { return valueForParameterWithName("orderby"); }
    void setOrderBy(std::optional<std::string> v) { addCustomParameterWithName("orderby", std::move(v)); }
    bool isAscendingOrder() const;
    // Always written: "ascending" or "descending".
    void setIsAscendingOrder(bool flag);
    bool shouldShowDeleted() const { return boolValueForParameterWithName("showdeleted", false); }
    void setShouldShowDeleted(bool flag) { addCustomParameterWithNameBoolValue("showdeleted", flag, false); }
    bool shouldRequireAllDeleted() const { return boolValueForParameterWithName("requirealldeleted", false); }
    void setShouldRequireAllDeleted(bool flag) {
        addCustomParameterWithNameBoolValue("requirealldeleted", flag, false);
    }
    bool shouldShowOnlyDeleted() const { return boolValueForParameterWithName("onlydeleted", false); }
    void setShouldShowOnlyDeleted(bool flag) { addCustomParameterWithNameBoolValue("onlydeleted", flag, false); }
    bool isStrict() const { return boolValueForParameterWithName("strict", false); }
    void setIsStrict(bool flag) { addCustomParameterWithNameBoolValue("strict", flag, false); }
    bool shouldPrettyPrint() const { return boolValueForParameterWithName("prettyprint", false); }
    void setShouldPrettyPrint(bool flag) { addCustomParameterWithNameBoolValue("prettyprint", flag, false); }
    std::optional<std::string> protocolVersion() const { return valueForParameterWithName("v"); }
    void setProtocolVersion(std::optional<std::string> v) { addCustomParameterWithName("v", std::move(v)); }
    std::optional<std::string> resultFormat() const { return valueForParameterWithName("alt"); }
    void setResultFormat(std::optional<std::string> v) { addCustomParameterWithName("alt", std::move(v)); }
    std::optional<std::string> language() const { return valueForParameterWithName("hl"); }
    void setLanguage(std::optional<std::string> v) { addCustomParameterWithName("hl", std::move(v)); }
    std::optional<GDataDateTime> publishedMinDateTime() const { return dateTimeForParameterWithName("published-min"); }
    void setPublishedMinDateTime(const std::optional<GDataDateTime>& v) {
        addCustomParameterWithNameDateTime("published-min", v);
    }
    std::optional<GDataDateTime> publishedMaxDateTime() const { return dateTimeForParameterWithName("published-max"); }
    void setPublishedMaxDateTime(const std::optional<GDataDateTime>& v) {
        addCustomParameterWithNameDateTime("published-max", v);
    }
    std::optional<GDataDateTime> updatedMinDateTime() const { return dateTimeForParameterWithName("updated-min"); }
    void setUpdatedMinDateTime(const std::optional<GDataDateTime>& v) {
        addCustomParameterWithNameDateTime("updated-min", v);
    }
    std::optional<GDataDateTime> updatedMaxDateTime() const { return dateTimeForParameterWithName("updated-max"); }
    void setUpdatedMaxDateTime(const std::optional<GDataDateTime>& v) {
        addCustomParameterWithNameDateTime("updated-max", v);
    }
    bool shouldFormatErrorsAsXML() const;
    // Yes writes "xml"; no removes the parameter.
    void setShouldFormatErrorsAsXML(bool flag);

    // --- copy and description ---
    // A query of the same class with the same feed URL, a new list of the same filter objects
    // and a new dictionary of the same parameters.
    std::shared_ptr<GDataQuery> copy() const;
    virtual const char* className() const { return "GDataQuery"; }
    // "GDataQuery 0x...: {<URL>}"
    std::string description() const;

protected:
    // A new empty query of this one's class.
    virtual std::shared_ptr<GDataQuery> makeEmptyQuery() const { return std::make_shared<GDataQuery>(); }

private:
    std::optional<platform::URL> feedURL_;
    std::optional<std::vector<GDataCategoryFilterPtr>> categoryFilters_;
    std::optional<Parameters> customParameters_;
};

using GDataQueryPtr = std::shared_ptr<GDataQuery>;

}  // namespace quorvane
