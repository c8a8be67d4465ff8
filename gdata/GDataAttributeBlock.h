#pragma once
// GDataAttributeBlock: an object's local attributes, every name and value in one block of bytes,
// in the order they were set. A parsed object carries a few attributes that are read far more
// often than changed: one allocation holds them all, where a list of string pairs takes one per
// pair and one per long value.

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
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
        for (const char* at = bytes_.data(); at != bytes_.data() + bytes_.size(); at = next(at)) ++count;
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

    std::string bytes_;  // per attribute: name length, name, value length, value
};

}  // namespace quorvane
