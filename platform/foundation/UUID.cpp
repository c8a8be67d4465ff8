#include "platform/foundation/UUID.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/foundation/Crypto.h"
#include "platform/foundation/Strings.h"

namespace quorvane::platform {

bool randomBytes(uint8_t* out, size_t length) {
    // The kernel's generator keeps no state in the process, so it serves at any time, also on a
    // worker still running while the process exits, after the TLS library's own exit code.
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::getrandom(out + done, length - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

UUID::UUID() {
    randomBytes(bytes_.data(), bytes_.size());
    bytes_[6] = uint8_t((bytes_[6] & 0x0F) | 0x40);
    bytes_[8] = uint8_t((bytes_[8] & 0x3F) | 0x80);
}

std::string UUID::uuidString() const {
    char buf[37];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  bytes_[0], bytes_[1], bytes_[2], bytes_[3], bytes_[4], bytes_[5], bytes_[6], bytes_[7],
                  bytes_[8], bytes_[9], bytes_[10], bytes_[11], bytes_[12], bytes_[13], bytes_[14], bytes_[15]);
    return buf;
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<uint8_t, 16> b{};
    size_t j = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = hex(text[i]), lo = hex(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        b[j++] = uint8_t(hi * 16 + lo);
        i += 2;
    }
    return UUID(b);
}

std::optional<UUID> UUID::machineUUID(std::string_view applicationId) {
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream in(path);
        std::string machineId;
        if (!in || !std::getline(in, machineId)) continue;
        machineId = trimWhitespace(machineId);
        if (machineId.empty()) continue;
        const auto digest = sha256(machineId + "/" + std::string(applicationId));
        std::array<uint8_t, 16> b{};
        std::copy_n(digest.begin(), b.size(), b.begin());
        b[6] = uint8_t((b[6] & 0x0F) | 0x40);
        b[8] = uint8_t((b[8] & 0x3F) | 0x80);
        return UUID(b);
    }
    return std::nullopt;
}

}  // namespace quorvane::platform
