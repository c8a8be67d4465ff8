#pragma once
// A provider profile: one contacts provider and everything of ours that belongs to it, kept
// apart from every other profile so that tokens and history of two providers never mix.
//
//   settings   $XDG_CONFIG_HOME/<bundle id>/profiles/<name>/settings.json: the sync settings
//              and the provider keys below (`quorvane config`)
//   data       $XDG_DATA_HOME/<bundle id>/profiles/<name>/: the sync store (history and run log)
//   keychain   the item "Quorvane" for the profile `google`, "Quorvane (<name>)" for the others
//
// The provider a profile talks to starts from the real provider's addresses and the
// application's registration; the profile `fake` then takes what tools/quorvane-fake-provider
// wrote when it started; last come the keys the user set. The local contact store is the
// machine's and is shared by every profile.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Failures.h"
#include "oauth2/QNOAuth2SignIn.h"
#include "platform/foundation/Result.h"
#include "platform/store/UserDefaults.h"

namespace quorvane::app {

struct ProviderConfiguration {
    std::string contactsRoot;               // the root of the contacts feeds, ending in "/"
    QNOAuth2SignIn::Endpoints endpoints;    // authorization, token, revocation, user info
    std::string clientID, clientSecret;     // the application's registration with the provider
    std::optional<std::string> caFile;      // PEM certificates trusted beside the system's
    std::optional<std::string> fakeProviderInfo;  // the fake provider's file, when it was read
};

class Profile {
public:
    static constexpr const char* kDefaultName = "fake";
    static constexpr const char* kRealProviderName = "google";

    // A profile name is 1 to 64 letters, digits, '-' and '_'; a kCommandErrorBadArguments error otherwise.
    static platform::Result<Profile> named(const std::string& name);

    // Whether the profile exists: a built-in one (`fake`, `google`), or one whose settings or
    // data were made (by `config set` or `signin`, which make a new one).
    bool exists() const;
    // Makes a new profile's settings folder, so that it exists from now on.
    void make() const;
    // Takes back a profile just made, when nothing was kept in it: true when it no longer exists.
    bool unmakeIfEmpty() const;
    // The names of the profiles that exist, sorted.
    static std::vector<std::string> existingNames();

    const std::string& name() const { return name_; }
    std::filesystem::path configFolder() const;
    std::filesystem::path dataFolder() const;
    std::string keychainItemName() const;
    // The profile's settings file (one instance per profile in this process).
    std::shared_ptr<platform::UserDefaults> userDefaults() const;

    // The provider keys `quorvane config` reads and sets, with their defaults.
    struct ProviderKey {
        const char* key;
        const char* help;
        std::string ProviderConfiguration::*text;                 // a text field, or
        std::string QNOAuth2SignIn::Endpoints::*endpoint;         // an endpoint
    };
    static const std::vector<ProviderKey>& providerKeys();
    static const ProviderKey* providerKey(const std::string& key);
    // Whether a value may be set for the key: addresses are https URLs, the CA file is a
    // certificate file (readCertificateFile). A kCommandErrorBadArguments error says why not.
    static platform::Result<void> checkProviderValue(const ProviderKey& key, const std::string& value);
    static constexpr const char* kCAFileKey = "ca-file";
    // The text of a certificate file: a regular file of at most kCertificateFileLimit bytes,
    // read without waiting on it (a FIFO, a device or a folder is refused, never read). A
    // kCommandErrorBadArguments error says why not.
    static platform::Result<std::string> readCertificateFile(const std::string& path);
    static constexpr size_t kCertificateFileLimit = 1024 * 1024;

    // The real provider's configuration.
    static ProviderConfiguration defaultProvider();
    // The profile's provider; a kCommandErrorProviderUnavailable error when the fake provider's
    // file is missing or unreadable, or a configured address is no https URL.
    platform::Result<ProviderConfiguration> provider() const;
    // Where tools/quorvane-fake-provider writes its file (it writes the same path).
    static std::filesystem::path fakeProviderInfoPath();

    // Points this process at the provider: its endpoints, its contacts root and its CA. A
    // kCommandErrorBadArguments error (a setting to mend) when the CA file cannot be read or holds
    // no certificate.
    static platform::Result<void> apply(const ProviderConfiguration& provider);

private:
    explicit Profile(std::string name) : name_(std::move(name)) {}
    std::string name_;
};

}  // namespace quorvane::app
