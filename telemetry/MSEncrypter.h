#pragma once
// Encrypts short texts for storage with the SDK's key, which lives in the keychain and is made
// on first use. Texts are AES-256-GCM sealed (a fresh nonce each time) and written as Base64 of
// a version byte, the nonce, the ciphertext and the tag.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/Value.h"
#include "platform/store/Keychain.h"

namespace quorvane {

class MSEncrypter {
public:
    static constexpr const char* kKeychainService = "com.dedozirav.revazezar";
    static constexpr const char* kKeychainAccount = "MSEncrypterKey";

    // keychain nullptr: the user's default keychain.
    explicit MSEncrypter(std::shared_ptr<platform::Keychain> keychain = nullptr);

    // Base64 text, or nullopt when the key cannot be had or encryption fails.
    std::optional<std::string> encryptString(const std::string& text);
    // The text, or nullopt (with a warning) when the input is not Base64, was not sealed with
    // this key, was altered, or is not UTF-8.
    std::optional<std::string> decryptString(const std::string& base64Text);

private:
    std::optional<platform::Bytes> key();

    std::shared_ptr<platform::Keychain> keychain_;
    platform::ForkSafeMutex mutex_;
    std::optional<platform::Bytes> key_;
};

}  // namespace quorvane
