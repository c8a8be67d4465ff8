#include "telemetry/MSLogContainer.h"

namespace quorvane {

std::string MSLogContainer::serializeLogWithPrettyPrinting(bool pretty) const {
    platform::Value::Array list;
    list.reserve(logs.size());
    for (const auto& log : logs) list.push_back(log->serializeToDictionary());
    auto root = platform::Value::dictionary();
    root.set("logs", platform::Value(std::move(list)));
    // The JSON writer never escapes "/", so no slash needs restoring (a blind replacement of "\/"
    // would corrupt a text holding a backslash before a slash).
    return root.toJSON(pretty);
}

bool MSLogContainer::isValid() const {
    if (logs.empty()) return false;
    for (const auto& log : logs)
        if (!log || !log->isValid()) return false;
    return true;
}

}  // namespace quorvane
