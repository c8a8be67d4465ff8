#pragma once
// A batch of changes to the store: contacts and groups added, updated and deleted, members
// added to and removed from groups. The store applies a request in order and in one
// transaction: every change or none.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/contacts/CNContact.h"
#include "platform/contacts/CNGroup.h"

namespace quorvane::platform {

class CNSaveRequest {
public:
    enum class Kind { AddContact, UpdateContact, DeleteContact, AddGroup, UpdateGroup, DeleteGroup, AddMember, RemoveMember };
    struct Operation {
        Kind kind;
        CNMutableContactPtr contact;
        CNMutableGroupPtr group;                  // the group added, updated or deleted
        std::string groupIdentifier;              // the group of a member change
        std::string contactIdentifier;            // the contact of a member change
        std::optional<std::string> containerIdentifier;  // where an added record goes; nullopt: the default container
        // A conditional update or deletion: the stored contact, read with these keys in the
        // transaction that writes it, must pass the test (Unchanged below); empty for none.
        std::vector<CNKeyDescriptor> checkedKeys;
        std::function<bool(const CNContact& stored)> unchanged;
        // A conditional change also needs the contact still in this container (nullopt: any).
        std::optional<std::string> checkedContainer;
    };
    // Whether the contact as stored now is still the one the caller read.
    using Unchanged = std::function<bool(const CNContact& stored)>;

    // Objects are held, not copied: changes made to them before the request runs are saved.
    void addContact(CNMutableContactPtr contact, std::optional<std::string> toContainerWithIdentifier);
    void updateContact(CNMutableContactPtr contact);
    void deleteContact(CNMutableContactPtr contact);
    // The same, only when the stored contact, read with `keys` in the transaction that writes it,
    // passes `unchanged`: otherwise the whole request fails with CNErrorCodeRecordChanged naming
    // the contact, so that an edit made by anyone since the caller read it is never written over.
    // With `inContainer`, a contact moved to another container since counts as changed too.
    void updateContact(CNMutableContactPtr contact, std::vector<CNKeyDescriptor> keys, Unchanged unchanged,
                       std::optional<std::string> inContainer = std::nullopt);
    void deleteContact(CNMutableContactPtr contact, std::vector<CNKeyDescriptor> keys, Unchanged unchanged,
                       std::optional<std::string> inContainer = std::nullopt);
    void addGroup(CNMutableGroupPtr group, std::optional<std::string> toContainerWithIdentifier);
    void updateGroup(CNMutableGroupPtr group);
    void deleteGroup(CNMutableGroupPtr group);
    void addMember(const CNContactPtr& contact, const CNGroupPtr& toGroup);
    void removeMember(const CNContactPtr& contact, const CNGroupPtr& fromGroup);

    const std::vector<Operation>& operations() const { return ops_; }
    bool isEmpty() const { return ops_.empty(); }

private:
    std::vector<Operation> ops_;
};

}  // namespace quorvane::platform
