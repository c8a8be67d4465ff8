#pragma once
// GDataAtomObject: what an Atom entry and an Atom feed both carry, written once for
// GDataEntryBase and GDataFeedBase: the id, resource id, updated date, title and rights, links,
// authors, contributors and categories, the gd "etag", "fields" and "kind" attributes, the
// AtomPub control and the batch operation, and the links both find by relation.
//
// It is a step of the C++ hierarchy only, not a GData class of its own: it has no class record,
// so the entry and feed bases keep GDataObject as their superclass in every class lookup, and
// it is never made on its own.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataLink;
class GDataCategory;
class GDataPerson;
class GDataTextConstruct;
class GDataAtomPubControl;
class GDataBatchOperation;

class GDataAtomObject : public GDataObject {
public:
    // The gd "kind" attribute value of the class (nullopt here).
    virtual std::optional<std::string> standardKindAttributeValue() const { return std::nullopt; }

    // --- accessors of the children and attributes both declare ---
    std::optional<std::string> identifier() const;
    void setIdentifier(std::optional<std::string> v);
    // Counts every setIdentifier of any object, so that an index by identifier knows it may be stale.
    static uint64_t identifierGeneration();
    std::optional<std::string> resourceID() const;
    void setResourceID(std::optional<std::string> v);
    std::optional<GDataDateTime> updatedDate() const;
    void setUpdatedDate(const std::optional<GDataDateTime>& v);
    std::shared_ptr<GDataTextConstruct> title() const;
    virtual void setTitle(const std::shared_ptr<GDataTextConstruct>& v);
    virtual void setTitleWithString(std::optional<std::string> v);
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
    std::optional<std::string> ETag() const;
    void setETag(std::optional<std::string> v);
    std::optional<std::string> fieldSelection() const;
    void setFieldSelection(std::optional<std::string> v);
    std::optional<std::string> kind() const;
    void setKind(std::optional<std::string> v);
    std::shared_ptr<GDataAtomPubControl> atomPubControl() const;
    void setAtomPubControl(const std::shared_ptr<GDataAtomPubControl>& v);
    std::shared_ptr<GDataBatchOperation> batchOperation() const;
    void setBatchOperation(const std::shared_ptr<GDataBatchOperation>& v);

    // --- links by relation (a link without a rel counts as "alternate") ---
    std::shared_ptr<GDataLink> linkWithRelAttributeValue(const std::optional<std::string>& rel) const;
    std::shared_ptr<GDataLink> feedLink() const;
    std::shared_ptr<GDataLink> alternateLink() const;
    std::shared_ptr<GDataLink> relatedLink() const;
    std::shared_ptr<GDataLink> postLink() const;
    std::shared_ptr<GDataLink> selfLink() const;

protected:
    GDataAtomObject() = default;

    // The atom "rights" text construct: an entry names it rightsString, a feed rights.
    std::shared_ptr<GDataTextConstruct> rights() const;
    void setRights(const std::shared_ptr<GDataTextConstruct>& v);
    void setRightsWithString(std::optional<std::string> v);

    // For init: the kind category (kind scheme, the class's standard term) and the gd "kind"
    // attribute, each when the class has one.
    void addStandardKinds(const std::optional<std::string>& term);
    // For addExtensionDeclarations: the gd "etag", "fields" and "kind" attributes.
    void addKindAttributeDeclarations();
    // The gd namespace URI followed by the fragment ("#post").
    static std::string gdRel(const char* fragment);

    // Description items: "label:value" when there is a value, "label:count" when above 0.
    static void addDescription(std::vector<std::string>& items, const std::string& label,
                               const std::optional<std::string>& value);
    static void addCountDescription(std::vector<std::string>& items, const std::string& label, size_t count);
    // "etag", "kind", "fields", "resourceID".
    void addAttributeDescriptions(std::vector<std::string>& items) const;
    // "authors", "contributors", "categories" (counts), "links" (rels after their last "#").
    void addPeopleAndLinkDescriptions(std::vector<std::string>& items) const;
};

}  // namespace quorvane
