#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::yaml {

using u128 = unsigned __int128;
using i128 = __int128;

// "~", "null", "Null" or "NULL" (the empty scalar is tested separately).
bool is_null_word(std::string_view text);

// "true", "True", "TRUE", "false", "False", "FALSE".
std::optional<bool> parse_bool(std::string_view text);

// An optional "+", then decimal without leading zeros, or 0x/0o/0b digits.
std::optional<std::uint64_t> parse_unsigned_u64(std::string_view text);
std::optional<u128> parse_unsigned_u128(std::string_view text);
// A "-" followed by decimal, or -0x/-0o/-0b digits (also a plain decimal).
std::optional<std::int64_t> parse_negative_i64(std::string_view text);
std::optional<i128> parse_negative_i128(std::string_view text);
// A finite decimal float, or one of the .inf/.nan spellings.
std::optional<double> parse_float(std::string_view text);

// A numeral of two or more digits with a leading zero (after one optional
// sign): text, not a number.
bool digits_but_not_number(std::string_view text);

// What an untagged plain scalar reads as, in the order the reader tries.
enum class PlainKind { Null, Bool, Unsigned, Negative, BigUnsigned, BigNegative, Float, Text };

struct PlainScalar {
    PlainKind kind = PlainKind::Text;
    bool flag = false;
    std::uint64_t unsigned_value = 0;
    std::int64_t negative_value = 0;
    u128 big_unsigned = 0;
    i128 big_negative = 0;
    double float_value = 0;
};

PlainScalar classify_plain(std::string_view text);

// True when `text`, written as a plain scalar, would read back as something
// other than this text (null, boolean, number, or a leading-zero numeral).
bool plain_would_change_meaning(std::string_view text);

// Decimal digits of 128-bit integers, for error descriptions.
std::string to_decimal(u128 value);
std::string to_decimal(i128 value);

// A float the way error descriptions show it: shortest round-trip digits in
// positional notation, ".0" added to whole numbers, "inf", "-inf", "NaN".
std::string format_float(double value);

} // namespace corvane::yaml
