#pragma once
// GDataFeedBase: the base of every Atom feed. It declares the feed's Atom, AtomPub, OpenSearch
// and gd children, holds the generator and the entries (parsed into the class their kind
// names), gives the feed's links by relation and finds entries. A feed is always the root of
// its own object tree; its entries hold it as a weak parent.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryBase.h"

namespace quorvane {

class GDataGenerator;

class GDataFeedBase : public GDataAtomObject {
public:
    // While a document is read on this thread (GDataObject::objectWithXMLData), a feed shows the
    // entries it has taken to this handler each time `every` more were taken, so that they need
    // not all be held whole until the document ends: the handler may put smaller stand-ins in
    // their place in the list it is given. The entries come without a parent; the feed (its
    // namespaces read from the root element, nothing else of it parsed yet) is shown beside them.
    // Set for the life of the scope, on this thread only.
    // An entry the reader already holds may be passed over before any object is made of it:
    // `skip` (when set) is asked for each entry with an identifier and an ETag, with whether it
    // is a deleted entry, and an entry it answers true for is dropped unread.
    using TakenEntriesHandler =
        std::function<void(const GDataFeedBase& feed, std::vector<std::shared_ptr<GDataEntryBase>>& entries)>;
    using EntrySkip = std::function<bool(std::string_view identifier, std::string_view etag, bool deleted)>;
    class TakenEntriesScope {
    public:
        TakenEntriesScope(TakenEntriesHandler handler, size_t every, EntrySkip skip = nullptr);
        ~TakenEntriesScope();
        TakenEntriesScope(const TakenEntriesScope&) = delete;
        TakenEntriesScope& operator=(const TakenEntriesScope&) = delete;
        TakenEntriesHandler handler;
        size_t every;
        EntrySkip skip;

    private:
        TakenEntriesScope* outer_;
    };

    QV_GDATA_CLASS(GDataFeedBase)
public:
    // Parses a feed of the class from XML bytes; the parse error when they are not well-formed
    // XML, nullptr when they hold no feed of the class.
    static platform::Result<std::shared_ptr<GDataFeedBase>> feedWithXMLData(
        const GDataClassInfo& cls, const platform::Bytes& data, std::optional<std::string> serviceVersion = std::nullopt,
        bool shouldIgnoreUnknowns = false);
    // The feed, or nullptr for anything else.
    template <class T>
    static std::shared_ptr<T> feedWithXMLData(const platform::Bytes& data) {
        return std::dynamic_pointer_cast<T>(feedWithXMLData(T::staticClassInfo(), data).valueOr(nullptr));
    }
    // A new, empty feed of the class.
    static std::shared_ptr<GDataFeedBase> feed(const GDataClassInfo& cls);

    // The kind category term of the class (nullopt here; the kind attribute value is
    // standardKindAttributeValue()).
    virtual std::optional<std::string> standardFeedKind() const { return std::nullopt; }

    void init() override;
    void addExtensionDeclarations() override;
    // A feed is a root: the parent passed is ignored.
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    // Hook for subclasses reading fields of their own, before the entries are parsed.
    virtual void initFeedWithXMLElement(const GDataXMLElementPtr& element) {}

    // --- kind registry (GDataClassRegistry's process-wide map of feed classes) ---
    static void registerFeedClass(const GDataClassInfo& cls);
    static void registerFeedClass(const GDataClassInfo& cls, const std::optional<std::string>& scheme,
                                  const std::optional<std::string>& term);
    static const GDataClassInfo* feedClassForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                               const std::optional<std::string>& term);
    static const GDataClassInfo* feedClassForKindAttributeValue(const std::string& kind);

    // The one class of all entries (nullptr: chosen per entry by kind).
    virtual const GDataClassInfo* classForEntries() const { return nullptr; }
    // The class for entries whose kind is not registered.
    virtual const GDataClassInfo& defaultClassForEntries() const { return GDataEntryBase::staticClassInfo(); }

    // --- accessors (those an entry has too are GDataAtomObject's) ---
    std::shared_ptr<GDataTextConstruct> subtitle() const;
    void setSubtitle(const std::shared_ptr<GDataTextConstruct>& v);
    void setSubtitleWithString(std::optional<std::string> v);
    using GDataAtomObject::rights;
    using GDataAtomObject::setRights;
    using GDataAtomObject::setRightsWithString;
    std::optional<std::string> icon() const;
    void setIcon(std::optional<std::string> v);
    std::optional<std::string> logo() const;
    void setLogo(std::optional<std::string> v);
    std::optional<int32_t> totalResults() const;
    void setTotalResults(std::optional<int32_t> v);
    std::optional<int32_t> startIndex() const;
    void setStartIndex(std::optional<int32_t> v);
    std::optional<int32_t> itemsPerPage() const;
    void setItemsPerPage(std::optional<int32_t> v);
    const std::shared_ptr<GDataGenerator>& generator() const { return generator_; }
    void setGenerator(const std::shared_ptr<GDataGenerator>& g);

    // --- entries ---
    // nullopt when the feed has none yet.
    const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries() const { return entries_; }
    void setEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries);
    void addEntry(const std::shared_ptr<GDataEntryBase>& entry);
    void setEntriesWithEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries);
    void addEntryWithEntry(const std::shared_ptr<GDataEntryBase>& entry);
    // The first entry with that identifier, found through a hash index of the entries made at the
    // first lookup and made again after the entry list or any entry's identifier changed.
    std::shared_ptr<GDataEntryBase> entryForIdentifier(const std::string& identifier) const;
    // Puts the entry in place of the first entry with its identifier (the entry keeps its own
    // parent, if any); false when there is none.
    bool replaceEntryWithSameIdentifier(const std::shared_ptr<GDataEntryBase>& entry);
    // Every entry with that identifier, in feed order (through the same index).
    std::vector<std::shared_ptr<GDataEntryBase>> entriesForIdentifier(const std::string& identifier) const;
    std::shared_ptr<GDataEntryBase> entryAtIndex(size_t index) const;
    std::shared_ptr<GDataEntryBase> firstEntry() const { return entryAtIndex(0); }
    std::vector<std::shared_ptr<GDataEntryBase>> entriesWithCategoryKind(const std::string& term) const;
    size_t entryCount() const { return entries_ ? entries_->size() : 0; }

    // --- links (the ones an entry finds too are GDataAtomObject's) ---
    std::shared_ptr<GDataLink> uploadLink() const;
    std::shared_ptr<GDataLink> batchLink() const;
    std::shared_ptr<GDataLink> nextLink() const;
    std::shared_ptr<GDataLink> previousLink() const;
    bool canPost() const;

    // --- XML, copy, equality, description ---
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;

protected:
    // Takes each entry as the document is read.
    bool takeChildWhileParsing(const GDataXMLElementPtr& child) override;
    std::optional<platform::Bytes> streamedXMLData() const override;
    // XMLElement() but for the entries, which it then adds last.
    GDataXMLElementPtr XMLElementWithoutEntries() const;

public:
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;
    std::vector<std::string> itemsForDescription() const override;

private:
    void setupFromXMLElement(const GDataXMLElementPtr& element);

    std::shared_ptr<GDataGenerator> generator_;
    std::optional<std::vector<std::shared_ptr<GDataEntryBase>>> entries_;
    // Entries taken while the document was read, until the feed's own parse adds them.
    std::vector<std::shared_ptr<GDataEntryBase>> takenEntries_;
    size_t takenEntriesShown_ = 0;  // the first ones the taken-entries handler saw
    // Changes of entries_, so that the identifier index knows when it is stale.
    uint64_t entriesVersion_ = 0;
    struct IdentifierIndex;
    // The index, made again when stale.
    std::shared_ptr<const IdentifierIndex> identifierIndex() const;
    mutable std::mutex identifierIndexMutex_;
    mutable std::shared_ptr<const IdentifierIndex> identifierIndex_;
};

}  // namespace quorvane
