#include "platform/contacts/CNSaveRequest.h"

#include "platform/foundation/Log.h"

namespace quorvane::platform {

void CNSaveRequest::addContact(CNMutableContactPtr contact, std::optional<std::string> toContainerWithIdentifier) {
    if (!QV_ASSERT(contact, "addContact needs a contact")) return;
    ops_.push_back({Kind::AddContact, std::move(contact), nullptr, {}, {}, std::move(toContainerWithIdentifier)});
}

void CNSaveRequest::updateContact(CNMutableContactPtr contact) {
    if (!QV_ASSERT(contact, "updateContact needs a contact")) return;
    ops_.push_back({Kind::UpdateContact, std::move(contact), nullptr, {}, {}, std::nullopt});
}

void CNSaveRequest::deleteContact(CNMutableContactPtr contact) {
    if (!QV_ASSERT(contact, "deleteContact needs a contact")) return;
    ops_.push_back({Kind::DeleteContact, std::move(contact), nullptr, {}, {}, std::nullopt});
}

void CNSaveRequest::updateContact(CNMutableContactPtr contact, std::vector<CNKeyDescriptor> keys, Unchanged unchanged,
                                  std::optional<std::string> inContainer) {
    if (!QV_ASSERT(contact && unchanged, "updateContact needs a contact and its test")) return;
    ops_.push_back({Kind::UpdateContact, std::move(contact), nullptr, {}, {}, std::nullopt, std::move(keys), std::move(unchanged),
                    std::move(inContainer)});
}

void CNSaveRequest::deleteContact(CNMutableContactPtr contact, std::vector<CNKeyDescriptor> keys, Unchanged unchanged,
                                  std::optional<std::string> inContainer) {
    if (!QV_ASSERT(contact && unchanged, "deleteContact needs a contact and its test")) return;
    ops_.push_back({Kind::DeleteContact, std::move(contact), nullptr, {}, {}, std::nullopt, std::move(keys), std::move(unchanged),
                    std::move(inContainer)});
}

void CNSaveRequest::addGroup(CNMutableGroupPtr group, std::optional<std::string> toContainerWithIdentifier) {
    if (!QV_ASSERT(group, "addGroup needs a group")) return;
    ops_.push_back({Kind::AddGroup, nullptr, std::move(group), {}, {}, std::move(toContainerWithIdentifier)});
}

void CNSaveRequest::updateGroup(CNMutableGroupPtr group) {
    if (!QV_ASSERT(group, "updateGroup needs a group")) return;
    ops_.push_back({Kind::UpdateGroup, nullptr, std::move(group), {}, {}, std::nullopt});
}

void CNSaveRequest::deleteGroup(CNMutableGroupPtr group) {
    if (!QV_ASSERT(group, "deleteGroup needs a group")) return;
    ops_.push_back({Kind::DeleteGroup, nullptr, std::move(group), {}, {}, std::nullopt});
}

void CNSaveRequest::addMember(const CNContactPtr& contact, const CNGroupPtr& toGroup) {
    if (!QV_ASSERT(contact && toGroup, "addMember needs a contact and a group")) return;
    ops_.push_back({Kind::AddMember, nullptr, nullptr, toGroup->identifier(), contact->identifier(), std::nullopt});
}

void CNSaveRequest::removeMember(const CNContactPtr& contact, const CNGroupPtr& fromGroup) {
    if (!QV_ASSERT(contact && fromGroup, "removeMember needs a contact and a group")) return;
    ops_.push_back({Kind::RemoveMember, nullptr, nullptr, fromGroup->identifier(), contact->identifier(), std::nullopt});
}

}  // namespace quorvane::platform
