#include "telemetry/MSFieldRecord.h"

#include "platform/foundation/Base64.h"
#include "telemetry/MSUtility.h"

namespace quorvane::ms_field_detail {

std::string iso8601(platform::Date date) { return MSUtility::dateToISO8601(date); }

std::string base64(const platform::Bytes& bytes) { return platform::base64Encode(bytes); }

platform::Value stringMapValue(const std::map<std::string, std::string>& map) {
    auto dict = platform::Value::dictionary();
    for (const auto& [k, v] : map) dict.set(k, v);
    return dict;
}

std::optional<std::map<std::string, std::string>> stringMapFrom(platform::KeyedUnarchiver& coder,
                                                               const platform::Value& value, std::string_view key) {
    if (!value.isDictionary()) {
        coder.fail("the field \"" + std::string(key) + "\" is not a dictionary");
        return std::nullopt;
    }
    std::map<std::string, std::string> map;
    for (const auto& [k, v] : value.asDictionary()) {
        if (!v.isString()) {
            coder.fail("a value under \"" + std::string(key) + "\" is not a string");
            return std::nullopt;
        }
        map[k] = v.asString();
    }
    return map;
}

std::optional<std::vector<std::string>> stringListFrom(platform::KeyedUnarchiver& coder, const platform::Value& value,
                                                       std::string_view key) {
    if (!value.isArray()) {
        coder.fail("the field \"" + std::string(key) + "\" is not a list");
        return std::nullopt;
    }
    std::vector<std::string> list;
    for (const auto& v : value.asArray()) {
        if (!v.isString()) {
            coder.fail("a value under \"" + std::string(key) + "\" is not a string");
            return std::nullopt;
        }
        list.push_back(v.asString());
    }
    return list;
}

}  // namespace quorvane::ms_field_detail
