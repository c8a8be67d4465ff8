#pragma once
// <media:group>: everything known about one media item — its content files, thumbnails,
// players, credits, categories, ratings, restrictions, keywords, title and description.

#include <memory>
#include <optional>
#include <vector>

#include "gdata/GDataMediaContent.h"
#include "gdata/GDataMediaElements.h"
#include "gdata/GDataMediaKeywords.h"
#include "gdata/GDataMediaThumbnail.h"
#include "gdata/GDataObject.h"

namespace quorvane {

class GDataMediaGroup : public GDataObject {
    QV_GDATA_CLASS(GDataMediaGroup)
public:
    static std::shared_ptr<GDataMediaGroup> mediaGroup() { return object(); }
    void addExtensionDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::vector<std::shared_ptr<GDataMediaContent>> mediaContents() const {
        return objectsForExtension<GDataMediaContent>();
    }
    void setMediaContents(const std::optional<std::vector<std::shared_ptr<GDataMediaContent>>>& v) {
        setObjectsForExtension<GDataMediaContent>(v);
    }
    void addMediaContent(const std::shared_ptr<GDataMediaContent>& o) {
        addObject(o, GDataMediaContent::staticClassInfo());
    }

    std::vector<std::shared_ptr<GDataMediaCategory>> mediaCategories() const {
        return objectsForExtension<GDataMediaCategory>();
    }
    void setMediaCategories(const std::optional<std::vector<std::shared_ptr<GDataMediaCategory>>>& v) {
        setObjectsForExtension<GDataMediaCategory>(v);
    }
    void addMediaCategory(const std::shared_ptr<GDataMediaCategory>& o) {
        addObject(o, GDataMediaCategory::staticClassInfo());
    }

    std::vector<std::shared_ptr<GDataMediaCredit>> mediaCredits() const {
        return objectsForExtension<GDataMediaCredit>();
    }
    void setMediaCredits(const std::optional<std::vector<std::shared_ptr<GDataMediaCredit>>>& v) {
        setObjectsForExtension<GDataMediaCredit>(v);
    }
    void addMediaCredit(const std::shared_ptr<GDataMediaCredit>& o) {
        addObject(o, GDataMediaCredit::staticClassInfo());
    }

    std::vector<std::shared_ptr<GDataMediaPlayer>> mediaPlayers() const {
        return objectsForExtension<GDataMediaPlayer>();
    }
    void setMediaPlayers(const std::optional<std::vector<std::shared_ptr<GDataMediaPlayer>>>& v) {
        setObjectsForExtension<GDataMediaPlayer>(v);
    }
    void addMediaPlayer(const std::shared_ptr<GDataMediaPlayer>& o) {
        addObject(o, GDataMediaPlayer::staticClassInfo());
    }

    std::vector<std::shared_ptr<GDataMediaRating>> mediaRatings() const {
        return objectsForExtension<GDataMediaRating>();
    }
    void setMediaRatings(const std::optional<std::vector<std::shared_ptr<GDataMediaRating>>>& v) {
        setObjectsForExtension<GDataMediaRating>(v);
    }
    void addMediaRating(const std::shared_ptr<GDataMediaRating>& o) {
        addObject(o, GDataMediaRating::staticClassInfo());
    }

    std::vector<std::shared_ptr<GDataMediaRestriction>> mediaRestrictions() const {
        return objectsForExtension<GDataMediaRestriction>();
    }
    void setMediaRestrictions(const std::optional<std::vector<std::shared_ptr<GDataMediaRestriction>>>& v) {
        setObjectsForExtension<GDataMediaRestriction>(v);
    }
    void addMediaRestriction(const std::shared_ptr<GDataMediaRestriction>& o) {
        addObject(o, GDataMediaRestriction::staticClassInfo());
    }

    std::vector<std::shared_ptr<GDataMediaThumbnail>> mediaThumbnails() const {
        return objectsForExtension<GDataMediaThumbnail>();
    }
    void setMediaThumbnails(const std::optional<std::vector<std::shared_ptr<GDataMediaThumbnail>>>& v) {
        setObjectsForExtension<GDataMediaThumbnail>(v);
    }
    void addMediaThumbnail(const std::shared_ptr<GDataMediaThumbnail>& o) {
        addObject(o, GDataMediaThumbnail::staticClassInfo());
    }

    std::shared_ptr<GDataMediaKeywords> mediaKeywords() const { return objectForExtension<GDataMediaKeywords>(); }
    void setMediaKeywords(const std::shared_ptr<GDataMediaKeywords>& o) {
        setObject(o, GDataMediaKeywords::staticClassInfo());
    }
    std::shared_ptr<GDataMediaDescription> mediaDescription() const {
        return objectForExtension<GDataMediaDescription>();
    }
    void setMediaDescription(const std::shared_ptr<GDataMediaDescription>& o) {
        setObject(o, GDataMediaDescription::staticClassInfo());
    }
    std::shared_ptr<GDataMediaTitle> mediaTitle() const { return objectForExtension<GDataMediaTitle>(); }
    void setMediaTitle(const std::shared_ptr<GDataMediaTitle>& o) { setObject(o, GDataMediaTitle::staticClassInfo()); }
};

}  // namespace quorvane
