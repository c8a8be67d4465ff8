#pragma once
// Random (version 4) UUIDs, written in upper case as "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX".

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::platform {

class UUID {
public:
    UUID();  // a new random UUID
    // A new random UUID drawn from random bytes taken from the kernel a few hundred at a time, for
    // callers that make many (a contact's labeled values). Not for a signal handler. A forked child
    // draws fresh bytes: it never repeats its parent's.
    static UUID pooled();
    static std::optional<UUID> fromString(std::string_view text);  // either case
    // This machine's identifier for one application: drawn from the system's machine id
    // (/etc/machine-id, else /var/lib/dbus/machine-id) and the application's identifier, so that
    // the machine id itself never leaves the host. The same on every call and run; nullopt when
    // the system has no machine id.
    static std::optional<UUID> machineUUID(std::string_view applicationId);
    std::string uuidString() const;  // upper case
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    bool operator==(const UUID&) const = default;

private:
    explicit UUID(std::array<uint8_t, 16> b) : bytes_(b) {}
    std::array<uint8_t, 16> bytes_{};
};

// Fills the buffer with cryptographically strong random bytes (OpenSSL); false on failure.
bool randomBytes(uint8_t* out, size_t length);

}  // namespace quorvane::platform
