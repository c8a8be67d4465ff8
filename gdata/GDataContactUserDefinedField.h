#pragma once
// gContact:userDefinedField key="..." value="...": a free key and value of the user's own.

#include "gdata/GDataValueConstruct.h"

namespace quorvane {

class GDataContactUserDefinedField : public GDataNameValueConstruct {
    QV_GDATA_CLASS(GDataContactUserDefinedField)
public:
    // Always an element: the key, then the value.
    static std::shared_ptr<GDataContactUserDefinedField> userDefinedFieldWithKey(std::optional<std::string> key,
                                                                                 std::optional<std::string> value);
    std::optional<std::string> nameAttributeName() const override { return std::string("key"); }

    std::optional<std::string> key() const { return name(); }
    void setKey(std::optional<std::string> v) { setName(std::move(v)); }
};

}  // namespace quorvane
