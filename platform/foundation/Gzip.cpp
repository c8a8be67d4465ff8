#include "platform/foundation/Gzip.h"

#include <zlib.h>

namespace quorvane::platform {

std::optional<std::vector<uint8_t>> gzipCompress(std::string_view bytes) {
    z_stream s{};
    if (deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    std::vector<uint8_t> out(deflateBound(&s, uLong(bytes.size())));
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    s.avail_in = uInt(bytes.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    const int rc = deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

std::optional<std::string> gzipDecompress(std::string_view gzipped, size_t maxLength) {
    z_stream s{};
    if (inflateInit2(&s, 15 + 16) != Z_OK) return std::nullopt;
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzipped.data()));
    s.avail_in = uInt(gzipped.size());
    std::string out;
    char chunk[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        s.next_out = reinterpret_cast<Bytef*>(chunk);
        s.avail_out = sizeof chunk;
        rc = inflate(&s, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - s.avail_out);
        if (out.size() > maxLength || (rc == Z_BUF_ERROR && s.avail_in == 0)) break;
    }
    inflateEnd(&s);
    if (rc != Z_STREAM_END || out.size() > maxLength) return std::nullopt;
    return out;
}

}  // namespace quorvane::platform
