#include "gdata/GDataAtomPubControl.h"

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataNamespaces.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataAtomPubControl, GDataObject, kGDataNamespaceAtomPubURI, kGDataNamespaceAtomPubPrefix,
                      "control")

std::shared_ptr<GDataAtomPubControl> GDataAtomPubControl::atomPubControl() {
    auto control = object();
    control->setNamespaces({{kGDataNamespaceAtomPubPrefix, kGDataNamespaceAtomPubURI}});
    return control;
}

std::shared_ptr<GDataAtomPubControl> GDataAtomPubControl::atomPubControlWithIsDraft(bool isDraft) {
    auto control = atomPubControl();
    control->setIsDraft(isDraft);
    return control;
}

void GDataAtomPubControl::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), GDataAtomPubDraft::staticClassInfo());
}

bool GDataAtomPubControl::isDraft() const {
    auto draft = objectForExtension<GDataAtomPubDraft>();
    if (!draft) return false;
    auto value = draft->stringValue();
    return value && platform::equalsIgnoringCase(*value, "yes");
}

void GDataAtomPubControl::setIsDraft(bool flag) {
    if (flag) setObject(GDataValueConstruct::valueWithString<GDataAtomPubDraft>(std::string("yes")),
                        GDataAtomPubDraft::staticClassInfo());
    else setObject(nullptr, GDataAtomPubDraft::staticClassInfo());
}

std::vector<std::string> GDataAtomPubControl::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    items.push_back(std::string("isDraft:") + (isDraft() ? "yes" : "no"));
    return items;
}

}  // namespace quorvane
