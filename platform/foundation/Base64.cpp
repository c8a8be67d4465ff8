#include "platform/foundation/Base64.h"

namespace quorvane::platform {

namespace {
constexpr char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kURL[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(const uint8_t* data, size_t length, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < length; i += 3) {
        uint32_t n = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    size_t rest = length - i;
    if (rest) {
        uint32_t n = uint32_t(data[i]) << 16;
        if (rest == 2) n |= uint32_t(data[i + 1]) << 8;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        if (rest == 2) out += alphabet[(n >> 6) & 63];
        if (pad) out.append(rest == 1 ? 2 : 1, '=');
    }
    return out;
}

std::optional<std::vector<uint8_t>> decode(std::string_view text, bool url) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    size_t count = 0;
    bool padding = false;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == (url ? '-' : '+')) v = 62;
        else if (c == (url ? '_' : '/')) v = 63;
        else if (c == '=') { padding = true; continue; }
        else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        else return std::nullopt;
        if (padding) return std::nullopt;  // data after padding
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        ++count;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t((acc >> bits) & 0xFF));
        }
    }
    if (count % 4 == 1) return std::nullopt;
    return out;
}
}  // namespace

std::string base64Encode(const uint8_t* data, size_t length) { return encode(data, length, kStd, true); }
std::string base64Encode(const std::vector<uint8_t>& data) { return encode(data.data(), data.size(), kStd, true); }
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) { return decode(text, false); }
std::string base64URLEncode(const uint8_t* data, size_t length) { return encode(data, length, kURL, false); }
std::optional<std::vector<uint8_t>> base64URLDecode(std::string_view text) { return decode(text, true); }

}  // namespace quorvane::platform
