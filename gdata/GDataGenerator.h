#pragma once
// GDataGenerator: the Atom generator of a feed (<generator version= uri=>name</generator>).

#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataGenerator : public GDataObject {
    QV_GDATA_CLASS(GDataGenerator)
public:
    static std::shared_ptr<GDataGenerator> generatorWithName(std::optional<std::string> name,
                                                             std::optional<std::string> version,
                                                             std::optional<std::string> URI);
    void addParseDeclarations() override;

    std::optional<std::string> name() const { return contentStringValue(); }
    void setName(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    std::optional<std::string> version() const { return stringValueForAttribute("version"); }
    void setVersion(std::optional<std::string> v) { setStringValue(std::move(v), "version"); }
    std::optional<std::string> URI() const { return stringValueForAttribute("uri"); }
    void setURI(std::optional<std::string> v) { setStringValue(std::move(v), "uri"); }
};

}  // namespace quorvane
