#include "gdata/GDataGenerator.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataGenerator, GDataObject, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "generator")

std::shared_ptr<GDataGenerator> GDataGenerator::generatorWithName(std::optional<std::string> name,
                                                                  std::optional<std::string> version,
                                                                  std::optional<std::string> URI) {
    auto generator = object();
    generator->setName(std::move(name));
    generator->setVersion(std::move(version));
    generator->setURI(std::move(URI));
    return generator;
}

void GDataGenerator::addParseDeclarations() {
    addLocalAttributeDeclarations({"version", "uri"});
    addContentValueDeclaration();
}

}  // namespace quorvane
