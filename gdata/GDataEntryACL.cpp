#include "gdata/GDataEntryACL.h"

#include <mutex>

#include "gdata/GDataFeedACL.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryACL, GDataEntryBase, nullptr, nullptr, nullptr)

std::string ACLAccessRuleKind() { return std::string(kGDataNamespaceACLURI) + "#accessRule"; }
std::string ACLControlledObjectRel() { return std::string(kGDataNamespaceACLURI) + "#controlledObject"; }

void registerACLClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        GDataEntryBase::registerEntryClass(GDataEntryACL::staticClassInfo());
        GDataFeedBase::registerFeedClass(GDataFeedACL::staticClassInfo());
    });
}

GDataStringDictionary GDataEntryACL::ACLNamespaces() {
    auto ns = baseGDataNamespaces();
    ns.emplace_back(kGDataNamespaceACLPrefix, kGDataNamespaceACLURI);
    return ns;
}

std::shared_ptr<GDataEntryACL> GDataEntryACL::ACLEntryWithScope(const std::shared_ptr<GDataACLScope>& scope,
                                                                const std::shared_ptr<GDataACLRole>& role) {
    registerACLClasses();
    auto entry = object();
    entry->setNamespaces(ACLNamespaces());
    entry->setScope(scope);
    entry->setRole(role);
    return entry;
}

void GDataEntryACL::addExtensionDeclarations() {
    GDataEntryBase::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        classInfo(), {&GDataACLRole::staticClassInfo(), &GDataACLScope::staticClassInfo(),
                      &GDataACLKeyedRole::staticClassInfo(), &GDataACLAdditionalRole::staticClassInfo()});
}

std::shared_ptr<GDataLink> GDataEntryACL::controlledObjectLink() const {
    return linkWithRelAttributeValue(ACLControlledObjectRel());
}

std::vector<std::string> GDataEntryACL::itemsForDescription() const {
    auto items = GDataEntryBase::itemsForDescription();
    if (auto r = role()) items.push_back("role:" + r->description());
    return items;
}

}  // namespace quorvane
