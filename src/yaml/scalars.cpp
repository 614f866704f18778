#include "yaml/scalars.hpp"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace corvane::yaml {
namespace {

bool starts_with_sign(std::string_view text) {
    return !text.empty() && (text.front() == '+' || text.front() == '-');
}

int digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

// Non-empty digits of `radix`, accumulated into Unsigned without overflow.
template <class Unsigned>
std::optional<Unsigned> digits_in_radix(std::string_view digits, int radix) {
    if (digits.empty())
        return std::nullopt;
    Unsigned value = 0;
    const Unsigned limit = static_cast<Unsigned>(~Unsigned{0});
    for (char c : digits) {
        int digit = digit_value(c);
        if (digit >= radix)
            return std::nullopt;
        if (value > (limit - static_cast<Unsigned>(digit)) / static_cast<Unsigned>(radix))
            return std::nullopt;
        value = value * static_cast<Unsigned>(radix) + static_cast<Unsigned>(digit);
    }
    return value;
}

// An optional single sign, then digits of `radix`, fitting Signed.
template <class Signed, class Unsigned>
std::optional<Signed> signed_in_radix(std::string_view text, int radix) {
    bool negative = false;
    if (starts_with_sign(text)) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    auto magnitude = digits_in_radix<Unsigned>(text, radix);
    if (!magnitude)
        return std::nullopt;
    const Unsigned max_positive = static_cast<Unsigned>(~Unsigned{0}) >> 1;
    if (!negative) {
        if (*magnitude > max_positive)
            return std::nullopt;
        return static_cast<Signed>(*magnitude);
    }
    if (*magnitude > max_positive + 1)
        return std::nullopt;
    if (*magnitude == max_positive + 1)
        return static_cast<Signed>(-static_cast<Signed>(max_positive) - 1);
    return static_cast<Signed>(-static_cast<Signed>(*magnitude));
}

struct RadixPrefix {
    std::string_view prefix;
    int radix;
};
constexpr RadixPrefix kPrefixes[] = {{"0x", 16}, {"0o", 8}, {"0b", 2}};

// Up to 19 decimal digits without a leading zero (or a lone "0"), the usual
// setting: it fits every Unsigned read, and the full rules below read it the
// same way.
std::optional<std::uint64_t> plain_decimal(std::string_view text) {
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<unsigned>(c - '0');
        if (digit > 9)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

template <class Unsigned> std::optional<Unsigned> parse_unsigned(std::string_view text) {
    if (const auto value = plain_decimal(text))
        return static_cast<Unsigned>(*value);
    std::string_view unpositive = text;
    if (!text.empty() && text.front() == '+') {
        unpositive.remove_prefix(1);
        if (starts_with_sign(unpositive))
            return std::nullopt;
    }
    for (const auto &[prefix, radix] : kPrefixes) {
        if (unpositive.starts_with(prefix)) {
            std::string_view rest = unpositive.substr(2);
            if (starts_with_sign(rest))
                return std::nullopt;
            if (auto value = digits_in_radix<Unsigned>(rest, radix))
                return value;
        }
    }
    if (starts_with_sign(unpositive) || digits_but_not_number(text))
        return std::nullopt;
    return digits_in_radix<Unsigned>(unpositive, 10);
}

template <class Signed, class Unsigned>
std::optional<Signed> parse_negative(std::string_view text) {
    for (const auto &[prefix, radix] : kPrefixes) {
        if (text.size() > 2 && text.front() == '-' && text.substr(1).starts_with(prefix)) {
            std::string_view rest = text.substr(3);
            // The digits are read with the minus sign put back in front of them.
            if (!starts_with_sign(rest)) {
                auto magnitude = digits_in_radix<Unsigned>(rest, radix);
                if (magnitude) {
                    auto value = signed_in_radix<Signed, Unsigned>(
                        std::string("-") + std::string(rest), radix);
                    if (value)
                        return value;
                }
            }
        }
    }
    if (digits_but_not_number(text))
        return std::nullopt;
    return signed_in_radix<Signed, Unsigned>(text, 10);
}

// Decimal float grammar: [-]digits[.digits][(e|E)[+-]digits] with at least
// one mantissa digit. The sign has been checked by the caller.
bool is_decimal_float(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-')
        ++i;
    std::size_t mantissa_digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i, ++mantissa_digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        std::size_t exponent_digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++exponent_digits;
        if (exponent_digits == 0)
            return false;
    }
    return i == text.size();
}

struct DecimalRead {
    double value;
    bool complete;     // every character was read
    bool out_of_range; // too large, or too small to be told from zero
};

// `text` (checked by is_decimal_float) as the nearest double, in the "C"
// locale whatever the process's locale. strtod_l rather than std::from_chars:
// libstdc++'s from_chars for double needs a newer C++ runtime than the wheel
// may assume, and, linked in statically, newer glibc symbols.
DecimalRead read_decimal(std::string_view text) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const std::string terminated(text); // strtod_l reads up to a NUL
    char *end = nullptr;
    errno = 0;
    const double value = strtod_l(terminated.c_str(), &end, c_locale);
    const bool range_error = errno == ERANGE && (std::isinf(value) || value == 0.0);
    return {value, end == terminated.c_str() + terminated.size(), range_error};
}

} // namespace

bool is_null_word(std::string_view text) {
    return text == "~" || text == "null" || text == "Null" || text == "NULL";
}

std::optional<bool> parse_bool(std::string_view text) {
    if (text == "true" || text == "True" || text == "TRUE")
        return true;
    if (text == "false" || text == "False" || text == "FALSE")
        return false;
    return std::nullopt;
}

bool digits_but_not_number(std::string_view text) {
    if (starts_with_sign(text))
        text.remove_prefix(1);
    if (text.size() <= 1 || text.front() != '0')
        return false;
    for (char c : text.substr(1))
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::optional<std::uint64_t> parse_unsigned_u64(std::string_view text) {
    return parse_unsigned<std::uint64_t>(text);
}
std::optional<u128> parse_unsigned_u128(std::string_view text) {
    return parse_unsigned<u128>(text);
}
std::optional<std::int64_t> parse_negative_i64(std::string_view text) {
    return parse_negative<std::int64_t, std::uint64_t>(text);
}
std::optional<i128> parse_negative_i128(std::string_view text) {
    return parse_negative<i128, u128>(text);
}

std::optional<double> parse_float(std::string_view text) {
    std::string_view unpositive = text;
    if (!text.empty() && text.front() == '+') {
        unpositive.remove_prefix(1);
        if (starts_with_sign(unpositive))
            return std::nullopt;
    }
    if (unpositive == ".inf" || unpositive == ".Inf" || unpositive == ".INF")
        return HUGE_VAL;
    if (text == "-.inf" || text == "-.Inf" || text == "-.INF")
        return -HUGE_VAL;
    if (text == ".nan" || text == ".NaN" || text == ".NAN")
        return std::nan("");
    if (!is_decimal_float(unpositive))
        return std::nullopt;
    auto [value, complete, out_of_range] = read_decimal(unpositive);
    if (out_of_range) {
        // Too small rounds to zero; too large is not a finite number.
        auto exponent = unpositive.find_first_of("eE");
        bool tiny = exponent != std::string_view::npos && unpositive[exponent + 1] == '-';
        if (!tiny)
            return std::nullopt;
        return unpositive.front() == '-' ? -0.0 : 0.0;
    }
    if (!complete || !std::isfinite(value))
        return std::nullopt;
    return value;
}

PlainScalar classify_plain(std::string_view text) {
    PlainScalar scalar;
    if (text.empty() || is_null_word(text)) {
        scalar.kind = PlainKind::Null;
    } else if (auto flag = parse_bool(text)) {
        scalar.kind = PlainKind::Bool;
        scalar.flag = *flag;
    } else if (auto value = parse_unsigned_u64(text)) {
        scalar.kind = PlainKind::Unsigned;
        scalar.unsigned_value = *value;
    } else if (auto negative = parse_negative_i64(text)) {
        scalar.kind = PlainKind::Negative;
        scalar.negative_value = *negative;
    } else if (auto big = parse_unsigned_u128(text)) {
        scalar.kind = PlainKind::BigUnsigned;
        scalar.big_unsigned = *big;
    } else if (auto big_negative = parse_negative_i128(text)) {
        scalar.kind = PlainKind::BigNegative;
        scalar.big_negative = *big_negative;
    } else if (auto number = digits_but_not_number(text) ? std::nullopt : parse_float(text)) {
        scalar.kind = PlainKind::Float;
        scalar.float_value = *number;
    }
    return scalar;
}

bool plain_would_change_meaning(std::string_view text) {
    return classify_plain(text).kind != PlainKind::Text || digits_but_not_number(text);
}

std::string to_decimal(u128 value) {
    char digits[40];
    int length = 0;
    do {
        digits[length++] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    std::string text;
    while (length > 0)
        text.push_back(digits[--length]);
    return text;
}

std::string to_decimal(i128 value) {
    if (value >= 0)
        return to_decimal(static_cast<u128>(value));
    std::string text = "-";
    text += to_decimal(static_cast<u128>(0) - static_cast<u128>(value));
    return text;
}

std::string format_float(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char buffer[64];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    (void)error;
    std::string_view scientific(buffer, static_cast<std::size_t>(end - buffer));
    // scientific is [-]d[.ddd]e(+|-)xx: spread it out positionally.
    std::string out;
    if (scientific.front() == '-') {
        out.push_back('-');
        scientific.remove_prefix(1);
    }
    auto e = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(0, e))
        if (c != '.')
            digits.push_back(c);
    int exponent = std::stoi(std::string(scientific.substr(e + 1)));
    int point = exponent + 1; // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

} // namespace corvane::yaml
