#include "platform/foundation/UUID.h"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/foundation/Crypto.h"
#include "platform/foundation/ForkSafeMutex.h"
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

namespace {

void markVersion4(std::array<uint8_t, 16>& bytes) {
    bytes[6] = uint8_t((bytes[6] & 0x0F) | 0x40);
    bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);
}

}  // namespace

UUID::UUID() {
    randomBytes(bytes_.data(), bytes_.size());
    markVersion4(bytes_);
}

UUID UUID::pooled() {
    struct Pool {
        std::array<uint8_t, 512> bytes{};
        size_t used = 512;
        uint64_t generation = 0;
    };
    thread_local Pool pool;
    // A pool filled before a fork is not drawn from after it.
    const uint64_t generation = forkGeneration();
    if (pool.generation != generation || pool.used + 16 > pool.bytes.size()) {
        if (!randomBytes(pool.bytes.data(), pool.bytes.size())) return UUID();
        pool.used = 0;
        pool.generation = generation;
    }
    std::array<uint8_t, 16> b;
    std::memcpy(b.data(), pool.bytes.data() + pool.used, b.size());
    std::memset(pool.bytes.data() + pool.used, 0, b.size());  // drawn once
    pool.used += b.size();
    markVersion4(b);
    return UUID(b);
}

std::string UUID::uuidString() const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out(36, '-');
    size_t at = 0;
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (at == 8 || at == 13 || at == 18 || at == 23) ++at;
        out[at++] = kHex[bytes_[i] >> 4];
        out[at++] = kHex[bytes_[i] & 0x0F];
    }
    return out;
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
