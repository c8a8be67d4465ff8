#pragma once
// GDataUtilities: the text filter every written XML text passes, number reading with
// infinities, deep copies of arrays and dictionaries, URL and percent encodings, key=value
// response parsing, dotted version comparison and MIME types of file-name extensions.
// Text is UTF-8; character rules apply to Unicode code points.

#include <concepts>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

namespace quorvane {

namespace gdata_detail {

template <class T>
struct IsSharedPtr : std::false_type {};
template <class T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

template <class T>
concept MapLike = requires { typename T::key_type; typename T::mapped_type; };

// A copy of one element: objects with a copy() member are copied through it, other objects
// held by pointer by their copy constructor, plain values as they are.
template <class T>
T copyOf(const T& value) {
    if constexpr (IsSharedPtr<T>::value) {
        using Element = typename T::element_type;
        if (!value) return nullptr;
        if constexpr (requires { value->copy(); }) {
            auto copied = value->copy();
            if constexpr (std::is_convertible_v<decltype(copied), T>)
                return copied;
            else
                return std::dynamic_pointer_cast<Element>(copied);
        } else {
            return std::make_shared<std::remove_const_t<Element>>(*value);
        }
    } else {
        return value;
    }
}

// nil-ness of the kinds of values callers hold: null pointers and empty optionals are nil.
template <class T>
struct Nil {
    static bool isNil(const T&) { return false; }
    static const T& get(const T& v) { return v; }
    static const void* address(const T&) { return nullptr; }
};
template <class T>
struct Nil<std::optional<T>> {
    static bool isNil(const std::optional<T>& v) { return !v.has_value(); }
    static const T& get(const std::optional<T>& v) { return *v; }
    static const void* address(const std::optional<T>&) { return nullptr; }
};
template <class T>
struct Nil<std::shared_ptr<T>> {
    static bool isNil(const std::shared_ptr<T>& v) { return !v; }
    static const T& get(const std::shared_ptr<T>& v) { return *v; }
    static const void* address(const std::shared_ptr<T>& v) { return v.get(); }
};
template <class T>
struct Nil<T*> {
    static bool isNil(T* v) { return v == nullptr; }
    static const T& get(T* v) { return *v; }
    static const void* address(T* v) { return v; }
};
template <>
struct Nil<std::nullptr_t> {
    static bool isNil(std::nullptr_t) { return true; }
    static std::nullptr_t get(std::nullptr_t) { return nullptr; }
    static const void* address(std::nullptr_t) { return nullptr; }
};

template <class A, class B>
bool objectsEqual(const A& a, const B& b) {
    if constexpr (requires { a.isEqual(b); })
        return a.isEqual(b);
    else
        return a == b;
}

}  // namespace gdata_detail

// YES when both are the same object or both nil; NO when exactly one is nil; else whether the
// first equals the second (its isEqual() when it has one, else ==). Works on shared and raw
// pointers, optionals and plain values.
template <class A, class B>
bool AreEqualOrBothNil(const A& a, const B& b) {
    using NA = gdata_detail::Nil<std::decay_t<A>>;
    using NB = gdata_detail::Nil<std::decay_t<B>>;
    const void* pa = NA::address(a);
    if (pa && pa == NB::address(b)) return true;
    bool aNil = NA::isNil(a), bNil = NB::isNil(b);
    if (aNil || bNil) return aNil && bNil;
    return gdata_detail::objectsEqual(NA::get(a), NB::get(b));
}

// YES when both are true or both false, whatever their non-zero values.
constexpr bool AreBoolsEqual(long long a, long long b) { return (a != 0) == (b != 0); }

class GDataUtilities {
public:
    // Removes what XML 1.0 forbids: the C0 controls except tab, line feed and carriage return,
    // U+FFFE, U+FFFF and (unpaired) surrogates. Format characters such as joiners, direction
    // marks and soft hyphens stay. Gives back the input itself when there is nothing to remove.
    // Other ill-formed bytes are kept as they are.
    static std::string stringWithControlsFilteredForString(std::string str);
    // Whether that filter would remove anything from the string.
    static bool stringHasControlsToFilter(std::string_view str);

    // nullopt for a missing or empty string; else its leading number (0 when none), where a
    // string reading zero that is "INF" or "-INF" (any case) gives an infinity.
    static std::optional<double> doubleNumberOrInfForString(std::optional<std::string_view> str);

    // A new array of a copy of each element, in order (nil for nil).
    template <class T>
    static std::vector<T> arrayWithCopiesOfObjectsInArray(const std::vector<T>& array) {
        std::vector<T> out;
        out.reserve(array.size());
        for (const auto& element : array) out.push_back(gdata_detail::copyOf(element));
        return out;
    }
    template <class T>
    static std::optional<std::vector<T>> arrayWithCopiesOfObjectsInArray(const std::optional<std::vector<T>>& array) {
        if (!array) return std::nullopt;
        return arrayWithCopiesOfObjectsInArray(*array);
    }
    template <class A>
    static auto mutableArrayWithCopiesOfObjectsInArray(const A& array) {
        return arrayWithCopiesOfObjectsInArray(array);
    }

    // A new dictionary with the same keys and a copy of each value (nil for nil).
    template <gdata_detail::MapLike M>
    static M dictionaryWithCopiesOfObjectsInDictionary(const M& dict) {
        M out;
        for (const auto& [key, value] : dict) out.emplace(key, gdata_detail::copyOf(value));
        return out;
    }
    template <gdata_detail::MapLike M>
    static std::optional<M> dictionaryWithCopiesOfObjectsInDictionary(const std::optional<M>& dict) {
        if (!dict) return std::nullopt;
        return dictionaryWithCopiesOfObjectsInDictionary(*dict);
    }
    template <class D>
    static auto mutableDictionaryWithCopiesOfObjectsInDictionary(const D& dict) {
        return dictionaryWithCopiesOfObjectsInDictionary(dict);
    }

    // A new dictionary in which each array value becomes a new array of copies of its elements
    // and every other value a copy (nil for nil).
    template <gdata_detail::MapLike M>
    static M mutableDictionaryWithCopiesOfArraysInDictionary(const M& dict) {
        M out;
        for (const auto& [key, value] : dict) {
            if constexpr (gdata_detail::IsVector<typename M::mapped_type>::value)
                out.emplace(key, arrayWithCopiesOfObjectsInArray(value));
            else
                out.emplace(key, gdata_detail::copyOf(value));
        }
        return out;
    }
    template <gdata_detail::MapLike M>
    static std::optional<M> mutableDictionaryWithCopiesOfArraysInDictionary(const std::optional<M>& dict) {
        if (!dict) return std::nullopt;
        return mutableDictionaryWithCopiesOfArraysInDictionary(*dict);
    }
    template <class D>
    static auto dictionaryWithCopiesOfArraysInDictionary(const D& dict) {
        return mutableDictionaryWithCopiesOfArraysInDictionary(dict);
    }

    // Percent-encodes (UTF-8, upper-case hex) every character not allowed in a URL path:
    // all but ASCII letters, digits and ! $ & ' ( ) * + , - . / : = @ _ ~
    static std::string stringByURLEncodingString(std::string_view str);
    // Percent-encodes every character but ASCII letters, digits, "-", ".", "_", "~" and the space.
    static std::string stringByURLEncodingForURI(std::string_view str);
    // stringByURLEncodingForURI, then each space written as "+": a form parameter value.
    static std::string stringByURLEncodingStringParameter(std::string_view str);
    // Writes "%" and every byte below 32 or above 126 as "%XX"; gives back the input itself when
    // no byte needs it.
    static std::string stringByPercentEncodingUTF8ForString(std::string str);

    // The elements whose value at the key path (a member, a member function or any callable
    // on the element) equals the value; see AreEqualOrBothNil.
    template <class T, class V, class KeyPath>
    static std::vector<T> objectsFromArray(const std::vector<T>& array, const V& value, KeyPath&& keyPath) {
        std::vector<T> out;
        for (const auto& element : array)
            if (AreEqualOrBothNil(std::invoke(keyPath, element), value)) out.push_back(element);
        return out;
    }
    // The first such element: null (for pointers) or nullopt when none.
    template <class T, class V, class KeyPath>
    static auto firstObjectFromArray(const std::vector<T>& array, const V& value, KeyPath&& keyPath)
        -> std::conditional_t<gdata_detail::IsSharedPtr<T>::value || std::is_pointer_v<T>, T, std::optional<T>> {
        for (const auto& element : array)
            if (AreEqualOrBothNil(std::invoke(keyPath, element), value)) return element;
        return {};
    }

    // Lines of "key=value", split at "\n"; white space before the key and before the value is
    // skipped; lines without "=", with an empty key or an empty value are left out; a later key
    // replaces an earlier one. nullopt for nullopt.
    static std::optional<std::map<std::string, std::string>> dictionaryWithResponseString(
        std::optional<std::string_view> str);
    // The same for UTF-8 data; nullopt when the data is not UTF-8.
    static std::optional<std::map<std::string, std::string>> dictionaryWithResponseData(const platform::Bytes& data);

    // Compares up to four dot-separated integers, missing parts counting as 0 ("2.0" equals "2",
    // "2.9" < "2.10" < "3.0"; "1.0beta" reads as "1.0"). -1, 0 or 1; nullopt reads as "".
    static int compareVersion(std::optional<std::string_view> v1, std::optional<std::string_view> v2);

    // The usual MIME type of the path's file-name extension; the default when there is none.
    static std::optional<std::string> MIMETypeForFileAtPath(std::string_view path,
                                                            std::optional<std::string> defaultMIMEType);
};

}  // namespace quorvane
