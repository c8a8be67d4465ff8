#pragma once
// Which contacts, groups or containers a fetch selects. Made by the static predicate
// operations of CNContact, CNGroup and CNContainer; a null predicate selects everything.

#include <memory>
#include <string>
#include <vector>

namespace quorvane::platform {

class CNPredicate {
public:
    enum class Kind {
        ContactsWithIdentifiers,
        ContactsInContainer,
        ContactsInGroup,
        GroupsWithIdentifiers,
        GroupsInContainer,
        ContainersWithIdentifiers,
        ContainerOfContact,
        ContainerOfGroup,
    };

    CNPredicate(Kind kind, std::vector<std::string> identifiers) : kind_(kind), identifiers_(std::move(identifiers)) {}

    Kind kind() const { return kind_; }
    // The identifiers it names: the records themselves, or the one container or group.
    const std::vector<std::string>& identifiers() const { return identifiers_; }

    bool selectsContacts() const { return kind_ <= Kind::ContactsInGroup; }
    bool selectsGroups() const { return kind_ == Kind::GroupsWithIdentifiers || kind_ == Kind::GroupsInContainer; }
    bool selectsContainers() const { return kind_ >= Kind::ContainersWithIdentifiers; }

private:
    Kind kind_;
    std::vector<std::string> identifiers_;
};

using CNPredicatePtr = std::shared_ptr<const CNPredicate>;

}  // namespace quorvane::platform
