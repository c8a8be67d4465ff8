#pragma once
// The roles of an access rule: <gAcl:role value="writer"/> and <gAcl:additionalRole value="commenter"/>.
// Both keep their one value in the "value" attribute.

#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataValueConstruct.h"

namespace quorvane {

// Common base of the two roles; not an element of its own.
class GDataACLRoleBase : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataACLRoleBase)
public:
    // A new role of the given class (GDataACLRole or GDataACLAdditionalRole) holding the value.
    static std::shared_ptr<GDataACLRoleBase> roleWithValue(const GDataClassInfo& cls,
                                                           std::optional<std::string> value);
    template <class T>
    static std::shared_ptr<T> roleWithValue(std::optional<std::string> value) {
        return std::dynamic_pointer_cast<T>(roleWithValue(T::staticClassInfo(), std::move(value)));
    }

    std::optional<std::string> value() const { return stringValue(); }
    void setValue(std::optional<std::string> v) { setStringValue(std::move(v)); }
};

// <gAcl:role value="reader"/>
class GDataACLRole : public GDataACLRoleBase {
    QV_GDATA_CLASS(GDataACLRole)
};

// <gAcl:additionalRole value="commenter"/>
class GDataACLAdditionalRole : public GDataACLRoleBase {
    QV_GDATA_CLASS(GDataACLAdditionalRole)
};

}  // namespace quorvane
