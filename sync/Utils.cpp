#include "sync/Utils.h"

namespace quorvane {

std::string Utils::localized(std::string_view key, std::string_view defaultString) {
    // No translation tables are installed: the English default is the text of every language.
    (void)key;
    return std::string(defaultString);
}

std::string Utils::stringWithFormat(std::string format, std::initializer_list<std::string> values) {
    size_t at = 0;
    for (const auto& value : values) {
        size_t d = format.find("%d", at), o = format.find("%@", at);
        size_t place = std::min(d, o);
        if (place == std::string::npos) break;
        format.replace(place, 2, value);
        at = place + value.size();
    }
    return format;
}

}  // namespace quorvane
