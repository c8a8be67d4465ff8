#include "gdata/GDataFeedBase.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataClassRegistry.h"
#include "gdata/GDataGenerator.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataPerson.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataFeedBase, GDataObject, nullptr, nullptr, nullptr)

std::shared_ptr<GDataFeedBase> GDataFeedBase::feed(const GDataClassInfo& cls) {
    return std::dynamic_pointer_cast<GDataFeedBase>(cls.make());
}

platform::Result<std::shared_ptr<GDataFeedBase>> GDataFeedBase::feedWithXMLData(
    const GDataClassInfo& cls, const platform::Bytes& data, std::optional<std::string> serviceVersion,
    bool shouldIgnoreUnknowns) {
    auto object = objectWithXMLData(data, &cls, std::move(serviceVersion), nullptr, shouldIgnoreUnknowns);
    if (!object) return object.error();
    return std::dynamic_pointer_cast<GDataFeedBase>(*object);
}

void GDataFeedBase::init() {
    GDataObject::init();
    addStandardKinds(standardFeedKind());
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
    addKindAttributeDeclarations();
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
    std::vector<std::shared_ptr<GDataEntryBase>> parsed = std::move(takenEntries_);
    takenEntries_.clear();
    takenEntriesShown_ = 0;
    if (objects.empty() && parsed.empty()) return;
    parsed.reserve(parsed.size() + objects.size());
    for (auto& o : objects)
        if (auto e = std::dynamic_pointer_cast<GDataEntryBase>(o)) parsed.push_back(std::move(e));
    if (parsed.size() == 1) addEntry(parsed.front());
    else if (!parsed.empty()) setEntries(parsed);
}

namespace {
GDataFeedBase::TakenEntriesScope*& currentTakenEntriesScope() {
    static thread_local GDataFeedBase::TakenEntriesScope* scope = nullptr;
    return scope;
}
}  // namespace

GDataFeedBase::TakenEntriesScope::TakenEntriesScope(TakenEntriesHandler h, size_t n, EntrySkip s)
    : handler(std::move(h)), every(std::max<size_t>(n, 1)), skip(std::move(s)), outer_(currentTakenEntriesScope()) {
    currentTakenEntriesScope() = this;
}

GDataFeedBase::TakenEntriesScope::~TakenEntriesScope() { currentTakenEntriesScope() = outer_; }

namespace {

// Whether `skip` passes over the entry element, read from its ETag attribute and its id and
// deleted children alone; an entry without an identifier or an ETag is never passed over.
bool skipsUnread(const GDataXMLElement& entry, const GDataFeedBase::EntrySkip& skip) {
    std::optional<std::string> etag, identifier;
    entry.visitAttributeForLocalName("etag", std::string_view(kGDataNamespaceGData),
                                     [&](const GDataXMLNode& attribute) { etag = attribute.stringValue(); });
    if (!etag || etag->empty()) return false;
    bool deleted = false, twice = false;
    entry.forEachChild([&](const GDataXMLNode& node) {
        if (node.kind() != GDataXMLNodeKind::Element) return;
        const auto name = node.localName();
        if (name == "id" && node.URI() == kGDataNamespaceAtom) {
            twice = twice || identifier.has_value();
            identifier = node.stringValue();
        } else if (name == "deleted" && node.URI() == kGDataNamespaceGData) {
            deleted = true;
        }
    });
    return identifier && !twice && skip(*identifier, *etag, deleted);
}

}  // namespace

bool GDataFeedBase::takeChildWhileParsing(const GDataXMLElementPtr& child) {
    // The entries the feed's own parse would take: children named entry in the Atom namespace.
    if (child->localName() != "entry" || child->URI() != kGDataNamespaceAtom) return false;
    if (const TakenEntriesScope* scope = currentTakenEntriesScope(); scope && scope->skip && skipsUnread(*child, scope->skip))
        return true;
    GDataObjectPtr object;
    if (!parseMatchedChild(child, "entry", std::string_view(kGDataNamespaceAtom), classForEntries(), object))
        return false;
    if (auto entry = std::dynamic_pointer_cast<GDataEntryBase>(object)) takenEntries_.push_back(std::move(entry));
    const TakenEntriesScope* scope = currentTakenEntriesScope();
    if (scope && scope->handler && takenEntries_.size() - takenEntriesShown_ >= scope->every) {
        // The handler sees the entries it has not seen, and what it leaves takes their place.
        std::vector<std::shared_ptr<GDataEntryBase>> part(std::make_move_iterator(takenEntries_.begin() + ptrdiff_t(takenEntriesShown_)),
                                                          std::make_move_iterator(takenEntries_.end()));
        takenEntries_.resize(takenEntriesShown_);
        for (auto& e : part) e->setParent(nullptr);
        scope->handler(*this, part);
        for (auto& e : part) {
            if (!e) continue;
            e->setParent(nullptr);  // the feed's own parse adopts it
            takenEntries_.push_back(std::move(e));
        }
        takenEntriesShown_ = takenEntries_.size();
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Kind registry

void GDataFeedBase::registerFeedClass(const GDataClassInfo& cls) {
    GDataClassRegistry::registerKindClass(GDataClassRegistry::Family::Feed, cls);
}

void GDataFeedBase::registerFeedClass(const GDataClassInfo& cls, const std::optional<std::string>& scheme,
                                      const std::optional<std::string>& term) {
    GDataClassRegistry::registerKindClass(GDataClassRegistry::Family::Feed, cls, scheme, term);
}

const GDataClassInfo* GDataFeedBase::feedClassForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                                    const std::optional<std::string>& term) {
    return GDataClassRegistry::kindClass(GDataClassRegistry::Family::Feed, scheme, term);
}

const GDataClassInfo* GDataFeedBase::feedClassForKindAttributeValue(const std::string& kind) {
    return GDataClassRegistry::kindClass(GDataClassRegistry::Family::Feed, std::nullopt, kind);
}

// ---------------------------------------------------------------------------------------------
// Accessors

std::shared_ptr<GDataTextConstruct> GDataFeedBase::subtitle() const { return objectForExtension<GDataAtomSubtitle>(); }
void GDataFeedBase::setSubtitle(const std::shared_ptr<GDataTextConstruct>& v) {
    setObject(v, GDataAtomSubtitle::staticClassInfo());
}
void GDataFeedBase::setSubtitleWithString(std::optional<std::string> v) {
    setSubtitle(GDataTextConstruct::textConstructWithString<GDataAtomSubtitle>(std::move(v)));
}
std::optional<std::string> GDataFeedBase::icon() const { return extensionStringValue<GDataAtomIcon>(); }
void GDataFeedBase::setIcon(std::optional<std::string> v) { setExtensionStringValue<GDataAtomIcon>(std::move(v)); }
std::optional<std::string> GDataFeedBase::logo() const { return extensionStringValue<GDataAtomLogo>(); }
void GDataFeedBase::setLogo(std::optional<std::string> v) { setExtensionStringValue<GDataAtomLogo>(std::move(v)); }

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

void GDataFeedBase::setGenerator(const std::shared_ptr<GDataGenerator>& g) {
    generator_ = g ? std::dynamic_pointer_cast<GDataGenerator>(g->copy()) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Entries

void GDataFeedBase::setEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries) {
    ++entriesVersion_;
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
    ++entriesVersion_;
    if (!entries_) entries_.emplace();
    entry->setParent(self);
    entries_->push_back(entry);
}

void GDataFeedBase::setEntriesWithEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries) {
    ++entriesVersion_;
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

// Identifier -> position of the first entry with it, and from each position the next entry with
// the same identifier, for the entry list and the identifiers as they were when it was made.
struct GDataFeedBase::IdentifierIndex {
    static constexpr size_t kNone = size_t(-1);
    uint64_t entriesVersion = 0;
    uint64_t identifierGeneration = 0;
    std::unordered_map<std::string, size_t> firstPosition;
    std::vector<size_t> nextPosition;
};

std::shared_ptr<const GDataFeedBase::IdentifierIndex> GDataFeedBase::identifierIndex() const {
    std::lock_guard lock(identifierIndexMutex_);
    const uint64_t generation = GDataAtomObject::identifierGeneration();
    auto& index = identifierIndex_;
    if (index && index->entriesVersion == entriesVersion_ && index->identifierGeneration == generation) return index;
    auto made = std::make_shared<IdentifierIndex>();
    made->entriesVersion = entriesVersion_;
    made->identifierGeneration = generation;
    const size_t count = entries_ ? entries_->size() : 0;
    made->firstPosition.reserve(count);
    made->nextPosition.assign(count, IdentifierIndex::kNone);
    std::vector<size_t> lastPosition;  // of the identifier first seen at each position
    lastPosition.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        lastPosition.push_back(i);
        if (!(*entries_)[i]) continue;
        auto id = (*entries_)[i]->identifier();
        if (!id) continue;
        auto [it, added] = made->firstPosition.emplace(std::move(*id), i);
        if (added) continue;
        made->nextPosition[lastPosition[it->second]] = i;
        lastPosition[it->second] = i;
    }
    index = made;
    return index;
}

std::shared_ptr<GDataEntryBase> GDataFeedBase::entryForIdentifier(const std::string& identifier) const {
    if (!entries_) return nullptr;
    auto index = identifierIndex();
    auto it = index->firstPosition.find(identifier);
    return it == index->firstPosition.end() ? nullptr : (*entries_)[it->second];
}

bool GDataFeedBase::replaceEntryWithSameIdentifier(const std::shared_ptr<GDataEntryBase>& entry) {
    const auto id = entry ? entry->identifier() : std::nullopt;
    if (!entries_ || !id) return false;
    auto index = identifierIndex();
    auto it = index->firstPosition.find(*id);
    if (it == index->firstPosition.end()) return false;
    // The same identifier at the same place: the index stays true.
    (*entries_)[it->second] = entry;
    return true;
}

std::vector<std::shared_ptr<GDataEntryBase>> GDataFeedBase::entriesForIdentifier(const std::string& identifier) const {
    std::vector<std::shared_ptr<GDataEntryBase>> out;
    if (!entries_) return out;
    auto index = identifierIndex();
    auto it = index->firstPosition.find(identifier);
    if (it == index->firstPosition.end()) return out;
    for (size_t i = it->second; i != IdentifierIndex::kNone; i = index->nextPosition[i]) out.push_back((*entries_)[i]);
    return out;
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

std::shared_ptr<GDataLink> GDataFeedBase::uploadLink() const {
    return linkWithRelAttributeValue(gdRel("#resumable-create-media"));
}
std::shared_ptr<GDataLink> GDataFeedBase::batchLink() const { return linkWithRelAttributeValue(gdRel("#batch")); }
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

void GDataFeedBase::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, "feed");
    writeXMLChildren(writer);
    if (generator_) generator_->writeXML(writer);
    if (entries_) {
        size_t start = writer.size(), written = 0;
        for (const auto& entry : *entries_) {
            if (!entry) continue;
            entry->writeXML(writer);
            if (writer.gaveUp()) return;
            // Room for the rest at the first entry's size and a quarter more, so the bytes are not
            // copied over and over as they grow.
            if (++written == 1 && entries_->size() > 1)
                writer.reserve((writer.size() - start) * (entries_->size() - 1) / 4 * 5);
        }
    }
    writer.endElement();
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
    auto add = [&](const std::string& label, const std::optional<std::string>& v) { addDescription(items, label, v); };
    add("v", serviceVersion());
    addCountDescription(items, "entries", entryCount());
    addAttributeDescriptions(items);
    if (auto t = title()) add("title", t->stringValue());
    if (auto t = subtitle()) add("subtitle", t->stringValue());
    if (auto t = rights()) add("rights", t->stringValue());
    if (auto d = updatedDate()) add("updated", d->RFC3339String());
    addPeopleAndLinkDescriptions(items);
    add("id", identifier());
    return items;
}

}  // namespace quorvane
