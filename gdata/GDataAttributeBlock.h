#pragma once
// GDataAttributeBlock: an object's local attributes, every name and value in one block of bytes,
// in the order they were set. A parsed object carries a few attributes that are read far more
// often than changed: one allocation holds them all, where a list of string pairs takes one per
// pair and one per long value.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <algorithm>
#include <utility>
#include <vector>

namespace quorvane {

class GDataAttributeBlock {
public:
    struct Item {
        std::string_view name;
        std::string_view value;
    };

    // Reads the items in order.
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Item;
        using difference_type = std::ptrdiff_t;
        using pointer = const Item*;
        using reference = Item;

        Iterator() = default;
        explicit Iterator(const char* at) : at_(at) {}
        Item operator*() const {
            size_t nameLength = lengthAt(at_);
            const char* name = at_ + kLengthSize;
            size_t valueLength = lengthAt(name + nameLength);
            return {{name, nameLength}, {name + nameLength + kLengthSize, valueLength}};
        }
        Iterator& operator++() {
            at_ = next(at_);
            return *this;
        }
        Iterator operator++(int) {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

    private:
        const char* at_ = nullptr;
    };

    Iterator begin() const { return Iterator(bytes_.data()); }
    Iterator end() const { return Iterator(bytes_.data() + bytes_.size()); }
    bool empty() const { return bytes_.empty(); }
    size_t size() const {
        size_t count = 0;
        for (const char* at = bytes_.data(), *end = at + bytes_.size(); at != end; at = next(at)) ++count;
        return count;
    }

    // The value of the attribute with that name; nullopt when there is none.
    std::optional<std::string_view> find(std::string_view name) const {
        for (Item item : *this)
            if (item.name == name) return item.value;
        return std::nullopt;
    }
    // Replaces the value in place, or appends the attribute.
    void set(std::string_view name, std::string_view value) {
        for (Item item : *this) {
            if (item.name == name) {
                const size_t valueAt = size_t(item.value.data() - bytes_.data());
                bytes_.replace(valueAt - kLengthSize, kLengthSize + item.value.size(), encoded(value));
                return;
            }
        }
        append(name, value);
    }
    // Appends without looking for the name (the caller knows it is not there).
    void append(std::string_view name, std::string_view value) {
        // Grown once for the whole attribute, to its exact size: four growths per attribute were
        // most of the cost of setting one.
        bytes_.reserve(bytes_.size() + kLengthSize * 2 + name.size() + value.size());
        appendLength(name.size());
        bytes_.append(name);
        appendLength(value.size());
        bytes_.append(value);
    }
    bool remove(std::string_view name) {
        for (Item item : *this) {
            if (item.name != name) continue;
            const size_t start = size_t(item.name.data() - bytes_.data()) - kLengthSize;
            bytes_.erase(start, kLengthSize * 2 + item.name.size() + item.value.size());
            return true;
        }
        return false;
    }
    // Room for attributes of that many name and value bytes in all.
    void reserveFor(size_t count, size_t textBytes) { bytes_.reserve(bytes_.size() + count * kLengthSize * 2 + textBytes); }

    // The same attributes with the same values, in any order.
    bool sameAttributesAs(const GDataAttributeBlock& other) const {
        size_t count = 0;
        for (Item item : *this) {
            auto found = other.find(item.name);
            if (!found || *found != item.value) return false;
            ++count;
        }
        return count == other.size();
    }

    std::vector<std::pair<std::string, std::string>> toDictionary() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (Item item : *this) out.emplace_back(item.name, item.value);
        return out;
    }
    void assign(const std::vector<std::pair<std::string, std::string>>& dictionary) {
        bytes_.clear();
        for (const auto& [name, value] : dictionary) set(name, value);
    }

private:
    static constexpr size_t kLengthSize = sizeof(uint32_t);
    static size_t lengthAt(const char* at) {
        uint32_t length;
        std::memcpy(&length, at, kLengthSize);
        return length;
    }
    static const char* next(const char* at) {
        at += kLengthSize + lengthAt(at);
        return at + kLengthSize + lengthAt(at);
    }
    static std::string encoded(std::string_view value) {
        std::string out(kLengthSize, '\0');
        const uint32_t length = uint32_t(value.size());
        std::memcpy(out.data(), &length, kLengthSize);
        out.append(value);
        return out;
    }
    void appendLength(size_t length) {
        const uint32_t value = uint32_t(length);
        bytes_.append(reinterpret_cast<const char*>(&value), kLengthSize);
    }

    // A growable byte string held by one pointer (the block holds its size and capacity before the
    // bytes): most objects have no attributes, and a parsed feed holds thousands of objects.
    class Bytes {
    public:
        Bytes() = default;
        Bytes(const Bytes& other) { append(other.data(), other.size()); }
        Bytes(Bytes&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
        Bytes& operator=(const Bytes& other) {
            if (this != &other) {
                clear();
                append(other.data(), other.size());
            }
            return *this;
        }
        Bytes& operator=(Bytes&& other) noexcept {
            if (this != &other) {
                std::free(block_);
                block_ = other.block_;
                other.block_ = nullptr;
            }
            return *this;
        }
        ~Bytes() { std::free(block_); }

        const char* data() const { return block_ ? block_->bytes() : nullptr; }
        size_t size() const { return block_ ? block_->size : 0; }
        bool empty() const { return size() == 0; }
        void clear() {
            if (block_) block_->size = 0;
        }
        void reserve(size_t capacity) {
            if (capacity <= (block_ ? block_->capacity : 0)) return;
            auto* grown = static_cast<Block*>(std::realloc(block_, sizeof(Block) + capacity));
            if (!grown) throw std::bad_alloc();
            if (!block_) grown->size = 0;
            grown->capacity = uint32_t(capacity);
            block_ = grown;
        }
        void append(const char* bytes, size_t length) {
            if (length == 0) return;
            const size_t used = size();
            if (used + length > (block_ ? block_->capacity : 0)) reserve(std::max(used + length, used + used / 2));
            std::memcpy(block_->bytes() + used, bytes, length);
            block_->size = uint32_t(used + length);
        }
        void append(std::string_view text) { append(text.data(), text.size()); }
        // Replaces `length` bytes at `at` with `with`.
        void replace(size_t at, size_t length, std::string_view with) {
            const size_t used = size();
            if (!block_ && with.empty()) return;
            const size_t tail = used - at - length;
            if (with.size() > length) reserve(used + with.size() - length);
            char* base = block_->bytes();
            if (tail) std::memmove(base + at + with.size(), base + at + length, tail);
            if (!with.empty()) std::memcpy(base + at, with.data(), with.size());
            block_->size = uint32_t(used - length + with.size());
        }
        void erase(size_t at, size_t length) { replace(at, length, {}); }

    private:
        struct Block {
            uint32_t size;
            uint32_t capacity;
            char* bytes() { return reinterpret_cast<char*>(this + 1); }
            const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
        };
        Block* block_ = nullptr;
    };

    Bytes bytes_;  // per attribute: name length, name, value length, value
};

}  // namespace quorvane
