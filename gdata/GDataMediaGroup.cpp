#include "gdata/GDataMediaGroup.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataMediaGroup, GDataObject, kGDataNamespaceMediaURI, kGDataNamespaceMediaPrefix, "group")

void GDataMediaGroup::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        staticClassInfo(),
        {&GDataMediaContent::staticClassInfo(), &GDataMediaCategory::staticClassInfo(),
         &GDataMediaCredit::staticClassInfo(), &GDataMediaDescription::staticClassInfo(),
         &GDataMediaPlayer::staticClassInfo(), &GDataMediaRating::staticClassInfo(),
         &GDataMediaRestriction::staticClassInfo(), &GDataMediaThumbnail::staticClassInfo(),
         &GDataMediaKeywords::staticClassInfo(), &GDataMediaTitle::staticClassInfo()});
}

std::vector<std::string> GDataMediaGroup::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    GDataDescriptionRecord categories;
    categories.label = "categories";
    categories.kind = GDataDescriptionRecord::kArrayCount;
    categories.count = [this] { return mediaCategories().size(); };
    addDescriptionRecords({categories}, items);
    return items;
}

}  // namespace quorvane
