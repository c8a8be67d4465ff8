#pragma once
// The AtomPub service document: its workspaces, their collections and the category groups
// and accepted media types of each collection.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataAtomTitle;
class GDataCategory;

// <app:categories href= scheme= fixed=> with its categories
class GDataAtomCategoryGroup : public GDataObject {
    QV_GDATA_CLASS(GDataAtomCategoryGroup)
public:
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;

    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    std::optional<std::string> scheme() const { return stringValueForAttribute("scheme"); }
    void setScheme(std::optional<std::string> v) { setStringValue(std::move(v), "scheme"); }
    // Whether "fixed" reads "yes" (any case).
    bool isFixed() const;
    // Yes writes "yes"; no removes the attribute.
    void setIsFixed(bool flag);

    std::vector<std::shared_ptr<GDataCategory>> categories() const;
    void setCategories(const std::optional<std::vector<std::shared_ptr<GDataCategory>>>& categories);
};

// <app:collection href=> with its title, category group and accepted media types
class GDataAtomCollection : public GDataObject {
    QV_GDATA_CLASS(GDataAtomCollection)
public:
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;

    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    std::shared_ptr<GDataAtomTitle> title() const;
    void setTitle(const std::shared_ptr<GDataAtomTitle>& title);
    std::shared_ptr<GDataAtomCategoryGroup> categoryGroup() const;
    void setCategoryGroup(const std::shared_ptr<GDataAtomCategoryGroup>& group);
    // The texts of the accept elements; nullopt when there are none.
    std::optional<std::vector<std::string>> serviceAcceptStrings() const;
    // One accept element per string; nullopt or an empty list removes them all.
    void setServiceAcceptStrings(const std::optional<std::vector<std::string>>& strings);
};

// <app:workspace> with its title and collections
class GDataAtomWorkspace : public GDataObject {
    QV_GDATA_CLASS(GDataAtomWorkspace)
public:
    void addExtensionDeclarations() override;

    std::shared_ptr<GDataAtomTitle> title() const;
    void setTitle(const std::shared_ptr<GDataAtomTitle>& title);
    std::vector<std::shared_ptr<GDataAtomCollection>> collections() const;
    void setCollections(const std::optional<std::vector<std::shared_ptr<GDataAtomCollection>>>& collections);
    // The first collection; null when there is none.
    std::shared_ptr<GDataAtomCollection> primaryCollection() const;
};

// The root <service> element.
class GDataAtomServiceDocument : public GDataObject {
    QV_GDATA_CLASS(GDataAtomServiceDocument)
public:
    // Makes the class known by name, so that a parsed "service" root element becomes a service
    // document. Safe to call any number of times.
    static void registerServiceDocumentClass();

    std::optional<std::string> defaultServiceVersion() const override { return std::string("2.0"); }
    void addExtensionDeclarations() override;
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;

    std::vector<std::shared_ptr<GDataAtomWorkspace>> workspaces() const;
    void setWorkspaces(const std::optional<std::vector<std::shared_ptr<GDataAtomWorkspace>>>& workspaces);
    // The first workspace; null when there is none.
    std::shared_ptr<GDataAtomWorkspace> primaryWorkspace() const;
};

}  // namespace quorvane
