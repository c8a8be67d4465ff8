#include "platform/contacts/CNContactViewController.h"

namespace quorvane::platform {

CNKeyDescriptor CNContactViewController::descriptorForRequiredKeys() {
    // The card shows every property; the record dates are not shown.
    std::vector<std::string> keys;
    for (const auto& k : CNContactAllKeys())
        if (k != CNContactCreationDateKey && k != CNContactModificationDateKey) keys.push_back(k);
    return CNKeyDescriptor("CNContactViewController.descriptorForRequiredKeys", std::move(keys));
}

}  // namespace quorvane::platform
