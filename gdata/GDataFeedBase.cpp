#include "gdata/GDataFeedBase.h"

#include <mutex>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataGenerator.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataPerson.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataFeedBase, GDataObject, nullptr, nullptr, nullptr)

namespace {
std::mutex& feedMapMutex() {
    static std::mutex m;
    return m;
}
GDataKindMap& feedMap() {
    static GDataKindMap map;
    return map;
}
std::string gdRel(const char* fragment) { return std::string(kGDataNamespaceGData) + fragment; }

}  // namespace

std::shared_ptr<GDataFeedBase> GDataFeedBase::feed(const GDataClassInfo& cls) {
    return std::dynamic_pointer_cast<GDataFeedBase>(cls.make());
}

std::shared_ptr<GDataFeedBase> GDataFeedBase::feedWithXMLData(const GDataClassInfo& cls, const platform::Bytes& data,
                                                              std::optional<std::string> serviceVersion,
                                                              bool shouldIgnoreUnknowns, platform::Error* error) {
    auto doc = GDataXMLDocument::initWithData(data, 0, error);
    if (!doc) return nullptr;
    auto root = doc->rootElement();
    if (!root) return nullptr;
    auto feed = std::dynamic_pointer_cast<GDataFeedBase>(cls.allocate ? cls.allocate() : nullptr);
    if (!feed) return nullptr;
    if (!feed->GDataObject::initWithXMLElement(root, nullptr, std::move(serviceVersion), nullptr,
                                               shouldIgnoreUnknowns))
        return nullptr;
    feed->clearExtensionDeclarationsCache();
    return feed;
}

void GDataFeedBase::init() {
    GDataObject::init();
    if (auto kind = standardFeedKind())
        addCategory(GDataCategory::categoryWithScheme(std::string(kGDataCategoryScheme), *kind));
    if (auto attr = standardKindAttributeValue()) setKind(*attr);
}

void GDataFeedBase::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    const auto& me = classInfo();
    addExtensionDeclarationForParentClass(
        me, {&GDataResourceID::staticClassInfo(), &GDataAtomID::staticClassInfo(), &GDataAtomTitle::staticClassInfo(),
             &GDataAtomSubtitle::staticClassInfo(), &GDataAtomRights::staticClassInfo(),
             &GDataAtomIcon::staticClassInfo(), &GDataAtomLogo::staticClassInfo(), &GDataLink::staticClassInfo(),
             &GDataAtomAuthor::staticClassInfo(), &GDataAtomContributor::staticClassInfo(),
             &GDataCategory::staticClassInfo(), &GDataAtomUpdatedDate::staticClassInfo(),
             &GDataAtomPubControl::staticClassInfo(), &GDataBatchOperation::staticClassInfo(),
             &GDataOpenSearchTotalResults::staticClassInfo(), &GDataOpenSearchStartIndex::staticClassInfo(),
             &GDataOpenSearchItemsPerPage::staticClassInfo()});
    addAttributeExtensionDeclarationForParentClass(me, GDataETagAttribute::staticClassInfo());
    addAttributeExtensionDeclarationForParentClass(me, GDataFieldsAttribute::staticClassInfo());
    addAttributeExtensionDeclarationForParentClass(me, GDataKindAttribute::staticClassInfo());
}

bool GDataFeedBase::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& /*parent*/) {
    if (!GDataObject::initWithXMLElement(element, nullptr)) return false;
    setupFromXMLElement(element);
    return true;
}

void GDataFeedBase::setupFromXMLElement(const GDataXMLElementPtr& element) {
    if (auto gen = objectForChildOfElement(element, "generator", std::string_view(kGDataNamespaceAtom),
                                           &GDataGenerator::staticClassInfo()))
        generator_ = std::dynamic_pointer_cast<GDataGenerator>(gen);
    initFeedWithXMLElement(element);

    auto objects = objectsForChildrenOfElement(element, "entry", std::string_view(kGDataNamespaceAtom), classForEntries());
    if (objects.empty()) return;
    std::vector<std::shared_ptr<GDataEntryBase>> parsed;
    parsed.reserve(objects.size());
    for (auto& o : objects)
        if (auto e = std::dynamic_pointer_cast<GDataEntryBase>(o)) parsed.push_back(std::move(e));
    if (parsed.size() == 1) addEntry(parsed.front());
    else if (!parsed.empty()) setEntries(parsed);
}

// ---------------------------------------------------------------------------------------------
// Kind registry

void GDataFeedBase::registerFeedClass(const GDataClassInfo& cls) {
    auto proto = std::dynamic_pointer_cast<GDataFeedBase>(cls.allocate ? cls.allocate() : nullptr);
    if (!proto) return;
    if (auto kind = proto->standardFeedKind()) registerFeedClass(cls, std::string(kGDataCategoryScheme), *kind);
    if (auto attr = proto->standardKindAttributeValue()) registerFeedClass(cls, std::nullopt, *attr);
}

void GDataFeedBase::registerFeedClass(const GDataClassInfo& cls, const std::optional<std::string>& scheme,
                                      const std::optional<std::string>& term) {
    std::lock_guard lock(feedMapMutex());
    GDataObject::registerClass(cls, feedMap(), scheme, term);
}

const GDataClassInfo* GDataFeedBase::feedClassForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                                    const std::optional<std::string>& term) {
    GDataObject::registerKnownKinds();  // before the lock: registering takes it
    std::lock_guard lock(feedMapMutex());
    return GDataObject::classForCategoryWithScheme(scheme, term, feedMap());
}

const GDataClassInfo* GDataFeedBase::feedClassForKindAttributeValue(const std::string& kind) {
    return feedClassForCategoryWithScheme(std::nullopt, kind);
}

// ---------------------------------------------------------------------------------------------
// Accessors


std::optional<std::string> GDataFeedBase::identifier() const { return extensionStringValue<GDataAtomID>(); }
void GDataFeedBase::setIdentifier(std::optional<std::string> v) { setExtensionStringValue<GDataAtomID>(std::move(v)); }
std::shared_ptr<GDataTextConstruct> GDataFeedBase::title() const { return objectForExtension<GDataAtomTitle>(); }
void GDataFeedBase::setTitle(const std::shared_ptr<GDataTextConstruct>& v) {
    setObject(v, GDataAtomTitle::staticClassInfo());
}
void GDataFeedBase::setTitleWithString(std::optional<std::string> v) {
    setTitle(GDataTextConstruct::textConstructWithString<GDataAtomTitle>(std::move(v)));
}
std::shared_ptr<GDataTextConstruct> GDataFeedBase::subtitle() const { return objectForExtension<GDataAtomSubtitle>(); }
void GDataFeedBase::setSubtitle(const std::shared_ptr<GDataTextConstruct>& v) {
    setObject(v, GDataAtomSubtitle::staticClassInfo());
}
void GDataFeedBase::setSubtitleWithString(std::optional<std::string> v) {
    setSubtitle(GDataTextConstruct::textConstructWithString<GDataAtomSubtitle>(std::move(v)));
}
std::shared_ptr<GDataTextConstruct> GDataFeedBase::rights() const { return objectForExtension<GDataAtomRights>(); }
void GDataFeedBase::setRights(const std::shared_ptr<GDataTextConstruct>& v) {
    setObject(v, GDataAtomRights::staticClassInfo());
}
void GDataFeedBase::setRightsWithString(std::optional<std::string> v) {
    setRights(GDataTextConstruct::textConstructWithString<GDataAtomRights>(std::move(v)));
}
std::optional<std::string> GDataFeedBase::icon() const { return extensionStringValue<GDataAtomIcon>(); }
void GDataFeedBase::setIcon(std::optional<std::string> v) { setExtensionStringValue<GDataAtomIcon>(std::move(v)); }
std::optional<std::string> GDataFeedBase::logo() const { return extensionStringValue<GDataAtomLogo>(); }
void GDataFeedBase::setLogo(std::optional<std::string> v) { setExtensionStringValue<GDataAtomLogo>(std::move(v)); }

std::vector<std::shared_ptr<GDataLink>> GDataFeedBase::links() const { return objectsForExtension<GDataLink>(); }
void GDataFeedBase::setLinks(const std::optional<std::vector<std::shared_ptr<GDataLink>>>& v) {
    setObjectsForExtension<GDataLink>(v);
}
void GDataFeedBase::addLink(const std::shared_ptr<GDataLink>& v) { addObject(v, GDataLink::staticClassInfo()); }
void GDataFeedBase::removeLink(const std::shared_ptr<GDataLink>& v) { removeObject(v, GDataLink::staticClassInfo()); }

std::vector<std::shared_ptr<GDataPerson>> GDataFeedBase::authors() const {
    return objectsForExtensionAs<GDataAtomAuthor, GDataPerson>();
}
void GDataFeedBase::setAuthors(const std::optional<std::vector<std::shared_ptr<GDataPerson>>>& v) {
    setObjectsForExtensionFrom<GDataAtomAuthor, GDataPerson>(v);
}
void GDataFeedBase::addAuthor(const std::shared_ptr<GDataPerson>& v) { addObject(v, GDataAtomAuthor::staticClassInfo()); }
std::vector<std::shared_ptr<GDataPerson>> GDataFeedBase::contributors() const {
    return objectsForExtensionAs<GDataAtomContributor, GDataPerson>();
}
void GDataFeedBase::setContributors(const std::optional<std::vector<std::shared_ptr<GDataPerson>>>& v) {
    setObjectsForExtensionFrom<GDataAtomContributor, GDataPerson>(v);
}
void GDataFeedBase::addContributor(const std::shared_ptr<GDataPerson>& v) {
    addObject(v, GDataAtomContributor::staticClassInfo());
}
std::vector<std::shared_ptr<GDataCategory>> GDataFeedBase::categories() const {
    return objectsForExtension<GDataCategory>();
}
void GDataFeedBase::setCategories(const std::optional<std::vector<std::shared_ptr<GDataCategory>>>& v) {
    setObjectsForExtension<GDataCategory>(v);
}
void GDataFeedBase::addCategory(const std::shared_ptr<GDataCategory>& v) {
    addObject(v, GDataCategory::staticClassInfo());
}
void GDataFeedBase::removeCategory(const std::shared_ptr<GDataCategory>& v) {
    removeObject(v, GDataCategory::staticClassInfo());
}

std::optional<GDataDateTime> GDataFeedBase::updatedDate() const {
    return extensionDateTimeValue<GDataAtomUpdatedDate>();
}
void GDataFeedBase::setUpdatedDate(const std::optional<GDataDateTime>& v) {
    setExtensionDateTimeValue<GDataAtomUpdatedDate>(v);
}
namespace {
template <class T>
std::optional<int32_t> valueInt(const GDataObject& o) {
    auto v = o.objectForExtension<T>();
    if (!v) return std::nullopt;
    auto s = v->stringValue();
    if (!s || s->empty()) return std::nullopt;
    return v->intValue();
}
template <class T>
void setValueInt(GDataObject& o, std::optional<int32_t> n) {
    if (!n) o.setObject(nullptr, T::staticClassInfo());
    else o.setObject(GDataValueConstruct::valueWithInt(T::staticClassInfo(), *n), T::staticClassInfo());
}
}  // namespace

std::optional<int32_t> GDataFeedBase::totalResults() const { return valueInt<GDataOpenSearchTotalResults>(*this); }
void GDataFeedBase::setTotalResults(std::optional<int32_t> v) { setValueInt<GDataOpenSearchTotalResults>(*this, v); }
std::optional<int32_t> GDataFeedBase::startIndex() const { return valueInt<GDataOpenSearchStartIndex>(*this); }
void GDataFeedBase::setStartIndex(std::optional<int32_t> v) { setValueInt<GDataOpenSearchStartIndex>(*this, v); }
std::optional<int32_t> GDataFeedBase::itemsPerPage() const { return valueInt<GDataOpenSearchItemsPerPage>(*this); }
void GDataFeedBase::setItemsPerPage(std::optional<int32_t> v) { setValueInt<GDataOpenSearchItemsPerPage>(*this, v); }

std::optional<std::string> GDataFeedBase::ETag() const {
    return attributeValueForExtensionClass(GDataETagAttribute::staticClassInfo());
}
void GDataFeedBase::setETag(std::optional<std::string> v) {
    setAttributeExtensionValue(std::move(v), GDataETagAttribute::staticClassInfo());
}
std::optional<std::string> GDataFeedBase::fieldSelection() const {
    return attributeValueForExtensionClass(GDataFieldsAttribute::staticClassInfo());
}
void GDataFeedBase::setFieldSelection(std::optional<std::string> v) {
    setAttributeExtensionValue(std::move(v), GDataFieldsAttribute::staticClassInfo());
}
std::optional<std::string> GDataFeedBase::kind() const {
    return attributeValueForExtensionClass(GDataKindAttribute::staticClassInfo());
}
void GDataFeedBase::setKind(std::optional<std::string> v) {
    setAttributeExtensionValue(std::move(v), GDataKindAttribute::staticClassInfo());
}
std::optional<std::string> GDataFeedBase::resourceID() const { return extensionStringValue<GDataResourceID>(); }
void GDataFeedBase::setResourceID(std::optional<std::string> v) {
    setExtensionStringValue<GDataResourceID>(std::move(v));
}
std::shared_ptr<GDataAtomPubControl> GDataFeedBase::atomPubControl() const {
    return objectForExtension<GDataAtomPubControl>();
}
void GDataFeedBase::setAtomPubControl(const std::shared_ptr<GDataAtomPubControl>& v) {
    setObject(v, GDataAtomPubControl::staticClassInfo());
}
std::shared_ptr<GDataBatchOperation> GDataFeedBase::batchOperation() const {
    return objectForExtension<GDataBatchOperation>();
}
void GDataFeedBase::setBatchOperation(const std::shared_ptr<GDataBatchOperation>& v) {
    setObject(v, GDataBatchOperation::staticClassInfo());
}
void GDataFeedBase::setGenerator(const std::shared_ptr<GDataGenerator>& g) {
    generator_ = g ? std::dynamic_pointer_cast<GDataGenerator>(g->copy()) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Entries

void GDataFeedBase::setEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries) {
    if (!entries) {
        entries_.reset();
        return;
    }
    auto self = std::static_pointer_cast<GDataObject>(shared_from_this());
    for (const auto& e : *entries) {
        auto p = e->parent();
        QV_ASSERT(!p || p == self, "Trying to replace existing feed parent; use setEntriesWithEntries: instead");
        e->setParent(self);
    }
    entries_ = *entries;
}

void GDataFeedBase::addEntry(const std::shared_ptr<GDataEntryBase>& entry) {
    if (!entry) return;
    auto self = std::static_pointer_cast<GDataObject>(shared_from_this());
    auto p = entry->parent();
    QV_ASSERT(!p || p == self, "Trying to replace existing feed parent; use addEntryWithEntry: instead");
    if (!entries_) entries_.emplace();
    entry->setParent(self);
    entries_->push_back(entry);
}

void GDataFeedBase::setEntriesWithEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries) {
    entries_.reset();
    if (!entries) return;
    auto self = std::static_pointer_cast<GDataObject>(shared_from_this());
    entries_.emplace();
    entries_->reserve(entries->size());
    for (const auto& e : *entries) {
        auto c = std::dynamic_pointer_cast<GDataEntryBase>(e->copy());
        if (!c) continue;
        c->setParent(self);
        entries_->push_back(std::move(c));
    }
}

void GDataFeedBase::addEntryWithEntry(const std::shared_ptr<GDataEntryBase>& entry) {
    if (!entry) return;
    if (auto c = std::dynamic_pointer_cast<GDataEntryBase>(entry->copy())) addEntry(c);
}

std::shared_ptr<GDataEntryBase> GDataFeedBase::entryForIdentifier(const std::string& identifier) const {
    if (!entries_) return nullptr;
    for (const auto& e : *entries_)
        if (e->identifier() == identifier) return e;
    return nullptr;
}

std::shared_ptr<GDataEntryBase> GDataFeedBase::entryAtIndex(size_t index) const {
    if (!entries_ || index >= entries_->size()) return nullptr;
    return (*entries_)[index];
}

std::vector<std::shared_ptr<GDataEntryBase>> GDataFeedBase::entriesWithCategoryKind(const std::string& term) const {
    std::vector<std::shared_ptr<GDataEntryBase>> out;
    if (!entries_) return out;
    for (const auto& e : *entries_) {
        auto k = e->kindCategory();
        if (k && k->term() == term) out.push_back(e);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Links

std::shared_ptr<GDataLink> GDataFeedBase::linkWithRelAttributeValue(const std::optional<std::string>& rel) const {
    return GDataLink::linkWithRel(rel, std::nullopt, links());
}
std::shared_ptr<GDataLink> GDataFeedBase::feedLink() const { return linkWithRelAttributeValue(gdRel("#feed")); }
std::shared_ptr<GDataLink> GDataFeedBase::alternateLink() const {
    return linkWithRelAttributeValue(std::string("alternate"));
}
std::shared_ptr<GDataLink> GDataFeedBase::relatedLink() const { return linkWithRelAttributeValue(std::string("related")); }
std::shared_ptr<GDataLink> GDataFeedBase::postLink() const { return linkWithRelAttributeValue(gdRel("#post")); }
std::shared_ptr<GDataLink> GDataFeedBase::uploadLink() const {
    return linkWithRelAttributeValue(gdRel("#resumable-create-media"));
}
std::shared_ptr<GDataLink> GDataFeedBase::batchLink() const { return linkWithRelAttributeValue(gdRel("#batch")); }
std::shared_ptr<GDataLink> GDataFeedBase::selfLink() const { return linkWithRelAttributeValue(std::string("self")); }
std::shared_ptr<GDataLink> GDataFeedBase::nextLink() const { return linkWithRelAttributeValue(std::string("next")); }
std::shared_ptr<GDataLink> GDataFeedBase::previousLink() const {
    return linkWithRelAttributeValue(std::string("previous"));
}
bool GDataFeedBase::canPost() const { return postLink() != nullptr; }

// ---------------------------------------------------------------------------------------------
// XML, copy, equality, description

GDataXMLElementPtr GDataFeedBase::XMLElementWithoutEntries() const {
    auto element = XMLElementWithExtensionsAndDefaultName("feed");
    if (!element) return nullptr;
    if (generator_)
        if (auto g = generator_->XMLElement()) element->adoptChild(std::move(g));
    return element;
}

GDataXMLElementPtr GDataFeedBase::XMLElement() const {
    auto element = XMLElementWithoutEntries();
    if (element && entries_) addToElementXMLElementsForArray(element, *entries_);
    return element;
}

std::optional<platform::Bytes> GDataFeedBase::streamedXMLData() const {
    // The entries come last in the feed element: each is written and let go before the next is
    // made, so a large feed is never held as one tree.
    if (!entries_ || entries_->empty()) return std::nullopt;
    GDataXMLDocumentBuilder builder;
    auto head = XMLElementWithoutEntries();
    if (!head) return std::nullopt;
    size_t next = 0;
    auto nextEntry = [&]() -> GDataXMLElementPtr {
        while (next < entries_->size())
            if (const auto& entry = (*entries_)[next++])
                if (auto element = entry->XMLElement()) return element;
        return nullptr;
    };
    return builder.writeDocumentChildByChild(std::move(head), nextEntry, entries_->size(), completeNamespaces(),
                                             standardNamespaces());
}

void GDataFeedBase::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    auto& t = static_cast<GDataFeedBase&>(target);
    t.setGenerator(generator_);
    t.setEntriesWithEntries(entries_);
}

bool GDataFeedBase::isEqual(const GDataExtension& other) const {
    if (this == &other) return true;
    auto o = dynamic_cast<const GDataFeedBase*>(&other);
    if (!o) return false;
    if (!GDataObject::isEqual(other)) return false;
    if (entries_.has_value() != o->entries_.has_value()) return false;
    if (!entries_) return true;
    if (entries_->size() != o->entries_->size()) return false;
    for (size_t i = 0; i < entries_->size(); ++i)
        if (!(*entries_)[i]->isEqual(*(*o->entries_)[i])) return false;
    return true;
}

std::vector<std::string> GDataFeedBase::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    auto add = [&](const std::string& label, const std::optional<std::string>& v) {
        if (v) items.push_back(label + ":" + *v);
    };
    auto count = [&](const std::string& label, size_t n) {
        if (n) items.push_back(label + ":" + std::to_string(n));
    };
    add("v", serviceVersion());
    count("entries", entryCount());
    add("etag", ETag());
    add("kind", kind());
    add("fields", fieldSelection());
    add("resourceID", resourceID());
    if (auto t = title()) add("title", t->stringValue());
    if (auto t = subtitle()) add("subtitle", t->stringValue());
    if (auto t = rights()) add("rights", t->stringValue());
    if (auto d = updatedDate()) add("updated", d->RFC3339String());
    count("authors", authors().size());
    count("contributors", contributors().size());
    count("categories", categories().size());
    if (auto names = GDataLink::linkNamesFromLinks(links())) add("links", platform::join(*names, ","));
    add("id", identifier());
    return items;
}

}  // namespace quorvane
