#pragma once
// GDataEntryBase: the base of every Atom entry. It declares the Atom, AtomPub, gd and batch
// children every entry may carry, finds links by relation, keeps the fields of a media upload
// that travels with the entry and builds that upload's request body, and registers entry
// classes by kind (in GDataClassRegistry's entry map).

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataAtomObject.h"
#include "platform/foundation/FileHandle.h"

namespace quorvane {

class GDataEntryContent;
class GDataBatchID;
class GDataBatchStatus;
class GDataBatchInterrupted;

class GDataEntryBase : public GDataAtomObject {
    QV_GDATA_CLASS(GDataEntryBase)
public:
    // A new entry whose namespaces are baseGDataNamespaces().
    static std::shared_ptr<GDataEntryBase> entry(const GDataClassInfo& cls);
    template <class T>
    static std::shared_ptr<T> entry() {
        return std::dynamic_pointer_cast<T>(entry(T::staticClassInfo()));
    }
    // The default namespace is Atom; "gd" and "app" are declared.
    static GDataStringDictionary baseGDataNamespaces();
    static GDataStringDictionary batchNamespaces();

    // The kind category term of the class (nullopt here; the kind attribute value is
    // standardKindAttributeValue()).
    virtual std::optional<std::string> standardEntryKind() const { return std::nullopt; }

    void init() override;
    void addExtensionDeclarations() override;

    // --- kind registry (GDataClassRegistry's process-wide map of entry classes) ---
    // Registers the class under its standard kind and kind attribute value.
    static void registerEntryClass(const GDataClassInfo& cls);
    static void registerEntryClass(const GDataClassInfo& cls, const std::optional<std::string>& scheme,
                                   const std::optional<std::string>& term);
    static const GDataClassInfo* entryClassForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                                 const std::optional<std::string>& term);
    static const GDataClassInfo* entryClassForKindAttributeValue(const std::string& kind);

    // --- accessors (those a feed has too are GDataAtomObject's) ---
    std::optional<GDataDateTime> publishedDate() const;
    void setPublishedDate(const std::optional<GDataDateTime>& v);
    std::optional<GDataDateTime> editedDate() const;
    void setEditedDate(const std::optional<GDataDateTime>& v);
    std::shared_ptr<GDataTextConstruct> summary() const;
    void setSummary(const std::shared_ptr<GDataTextConstruct>& v);
    void setSummaryWithString(std::optional<std::string> v);
    std::shared_ptr<GDataEntryContent> content() const;
    void setContent(const std::shared_ptr<GDataEntryContent>& v);
    void setContentWithString(std::optional<std::string> v);
    std::shared_ptr<GDataTextConstruct> rightsString() const { return rights(); }
    void setRightsString(const std::shared_ptr<GDataTextConstruct>& v) { setRights(v); }
    void setRightsStringWithString(std::optional<std::string> v) { setRightsWithString(std::move(v)); }
    bool isDeleted() const;
    void setIsDeleted(bool flag);
    std::shared_ptr<GDataBatchID> batchID() const;
    void setBatchID(const std::shared_ptr<GDataBatchID>& v);
    void setBatchIDWithString(std::optional<std::string> v);
    std::shared_ptr<GDataBatchStatus> batchStatus() const;
    void setBatchStatus(const std::shared_ptr<GDataBatchStatus>& v);
    std::shared_ptr<GDataBatchInterrupted> batchInterrupted() const;
    void setBatchInterrupted(const std::shared_ptr<GDataBatchInterrupted>& v);

    // --- categories and links ---
    std::vector<std::shared_ptr<GDataCategory>> categoriesWithScheme(const std::string& scheme) const;
    std::shared_ptr<GDataCategory> kindCategory() const;
    std::vector<std::shared_ptr<GDataLink>> linksWithRelAttributeValue(const std::string& rel) const;
    using GDataAtomObject::linkWithRelAttributeValue;
    std::shared_ptr<GDataLink> linkWithRelAttributeValue(const std::optional<std::string>& rel,
                                                         const std::optional<std::string>& type) const;
    std::shared_ptr<GDataLink> editLink() const;
    std::shared_ptr<GDataLink> editMediaLink() const;
    std::shared_ptr<GDataLink> HTMLLink() const;
    std::shared_ptr<GDataLink> uploadEditLink() const;
    std::shared_ptr<GDataLink> ACLLink() const;
    bool canEdit() const;

    // --- upload fields ---
    const std::optional<platform::Bytes>& uploadData() const { return uploadData_; }
    void setUploadData(std::optional<platform::Bytes> d) { uploadData_ = std::move(d); }
    const std::shared_ptr<platform::FileHandle>& uploadFileHandle() const { return uploadFileHandle_; }
    void setUploadFileHandle(std::shared_ptr<platform::FileHandle> h) { uploadFileHandle_ = std::move(h); }
    const std::optional<std::string>& uploadLocationURL() const { return uploadLocationURL_; }
    void setUploadLocationURL(std::optional<std::string> u) { uploadLocationURL_ = std::move(u); }
    std::optional<std::string> uploadMIMEType() const override { return uploadMIMEType_; }
    void setUploadMIMEType(std::optional<std::string> t) { uploadMIMEType_ = std::move(t); }
    // Stored percent-encoded (every "%" and every byte outside 32-126 becomes %XX).
    const std::optional<std::string>& uploadSlug() const { return uploadSlug_; }
    void setUploadSlug(const std::optional<std::string>& name);
    bool shouldUploadDataOnly() const override { return shouldUploadDataOnly_; }
    void setShouldUploadDataOnly(bool f) { shouldUploadDataOnly_ = f; }

    // --- XML and body ---
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;
    // "Content-Type", "MIME-Version" and "Slug", ending at the first absent value.
    GDataHeaderList contentHeaders() const;
    // The body of an upload request; false when the entry has nothing to upload (the caller then
    // sends the entry's plain XML).
    bool generateContentInputStream(std::shared_ptr<platform::InputStream>& stream, uint64_t& length,
                                    GDataHeaderList& headers) const override;

    // --- copy, equality, description ---
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;
    std::vector<std::string> itemsForDescription() const override;

private:
    std::optional<platform::Bytes> uploadData_;
    std::shared_ptr<platform::FileHandle> uploadFileHandle_;
    std::optional<std::string> uploadLocationURL_;
    std::optional<std::string> uploadMIMEType_;
    std::optional<std::string> uploadSlug_;
    bool shouldUploadDataOnly_ = false;
};

}  // namespace quorvane
