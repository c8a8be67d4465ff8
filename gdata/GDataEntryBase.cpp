#include "gdata/GDataEntryBase.h"

#include "fetcher/QNMIMEDocument.h"
#include "gdata/GDataAtomElements.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataClassRegistry.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataPerson.h"
#include "gdata/GDataUtilities.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Strings.h"
#include "platform/net/InputStream.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryBase, GDataObject, nullptr, nullptr, nullptr)

std::shared_ptr<GDataEntryBase> GDataEntryBase::entry(const GDataClassInfo& cls) {
    auto e = std::dynamic_pointer_cast<GDataEntryBase>(cls.make());
    if (e) e->setNamespaces(baseGDataNamespaces());
    return e;
}

GDataStringDictionary GDataEntryBase::baseGDataNamespaces() {
    return {{"", kGDataNamespaceAtom}, {"gd", kGDataNamespaceGData}, {"app", kGDataNamespaceAtomPubURI}};
}

GDataStringDictionary GDataEntryBase::batchNamespaces() { return {{"batch", kGDataNamespaceBatchURI}}; }

void GDataEntryBase::init() {
    GDataObject::init();
    addStandardKinds(standardEntryKind());
}

void GDataEntryBase::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    const auto& me = classInfo();
    addExtensionDeclarationForParentClass(
        me, {&GDataResourceID::staticClassInfo(), &GDataAtomID::staticClassInfo(),
             &GDataAtomPublishedDate::staticClassInfo(), &GDataAtomUpdatedDate::staticClassInfo(),
             &GDataAtomTitle::staticClassInfo(), &GDataAtomSummary::staticClassInfo(),
             &GDataAtomContent::staticClassInfo(), &GDataAtomRights::staticClassInfo(), &GDataLink::staticClassInfo(),
             &GDataAtomAuthor::staticClassInfo(), &GDataAtomContributor::staticClassInfo(),
             &GDataCategory::staticClassInfo(), &GDataDeleted::staticClassInfo(),
             &GDataAtomPubControl::staticClassInfo(), &GDataAtomPubEditedDate::staticClassInfo(),
             &GDataBatchOperation::staticClassInfo(), &GDataBatchID::staticClassInfo(),
             &GDataBatchStatus::staticClassInfo(), &GDataBatchInterrupted::staticClassInfo()});
    addKindAttributeDeclarations();
}

// ---------------------------------------------------------------------------------------------
// Kind registry

void GDataEntryBase::registerEntryClass(const GDataClassInfo& cls) {
    GDataClassRegistry::registerKindClass(GDataClassRegistry::Family::Entry, cls);
}

void GDataEntryBase::registerEntryClass(const GDataClassInfo& cls, const std::optional<std::string>& scheme,
                                        const std::optional<std::string>& term) {
    GDataClassRegistry::registerKindClass(GDataClassRegistry::Family::Entry, cls, scheme, term);
}

const GDataClassInfo* GDataEntryBase::entryClassForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                                      const std::optional<std::string>& term) {
    return GDataClassRegistry::kindClass(GDataClassRegistry::Family::Entry, scheme, term);
}

const GDataClassInfo* GDataEntryBase::entryClassForKindAttributeValue(const std::string& kind) {
    return GDataClassRegistry::kindClass(GDataClassRegistry::Family::Entry, std::nullopt, kind);
}

// ---------------------------------------------------------------------------------------------
// Accessors

std::optional<GDataDateTime> GDataEntryBase::publishedDate() const { return extensionDateTimeValue<GDataAtomPublishedDate>(); }
void GDataEntryBase::setPublishedDate(const std::optional<GDataDateTime>& v) {
    setExtensionDateTimeValue<GDataAtomPublishedDate>(v);
}
std::optional<GDataDateTime> GDataEntryBase::editedDate() const { return extensionDateTimeValue<GDataAtomPubEditedDate>(); }
void GDataEntryBase::setEditedDate(const std::optional<GDataDateTime>& v) {
    setExtensionDateTimeValue<GDataAtomPubEditedDate>(v);
}

std::shared_ptr<GDataTextConstruct> GDataEntryBase::summary() const { return objectForExtension<GDataAtomSummary>(); }
void GDataEntryBase::setSummary(const std::shared_ptr<GDataTextConstruct>& v) {
    setObject(v, GDataAtomSummary::staticClassInfo());
}
void GDataEntryBase::setSummaryWithString(std::optional<std::string> v) {
    setSummary(GDataTextConstruct::textConstructWithString<GDataAtomSummary>(std::move(v)));
}
std::shared_ptr<GDataEntryContent> GDataEntryBase::content() const { return objectForExtension<GDataAtomContent>(); }
void GDataEntryBase::setContent(const std::shared_ptr<GDataEntryContent>& v) {
    setObject(v, GDataAtomContent::staticClassInfo());
}
void GDataEntryBase::setContentWithString(std::optional<std::string> v) {
    setContent(GDataEntryContent::contentWithString<GDataAtomContent>(std::move(v)));
}

bool GDataEntryBase::isDeleted() const { return objectForExtension<GDataDeleted>() != nullptr; }
void GDataEntryBase::setIsDeleted(bool flag) {
    if (flag) setObject(GDataDeleted::deleted(), GDataDeleted::staticClassInfo());
    else if (objectForExtension<GDataDeleted>()) setObject(nullptr, GDataDeleted::staticClassInfo());
}

std::shared_ptr<GDataBatchID> GDataEntryBase::batchID() const { return objectForExtension<GDataBatchID>(); }
void GDataEntryBase::setBatchID(const std::shared_ptr<GDataBatchID>& v) { setObject(v, GDataBatchID::staticClassInfo()); }
void GDataEntryBase::setBatchIDWithString(std::optional<std::string> v) {
    setBatchID(GDataBatchID::batchIDWithString(std::move(v)));
}
std::shared_ptr<GDataBatchStatus> GDataEntryBase::batchStatus() const { return objectForExtension<GDataBatchStatus>(); }
void GDataEntryBase::setBatchStatus(const std::shared_ptr<GDataBatchStatus>& v) {
    setObject(v, GDataBatchStatus::staticClassInfo());
}
std::shared_ptr<GDataBatchInterrupted> GDataEntryBase::batchInterrupted() const {
    return objectForExtension<GDataBatchInterrupted>();
}
void GDataEntryBase::setBatchInterrupted(const std::shared_ptr<GDataBatchInterrupted>& v) {
    setObject(v, GDataBatchInterrupted::staticClassInfo());
}

// ---------------------------------------------------------------------------------------------
// Categories and links

std::vector<std::shared_ptr<GDataCategory>> GDataEntryBase::categoriesWithScheme(const std::string& scheme) const {
    return GDataCategory::categoriesWithScheme(scheme, categories());
}

std::shared_ptr<GDataCategory> GDataEntryBase::kindCategory() const {
    for (const auto& c : categories())
        if (c->scheme() == std::optional<std::string>(kGDataCategoryScheme)) return c;
    return nullptr;
}

std::vector<std::shared_ptr<GDataLink>> GDataEntryBase::linksWithRelAttributeValue(const std::string& rel) const {
    std::vector<std::shared_ptr<GDataLink>> out;
    for (const auto& l : links())
        if (l->rel() == rel) out.push_back(l);
    return out;
}

std::shared_ptr<GDataLink> GDataEntryBase::linkWithRelAttributeValue(const std::optional<std::string>& rel,
                                                                     const std::optional<std::string>& type) const {
    return GDataLink::linkWithRel(rel, type, links());
}

std::shared_ptr<GDataLink> GDataEntryBase::editLink() const { return linkWithRelAttributeValue(std::string("edit")); }
std::shared_ptr<GDataLink> GDataEntryBase::editMediaLink() const {
    return linkWithRelAttributeValue(std::string("edit-media"));
}
std::shared_ptr<GDataLink> GDataEntryBase::HTMLLink() const {
    return linkWithRelAttributeValue(std::string("alternate"), std::string("text/html"));
}
std::shared_ptr<GDataLink> GDataEntryBase::uploadEditLink() const {
    return linkWithRelAttributeValue(gdRel("#resumable-edit-media"));
}
std::shared_ptr<GDataLink> GDataEntryBase::ACLLink() const {
    return linkWithRelAttributeValue(std::string(kGDataNamespaceACLURI) + "#accessControlList");
}
bool GDataEntryBase::canEdit() const { return editLink() != nullptr; }

// ---------------------------------------------------------------------------------------------
// Upload

void GDataEntryBase::setUploadSlug(const std::optional<std::string>& name) {
    if (!name) {
        uploadSlug_.reset();
        return;
    }
    uploadSlug_ = GDataUtilities::stringByPercentEncodingUTF8ForString(*name);
}

GDataHeaderList GDataEntryBase::contentHeaders() const {
    GDataHeaderList headers;
    if (!uploadMIMEType_) return headers;
    headers.emplace_back("Content-Type", *uploadMIMEType_);
    headers.emplace_back("MIME-Version", "1.0");
    if (uploadSlug_) headers.emplace_back("Slug", *uploadSlug_);
    return headers;
}

bool GDataEntryBase::generateContentInputStream(std::shared_ptr<platform::InputStream>& stream, uint64_t& length,
                                                GDataHeaderList& headers) const {
    std::optional<platform::Bytes> media = uploadData_;
    if (!media && uploadFileHandle_) {
        uploadFileHandle_->seekToFileOffset(0);
        media = uploadFileHandle_->readDataToEndOfFile();
    }
    bool haveMedia = media && !media->empty();
    bool haveType = uploadMIMEType_ && !uploadMIMEType_->empty();
    if (haveMedia && haveType && shouldUploadDataOnly_) {
        length = media->size();
        stream = platform::DataInputStream::inputStreamWithData(std::move(*media));
        headers = contentHeaders();
        return true;
    }
    if (haveMedia && haveType) {
        auto doc = QNMIMEDocument::MIMEDocument();
        std::string xml;
        if (auto e = XMLElement()) xml = e->XMLString().value_or("");
        doc->addPartWithHeaders(QNMIMEHeaders{{"Content-Type", "application/atom+xml; charset=UTF-8"}},
                                platform::DispatchData::fromString(xml));
        doc->addPartWithHeaders(
            QNMIMEHeaders{{"Content-Type", *uploadMIMEType_}, {"Content-Transfer-Encoding", "binary"}},
            platform::DispatchData(std::move(*media)));
        std::string boundary;
        doc->generateInputStream(&stream, &length, &boundary);
        headers.clear();
        headers.emplace_back("Content-Type", "multipart/related; boundary=\"" + boundary + "\"");
        headers.emplace_back("MIME-Version", "1.0");
        if (uploadSlug_) headers.emplace_back("Slug", *uploadSlug_);
        return true;
    }
    return GDataObject::generateContentInputStream(stream, length, headers);
}

// ---------------------------------------------------------------------------------------------
// XML, copy, equality, description

GDataXMLElementPtr GDataEntryBase::XMLElement() const { return XMLElementWithExtensionsAndDefaultName("entry"); }

void GDataEntryBase::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, "entry");
    writeXMLChildren(writer);
    writer.endElement();
}

void GDataEntryBase::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    auto& t = static_cast<GDataEntryBase&>(target);
    t.uploadData_ = uploadData_;
    t.uploadFileHandle_ = uploadFileHandle_;
    t.uploadLocationURL_ = uploadLocationURL_;
    t.uploadMIMEType_ = uploadMIMEType_;
    t.uploadSlug_ = uploadSlug_;  // already encoded: carried unchanged
    t.shouldUploadDataOnly_ = shouldUploadDataOnly_;
}

bool GDataEntryBase::isEqual(const GDataExtension& other) const {
    if (this == &other) return true;
    auto o = dynamic_cast<const GDataEntryBase*>(&other);
    if (!o) return false;
    if (!GDataObject::isEqual(other)) return false;
    return uploadData_ == o->uploadData_ && uploadMIMEType_ == o->uploadMIMEType_ &&
           uploadSlug_ == o->uploadSlug_ && shouldUploadDataOnly_ == o->shouldUploadDataOnly_;
}

std::vector<std::string> GDataEntryBase::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    auto add = [&](const std::string& label, const std::optional<std::string>& v) { addDescription(items, label, v); };
    add("v", serviceVersion());
    if (auto t = title()) add("title", t->stringValue());
    if (auto s = summary()) add("summary", s->stringValue());
    if (auto c = content()) {
        add("content", c->stringValue());
        add("contentSrc", c->sourceURI());
    }
    addAttributeDescriptions(items);
    addPeopleAndLinkDescriptions(items);
    if (auto d = editedDate()) add("edited", d->RFC3339String());
    add("id", identifier());
    if (auto c = atomPubControl()) add("app:control", c->description());
    if (auto op = batchOperation()) add("batchOp", op->type());
    if (auto b = batchID()) add("batchID", b->stringValue());
    if (auto s = batchStatus()) add("batchStatus", std::to_string(s->code().value_or(0)));
    if (auto i = batchInterrupted()) add("batchInterrupted", i->description());
    add("MIMEType", uploadMIMEType_);
    add("slug", uploadSlug_);
    if (shouldUploadDataOnly_) items.push_back("uploadDataOnly:YES");
    if (uploadData_ && !uploadData_->empty()) items.push_back("UploadData:#" + std::to_string(uploadData_->size()));
    if (isDeleted()) items.push_back("deleted:YES");
    return items;
}

}  // namespace quorvane
