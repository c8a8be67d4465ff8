#pragma once
// Immutable bytes that are shared instead of copied.
//
// DataSlice is a window (offset, length) on a shared, never-changed buffer: copying a slice or
// taking a sub-slice copies no bytes. DispatchData is an ordered list of slices read as one byte
// sequence, possibly discontiguous (its "regions"); sub-ranges and concatenations share the
// slices they are made of.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

namespace quorvane::platform {

class DataSlice {
public:
    DataSlice() = default;
    // Takes the bytes over (no copy).
    explicit DataSlice(Bytes bytes);
    // The whole of a shared buffer; a null buffer is an empty slice.
    explicit DataSlice(std::shared_ptr<const Bytes> buffer);
    // A window on a shared buffer; the window is cut to the buffer's end.
    DataSlice(std::shared_ptr<const Bytes> buffer, size_t offset, size_t length);

    // New buffers holding a copy of the text or bytes.
    static DataSlice fromString(std::string_view text);
    static DataSlice copyOf(const uint8_t* bytes, size_t length);

    const uint8_t* data() const { return buffer_ ? buffer_->data() + offset_ : nullptr; }
    size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    const uint8_t* begin() const { return data(); }
    const uint8_t* end() const { return data() + length_; }
    uint8_t operator[](size_t i) const { return data()[i]; }

    // A sub-window sharing the same buffer; cut to this slice's end.
    DataSlice slice(size_t offset, size_t length) const;
    const std::shared_ptr<const Bytes>& buffer() const { return buffer_; }
    size_t offset() const { return offset_; }

    std::string_view view() const { return {reinterpret_cast<const char*>(data()), length_}; }
    Bytes bytes() const { return Bytes(begin(), end()); }

    // Equal when the bytes are equal.
    friend bool operator==(const DataSlice& a, const DataSlice& b) { return a.view() == b.view(); }

private:
    std::shared_ptr<const Bytes> buffer_;
    size_t offset_ = 0;
    size_t length_ = 0;
};

class DispatchData {
public:
    DispatchData() = default;
    explicit DispatchData(DataSlice slice);
    explicit DispatchData(Bytes bytes);
    static DispatchData fromString(std::string_view text);

    // Appends without copying bytes; empty slices are left out.
    void append(const DataSlice& slice);
    void append(const DispatchData& other);

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The non-empty slices, in order.
    const std::vector<DataSlice>& regions() const { return regions_; }

    // The bytes [offset, offset + length), cut to the end, sharing this data's buffers.
    DispatchData subrange(size_t offset, size_t length) const;
    // The bytes as one slice: the only region itself when there is one, else a copy.
    DataSlice contiguous() const;
    Bytes bytes() const;
    std::string string() const;

    // Equal when the byte sequences are equal, however they are cut into regions.
    friend bool operator==(const DispatchData& a, const DispatchData& b);
    // A hash of the byte sequence (independent of the regions).
    size_t hash() const;

private:
    std::vector<DataSlice> regions_;
    std::vector<size_t> starts_;  // offset of each region's first byte
    size_t size_ = 0;
};

}  // namespace quorvane::platform
