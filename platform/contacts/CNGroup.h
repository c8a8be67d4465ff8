#pragma once
// A named group of contacts inside one container. CNMutableGroup is the editable form a save
// request adds, renames or deletes.

#include <memory>
#include <string>
#include <vector>

#include "platform/contacts/CNPredicate.h"

namespace quorvane::platform {

class CNMutableGroup;

class CNGroup {
public:
    CNGroup(std::string identifier, std::string name) : identifier_(std::move(identifier)), name_(std::move(name)) {}
    virtual ~CNGroup() = default;

    const std::string& identifier() const { return identifier_; }
    const std::string& name() const { return name_; }

    std::shared_ptr<CNMutableGroup> mutableCopy() const;

    static CNPredicatePtr predicateForGroupsWithIdentifiers(std::vector<std::string> identifiers);
    static CNPredicatePtr predicateForGroupsInContainerWithIdentifier(std::string containerIdentifier);

protected:
    std::string identifier_;
    std::string name_;
};

class CNMutableGroup : public CNGroup {
public:
    // A new group with a new identifier and an empty name.
    CNMutableGroup();
    CNMutableGroup(std::string identifier, std::string name) : CNGroup(std::move(identifier), std::move(name)) {}
    void setName(std::string name) { name_ = std::move(name); }
};

using CNGroupPtr = std::shared_ptr<CNGroup>;
using CNMutableGroupPtr = std::shared_ptr<CNMutableGroup>;

}  // namespace quorvane::platform
