#pragma once
// The outcome of an operation that can fail, returned by value: its value on success, or the
// Error saying why it failed. Result<void> carries only the status.
//
//     platform::Result<Contact> r = store.contactWithIdentifier(id);
//     if (!r) return r.error();
//     use(r.value());      // or *r, r->member
//
// Reading the value of a failure, or error() of a success, is a broken contract: it is reported to
// the assertion handler (value() then throws std::bad_variant_access; error() gives an empty Error).

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/foundation/Error.h"
#include "platform/foundation/Log.h"

namespace quorvane::platform {

namespace detail {
inline const Error& noError() {
    static const Error empty;
    return empty;
}
}  // namespace detail

template <class T>
class Result {
    static_assert(!std::is_reference_v<T> && !std::is_same_v<std::decay_t<T>, Error>,
                  "a result holds a value of its own, never an Error");

public:
    // A success, from anything a T can be made of (so `return "text";` and `return nullptr;` read
    // naturally), and a failure from an Error.
    template <class U = T,
              std::enable_if_t<std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, Error> &&
                                   !std::is_same_v<std::decay_t<U>, Result>,
                               int> = 0>
    Result(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return checkedValue(*this); }
    const T& value() const& { return checkedValue(*this); }
    T&& value() && { return std::move(checkedValue(*this)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The value on success, the fallback on failure.
    template <class U>
    T valueOr(U&& fallback) const& {
        return ok() ? std::get<0>(state_) : T(std::forward<U>(fallback));
    }
    template <class U>
    T valueOr(U&& fallback) && {
        return ok() ? std::move(std::get<0>(state_)) : T(std::forward<U>(fallback));
    }

    const Error& error() const {
        if (!QV_ASSERT(!ok(), "error() read from a successful result")) return detail::noError();
        return std::get<1>(state_);
    }

private:
    template <class Self>
    static auto& checkedValue(Self& self) {
        QV_ASSERT(self.ok(), "value() read from a failed result: " + self.error().localizedDescription());
        return std::get<0>(self.state_);
    }

    std::variant<T, Error> state_;
};

template <>
class Result<void> {
public:
    Result() = default;  // success
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }

    const Error& error() const {
        if (!QV_ASSERT(error_.has_value(), "error() read from a successful result")) return detail::noError();
        return *error_;
    }

private:
    std::optional<Error> error_;
};

}  // namespace quorvane::platform
