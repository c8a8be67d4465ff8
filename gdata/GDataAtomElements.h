#pragma once
// The one-value elements of Atom, AtomPub and OpenSearch, the gd resource id and deleted
// marker, and the gd attributes (ETag, fields, kind) that entries and feeds carry.

#include <memory>

#include "gdata/GDataObject.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataValueConstruct.h"
// The AtomPub control, whose draft element is declared here, comes with them.
#include "gdata/GDataAtomPubControl.h"

namespace quorvane {

// --- Atom value elements: the element's text is the value ---

// <atom:id>
class GDataAtomID : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomID)
};

// <atom:published> holding a date-time
class GDataAtomPublishedDate : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomPublishedDate)
};

// <atom:updated> holding a date-time
class GDataAtomUpdatedDate : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomUpdatedDate)
};

// <atom:icon>
class GDataAtomIcon : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomIcon)
};

// <atom:logo>
class GDataAtomLogo : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomLogo)
};

// --- Atom text constructs ---

class GDataAtomTitle : public GDataTextConstruct {
    QV_GDATA_CLASS(GDataAtomTitle)
};

class GDataAtomSubtitle : public GDataTextConstruct {
    QV_GDATA_CLASS(GDataAtomSubtitle)
};

class GDataAtomSummary : public GDataTextConstruct {
    QV_GDATA_CLASS(GDataAtomSummary)
};

class GDataAtomRights : public GDataTextConstruct {
    QV_GDATA_CLASS(GDataAtomRights)
};

// --- AtomPub value elements ---

// <app:edited> holding a date-time
class GDataAtomPubEditedDate : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomPubEditedDate)
};

// <app:draft>yes</app:draft>
class GDataAtomPubDraft : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomPubDraft)
};

// <app:accept> of a service document collection
class GDataAtomAccept : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataAtomAccept)
};

// --- OpenSearch counts of a feed, each holding a number ---

class GDataOpenSearchTotalResults : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataOpenSearchTotalResults)
};

class GDataOpenSearchStartIndex : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataOpenSearchStartIndex)
};

class GDataOpenSearchItemsPerPage : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataOpenSearchItemsPerPage)
};

// --- gd elements ---

// <gd:resourceId>
class GDataResourceID : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataResourceID)
};

// <gd:deleted/>: its presence marks a deleted entry.
class GDataDeleted : public GDataImplicitValueConstruct {
    QV_GDATA_CLASS(GDataDeleted)
public:
    static std::shared_ptr<GDataDeleted> deleted() { return object(); }
};

// --- gd attributes ---

// gd:etag="..."
class GDataETagAttribute : public GDataAttribute {
    QV_GDATA_CLASS(GDataETagAttribute)
};

// gd:fields="..." (the partial-response field selection)
class GDataFieldsAttribute : public GDataAttribute {
    QV_GDATA_CLASS(GDataFieldsAttribute)
};

// gd:kind="..."
class GDataKindAttribute : public GDataAttribute {
    QV_GDATA_CLASS(GDataKindAttribute)
};

}  // namespace quorvane
