#pragma once
// GDataFeedBase: the base of every Atom feed. It declares the feed's Atom, AtomPub, OpenSearch
// and gd children, holds the generator and the entries (parsed into the class their kind
// names), gives the feed's links by relation and finds entries. A feed is always the root of
// its own object tree; its entries hold it as a weak parent.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryBase.h"

namespace quorvane {

class GDataGenerator;

class GDataFeedBase : public GDataObject {
    QV_GDATA_CLASS(GDataFeedBase)
public:
    // Parses a feed of the class from XML bytes; nullptr when they are not well-formed XML.
    static std::shared_ptr<GDataFeedBase> feedWithXMLData(const GDataClassInfo& cls, const platform::Bytes& data,
                                                          std::optional<std::string> serviceVersion = std::nullopt,
                                                          bool shouldIgnoreUnknowns = false,
                                                          platform::Error* error = nullptr);
    template <class T>
    static std::shared_ptr<T> feedWithXMLData(const platform::Bytes& data) {
        return std::dynamic_pointer_cast<T>(feedWithXMLData(T::staticClassInfo(), data));
    }
    // A new, empty feed of the class.
    static std::shared_ptr<GDataFeedBase> feed(const GDataClassInfo& cls);

    virtual std::optional<std::string> standardFeedKind() const { return std::nullopt; }
    virtual std::optional<std::string> standardKindAttributeValue() const { return std::nullopt; }

    void init() override;
    void addExtensionDeclarations() override;
    // A feed is a root: the parent passed is ignored.
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    // Hook for subclasses reading fields of their own, before the entries are parsed.
    virtual void initFeedWithXMLElement(const GDataXMLElementPtr& element) {}

    // --- kind registry (one process-wide map of feed classes) ---
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

    // --- accessors ---
    std::optional<std::string> identifier() const;
    void setIdentifier(std::optional<std::string> v);
    std::shared_ptr<GDataTextConstruct> title() const;
    void setTitle(const std::shared_ptr<GDataTextConstruct>& v);
    void setTitleWithString(std::optional<std::string> v);
    std::shared_ptr<GDataTextConstruct> subtitle() const;
    void setSubtitle(const std::shared_ptr<GDataTextConstruct>& v);
    void setSubtitleWithString(std::optional<std::string> v);
    std::shared_ptr<GDataTextConstruct> rights() const;
    void setRights(const std::shared_ptr<GDataTextConstruct>& v);
    void setRightsWithString(std::optional<std::string> v);
    std::optional<std::string> icon() const;
    void setIcon(std::optional<std::string> v);
    std::optional<std::string> logo() const;
    void setLogo(std::optional<std::string> v);
    std::vector<std::shared_ptr<GDataLink>> links() const;
    void setLinks(const std::optional<std::vector<std::shared_ptr<GDataLink>>>& v);
    void addLink(const std::shared_ptr<GDataLink>& v);
    void removeLink(const std::shared_ptr<GDataLink>& v);
    std::vector<std::shared_ptr<GDataPerson>> authors() const;
    void setAuthors(const std::optional<std::vector<std::shared_ptr<GDataPerson>>>& v);
    void addAuthor(const std::shared_ptr<GDataPerson>& v);
    std::vector<std::shared_ptr<GDataPerson>> contributors() const;
    void setContributors(const std::optional<std::vector<std::shared_ptr<GDataPerson>>>& v);
    void addContributor(const std::shared_ptr<GDataPerson>& v);
    std::vector<std::shared_ptr<GDataCategory>> categories() const;
    void setCategories(const std::optional<std::vector<std::shared_ptr<GDataCategory>>>& v);
    void addCategory(const std::shared_ptr<GDataCategory>& v);
    void removeCategory(const std::shared_ptr<GDataCategory>& v);
    std::optional<GDataDateTime> updatedDate() const;
    void setUpdatedDate(const std::optional<GDataDateTime>& v);
    std::optional<int32_t> totalResults() const;
    void setTotalResults(std::optional<int32_t> v);
    std::optional<int32_t> startIndex() const;
    void setStartIndex(std::optional<int32_t> v);
    std::optional<int32_t> itemsPerPage() const;
    void setItemsPerPage(std::optional<int32_t> v);
    std::optional<std::string> ETag() const;
    void setETag(std::optional<std::string> v);
    std::optional<std::string> fieldSelection() const;
    void setFieldSelection(std::optional<std::string> v);
    std::optional<std::string> kind() const;
    void setKind(std::optional<std::string> v);
    std::optional<std::string> resourceID() const;
    void setResourceID(std::optional<std::string> v);
    std::shared_ptr<GDataAtomPubControl> atomPubControl() const;
    void setAtomPubControl(const std::shared_ptr<GDataAtomPubControl>& v);
    std::shared_ptr<GDataBatchOperation> batchOperation() const;
    void setBatchOperation(const std::shared_ptr<GDataBatchOperation>& v);
    const std::shared_ptr<GDataGenerator>& generator() const { return generator_; }
    void setGenerator(const std::shared_ptr<GDataGenerator>& g);

    // --- entries ---
    // nullopt when the feed has none yet.
    const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries() const { return entries_; }
    void setEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries);
    void addEntry(const std::shared_ptr<GDataEntryBase>& entry);
    void setEntriesWithEntries(const std::optional<std::vector<std::shared_ptr<GDataEntryBase>>>& entries);
    void addEntryWithEntry(const std::shared_ptr<GDataEntryBase>& entry);
    std::shared_ptr<GDataEntryBase> entryForIdentifier(const std::string& identifier) const;
    std::shared_ptr<GDataEntryBase> entryAtIndex(size_t index) const;
    std::shared_ptr<GDataEntryBase> firstEntry() const { return entryAtIndex(0); }
    std::vector<std::shared_ptr<GDataEntryBase>> entriesWithCategoryKind(const std::string& term) const;
    size_t entryCount() const { return entries_ ? entries_->size() : 0; }

    // --- links ---
    std::shared_ptr<GDataLink> linkWithRelAttributeValue(const std::optional<std::string>& rel) const;
    std::shared_ptr<GDataLink> feedLink() const;
    std::shared_ptr<GDataLink> alternateLink() const;
    std::shared_ptr<GDataLink> relatedLink() const;
    std::shared_ptr<GDataLink> postLink() const;
    std::shared_ptr<GDataLink> uploadLink() const;
    std::shared_ptr<GDataLink> batchLink() const;
    std::shared_ptr<GDataLink> selfLink() const;
    std::shared_ptr<GDataLink> nextLink() const;
    std::shared_ptr<GDataLink> previousLink() const;
    bool canPost() const;

    // --- XML, copy, equality, description ---
    GDataXMLElementPtr XMLElement() const override;

protected:
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
};

}  // namespace quorvane
