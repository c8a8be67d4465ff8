#include "gdata/GDataPerson.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataPersonName, GDataValueElementConstruct, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix,
                      "name")
QV_GDATA_DEFINE_CLASS(GDataPersonEmail, GDataValueElementConstruct, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix,
                      "email")
QV_GDATA_DEFINE_CLASS(GDataPersonURI, GDataValueElementConstruct, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix,
                      "uri")
QV_GDATA_DEFINE_CLASS(GDataPerson, GDataObject, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "author")
QV_GDATA_DEFINE_CLASS(GDataAtomAuthor, GDataPerson, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "author")
QV_GDATA_DEFINE_CLASS(GDataAtomContributor, GDataPerson, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix,
                      "contributor")

GDataPersonPtr GDataPerson::personWithName(const GDataClassInfo& cls, std::optional<std::string> name,
                                           std::optional<std::string> email) {
    auto person = std::dynamic_pointer_cast<GDataPerson>(cls.make());
    if (!person) return nullptr;
    person->setName(std::move(name));
    person->setEmail(std::move(email));
    return person;
}

void GDataPerson::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), {&GDataPersonName::staticClassInfo(),
                                                        &GDataPersonEmail::staticClassInfo(),
                                                        &GDataPersonURI::staticClassInfo()});
}

void GDataPerson::addParseDeclarations() { addLocalAttributeDeclarations({"xml:lang"}); }

std::vector<std::string> GDataPerson::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    if (auto v = name()) items.push_back("name:" + *v);
    if (auto v = email()) items.push_back("email:" + *v);
    if (auto v = URI()) items.push_back("URI:" + *v);
    return items;
}

namespace {
template <class T>
std::optional<std::string> childString(const GDataObject& o) {
    auto child = o.objectForExtension<T>();
    return child ? child->stringValue() : std::nullopt;
}
template <class T>
void setChildString(GDataObject& o, std::optional<std::string> value) {
    o.setObject(GDataValueConstruct::valueWithString<T>(std::move(value)), T::staticClassInfo());
}
}  // namespace

std::optional<std::string> GDataPerson::name() const { return childString<GDataPersonName>(*this); }
void GDataPerson::setName(std::optional<std::string> v) { setChildString<GDataPersonName>(*this, std::move(v)); }
std::optional<std::string> GDataPerson::email() const { return childString<GDataPersonEmail>(*this); }
void GDataPerson::setEmail(std::optional<std::string> v) { setChildString<GDataPersonEmail>(*this, std::move(v)); }
std::optional<std::string> GDataPerson::URI() const { return childString<GDataPersonURI>(*this); }
void GDataPerson::setURI(std::optional<std::string> v) { setChildString<GDataPersonURI>(*this, std::move(v)); }

}  // namespace quorvane
