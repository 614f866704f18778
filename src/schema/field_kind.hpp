#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace corvane {

// The kind of value a record's setting holds, as stated in the field tables.
// Each kind names what it expects in error messages ("expected u16").
enum class FieldKind { Text, Bool, U16, U32, U64, Usize };

constexpr std::string_view expected_text(FieldKind kind) {
    switch (kind) {
    case FieldKind::Text:
        return "a string";
    case FieldKind::Bool:
        return "a boolean";
    case FieldKind::U16:
        return "u16";
    case FieldKind::U32:
        return "u32";
    case FieldKind::U64:
        return "u64";
    case FieldKind::Usize:
        return "usize";
    }
    return "a string";
}

// Whether a setting is required, in the rows of a field table.
inline constexpr bool kRequired = true;
inline constexpr bool kOptional = false;

template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};

template <class T> struct Unwrapped { using type = T; };
template <class T> struct Unwrapped<std::optional<T>> { using type = T; };

// Whether a slot of type Slot (optional or not) can hold a value of `kind`:
// lets the tables check at compile time that each row's stated kind matches
// its member.
template <class Slot> constexpr bool holds(FieldKind kind) {
    using Value = typename Unwrapped<Slot>::type;
    switch (kind) {
    case FieldKind::Text:
        return std::is_same_v<Value, std::string>;
    case FieldKind::Bool:
        return std::is_same_v<Value, bool>;
    case FieldKind::U16:
        return std::is_same_v<Value, std::uint16_t>;
    case FieldKind::U32:
        return std::is_same_v<Value, std::uint32_t>;
    case FieldKind::U64:
    case FieldKind::Usize:
        return std::is_same_v<Value, std::uint64_t>;
    }
    return false;
}

} // namespace corvane
