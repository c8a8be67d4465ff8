#pragma once
// QNMIMEDocument: builds a MIME multipart body from parts (a header dictionary and body bytes
// each) with a boundary that occurs in none of them, and hands the body out as a list of data
// pieces, as an input stream or as one dispatch data object, always with its exact length and the
// boundary used. It also parses a multipart body back into parts.
//
// Body layout for boundary B (text UTF-8, line ends CR LF):
//   before each part     "\r\n--B\r\n"
//   the part's headers   "Name: value\r\n" per header, names sorted ignoring case, then "\r\n"
//   the part's body      the body bytes
//   after the last part  "\r\n--B--\r\n"
// Bodies and header blocks are never copied: the pieces share their buffers.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/DispatchData.h"
#include "platform/net/InputStream.h"

namespace quorvane {

// Header name to value.
using QNMIMEHeaders = std::map<std::string, std::string>;

class QNMIMEDocumentPart {
public:
    static std::shared_ptr<QNMIMEDocumentPart> partWithHeaders(std::optional<QNMIMEHeaders> headers,
                                                               std::optional<platform::DispatchData> body);
    QNMIMEDocumentPart(std::optional<QNMIMEHeaders> headers, std::optional<platform::DispatchData> body);

    // nullopt when the part has none (a parsed part without a header block).
    const std::optional<QNMIMEHeaders>& headers() const { return headers_; }
    // The serialized header block, made on first use and kept.
    const platform::DataSlice& headerData() const;
    // nullopt when the part has none (a parsed part without a blank line).
    const std::optional<platform::DispatchData>& body() const { return body_; }
    // Header block plus body.
    uint64_t length() const;

    // Whether the bytes occur in full inside the header block or inside the body.
    bool containsBytes(const uint8_t* bytes, size_t length) const;
    bool containsBytes(std::string_view text) const {
        return containsBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }

    // Equal headers and equal bodies (absent equals absent only).
    bool isEqual(const QNMIMEDocumentPart& other) const;
    friend bool operator==(const QNMIMEDocumentPart& a, const QNMIMEDocumentPart& b) { return a.isEqual(b); }
    size_t hash() const;
    std::string description() const;

private:
    std::optional<QNMIMEHeaders> headers_;
    std::optional<platform::DispatchData> body_;
    mutable std::once_flag headerDataOnce_;
    mutable platform::DataSlice headerData_;
};

using QNMIMEDocumentPartPtr = std::shared_ptr<QNMIMEDocumentPart>;

class QNMIMEDocument {
public:
    static std::shared_ptr<QNMIMEDocument> MIMEDocument();
    QNMIMEDocument() = default;

    const std::vector<QNMIMEDocumentPartPtr>& parts() const { return parts_; }
    // Appends a part and forgets the chosen boundary.
    void addPartWithHeaders(std::optional<QNMIMEHeaders> headers, std::optional<platform::DispatchData> body);

    // 0 draws from the system's cryptographic generator; a seed s makes the document draw s, s+1,
    // s+2, ... Setting it forgets the chosen boundary.
    void seedRandomWith(uint32_t seed);
    uint32_t randomSeed() const { return randomSeed_; }
    uint32_t random();

    // The boundary: "END_OF_PART" unless a part contains it, then random candidates.
    std::string boundary();
    // Used as it is, without testing it against the parts.
    void setBoundary(std::string boundary);

    // Appends the pieces of the body to *array (when given) and reports the total length and the
    // boundary (each when given).
    void generateDataArray(std::vector<platform::DataSlice>* array, uint64_t* length, std::string* boundary);
    // A stream reading the body (a QNGatherInputStream over the pieces); without a stream
    // out-parameter only the length and the boundary are reported.
    void generateInputStream(std::shared_ptr<platform::InputStream>* stream, uint64_t* length, std::string* boundary);
    // The body as one dispatch data object made of the pieces; likewise.
    void generateDispatchData(platform::DispatchData* data, uint64_t* length, std::string* boundary);

    // The header block: one "Name: value\r\n" line per header, names sorted ignoring case, then
    // "\r\n"; no headers give "\r\n" alone.
    static platform::DataSlice dataWithHeaders(const std::optional<QNMIMEHeaders>& headers);
    // The headers of a header block; nullopt when it is not UTF-8.
    static std::optional<QNMIMEHeaders> headersWithData(const platform::DispatchData& data);
    // The parts of a multipart body; nullopt when the boundary occurs fewer than twice or no part
    // could be cut out. The bodies share the data's buffers.
    static std::optional<std::vector<QNMIMEDocumentPartPtr>> MIMEPartsWithBoundary(std::string_view boundary,
                                                                                    const platform::DispatchData& data);
    // Every occurrence of the target in the data, also across region edges: its absolute offset
    // and the number of the region it begins in. Occurrences do not overlap.
    static void searchData(const platform::DispatchData& data, const uint8_t* targetBytes, size_t targetLength,
                           std::vector<uint64_t>* foundOffsets, std::vector<uint64_t>* foundBlockNumbers = nullptr);
    // The first place where the needle occurs in full, or where a prefix of it ends the haystack:
    // its offset goes to *foundOffset and the answer is the number of bytes that matched (the
    // needle's length for a full match). No match answers 0 with offset 0.
    static size_t findBytesWithNeedle(const uint8_t* needle, size_t needleLength, const uint8_t* haystack,
                                      size_t haystackLength, size_t* foundOffset);

    std::string description() const;

private:
    std::vector<QNMIMEDocumentPartPtr> parts_;
    std::optional<std::string> boundary_;
    uint32_t randomSeed_ = 0;
};

}  // namespace quorvane
