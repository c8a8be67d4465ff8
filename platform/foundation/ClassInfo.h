#pragma once
// Classes as values. Each class that is handled as a value (kind registries, extension
// declarations, surrogates) has one static record; the record's address is the class's identity.

#include <string_view>

namespace quorvane::platform {

struct ClassInfo {
    const char* name;
    const ClassInfo* superclass;  // nullptr for a root class

    // Whether this class is the other one or inherits from it.
    bool isSubclassOf(const ClassInfo& other) const {
        for (const ClassInfo* c = this; c; c = c->superclass)
            if (c == &other) return true;
        return false;
    }
    std::string_view className() const { return name; }
};

}  // namespace quorvane::platform
