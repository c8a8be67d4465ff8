#include "gdata/GDataAtomElements.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

namespace {
constexpr const char* kAtom = kGDataNamespaceAtom;
constexpr const char* kAtomPrefix = kGDataNamespaceAtomPrefix;
constexpr const char* kApp = kGDataNamespaceAtomPubURI;
constexpr const char* kAppPrefix = kGDataNamespaceAtomPubPrefix;
constexpr const char* kOpenSearch = kGDataNamespaceOpenSearchURI;
constexpr const char* kOpenSearchPrefix = kGDataNamespaceOpenSearchPrefix;
constexpr const char* kGD = kGDataNamespaceGData;
constexpr const char* kGDPrefix = kGDataNamespaceGDataPrefix;
}  // namespace

QV_GDATA_DEFINE_CLASS(GDataAtomID, GDataValueElementConstruct, kAtom, kAtomPrefix, "id")
QV_GDATA_DEFINE_CLASS(GDataAtomPublishedDate, GDataValueElementConstruct, kAtom, kAtomPrefix, "published")
QV_GDATA_DEFINE_CLASS(GDataAtomUpdatedDate, GDataValueElementConstruct, kAtom, kAtomPrefix, "updated")
QV_GDATA_DEFINE_CLASS(GDataAtomIcon, GDataValueElementConstruct, kAtom, kAtomPrefix, "icon")
QV_GDATA_DEFINE_CLASS(GDataAtomLogo, GDataValueElementConstruct, kAtom, kAtomPrefix, "logo")

QV_GDATA_DEFINE_CLASS(GDataAtomTitle, GDataTextConstruct, kAtom, kAtomPrefix, "title")
QV_GDATA_DEFINE_CLASS(GDataAtomSubtitle, GDataTextConstruct, kAtom, kAtomPrefix, "subtitle")
QV_GDATA_DEFINE_CLASS(GDataAtomSummary, GDataTextConstruct, kAtom, kAtomPrefix, "summary")
QV_GDATA_DEFINE_CLASS(GDataAtomRights, GDataTextConstruct, kAtom, kAtomPrefix, "rights")

QV_GDATA_DEFINE_CLASS(GDataAtomPubEditedDate, GDataValueElementConstruct, kApp, kAppPrefix, "edited")
QV_GDATA_DEFINE_CLASS(GDataAtomPubDraft, GDataValueElementConstruct, kApp, kAppPrefix, "draft")
QV_GDATA_DEFINE_CLASS(GDataAtomAccept, GDataValueElementConstruct, kApp, kAppPrefix, "accept")

QV_GDATA_DEFINE_CLASS(GDataOpenSearchTotalResults, GDataValueElementConstruct, kOpenSearch, kOpenSearchPrefix,
                      "totalResults")
QV_GDATA_DEFINE_CLASS(GDataOpenSearchStartIndex, GDataValueElementConstruct, kOpenSearch, kOpenSearchPrefix,
                      "startIndex")
QV_GDATA_DEFINE_CLASS(GDataOpenSearchItemsPerPage, GDataValueElementConstruct, kOpenSearch, kOpenSearchPrefix,
                      "itemsPerPage")

QV_GDATA_DEFINE_CLASS(GDataResourceID, GDataValueElementConstruct, kGD, kGDPrefix, "resourceId")
QV_GDATA_DEFINE_CLASS(GDataDeleted, GDataImplicitValueConstruct, kGD, kGDPrefix, "deleted")

QV_GDATA_DEFINE_CLASS(GDataETagAttribute, GDataAttribute, kGD, kGDPrefix, "etag")
QV_GDATA_DEFINE_CLASS(GDataFieldsAttribute, GDataAttribute, kGD, kGDPrefix, "fields")
QV_GDATA_DEFINE_CLASS(GDataKindAttribute, GDataAttribute, kGD, kGDPrefix, "kind")

}  // namespace quorvane
