#pragma once
// Application-wide text helpers of the sync engine.

#include <string>
#include <string_view>

namespace quorvane {

class Utils {
public:
    // The text of the chosen application language for the key, or the English default when there
    // is no translation or it is empty. The application ships its English texts only, so every
    // lookup gives the default.
    static std::string localized(std::string_view key, std::string_view defaultString);
};

}  // namespace quorvane
