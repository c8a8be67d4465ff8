#include "gdata/service/GDataQuery.h"

#include <algorithm>

#include "gdata/GDataObject.h"
#include "gdata/GDataUtilities.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

using platform::addressText;

namespace {
void append(std::optional<GDataCategoryFilter::Categories>& list, const GDataCategoryPtr& category) {
    if (!category) return;
    if (!list) list.emplace();
    list->push_back(category);
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// GDataCategoryFilter

void GDataCategoryFilter::addCategory(const GDataCategoryPtr& category) { append(categories_, category); }

void GDataCategoryFilter::addCategoryWithScheme(std::optional<std::string> scheme, std::optional<std::string> term) {
    addCategory(GDataCategory::categoryWithScheme(std::move(scheme), std::move(term)));
}

void GDataCategoryFilter::addExcludeCategory(const GDataCategoryPtr& category) {
    append(excludeCategories_, category);
}

void GDataCategoryFilter::addExcludeCategoryWithScheme(std::optional<std::string> scheme,
                                                       std::optional<std::string> term) {
    addExcludeCategory(GDataCategory::categoryWithScheme(std::move(scheme), std::move(term)));
}

std::string GDataCategoryFilter::queryStringForCategory(const GDataCategory& category) {
    auto term = category.term().value_or("");
    if (auto scheme = category.scheme()) return "{" + *scheme + "}" + term;
    return term;
}

std::string GDataCategoryFilter::stringValue() const {
    std::string text;
    if (categories_)
        for (const auto& c : *categories_) {
            if (!text.empty()) text += "|";
            text += queryStringForCategory(*c);
        }
    if (excludeCategories_)
        for (const auto& c : *excludeCategories_) {
            if (!text.empty()) text += "|";
            text += "-" + queryStringForCategory(*c);
        }
    return text;
}

std::shared_ptr<GDataCategoryFilter> GDataCategoryFilter::copy() const {
    auto filter = categoryFilter();
    filter->categories_ = GDataUtilities::mutableArrayWithCopiesOfObjectsInArray(categories_);
    filter->excludeCategories_ = GDataUtilities::mutableArrayWithCopiesOfObjectsInArray(excludeCategories_);
    return filter;
}

std::string GDataCategoryFilter::description() const {
    return "GDataCategoryFilter " + addressText(this) + ": {" + stringValue() + "}";
}

// ---------------------------------------------------------------------------------------------
// GDataQuery: URL

std::string GDataQuery::stringByURLEncodingPathSegment(std::string_view segment) {
    // The URI encoder leaves the space alone, which no URL may hold unescaped.
    return platform::replaceAll(GDataUtilities::stringByURLEncodingForURI(segment), " ", "%20");
}

std::string GDataQuery::categoryFilterString() const {
    if (!categoryFilters_ || categoryFilters_->empty()) return "";
    std::string text = "-";
    for (const auto& filter : *categoryFilters_) {
        if (!filter) continue;
        auto encoded = stringByURLEncodingPathSegment(filter->stringValue());
        if (encoded.empty()) continue;
        text += "/" + encoded;
    }
    return text;
}

std::string GDataQuery::queryParamString() const {
    if (!customParameters_ || customParameters_->empty()) return "";
    std::vector<const std::pair<const std::string, std::string>*> params;
    params.reserve(customParameters_->size());
    for (const auto& p : *customParameters_) params.push_back(&p);
    std::stable_sort(params.begin(), params.end(), [](const auto* a, const auto* b) {
        return platform::compareIgnoringCase(a->first, b->first) < 0;
    });
    std::string text;
    for (const auto* p : params) {
        if (!text.empty()) text += "&";
        text += GDataUtilities::stringByURLEncodingStringParameter(p->first) + "=" +
                GDataUtilities::stringByURLEncodingStringParameter(p->second);
    }
    return text;
}

std::optional<platform::URL> GDataQuery::URL() const {
    if (!feedURL_) return std::nullopt;
    const std::string& feed = feedURL_->absoluteString();
    std::string base = feed, existingQuery;
    if (auto q = feed.find('?'); q != std::string::npos) {
        base = feed.substr(0, q);
        existingQuery = feed.substr(q + 1);
    }

    auto categories = categoryFilterString();
    if (!categories.empty()) {
        if (base.empty() || base.back() != '/') base += "/";
        base += categories;
    }

    auto params = queryParamString();
    if (!existingQuery.empty()) params = params.empty() ? existingQuery : existingQuery + "&" + params;
    if (!params.empty()) base += "?" + params;
    return platform::URL::URLWithString(base);
}

// ---------------------------------------------------------------------------------------------
// GDataQuery: category filters

void GDataQuery::addCategoryFilter(const GDataCategoryFilterPtr& filter) {
    if (!filter) return;
    if (!categoryFilters_) categoryFilters_.emplace();
    categoryFilters_->push_back(filter);
}

void GDataQuery::addCategoryFilterWithCategory(const GDataCategoryPtr& category) {
    auto filter = GDataCategoryFilter::categoryFilter();
    filter->addCategory(category);
    addCategoryFilter(filter);
}

void GDataQuery::addCategoryFilterWithScheme(std::optional<std::string> scheme, std::optional<std::string> term) {
    addCategoryFilterWithCategory(GDataCategory::categoryWithScheme(std::move(scheme), std::move(term)));
}

// ---------------------------------------------------------------------------------------------
// GDataQuery: parameters

void GDataQuery::addCustomParameterWithName(const std::string& name, std::optional<std::string> value) {
    if (!value) {
        removeCustomParameterWithName(name);
        return;
    }
    if (!customParameters_) customParameters_.emplace();
    (*customParameters_)[name] = std::move(*value);
}

void GDataQuery::removeCustomParameterWithName(const std::string& name) {
    if (customParameters_) customParameters_->erase(name);
}

std::optional<std::string> GDataQuery::valueForParameterWithName(const std::string& name) const {
    if (!customParameters_) return std::nullopt;
    auto it = customParameters_->find(name);
    if (it == customParameters_->end()) return std::nullopt;
    return it->second;
}

void GDataQuery::addCustomParameterWithNameDateTime(const std::string& name,
                                                    const std::optional<GDataDateTime>& dateTime) {
    addCustomParameterWithName(name, dateTime ? std::optional<std::string>(dateTime->RFC3339String()) : std::nullopt);
}

std::optional<GDataDateTime> GDataQuery::dateTimeForParameterWithName(const std::string& name) const {
    auto value = valueForParameterWithName(name);
    if (!value) return std::nullopt;
    return GDataDateTime::dateTimeWithRFC3339String(*value);
}

void GDataQuery::addCustomParameterWithNameIntValue(const std::string& name, int32_t value, int32_t removeForValue) {
    if (value == removeForValue) removeCustomParameterWithName(name);
    else addCustomParameterWithName(name, std::to_string(value));
}

int32_t GDataQuery::intValueForParameterWithName(const std::string& name, int32_t missingParameterValue) const {
    auto value = valueForParameterWithName(name);
    if (!value) return missingParameterValue;
    return gdataLeadingInt32(*value);
}

void GDataQuery::addCustomParameterWithNameBoolValue(const std::string& name, bool value, bool defaultValue) {
    if (value == defaultValue) removeCustomParameterWithName(name);
    else addCustomParameterWithName(name, std::string(value ? "true" : "false"));
}

bool GDataQuery::boolValueForParameterWithName(const std::string& name, bool defaultValue) const {
    auto value = valueForParameterWithName(name);
    if (!value) return defaultValue;
    return platform::equalsIgnoringCase(*value, "true");
}

bool GDataQuery::isAscendingOrder() const {
    auto value = valueForParameterWithName("sortorder");
    return value && platform::equalsIgnoringCase(*value, "ascending");
}

void GDataQuery::setIsAscendingOrder(bool flag) {
    addCustomParameterWithName("sortorder", std::string(flag ? "ascending" : "descending"));
}

bool GDataQuery::shouldFormatErrorsAsXML() const {
    auto value = valueForParameterWithName("err");
    return value && platform::equalsIgnoringCase(*value, "xml");
}

void GDataQuery::setShouldFormatErrorsAsXML(bool flag) {
    addCustomParameterWithName("err", flag ? std::optional<std::string>("xml") : std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// GDataQuery: copy and description

std::shared_ptr<GDataQuery> GDataQuery::copy() const {
    auto query = makeEmptyQuery();
    query->feedURL_ = feedURL_;
    query->categoryFilters_ = categoryFilters_;
    query->customParameters_ = customParameters_;
    return query;
}

std::string GDataQuery::description() const {
    auto url = URL();
    return std::string(className()) + " " + addressText(this) + ": {" + (url ? url->absoluteString() : "(null)") +
           "}";
}

}  // namespace quorvane
