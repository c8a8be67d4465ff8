#include "fetcher/QNMIMEDocument.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>

#include "fetcher/QNGatherInputStream.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"

namespace quorvane {

using platform::DataSlice;
using platform::DispatchData;

namespace {

constexpr std::string_view kPlainBoundary = "END_OF_PART";
// Candidates tested before the boundary is made without testing.
constexpr int kMaxBoundaryTries = 10;

std::string hex8(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// Finds a byte string in a sequence of byte ranges, also where it straddles range edges, by
// keeping how much of the target the bytes seen so far end with (Knuth-Morris-Pratt). Matches do
// not overlap: after a match the search starts afresh.
class StreamSearch {
public:
    StreamSearch(const uint8_t* target, size_t length) : target_(target), length_(length), border_(length, 0) {
        // border_[i]: length of the longest proper prefix of target[0..i] that also ends it.
        for (size_t i = 1, k = 0; i < length; ++i) {
            while (k > 0 && target[i] != target[k]) k = border_[k - 1];
            if (target[i] == target[k]) ++k;
            border_[i] = k;
        }
    }

    // Feeds one range whose first byte lies at absolute offset base; calls found(start) for every
    // match that ends inside the range, and stops early when found answers false.
    template <class Found>
    bool feed(const uint8_t* bytes, size_t size, uint64_t base, Found&& found) {
        if (length_ == 0) return true;
        size_t i = 0;
        while (i < size) {
            if (matched_ == 0) {
                // Nothing pending: jump to the next possible start.
                const void* hit = std::memchr(bytes + i, target_[0], size - i);
                if (!hit) return true;
                i = size_t(static_cast<const uint8_t*>(hit) - bytes);
            }
            uint8_t b = bytes[i];
            while (matched_ > 0 && target_[matched_] != b) matched_ = border_[matched_ - 1];
            if (target_[matched_] == b) ++matched_;
            ++i;
            if (matched_ == length_) {
                matched_ = 0;
                if (!found(base + i - length_)) return false;
            }
        }
        return true;
    }

private:
    const uint8_t* target_;
    size_t length_;
    std::vector<size_t> border_;
    size_t matched_ = 0;
};

// The offset of the first occurrence of the target in the data.
std::optional<uint64_t> firstOccurrence(const DispatchData& data, std::string_view target) {
    StreamSearch search(reinterpret_cast<const uint8_t*>(target.data()), target.size());
    std::optional<uint64_t> result;
    uint64_t base = 0;
    for (const auto& region : data.regions()) {
        bool more = search.feed(region.data(), region.size(), base, [&](uint64_t start) {
            result = start;
            return false;
        });
        if (!more) break;
        base += region.size();
    }
    return result;
}

bool beginsWith(const DispatchData& data, std::string_view prefix) {
    if (data.size() < prefix.size()) return false;
    return data.subrange(0, prefix.size()).string() == prefix;
}

}  // namespace

// --- QNMIMEDocumentPart ---

std::shared_ptr<QNMIMEDocumentPart> QNMIMEDocumentPart::partWithHeaders(std::optional<QNMIMEHeaders> headers,
                                                                        std::optional<DispatchData> body) {
    return std::make_shared<QNMIMEDocumentPart>(std::move(headers), std::move(body));
}

QNMIMEDocumentPart::QNMIMEDocumentPart(std::optional<QNMIMEHeaders> headers, std::optional<DispatchData> body)
    : headers_(std::move(headers)), body_(std::move(body)) {}

const DataSlice& QNMIMEDocumentPart::headerData() const {
    std::call_once(headerDataOnce_, [this] { headerData_ = QNMIMEDocument::dataWithHeaders(headers_); });
    return headerData_;
}

uint64_t QNMIMEDocumentPart::length() const { return headerData().size() + (body_ ? body_->size() : 0); }

bool QNMIMEDocumentPart::containsBytes(const uint8_t* bytes, size_t length) const {
    const DataSlice& header = headerData();
    size_t offset = 0;
    if (QNMIMEDocument::findBytesWithNeedle(bytes, length, header.data(), header.size(), &offset) == length)
        return true;
    if (!body_) return false;
    // The body may be made of several regions: search across their edges too.
    return firstOccurrence(*body_, std::string_view(reinterpret_cast<const char*>(bytes), length)).has_value();
}

bool QNMIMEDocumentPart::isEqual(const QNMIMEDocumentPart& other) const {
    if (this == &other) return true;
    return headers_ == other.headers_ && body_ == other.body_;
}

size_t QNMIMEDocumentPart::hash() const {
    size_t headersHash = 0;
    if (headers_) {
        headersHash = headers_->size();
        for (const auto& [name, value] : *headers_)
            headersHash = headersHash * 31 + std::hash<std::string>()(name) * 7 + std::hash<std::string>()(value);
    }
    size_t bodyHash = body_ ? body_->hash() : 0;
    return bodyHash | headersHash;
}

std::string QNMIMEDocumentPart::description() const {
    return "QNMIMEDocumentPart " + platform::addressText(this) + " (headers " + std::to_string(headers_ ? headers_->size() : 0) +
           " keys, body " + std::to_string(body_ ? body_->size() : 0) + " bytes)";
}

// --- QNMIMEDocument: building ---

std::shared_ptr<QNMIMEDocument> QNMIMEDocument::MIMEDocument() { return std::make_shared<QNMIMEDocument>(); }

void QNMIMEDocument::addPartWithHeaders(std::optional<QNMIMEHeaders> headers, std::optional<DispatchData> body) {
    parts_.push_back(QNMIMEDocumentPart::partWithHeaders(std::move(headers), std::move(body)));
    boundary_.reset();
}

void QNMIMEDocument::seedRandomWith(uint32_t seed) {
    randomSeed_ = seed;
    boundary_.reset();
}

uint32_t QNMIMEDocument::random() {
    if (randomSeed_ != 0) return randomSeed_++;
    uint32_t value = 0;
    if (!platform::randomBytes(reinterpret_cast<uint8_t*>(&value), sizeof value)) {
        std::random_device device;
        value = device();
    }
    return value;
}

std::string QNMIMEDocument::boundary() {
    if (boundary_) return *boundary_;
    std::string candidate(kPlainBoundary);
    int tries = 0;
    while (true) {
        bool collides = std::any_of(parts_.begin(), parts_.end(),
                                    [&](const QNMIMEDocumentPartPtr& part) { return part->containsBytes(candidate); });
        if (!collides) break;
        candidate = std::string(kPlainBoundary) + "_" + hex8(random());
        if (++tries == kMaxBoundaryTries) {
            // Give up testing: two more random values make a boundary no part is likely to hold.
            uint32_t first = random();
            uint32_t second = random();
            candidate = hex8(first) + "_marnoxe_" + hex8(second);
            break;
        }
    }
    boundary_ = candidate;
    return candidate;
}

void QNMIMEDocument::setBoundary(std::string boundary) { boundary_ = std::move(boundary); }

void QNMIMEDocument::generateDataArray(std::vector<DataSlice>* array, uint64_t* length, std::string* outBoundary) {
    std::string chosen = boundary();
    DataSlice separator = DataSlice::fromString("\r\n--" + chosen + "\r\n");
    DataSlice closing = DataSlice::fromString("\r\n--" + chosen + "--\r\n");
    uint64_t total = 0;
    for (const auto& part : parts_) {
        total += separator.size() + part->length();
        if (!array) continue;
        array->push_back(separator);
        array->push_back(part->headerData());
        const auto& body = part->body();
        if (!body || body->regions().empty()) {
            array->push_back(DataSlice());
        } else {
            for (const auto& region : body->regions()) array->push_back(region);
        }
    }
    total += closing.size();
    if (array) array->push_back(closing);
    if (length) *length = total;
    if (outBoundary) *outBoundary = chosen;
}

void QNMIMEDocument::generateInputStream(std::shared_ptr<platform::InputStream>* stream, uint64_t* length,
                                         std::string* outBoundary) {
    if (!stream) {
        generateDataArray(nullptr, length, outBoundary);
        return;
    }
    std::vector<DataSlice> pieces;
    generateDataArray(&pieces, length, outBoundary);
    *stream = QNGatherInputStream::streamWithArray(std::move(pieces));
}

void QNMIMEDocument::generateDispatchData(DispatchData* data, uint64_t* length, std::string* outBoundary) {
    if (!data) {
        generateDataArray(nullptr, length, outBoundary);
        return;
    }
    std::vector<DataSlice> pieces;
    generateDataArray(&pieces, length, outBoundary);
    // The pieces are immutable, so the result shares them instead of copying them.
    DispatchData joined;
    for (const auto& piece : pieces) joined.append(piece);
    *data = std::move(joined);
}

std::string QNMIMEDocument::description() const {
    return "QNMIMEDocument " + platform::addressText(this) + " (" + std::to_string(parts_.size()) + " parts)";
}

// --- QNMIMEDocument: headers ---

DataSlice QNMIMEDocument::dataWithHeaders(const std::optional<QNMIMEHeaders>& headers) {
    std::string block;
    if (headers) {
        std::vector<const std::pair<const std::string, std::string>*> fields;
        for (const auto& field : *headers) fields.push_back(&field);
        // Stable over the map's order, so names equal but for case still come out the same way.
        std::stable_sort(fields.begin(), fields.end(), [](const auto* a, const auto* b) {
            return platform::compareIgnoringCase(a->first, b->first) < 0;
        });
        for (const auto* field : fields) block += field->first + ": " + field->second + "\r\n";
    }
    block += "\r\n";
    return DataSlice::fromString(block);
}

std::optional<QNMIMEHeaders> QNMIMEDocument::headersWithData(const DispatchData& data) {
    std::string text = data.string();
    if (!platform::isValidUTF8(text)) return std::nullopt;
    std::vector<char32_t> cps = platform::codePoints(text);
    const auto& blank = platform::CharacterSet::whitespace();
    const auto& newline = platform::CharacterSet::newline();
    const auto& blankOrNewline = platform::CharacterSet::whitespaceAndNewline();
    auto substring = [&](size_t from, size_t to) {
        std::string out;
        for (size_t i = from; i < to; ++i) platform::appendUTF8(out, cps[i]);
        return out;
    };

    QNMIMEHeaders headers;
    size_t pos = 0, n = cps.size();
    while (true) {
        // The name: up to ":".
        while (pos < n && blankOrNewline.contains(cps[pos])) ++pos;
        size_t start = pos;
        while (pos < n && cps[pos] != U':') ++pos;
        if (pos == start || pos == n) break;
        std::string name = substring(start, pos);
        ++pos;  // ":"
        // The value: up to the end of the line. Blanks before it are skipped, but not the line
        // end: an empty value ends the scan rather than taking the next line as its value.
        while (pos < n && blank.contains(cps[pos])) ++pos;
        start = pos;
        while (pos < n && !newline.contains(cps[pos])) ++pos;
        if (pos == start) break;
        headers[name] = substring(start, pos);
    }
    return headers;
}

// --- QNMIMEDocument: parsing ---

std::optional<std::vector<QNMIMEDocumentPartPtr>> QNMIMEDocument::MIMEPartsWithBoundary(std::string_view boundary,
                                                                                        const DispatchData& data) {
    std::vector<uint64_t> offsets;
    searchData(data, reinterpret_cast<const uint8_t*>(boundary.data()), boundary.size(), &offsets);
    if (offsets.size() < 2) return std::nullopt;

    std::vector<QNMIMEDocumentPartPtr> parts;
    for (size_t i = 0; i + 1 < offsets.size(); ++i) {
        // Past the boundary and its line end, up to the line end and "--" before the next one.
        int64_t start = int64_t(offsets[i] + boundary.size() + 2);
        int64_t end = int64_t(offsets[i + 1]) - 4;
        if (end - start < 2) continue;
        DispatchData span = data.subrange(size_t(start), size_t(end - start));
        if (beginsWith(span, "\r\n")) {
            parts.push_back(QNMIMEDocumentPart::partWithHeaders(std::nullopt, span.subrange(2, span.size())));
            continue;
        }
        auto blankLine = firstOccurrence(span, "\r\n\r\n");
        if (!blankLine) {
            parts.push_back(QNMIMEDocumentPart::partWithHeaders(std::nullopt, std::nullopt));
            continue;
        }
        auto headers = headersWithData(span.subrange(0, size_t(*blankLine)));
        DispatchData body = span.subrange(size_t(*blankLine) + 4, span.size());
        parts.push_back(QNMIMEDocumentPart::partWithHeaders(std::move(headers), std::move(body)));
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

void QNMIMEDocument::searchData(const DispatchData& data, const uint8_t* targetBytes, size_t targetLength,
                                std::vector<uint64_t>* foundOffsets, std::vector<uint64_t>* foundBlockNumbers) {
    if (!targetBytes || targetLength == 0) return;
    StreamSearch search(targetBytes, targetLength);
    std::vector<uint64_t> regionStarts;
    uint64_t base = 0;
    for (const auto& region : data.regions()) {
        regionStarts.push_back(base);
        search.feed(region.data(), region.size(), base, [&](uint64_t start) {
            if (foundOffsets) foundOffsets->push_back(start);
            if (foundBlockNumbers) {
                auto it = std::upper_bound(regionStarts.begin(), regionStarts.end(), start);
                foundBlockNumbers->push_back(uint64_t(it - regionStarts.begin()) - 1);
            }
            return true;
        });
        base += region.size();
    }
}

size_t QNMIMEDocument::findBytesWithNeedle(const uint8_t* needle, size_t needleLength, const uint8_t* haystack,
                                           size_t haystackLength, size_t* foundOffset) {
    if (foundOffset) *foundOffset = 0;
    if (!needle || !haystack || needleLength == 0 || haystackLength == 0) return 0;
    size_t i = 0;
    while (i < haystackLength) {
        const void* hit = std::memchr(haystack + i, needle[0], haystackLength - i);
        if (!hit) break;
        i = size_t(static_cast<const uint8_t*>(hit) - haystack);
        size_t compared = std::min(needleLength, haystackLength - i);
        if (std::memcmp(haystack + i, needle, compared) == 0) {
            if (foundOffset) *foundOffset = i;
            return compared;
        }
        ++i;
    }
    return 0;
}

}  // namespace quorvane
