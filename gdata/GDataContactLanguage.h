#pragma once
// gContact:language — a language the contact speaks, by code or label.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataContactLanguage : public GDataObject {
    QV_GDATA_CLASS(GDataContactLanguage)
public:
    static std::shared_ptr<GDataContactLanguage> languageWithCode(std::optional<std::string> code,
                                                                  std::optional<std::string> label);
    void addParseDeclarations() override;

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> code() const { return stringValueForAttribute("code"); }
    void setCode(std::optional<std::string> v) { setStringValue(std::move(v), "code"); }
};

}  // namespace quorvane
