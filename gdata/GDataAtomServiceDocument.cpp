#include "gdata/GDataAtomServiceDocument.h"

#include <mutex>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataClassRegistry.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {
constexpr const char* kApp = kGDataNamespaceAtomPubURI;
constexpr const char* kAppPrefix = kGDataNamespaceAtomPubPrefix;
}  // namespace

QV_GDATA_DEFINE_CLASS(GDataAtomCategoryGroup, GDataObject, kApp, kAppPrefix, "categories")
QV_GDATA_DEFINE_CLASS(GDataAtomCollection, GDataObject, kApp, kAppPrefix, "collection")
QV_GDATA_DEFINE_CLASS(GDataAtomWorkspace, GDataObject, kApp, kAppPrefix, "workspace")
QV_GDATA_DEFINE_CLASS(GDataAtomServiceDocument, GDataObject, nullptr, nullptr, nullptr)

// --- category group ---

void GDataAtomCategoryGroup::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), GDataCategory::staticClassInfo());
}

void GDataAtomCategoryGroup::addParseDeclarations() { addLocalAttributeDeclarations({"href", "scheme", "fixed"}); }

bool GDataAtomCategoryGroup::isFixed() const {
    auto fixed = stringValueForAttribute("fixed");
    return fixed && platform::equalsIgnoringCase(*fixed, "yes");
}

void GDataAtomCategoryGroup::setIsFixed(bool flag) {
    setStringValue(flag ? std::optional<std::string>("yes") : std::nullopt, "fixed");
}

std::vector<std::shared_ptr<GDataCategory>> GDataAtomCategoryGroup::categories() const {
    return objectsForExtension<GDataCategory>();
}

void GDataAtomCategoryGroup::setCategories(
    const std::optional<std::vector<std::shared_ptr<GDataCategory>>>& categories) {
    setObjectsForExtension<GDataCategory>(categories);
}

// --- collection ---

void GDataAtomCollection::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), {&GDataAtomCategoryGroup::staticClassInfo(),
                                                        &GDataAtomAccept::staticClassInfo(),
                                                        &GDataAtomTitle::staticClassInfo()});
}

void GDataAtomCollection::addParseDeclarations() { addLocalAttributeDeclarations({"href"}); }

std::shared_ptr<GDataAtomTitle> GDataAtomCollection::title() const { return objectForExtension<GDataAtomTitle>(); }

void GDataAtomCollection::setTitle(const std::shared_ptr<GDataAtomTitle>& title) {
    setObject(title, GDataAtomTitle::staticClassInfo());
}

std::shared_ptr<GDataAtomCategoryGroup> GDataAtomCollection::categoryGroup() const {
    return objectForExtension<GDataAtomCategoryGroup>();
}

void GDataAtomCollection::setCategoryGroup(const std::shared_ptr<GDataAtomCategoryGroup>& group) {
    setObject(group, GDataAtomCategoryGroup::staticClassInfo());
}

std::optional<std::vector<std::string>> GDataAtomCollection::serviceAcceptStrings() const {
    auto accepts = objectsForExtension<GDataAtomAccept>();
    if (accepts.empty()) return std::nullopt;
    std::vector<std::string> out;
    out.reserve(accepts.size());
    for (const auto& a : accepts) out.push_back(a->stringValue().value_or(""));
    return out;
}

void GDataAtomCollection::setServiceAcceptStrings(const std::optional<std::vector<std::string>>& strings) {
    if (!strings || strings->empty()) {
        setObjects(std::nullopt, GDataAtomAccept::staticClassInfo());
        return;
    }
    std::vector<GDataExtensionPtr> accepts;
    accepts.reserve(strings->size());
    for (const auto& s : *strings) accepts.push_back(GDataValueConstruct::valueWithString<GDataAtomAccept>(s));
    setObjects(accepts, GDataAtomAccept::staticClassInfo());
}

// --- workspace ---

void GDataAtomWorkspace::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), {&GDataAtomCollection::staticClassInfo(),
                                                        &GDataAtomTitle::staticClassInfo()});
}

std::shared_ptr<GDataAtomTitle> GDataAtomWorkspace::title() const { return objectForExtension<GDataAtomTitle>(); }

void GDataAtomWorkspace::setTitle(const std::shared_ptr<GDataAtomTitle>& title) {
    setObject(title, GDataAtomTitle::staticClassInfo());
}

std::vector<std::shared_ptr<GDataAtomCollection>> GDataAtomWorkspace::collections() const {
    return objectsForExtension<GDataAtomCollection>();
}

void GDataAtomWorkspace::setCollections(
    const std::optional<std::vector<std::shared_ptr<GDataAtomCollection>>>& collections) {
    setObjectsForExtension<GDataAtomCollection>(collections);
}

std::shared_ptr<GDataAtomCollection> GDataAtomWorkspace::primaryCollection() const {
    auto all = collections();
    return all.empty() ? nullptr : all.front();
}

// --- service document ---

void GDataAtomServiceDocument::registerServiceDocumentClass() {
    static std::once_flag once;
    std::call_once(once, [] { GDataClassRegistry::registerClassName(staticClassInfo()); });
}

void GDataAtomServiceDocument::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), GDataAtomWorkspace::staticClassInfo());
}

GDataXMLElementPtr GDataAtomServiceDocument::XMLElement() const {
    return XMLElementWithExtensionsAndDefaultName(std::string("service"));
}

void GDataAtomServiceDocument::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, "service");
    writeXMLChildren(writer);
    writer.endElement();
}

std::vector<std::shared_ptr<GDataAtomWorkspace>> GDataAtomServiceDocument::workspaces() const {
    return objectsForExtension<GDataAtomWorkspace>();
}

void GDataAtomServiceDocument::setWorkspaces(
    const std::optional<std::vector<std::shared_ptr<GDataAtomWorkspace>>>& workspaces) {
    setObjectsForExtension<GDataAtomWorkspace>(workspaces);
}

std::shared_ptr<GDataAtomWorkspace> GDataAtomServiceDocument::primaryWorkspace() const {
    auto all = workspaces();
    return all.empty() ? nullptr : all.front();
}

}  // namespace quorvane
