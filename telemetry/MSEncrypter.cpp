#include "telemetry/MSEncrypter.h"

#include "platform/foundation/Base64.h"
#include "platform/foundation/Crypto.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSLogger.h"

namespace quorvane {

namespace {
constexpr uint8_t kCipherVersion = 1;
}

MSEncrypter::MSEncrypter(std::shared_ptr<platform::Keychain> keychain)
    : keychain_(keychain ? std::move(keychain) : platform::Keychain::defaultKeychain()) {}

std::optional<platform::Bytes> MSEncrypter::key() {
    std::lock_guard lock(mutex_);
    if (key_) return key_;
    platform::Bytes stored;
    auto status = keychain_->findGenericPassword(kKeychainService, kKeychainAccount, &stored);
    if (status == platform::KeychainStatus::ItemNotFound) {
        platform::Bytes fresh(platform::kAES256KeyLength);
        if (!platform::randomBytes(fresh.data(), fresh.size())) return std::nullopt;
        status = keychain_->addGenericPassword(kKeychainService, kKeychainAccount, fresh);
        if (status == platform::KeychainStatus::Success)
            stored = fresh;
        else if (status == platform::KeychainStatus::DuplicateItem)  // another process made it first
            status = keychain_->findGenericPassword(kKeychainService, kKeychainAccount, &stored);
    }
    if (status != platform::KeychainStatus::Success || stored.size() != platform::kAES256KeyLength) {
        MSLogError(kMSLogTag, "Couldn't get the encryption key from the keychain (status " +
                                  std::to_string(int(status)) + ").");
        return std::nullopt;
    }
    key_ = stored;
    return key_;
}

std::optional<std::string> MSEncrypter::encryptString(const std::string& text) {
    auto k = key();
    if (!k) return std::nullopt;
    auto sealed = platform::aes256GCMSeal(*k, text);
    if (!sealed) {
        MSLogError(kMSLogTag, "Couldn't encrypt the text.");
        return std::nullopt;
    }
    sealed->insert(sealed->begin(), kCipherVersion);
    return platform::base64Encode(*sealed);
}

std::optional<std::string> MSEncrypter::decryptString(const std::string& base64Text) {
    auto bytes = platform::base64Decode(base64Text);
    if (!bytes) {
        MSLogWarning(kMSLogTag, "Couldn't decrypt the text: it is not Base64.");
        return std::nullopt;
    }
    auto k = key();
    if (!k) return std::nullopt;
    if (bytes->empty() || bytes->front() != kCipherVersion) {
        MSLogWarning(kMSLogTag, "Couldn't decrypt the text: it was not encrypted by this SDK.");
        return std::nullopt;
    }
    auto text = platform::aes256GCMOpen(*k, platform::Bytes(bytes->begin() + 1, bytes->end()));
    if (!text) {
        MSLogWarning(kMSLogTag, "Couldn't decrypt the text: it is damaged or was encrypted with another key.");
        return std::nullopt;
    }
    if (!platform::isValidUTF8(*text)) {
        MSLogWarning(kMSLogTag, "Couldn't decrypt the text: the result is not UTF-8.");
        return std::nullopt;
    }
    return text;
}

}  // namespace quorvane
