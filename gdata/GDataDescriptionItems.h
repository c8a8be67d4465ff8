#pragma once
// Builders of the description records element classes report in itemsForDescription().

#include <functional>
#include <optional>
#include <string>

#include "gdata/GDataObject.h"

namespace quorvane {

// "label:value" when the value is not nil.
inline GDataDescriptionRecord gdataValueItem(std::string label, std::function<std::optional<std::string>()> value) {
    GDataDescriptionRecord r{};
    r.label = std::move(label);
    r.kind = GDataDescriptionRecord::kValue;
    r.value = std::move(value);
    return r;
}

// "label:<the object's description>" when there is an object.
inline GDataDescriptionRecord gdataObjectItem(std::string label, std::function<GDataExtensionPtr()> object) {
    return gdataValueItem(std::move(label), [object = std::move(object)]() -> std::optional<std::string> {
        if (auto o = object()) return o->description();
        return std::nullopt;
    });
}

// "label:YES" when the flag is set.
inline GDataDescriptionRecord gdataBoolIfTrueItem(std::string label, std::function<bool()> flag) {
    GDataDescriptionRecord r{};
    r.label = std::move(label);
    r.kind = GDataDescriptionRecord::kBoolIfTrue;
    r.flag = std::move(flag);
    return r;
}

}  // namespace quorvane
