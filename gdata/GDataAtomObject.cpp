#include "gdata/GDataAtomObject.h"

#include <atomic>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataPerson.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

// ---------------------------------------------------------------------------------------------
// Accessors

std::optional<std::string> GDataAtomObject::identifier() const { return extensionStringValue<GDataAtomID>(); }
namespace {
std::atomic<uint64_t> gIdentifierGeneration{0};
}  // namespace

void GDataAtomObject::setIdentifier(std::optional<std::string> v) {
    setExtensionStringValue<GDataAtomID>(std::move(v));
    gIdentifierGeneration.fetch_add(1, std::memory_order_release);
}
uint64_t GDataAtomObject::identifierGeneration() { return gIdentifierGeneration.load(std::memory_order_acquire); }
std::optional<std::string> GDataAtomObject::resourceID() const { return extensionStringValue<GDataResourceID>(); }
void GDataAtomObject::setResourceID(std::optional<std::string> v) {
    setExtensionStringValue<GDataResourceID>(std::move(v));
}
std::optional<GDataDateTime> GDataAtomObject::updatedDate() const {
    return extensionDateTimeValue<GDataAtomUpdatedDate>();
}
void GDataAtomObject::setUpdatedDate(const std::optional<GDataDateTime>& v) {
    setExtensionDateTimeValue<GDataAtomUpdatedDate>(v);
}

std::shared_ptr<GDataTextConstruct> GDataAtomObject::title() const { return objectForExtension<GDataAtomTitle>(); }
void GDataAtomObject::setTitle(const std::shared_ptr<GDataTextConstruct>& v) {
    setObject(v, GDataAtomTitle::staticClassInfo());
}
void GDataAtomObject::setTitleWithString(std::optional<std::string> v) {
    setTitle(GDataTextConstruct::textConstructWithString<GDataAtomTitle>(std::move(v)));
}
std::shared_ptr<GDataTextConstruct> GDataAtomObject::rights() const { return objectForExtension<GDataAtomRights>(); }
void GDataAtomObject::setRights(const std::shared_ptr<GDataTextConstruct>& v) {
    setObject(v, GDataAtomRights::staticClassInfo());
}
void GDataAtomObject::setRightsWithString(std::optional<std::string> v) {
    setRights(GDataTextConstruct::textConstructWithString<GDataAtomRights>(std::move(v)));
}

std::vector<std::shared_ptr<GDataLink>> GDataAtomObject::links() const { return objectsForExtension<GDataLink>(); }
void GDataAtomObject::setLinks(const std::optional<std::vector<std::shared_ptr<GDataLink>>>& v) {
    setObjectsForExtension<GDataLink>(v);
}
void GDataAtomObject::addLink(const std::shared_ptr<GDataLink>& v) { addObject(v, GDataLink::staticClassInfo()); }
void GDataAtomObject::removeLink(const std::shared_ptr<GDataLink>& v) { removeObject(v, GDataLink::staticClassInfo()); }

std::vector<std::shared_ptr<GDataPerson>> GDataAtomObject::authors() const {
    return objectsForExtensionAs<GDataAtomAuthor, GDataPerson>();
}
void GDataAtomObject::setAuthors(const std::optional<std::vector<std::shared_ptr<GDataPerson>>>& v) {
    setObjectsForExtensionFrom<GDataAtomAuthor, GDataPerson>(v);
}
void GDataAtomObject::addAuthor(const std::shared_ptr<GDataPerson>& v) {
    addObject(v, GDataAtomAuthor::staticClassInfo());
}
std::vector<std::shared_ptr<GDataPerson>> GDataAtomObject::contributors() const {
    return objectsForExtensionAs<GDataAtomContributor, GDataPerson>();
}
void GDataAtomObject::setContributors(const std::optional<std::vector<std::shared_ptr<GDataPerson>>>& v) {
    setObjectsForExtensionFrom<GDataAtomContributor, GDataPerson>(v);
}
void GDataAtomObject::addContributor(const std::shared_ptr<GDataPerson>& v) {
    addObject(v, GDataAtomContributor::staticClassInfo());
}

std::vector<std::shared_ptr<GDataCategory>> GDataAtomObject::categories() const {
    return objectsForExtension<GDataCategory>();
}
void GDataAtomObject::setCategories(const std::optional<std::vector<std::shared_ptr<GDataCategory>>>& v) {
    setObjectsForExtension<GDataCategory>(v);
}
void GDataAtomObject::addCategory(const std::shared_ptr<GDataCategory>& v) {
    addObject(v, GDataCategory::staticClassInfo());
}
void GDataAtomObject::removeCategory(const std::shared_ptr<GDataCategory>& v) {
    removeObject(v, GDataCategory::staticClassInfo());
}

std::optional<std::string> GDataAtomObject::ETag() const {
    return attributeValueForExtensionClass(GDataETagAttribute::staticClassInfo());
}
void GDataAtomObject::setETag(std::optional<std::string> v) {
    setAttributeExtensionValue(std::move(v), GDataETagAttribute::staticClassInfo());
}
std::optional<std::string> GDataAtomObject::fieldSelection() const {
    return attributeValueForExtensionClass(GDataFieldsAttribute::staticClassInfo());
}
void GDataAtomObject::setFieldSelection(std::optional<std::string> v) {
    setAttributeExtensionValue(std::move(v), GDataFieldsAttribute::staticClassInfo());
}
std::optional<std::string> GDataAtomObject::kind() const {
    return attributeValueForExtensionClass(GDataKindAttribute::staticClassInfo());
}
void GDataAtomObject::setKind(std::optional<std::string> v) {
    setAttributeExtensionValue(std::move(v), GDataKindAttribute::staticClassInfo());
}

std::shared_ptr<GDataAtomPubControl> GDataAtomObject::atomPubControl() const {
    return objectForExtension<GDataAtomPubControl>();
}
void GDataAtomObject::setAtomPubControl(const std::shared_ptr<GDataAtomPubControl>& v) {
    setObject(v, GDataAtomPubControl::staticClassInfo());
}
std::shared_ptr<GDataBatchOperation> GDataAtomObject::batchOperation() const {
    return objectForExtension<GDataBatchOperation>();
}
void GDataAtomObject::setBatchOperation(const std::shared_ptr<GDataBatchOperation>& v) {
    setObject(v, GDataBatchOperation::staticClassInfo());
}

// ---------------------------------------------------------------------------------------------
// Links

std::string GDataAtomObject::gdRel(const char* fragment) { return std::string(kGDataNamespaceGData) + fragment; }

std::shared_ptr<GDataLink> GDataAtomObject::linkWithRelAttributeValue(const std::optional<std::string>& rel) const {
    return GDataLink::linkWithRel(rel, std::nullopt, links());
}
std::shared_ptr<GDataLink> GDataAtomObject::feedLink() const { return linkWithRelAttributeValue(gdRel("#feed")); }
std::shared_ptr<GDataLink> GDataAtomObject::alternateLink() const {
    return linkWithRelAttributeValue(std::string("alternate"));
}
std::shared_ptr<GDataLink> GDataAtomObject::relatedLink() const {
    return linkWithRelAttributeValue(std::string("related"));
}
std::shared_ptr<GDataLink> GDataAtomObject::postLink() const { return linkWithRelAttributeValue(gdRel("#post")); }
std::shared_ptr<GDataLink> GDataAtomObject::selfLink() const { return linkWithRelAttributeValue(std::string("self")); }

// ---------------------------------------------------------------------------------------------
// Set-up and description

void GDataAtomObject::addStandardKinds(const std::optional<std::string>& term) {
    if (term) addCategory(GDataCategory::categoryWithScheme(std::string(kGDataCategoryScheme), *term));
    if (auto attr = standardKindAttributeValue()) setKind(*attr);
}

void GDataAtomObject::addKindAttributeDeclarations() {
    const auto& me = classInfo();
    addAttributeExtensionDeclarationForParentClass(me, GDataETagAttribute::staticClassInfo());
    addAttributeExtensionDeclarationForParentClass(me, GDataFieldsAttribute::staticClassInfo());
    addAttributeExtensionDeclarationForParentClass(me, GDataKindAttribute::staticClassInfo());
}

void GDataAtomObject::addDescription(std::vector<std::string>& items, const std::string& label,
                                     const std::optional<std::string>& value) {
    if (value) items.push_back(label + ":" + *value);
}

void GDataAtomObject::addCountDescription(std::vector<std::string>& items, const std::string& label, size_t count) {
    if (count) items.push_back(label + ":" + std::to_string(count));
}

void GDataAtomObject::addAttributeDescriptions(std::vector<std::string>& items) const {
    addDescription(items, "etag", ETag());
    addDescription(items, "kind", kind());
    addDescription(items, "fields", fieldSelection());
    addDescription(items, "resourceID", resourceID());
}

void GDataAtomObject::addPeopleAndLinkDescriptions(std::vector<std::string>& items) const {
    addCountDescription(items, "authors", authors().size());
    addCountDescription(items, "contributors", contributors().size());
    addCountDescription(items, "categories", categories().size());
    if (auto names = GDataLink::linkNamesFromLinks(links())) addDescription(items, "links", platform::join(*names, ","));
}

}  // namespace quorvane
