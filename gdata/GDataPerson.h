#pragma once
// GDataPerson: an Atom person construct (author or contributor) with its name, e-mail and URI.

#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataObject.h"
#include "gdata/GDataValueConstruct.h"

namespace quorvane {

// <atom:name>, <atom:email>, <atom:uri> of a person
class GDataPersonName : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataPersonName)
};

class GDataPersonEmail : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataPersonEmail)
};

class GDataPersonURI : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataPersonURI)
};

class GDataPerson;
using GDataPersonPtr = std::shared_ptr<GDataPerson>;

// <atom:author> unless a subclass names another element.
class GDataPerson : public GDataObject {
    QV_GDATA_CLASS(GDataPerson)
public:
    template <class T = GDataPerson>
    static std::shared_ptr<T> personWithName(std::optional<std::string> name, std::optional<std::string> email) {
        return std::dynamic_pointer_cast<T>(personWithName(T::staticClassInfo(), std::move(name), std::move(email)));
    }
    static GDataPersonPtr personWithName(const GDataClassInfo& cls, std::optional<std::string> name,
                                         std::optional<std::string> email);

    void addExtensionDeclarations() override;
    void addParseDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::optional<std::string> name() const;
    void setName(std::optional<std::string> v);
    std::optional<std::string> email() const;
    void setEmail(std::optional<std::string> v);
    std::optional<std::string> URI() const;
    void setURI(std::optional<std::string> v);
    std::optional<std::string> nameLang() const { return stringValueForAttribute("xml:lang"); }
    void setNameLang(std::optional<std::string> v) { setStringValue(std::move(v), "xml:lang"); }
};

class GDataAtomAuthor : public GDataPerson {
    QV_GDATA_CLASS(GDataAtomAuthor)
};

class GDataAtomContributor : public GDataPerson {
    QV_GDATA_CLASS(GDataAtomContributor)
};

}  // namespace quorvane
