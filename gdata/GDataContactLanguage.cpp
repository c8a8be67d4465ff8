#include "gdata/GDataContactLanguage.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataContactLanguage, GDataObject, kGDataNamespaceContactURI, kGDataNamespaceContactPrefix,
                      "language")

std::shared_ptr<GDataContactLanguage> GDataContactLanguage::languageWithCode(std::optional<std::string> code,
                                                                             std::optional<std::string> label) {
    auto obj = object();
    obj->setLabel(std::move(label));
    obj->setCode(std::move(code));
    return obj;
}

void GDataContactLanguage::addParseDeclarations() { addLocalAttributeDeclarations({"label", "code"}); }

}  // namespace quorvane
