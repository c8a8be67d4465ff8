#pragma once
// The user's keychain of generic passwords, found by service and account.
//
// Each item is one file in the keychain folder (mode 0700), named by a digest of its service and
// account, holding both names and the password data; the file has mode 0600. An item is written
// to an unnamed file first and then linked into place, so an add either makes the whole item or
// nothing, and two adds of the same item cannot both succeed; a set gives the new item a
// temporary name and renames it over the old one. Writers and deleters take the folder's lock,
// and whoever holds it removes the temporaries a killed writer left, so no copy of a secret
// outlives its save for longer than the next access. Every change syncs the folder. The default
// keychain is the folder "Keychain" in the application's data folder under $XDG_DATA_HOME.
//
// Status codes keep the values callers of a classic keychain know.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace quorvane::platform {

enum class KeychainStatus : int32_t {
    Success = 0,
    Param = -50,            // an empty service or account
    IO = -36,               // the folder or an item file could not be read or written
    DuplicateItem = -25299,
    ItemNotFound = -25300,
    Decode = -26275,        // an item file that cannot be read back
};

class Keychain {
public:
    // A keychain kept in the given folder (created on the first add).
    explicit Keychain(std::filesystem::path folder);

    // The user's default keychain, on defaultPath() as it is at the first call.
    static std::shared_ptr<Keychain> defaultKeychain();
    static std::filesystem::path defaultPath();

    const std::filesystem::path& path() const { return folder_; }

    // Adds the item; DuplicateItem when one with the same service and account exists.
    KeychainStatus addGenericPassword(std::string_view service, std::string_view account, const Bytes& password);
    // Adds the item or replaces the one with the same service and account in one step: the new
    // item is written in full first and then renamed over the old one, so a failed write leaves
    // the old item as it was.
    KeychainStatus setGenericPassword(std::string_view service, std::string_view account, const Bytes& password);
    // Replaces the item only when its data passes the test, read under the folder's lock so that
    // no writer or deleter comes between; ItemNotFound when there is none or its data fails it.
    KeychainStatus setGenericPassword(std::string_view service, std::string_view account, const Bytes& password,
                                      const std::function<bool(const Bytes& password)>& onlyIf);
    // Finds the item; with a password pointer, also reads its data.
    KeychainStatus findGenericPassword(std::string_view service, std::string_view account,
                                       Bytes* password = nullptr) const;
    // Deletes the item; ItemNotFound when there is none.
    KeychainStatus deleteGenericPassword(std::string_view service, std::string_view account);
    // Deletes the item only when its data passes the test, read under the folder's lock so that
    // no writer comes between; ItemNotFound when there is none or its data fails the test.
    KeychainStatus deleteGenericPassword(std::string_view service, std::string_view account,
                                         const std::function<bool(const Bytes& password)>& onlyIf);

private:
    std::filesystem::path itemPath(std::string_view service, std::string_view account) const;
    KeychainStatus writeItem(std::string_view service, std::string_view account, const Bytes& password, bool replace,
                             const std::function<bool(const Bytes& password)>& onlyIf = nullptr);

    std::filesystem::path folder_;
};

}  // namespace quorvane::platform
