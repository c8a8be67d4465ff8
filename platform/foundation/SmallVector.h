#pragma once
// A vector that keeps its first N elements inside itself and moves to the heap only beyond
// them: for the many small lists (one or two extension objects, a handful of matched children)
// that would otherwise cost one allocation each.
//
// The usual vector operations with the usual meaning; iterators are plain pointers and, as with
// std::vector, any growth invalidates them (a move of the vector too, while it is inline).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvane::platform {

template <class T, size_t N>
class SmallVector {
    static_assert(N >= 1, "a small vector keeps at least one element inline");

public:
    using value_type = T;
    using size_type = size_t;
    using iterator = T*;
    using const_iterator = const T*;
    using reference = T&;
    using const_reference = const T&;

    SmallVector() noexcept = default;
    SmallVector(std::initializer_list<T> init) { assign(init.begin(), init.end()); }
    template <class It, class = typename std::iterator_traits<It>::iterator_category>
    SmallVector(It first, It last) {
        assign(first, last);
    }
    explicit SmallVector(const std::vector<T>& v) { assign(v.begin(), v.end()); }
    SmallVector(const SmallVector& other) { assign(other.begin(), other.end()); }
    SmallVector(SmallVector&& other) noexcept { takeFrom(other); }
    ~SmallVector() {
        clear();
        releaseHeap();
    }

    SmallVector& operator=(const SmallVector& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    SmallVector& operator=(SmallVector&& other) noexcept {
        if (this != &other) {
            clear();
            releaseHeap();
            takeFrom(other);
        }
        return *this;
    }
    SmallVector& operator=(std::initializer_list<T> init) {
        assign(init.begin(), init.end());
        return *this;
    }

    template <class It>
    void assign(It first, It last) {
        clear();
        if constexpr (std::is_base_of_v<std::forward_iterator_tag, typename std::iterator_traits<It>::iterator_category>)
            reserve(size_t(std::distance(first, last)));
        for (; first != last; ++first) emplace_back(*first);
    }

    std::vector<T> toVector() const { return std::vector<T>(begin(), end()); }

    iterator begin() noexcept { return data_; }
    iterator end() noexcept { return data_ + size_; }
    const_iterator begin() const noexcept { return data_; }
    const_iterator end() const noexcept { return data_ + size_; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }

    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& front() { return data_[0]; }
    const T& front() const { return data_[0]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }

    void reserve(size_t wanted) {
        if (wanted > capacity_) moveTo(wanted);
    }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) {
            // Built before the move, as an argument may refer to an element of this vector.
            T value(std::forward<Args>(args)...);
            moveTo(capacity_ * 2);
            return *::new (static_cast<void*>(data_ + size_++)) T(std::move(value));
        }
        return *::new (static_cast<void*>(data_ + size_++)) T(std::forward<Args>(args)...);
    }
    void push_back(const T& v) { emplace_back(v); }
    void push_back(T&& v) { emplace_back(std::move(v)); }
    void pop_back() { data_[--size_].~T(); }

    iterator erase(const_iterator first, const_iterator last) {
        T* f = const_cast<T*>(first);
        T* l = const_cast<T*>(last);
        if (f == l) return f;
        T* newEnd = std::move(l, end(), f);
        for (T* p = newEnd; p != end(); ++p) p->~T();
        size_ = uint32_t(newEnd - data_);
        return f;
    }
    iterator erase(const_iterator pos) { return erase(pos, pos + 1); }

    void clear() noexcept {
        for (size_t i = 0; i < size_; ++i) data_[i].~T();
        size_ = 0;
    }

    bool operator==(const SmallVector& other) const {
        return size_ == other.size_ && std::equal(begin(), end(), other.begin());
    }

private:
    T* inlineData() noexcept { return reinterpret_cast<T*>(inline_); }
    bool onHeap() const noexcept { return data_ != reinterpret_cast<const T*>(inline_); }

    void moveTo(size_t newCapacity) {
        T* fresh = std::allocator<T>().allocate(newCapacity);
        std::uninitialized_move(begin(), end(), fresh);
        for (size_t i = 0; i < size_; ++i) data_[i].~T();
        releaseHeap();
        data_ = fresh;
        capacity_ = uint32_t(newCapacity);
    }
    void releaseHeap() noexcept {
        if (onHeap()) std::allocator<T>().deallocate(data_, capacity_);
        data_ = inlineData();
        capacity_ = N;
    }
    // Takes the other's elements; leaves it empty and inline. Expects this one empty and inline.
    void takeFrom(SmallVector& other) noexcept {
        if (other.onHeap()) {
            data_ = other.data_;
            capacity_ = other.capacity_;
            size_ = other.size_;
            other.data_ = other.inlineData();
            other.capacity_ = N;
            other.size_ = 0;
            return;
        }
        std::uninitialized_move(other.begin(), other.end(), data_);
        size_ = other.size_;
        other.clear();
    }

    T* data_ = inlineData();
    uint32_t size_ = 0;
    uint32_t capacity_ = N;
    alignas(T) unsigned char inline_[sizeof(T) * N];
};

}  // namespace quorvane::platform
