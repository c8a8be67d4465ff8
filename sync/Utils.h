#pragma once
// Application-wide text helpers of the sync engine.

#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvane {

class Utils {
public:
    // The text of the chosen application language for the key, or the English default when there
    // is no translation or it is empty. The application ships its English texts only, so every
    // lookup gives the default.
    static std::string localized(std::string_view key, std::string_view defaultString);
    // The format with its "%d" and "%@" placeholders replaced by the values, in order; a
    // placeholder without a value stays as it is.
    static std::string stringWithFormat(std::string format, std::initializer_list<std::string> values);
};

}  // namespace quorvane
