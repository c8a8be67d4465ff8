#include "gdata/GDataComment.h"

#include "gdata/GDataDescriptionItems.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataComment, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "comments")

std::shared_ptr<GDataComment> GDataComment::commentWithFeedLink(const std::shared_ptr<GDataFeedLink>& feedLink) {
    auto obj = object();
    obj->setFeedLink(feedLink);
    return obj;
}

void GDataComment::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(staticClassInfo(), GDataFeedLink::staticClassInfo());
}

void GDataComment::addParseDeclarations() { addLocalAttributeDeclarations({"rel"}); }

std::vector<std::string> GDataComment::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    addDescriptionRecords({gdataObjectItem("feedLink", [this] { return feedLink(); })}, items);
    return items;
}

}  // namespace quorvane
