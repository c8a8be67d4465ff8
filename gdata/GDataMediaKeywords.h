#pragma once
// <media:keywords>: a comma-separated list of keywords in the element's text.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gdata/GDataValueConstruct.h"

namespace quorvane {

class GDataMediaKeywords : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataMediaKeywords)
public:
    static std::shared_ptr<GDataMediaKeywords> keywordsWithStrings(const std::optional<std::vector<std::string>>& strings);
    // From a comma-separated string; the text is written back in the joined form.
    static std::shared_ptr<GDataMediaKeywords> keywordsWithString(std::optional<std::string_view> str);

    // The pieces between commas, trimmed, empty ones dropped; nullopt when none is left.
    static std::optional<std::vector<std::string>> keywordsFromString(std::optional<std::string_view> str);
    // Joined by ", "; nullopt for a missing or empty list.
    static std::optional<std::string> stringFromKeywords(const std::optional<std::vector<std::string>>& keywords);
    // White space and line ends removed at both ends.
    static std::string trimString(std::string_view str);

    std::optional<std::vector<std::string>> keywords() const;
    void setKeywords(const std::optional<std::vector<std::string>>& keywords);
    // Trimmed; ignored when empty or already present.
    void addKeyword(std::string_view keyword);
};

}  // namespace quorvane
