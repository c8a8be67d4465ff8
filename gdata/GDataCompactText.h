#pragma once
// GDataCompactText: an optional string in 16 bytes, for the text content of parsed objects (a
// feed holds thousands of them). Text of up to 14 bytes sits inside; longer text in one block.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

class GDataCompactText {
public:
    GDataCompactText() { clear(); }
    GDataCompactText(const GDataCompactText& other) {
        clear();
        if (other.hasValue()) assign(other.view());
    }
    GDataCompactText(GDataCompactText&& other) noexcept {
        std::memcpy(static_cast<void*>(this), &other, sizeof *this);
        other.markNone();
    }
    GDataCompactText& operator=(const GDataCompactText& other) {
        if (this != &other) {
            if (other.hasValue()) assign(other.view());
            else reset();
        }
        return *this;
    }
    GDataCompactText& operator=(GDataCompactText&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(static_cast<void*>(this), &other, sizeof *this);
            other.markNone();
        }
        return *this;
    }
    GDataCompactText& operator=(const std::optional<std::string>& value) {
        if (value) assign(*value);
        else reset();
        return *this;
    }
    ~GDataCompactText() { release(); }

    bool hasValue() const { return kind() != kNone; }
    explicit operator bool() const { return hasValue(); }
    // The text; empty when there is none.
    std::string_view view() const {
        switch (kind()) {
            case kInline: return {bytes_, size_t(uint8_t(bytes_[kInlineSize]))};
            case kHeap: {
                Heap h;
                std::memcpy(&h, bytes_, sizeof h);
                return {h.data, h.size};
            }
            default: return {};
        }
    }
    std::optional<std::string> value() const {
        if (!hasValue()) return std::nullopt;
        return std::string(view());
    }
    void assign(std::string_view text) {
        release();
        if (text.size() <= kInlineSize) {
            if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
            bytes_[kInlineSize] = char(uint8_t(text.size()));
            bytes_[kKindAt] = char(kInline);
            return;
        }
        char* data = static_cast<char*>(std::malloc(text.size()));
        if (!data) throw std::bad_alloc();
        std::memcpy(data, text.data(), text.size());
        Heap h{data, uint32_t(text.size())};
        std::memcpy(bytes_, &h, sizeof h);
        bytes_[kKindAt] = char(kHeap);
    }
    void reset() {
        release();
        markNone();
    }
    bool operator==(const GDataCompactText& other) const {
        return hasValue() == other.hasValue() && view() == other.view();
    }

private:
    static constexpr size_t kInlineSize = 14;  // bytes 0-13 the text, 14 its length, 15 the kind
    static constexpr size_t kKindAt = 15;
    enum Kind : uint8_t { kNone = 0, kInline = 1, kHeap = 2 };
    struct Heap {
        char* data;
        uint32_t size;
    };
    Kind kind() const { return Kind(uint8_t(bytes_[kKindAt])); }
    void markNone() { bytes_[kKindAt] = char(kNone); }
    void clear() { std::memset(bytes_, 0, sizeof bytes_); }
    void release() {
        if (kind() == kHeap) {
            Heap h;
            std::memcpy(&h, bytes_, sizeof h);
            std::free(h.data);
        }
        markNone();
    }

    char bytes_[16];
};

static_assert(sizeof(GDataCompactText) == 16);

}  // namespace quorvane
