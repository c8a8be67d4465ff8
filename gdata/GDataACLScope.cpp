#include "gdata/GDataACLScope.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataACLScope, GDataObject, kGDataNamespaceACLURI, kGDataNamespaceACLPrefix, "scope")

std::shared_ptr<GDataACLScope> GDataACLScope::scopeWithType(std::optional<std::string> type,
                                                            std::optional<std::string> value) {
    auto scope = object();
    scope->setType(std::move(type));
    scope->setValue(std::move(value));
    return scope;
}

void GDataACLScope::addParseDeclarations() { addLocalAttributeDeclarations({"type", "value", "name"}); }

}  // namespace quorvane
