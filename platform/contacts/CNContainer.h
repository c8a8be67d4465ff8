#pragma once
// A contact container: one account's share of the store (the local one, an Exchange account,
// a CardDAV account). Every contact and group lives in exactly one container.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/contacts/CNPredicate.h"

namespace quorvane::platform {

enum class CNContainerType : int32_t { Unassigned = 0, Local = 1, Exchange = 2, CardDAV = 3 };

class CNContainer {
public:
    CNContainer(std::string identifier, std::string name, CNContainerType type)
        : identifier_(std::move(identifier)), name_(std::move(name)), type_(type) {}

    const std::string& identifier() const { return identifier_; }
    const std::string& name() const { return name_; }
    CNContainerType type() const { return type_; }

    static CNPredicatePtr predicateForContainersWithIdentifiers(std::vector<std::string> identifiers);
    static CNPredicatePtr predicateForContainerOfContactWithIdentifier(std::string contactIdentifier);
    static CNPredicatePtr predicateForContainerOfGroupWithIdentifier(std::string groupIdentifier);

private:
    std::string identifier_;
    std::string name_;
    CNContainerType type_;
};

using CNContainerPtr = std::shared_ptr<CNContainer>;

}  // namespace quorvane::platform
