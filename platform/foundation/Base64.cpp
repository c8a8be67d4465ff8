#include "platform/foundation/Base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace quorvane::platform {

namespace {

// OpenSSL's block functions take int lengths; longer data goes through in whole quanta.
constexpr size_t kEncodeChunk = size_t(3) << 20;  // bytes, a multiple of 3
constexpr size_t kDecodeChunk = size_t(4) << 20;  // characters, a multiple of 4

std::string encode(const uint8_t* data, size_t length, bool url) {
    std::string out((length + 2) / 3 * 4, '\0');
    size_t written = 0;
    for (size_t done = 0; done < length; done += kEncodeChunk) {
        size_t n = std::min(kEncodeChunk, length - done);
        written += size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()) + written, data + done, int(n)));
    }
    out.resize(written);
    if (url) {
        // The URL-safe alphabet, without padding.
        for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
        while (!out.empty() && out.back() == '=') out.pop_back();
    }
    return out;
}

// OpenSSL decodes padded quanta of the standard alphabet only, so the forms this decoder accepts
// are brought to that first: white space anywhere is skipped, the URL alphabet is mapped, any
// run of "=" ends the data (data after it is refused) and missing padding is restored. A lone
// character in the last quantum is refused.
std::optional<std::vector<uint8_t>> decode(std::string_view text, bool url) {
    std::string clean;
    clean.reserve(text.size() + 3);
    bool padding = false;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (url ? c == '-' : c == '+') c = '+';
        else if (url ? c == '_' : c == '/') c = '/';
        else if (!alpha) return std::nullopt;
        if (padding) return std::nullopt;  // data after padding
        clean += c;
    }
    size_t tail = clean.size() % 4;
    if (tail == 1) return std::nullopt;
    size_t pad = tail ? 4 - tail : 0;
    clean.append(pad, '=');

    std::vector<uint8_t> out(clean.size() / 4 * 3);
    size_t written = 0;
    for (size_t done = 0; done < clean.size(); done += kDecodeChunk) {
        size_t n = std::min(kDecodeChunk, clean.size() - done);
        int got = EVP_DecodeBlock(out.data() + written, reinterpret_cast<const unsigned char*>(clean.data()) + done, int(n));
        if (got < 0) return std::nullopt;
        written += size_t(got);
    }
    // OpenSSL writes a zero byte for each padding character; those are not data.
    out.resize(written - pad);
    return out;
}

}  // namespace

std::string base64Encode(const uint8_t* data, size_t length) { return encode(data, length, false); }
std::string base64Encode(const std::vector<uint8_t>& data) { return encode(data.data(), data.size(), false); }
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) { return decode(text, false); }
std::string base64URLEncode(const uint8_t* data, size_t length) { return encode(data, length, true); }
std::optional<std::vector<uint8_t>> base64URLDecode(std::string_view text) { return decode(text, true); }

}  // namespace quorvane::platform
