#include "platform/foundation/DispatchData.h"

#include <algorithm>
#include <cstring>

namespace quorvane::platform {

// --- DataSlice ---

DataSlice::DataSlice(Bytes bytes) : DataSlice(std::make_shared<const Bytes>(std::move(bytes))) {}

DataSlice::DataSlice(std::shared_ptr<const Bytes> buffer)
    : buffer_(std::move(buffer)), offset_(0), length_(buffer_ ? buffer_->size() : 0) {}

DataSlice::DataSlice(std::shared_ptr<const Bytes> buffer, size_t offset, size_t length) : buffer_(std::move(buffer)) {
    size_t total = buffer_ ? buffer_->size() : 0;
    offset_ = std::min(offset, total);
    length_ = std::min(length, total - offset_);
}

DataSlice DataSlice::fromString(std::string_view text) {
    return DataSlice(Bytes(text.begin(), text.end()));
}

DataSlice DataSlice::copyOf(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0) return DataSlice(Bytes());
    return DataSlice(Bytes(bytes, bytes + length));
}

DataSlice DataSlice::slice(size_t offset, size_t length) const {
    offset = std::min(offset, length_);
    length = std::min(length, length_ - offset);
    return DataSlice(buffer_, offset_ + offset, length);
}

// --- DispatchData ---

DispatchData::DispatchData(DataSlice slice) { append(slice); }

DispatchData::DispatchData(Bytes bytes) : DispatchData(DataSlice(std::move(bytes))) {}

DispatchData DispatchData::fromString(std::string_view text) { return DispatchData(DataSlice::fromString(text)); }

void DispatchData::append(const DataSlice& slice) {
    if (slice.empty()) return;
    starts_.push_back(size_);
    regions_.push_back(slice);
    size_ += slice.size();
}

void DispatchData::append(const DispatchData& other) {
    // Copy the list first: other may be this very object.
    std::vector<DataSlice> regions = other.regions_;
    for (const auto& r : regions) append(r);
}

DispatchData DispatchData::subrange(size_t offset, size_t length) const {
    DispatchData out;
    if (offset >= size_) return out;
    length = std::min(length, size_ - offset);
    if (length == 0) return out;
    // The region holding the first byte.
    size_t i = size_t(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin()) - 1;
    size_t within = offset - starts_[i];
    while (length > 0 && i < regions_.size()) {
        size_t n = std::min(length, regions_[i].size() - within);
        out.append(regions_[i].slice(within, n));
        length -= n;
        within = 0;
        ++i;
    }
    return out;
}

DataSlice DispatchData::contiguous() const {
    if (regions_.empty()) return DataSlice(Bytes());
    if (regions_.size() == 1) return regions_.front();
    return DataSlice(bytes());
}

Bytes DispatchData::bytes() const {
    Bytes out;
    out.reserve(size_);
    for (const auto& r : regions_) out.insert(out.end(), r.begin(), r.end());
    return out;
}

std::string DispatchData::string() const {
    std::string out;
    out.reserve(size_);
    for (const auto& r : regions_) out.append(r.view());
    return out;
}

bool operator==(const DispatchData& a, const DispatchData& b) {
    if (a.size_ != b.size_) return false;
    size_t ia = 0, ib = 0, oa = 0, ob = 0;
    while (ia < a.regions_.size() && ib < b.regions_.size()) {
        const DataSlice& ra = a.regions_[ia];
        const DataSlice& rb = b.regions_[ib];
        size_t n = std::min(ra.size() - oa, rb.size() - ob);
        if (std::memcmp(ra.data() + oa, rb.data() + ob, n) != 0) return false;
        oa += n;
        ob += n;
        if (oa == ra.size()) ++ia, oa = 0;
        if (ob == rb.size()) ++ib, ob = 0;
    }
    return true;
}

size_t DispatchData::hash() const {
    // FNV-1a over the byte sequence.
    uint64_t h = 1469598103934665603ull;
    for (const auto& r : regions_)
        for (uint8_t b : r) {
            h ^= b;
            h *= 1099511628211ull;
        }
    return size_t(h);
}

}  // namespace quorvane::platform
