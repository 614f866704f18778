// The characters the fast path's readers tell apart. Internal to the fast path.
#pragma once

#include "errors/utf8.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace corvane::yaml::fast_path {

// The byte length of the character at text[at] when libyaml 0.2.5 reads it
// as an ordinary printable character: no line break (NEL, LS, PS), no byte
// order mark, no tab, no control character, valid UTF-8. 0 for any other.
inline std::size_t printable_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return lead >= 0x20 && lead < 0x7F ? 1 : 0;
    const Utf8Character character = decode_utf8(text, at);
    const char32_t code = character.code;
    const bool printable = (code >= 0xA0 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
                           (code >= 0x10000 && code <= 0x10FFFF);
    if (!printable || code == 0xFEFF || code == 0x2028 || code == 0x2029)
        return 0;
    return character.length;
}

// A set of bytes, as a table.
struct ByteSet {
    std::array<bool, 256> member{};
    constexpr explicit ByteSet(std::string_view members) {
        for (char c : members)
            member[static_cast<unsigned char>(c)] = true;
    }
    constexpr bool operator()(char c) const { return member[static_cast<unsigned char>(c)]; }
};

// Characters that cannot start a plain scalar where libyaml would read
// something else (or refuse the text); '-', '?' and ':' are decided apart.
inline constexpr ByteSet kIndicators(",[]{}#&*!|>'\"%@`");

// The characters a quick line lets a plain key or value start with: none of
// them is an indicator, or starts a document marker at column 0.
inline constexpr ByteSet
    kQuickKeyStart("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_");
inline constexpr ByteSet
    kQuickValueStart("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_/.~+");

inline int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The digits of a \x, \u or \U escape in a double-quoted scalar.
inline std::size_t escape_digits(char letter) {
    switch (letter) {
    case 'x':
        return 2;
    case 'u':
        return 4;
    case 'U':
        return 8;
    default:
        return 0;
    }
}

// The character a one-letter escape stands for, as libyaml 0.2.5 has them
// ("\'" is not one of them); -1 for no such escape.
inline long simple_escape(char letter) {
    switch (letter) {
    case '0':
        return 0;
    case 'a':
        return 7;
    case 'b':
        return 8;
    case 't':
        return 9;
    case 'n':
        return 10;
    case 'v':
        return 11;
    case 'f':
        return 12;
    case 'r':
        return 13;
    case 'e':
        return 0x1B;
    case ' ':
        return ' ';
    case '"':
        return '"';
    case '/':
        return '/';
    case '\\':
        return '\\';
    case 'N':
        return 0x85;
    case '_':
        return 0xA0;
    case 'L':
        return 0x2028;
    case 'P':
        return 0x2029;
    default:
        return -1;
    }
}

} // namespace corvane::yaml::fast_path
