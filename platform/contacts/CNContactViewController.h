#pragma once
// What the contact card needs of the store: the keys of every property it shows.

#include "platform/contacts/CNContactKeys.h"

namespace quorvane::platform {

class CNContactViewController {
public:
    // One descriptor standing for every key the contact card reads.
    static CNKeyDescriptor descriptorForRequiredKeys();
};

}  // namespace quorvane::platform
