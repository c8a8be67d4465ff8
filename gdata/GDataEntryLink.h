#pragma once
// gd:entryLink — a link to an entry, which may hold the entry itself as a nested Atom entry.

#include "gdata/GDataNestedLink.h"

namespace quorvane {

class GDataEntryLink : public GDataNestedLink {
    QV_GDATA_CLASS(GDataEntryLink)
public:
    GDataEntryLink() : GDataNestedLink("entry") {}
    static std::shared_ptr<GDataEntryLink> entryLinkWithHref(std::optional<std::string> href, bool isReadOnly);
    void addParseDeclarations() override;

    // The nested entry, of the class the kind registry chose for it.
    const GDataObjectPtr& entry() const { return nested(); }
    void setEntry(GDataObjectPtr entry) { setNested(std::move(entry)); }
};

}  // namespace quorvane
