#include "gdata/GDataMediaKeywords.h"

#include <algorithm>

#include "gdata/GDataNamespaces.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataMediaKeywords, GDataValueElementConstruct, kGDataNamespaceMediaURI,
                      kGDataNamespaceMediaPrefix, "keywords")

std::shared_ptr<GDataMediaKeywords> GDataMediaKeywords::keywordsWithStrings(
    const std::optional<std::vector<std::string>>& strings) {
    auto obj = object();
    obj->setKeywords(strings);
    return obj;
}

std::shared_ptr<GDataMediaKeywords> GDataMediaKeywords::keywordsWithString(std::optional<std::string_view> str) {
    return keywordsWithStrings(keywordsFromString(str));
}

std::string GDataMediaKeywords::trimString(std::string_view str) { return platform::trimWhitespace(str); }

std::optional<std::vector<std::string>> GDataMediaKeywords::keywordsFromString(std::optional<std::string_view> str) {
    if (!str) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& piece : platform::split(*str, ",")) {
        auto trimmed = trimString(piece);
        if (!trimmed.empty()) out.push_back(std::move(trimmed));
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::string> GDataMediaKeywords::stringFromKeywords(
    const std::optional<std::vector<std::string>>& keywords) {
    if (!keywords || keywords->empty()) return std::nullopt;
    return platform::join(*keywords, ", ");
}

std::optional<std::vector<std::string>> GDataMediaKeywords::keywords() const {
    auto s = stringValue();
    if (!s) return std::nullopt;
    return keywordsFromString(*s);
}

void GDataMediaKeywords::setKeywords(const std::optional<std::vector<std::string>>& keywords) {
    setStringValue(stringFromKeywords(keywords));
}

void GDataMediaKeywords::addKeyword(std::string_view keyword) {
    auto trimmed = trimString(keyword);
    if (trimmed.empty()) return;
    auto current = keywords();
    if (!current) {
        setStringValue(std::move(trimmed));
        return;
    }
    if (std::find(current->begin(), current->end(), trimmed) != current->end()) return;
    current->push_back(std::move(trimmed));
    setKeywords(current);
}

}  // namespace quorvane
