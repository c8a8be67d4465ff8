#include "sync/Utils.h"

namespace quorvane {

std::string Utils::localized(std::string_view key, std::string_view defaultString) {
    // No translation tables are installed: the English default is the text of every language.
    (void)key;
    return std::string(defaultString);
}

}  // namespace quorvane
