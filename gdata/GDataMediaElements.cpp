#include "gdata/GDataMediaElements.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

#define QV_MEDIA_CLASS(Cls, Super, localName) \
    QV_GDATA_DEFINE_CLASS(Cls, Super, kGDataNamespaceMediaURI, kGDataNamespaceMediaPrefix, localName)

QV_MEDIA_CLASS(GDataMediaPlayer, GDataObject, "player")
QV_GDATA_DEFINE_CLASS(GDataMediaTextElement, GDataObject, nullptr, nullptr, nullptr)
QV_MEDIA_CLASS(GDataMediaCredit, GDataMediaTextElement, "credit")
QV_MEDIA_CLASS(GDataMediaCategory, GDataMediaTextElement, "category")
QV_MEDIA_CLASS(GDataMediaRating, GDataMediaTextElement, "rating")
QV_MEDIA_CLASS(GDataMediaRestriction, GDataMediaTextElement, "restriction")
QV_MEDIA_CLASS(GDataMediaTitle, GDataTextConstruct, "title")
QV_MEDIA_CLASS(GDataMediaDescription, GDataTextConstruct, "description")

#undef QV_MEDIA_CLASS

namespace {
std::optional<std::string> numberText(std::optional<int32_t> n) {
    if (!n) return std::nullopt;
    return std::to_string(*n);
}

template <class T>
std::shared_ptr<T> withText(std::optional<std::string> str) {
    auto obj = T::object();
    obj->setStringValue(std::move(str));
    return obj;
}
}  // namespace

// --- player ---

std::shared_ptr<GDataMediaPlayer> GDataMediaPlayer::mediaPlayerWithURLString(std::optional<std::string> urlString) {
    auto obj = object();
    obj->setURLString(std::move(urlString));
    return obj;
}

void GDataMediaPlayer::addParseDeclarations() { addLocalAttributeDeclarations({"url", "height", "width"}); }
void GDataMediaPlayer::setHeight(std::optional<int32_t> n) { GDataObject::setStringValue(numberText(n), "height"); }
void GDataMediaPlayer::setWidth(std::optional<int32_t> n) { GDataObject::setStringValue(numberText(n), "width"); }

// --- text elements ---

std::shared_ptr<GDataMediaCredit> GDataMediaCredit::mediaCreditWithString(std::optional<std::string> str) {
    return withText<GDataMediaCredit>(std::move(str));
}

void GDataMediaCredit::addParseDeclarations() {
    addLocalAttributeDeclarations({"role", "scheme"});
    GDataMediaTextElement::addParseDeclarations();
}

std::shared_ptr<GDataMediaCategory> GDataMediaCategory::mediaCategoryWithString(std::optional<std::string> str) {
    return withText<GDataMediaCategory>(std::move(str));
}

void GDataMediaCategory::addParseDeclarations() {
    addLocalAttributeDeclarations({"label", "scheme"});
    GDataMediaTextElement::addParseDeclarations();
}

std::shared_ptr<GDataMediaRating> GDataMediaRating::mediaRatingWithString(std::optional<std::string> str) {
    return withText<GDataMediaRating>(std::move(str));
}

void GDataMediaRating::addParseDeclarations() {
    addLocalAttributeDeclarations({"scheme"});
    GDataMediaTextElement::addParseDeclarations();
}

std::shared_ptr<GDataMediaRestriction> GDataMediaRestriction::mediaRestrictionWithString(
    std::optional<std::string> str, std::optional<std::string> relationship, std::optional<std::string> type) {
    auto obj = withText<GDataMediaRestriction>(std::move(str));
    obj->setRelationship(std::move(relationship));
    obj->setType(std::move(type));
    return obj;
}

void GDataMediaRestriction::addParseDeclarations() {
    addLocalAttributeDeclarations({"relationship", "type"});
    GDataMediaTextElement::addParseDeclarations();
}

}  // namespace quorvane
