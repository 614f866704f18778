// The fast path's one byte-search kernel, portable (eight bytes in a word)
// and SSE2 (sixteen), and the classes of bytes it looks for. Internal to the
// fast path; the AVX2 window has its own masks (avx2_window.cpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane::yaml::fast_path {

// Eight bytes at a time (SWAR). Each test is exact for the word as a whole:
// a borrow or carry can only mark bytes above one that matches already, so
// the lowest byte marked is the first match.
inline constexpr std::uint64_t kEveryByte = 0x0101010101010101ull;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// The word at `at`, its first byte lowest on every processor.
inline std::uint64_t load_word(const char *at) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::big)
        word = __builtin_bswap64(word);
    return word;
}
// Nonzero when a byte of `word` is below `limit` (at most 128).
constexpr std::uint64_t any_below(std::uint64_t word, std::uint64_t limit) {
    return (word - kEveryByte * limit) & ~word & kHighBits;
}
// Nonzero when a byte of `word` is above `limit` (at most 127).
constexpr std::uint64_t any_above(std::uint64_t word, std::uint64_t limit) {
    return ((word + kEveryByte * (127 - limit)) | word) & kHighBits;
}
constexpr std::uint64_t any_equal(std::uint64_t word, char c) {
    return any_below(word ^ (kEveryByte * static_cast<unsigned char>(c)), 1);
}

// A class of bytes to stop at: `one` and `two` (the same byte when only one
// is wanted) and, when `below` is not 0, every byte below it, DEL and every
// byte from 0x80 up (all of UTF-8's). With `other_than`, every byte but
// `one` instead.
struct Stops {
    unsigned char below = 0;
    char one = 0;
    char two = 0;
    bool other_than = false;

    // Whether `c` must be tested apart from the bytes below `below`.
    constexpr bool apart(char c) const { return static_cast<unsigned char>(c) >= below; }

    constexpr bool byte(char c) const {
        const auto u = static_cast<unsigned char>(c);
        if (other_than)
            return c != one;
        return (below != 0 && (u < below || u >= 0x7F)) || c == one || c == two;
    }
    constexpr std::uint64_t word(std::uint64_t w) const {
        if (other_than)
            return w ^ (kEveryByte * static_cast<unsigned char>(one));
        std::uint64_t found = 0;
        if (apart(one))
            found |= any_equal(w, one);
        if (two != one && apart(two))
            found |= any_equal(w, two);
        if (below != 0)
            found |= any_below(w, below) | any_above(w, 0x7E);
        return found;
    }
};

// A plain key's run: up to a blank or ':', or a byte to look at closely.
inline constexpr Stops kKeyStops{0x21, ':', ':'};
inline constexpr Stops kValueStops{0x20, ':', '#'};
inline constexpr Stops kCommentStops{0x20, '\0', '\0'}; // the newline is below 0x20
inline constexpr Stops kDoubleQuotedStops{0x20, '"', '\\'};
// A backslash stops single-quoted text too, as it stops the AVX2 window.
inline constexpr Stops kSingleQuotedStops{0x20, '\'', '\\'};
inline constexpr Stops kNotSpace{0, ' ', ' ', true};

// The first byte of `stops` from `at` on, or the text's end. Sixteen bytes at
// a time with SSE2 (every x86-64 has it) when `vector`; then, or past the
// last sixteen, eight at a time in a word; the last few one by one.
template <Stops stops>
std::size_t find_first(std::string_view text, std::size_t at, bool vector = false) {
    const char *data = text.data();
#if defined(__SSE2__)
    if (vector) {
        for (; text.size() - at >= 16; at += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + at));
            __m128i found = _mm_setzero_si128();
            if constexpr (stops.other_than) {
                found = _mm_xor_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(stops.one)),
                                      _mm_set1_epi8(-1));
            } else {
                if constexpr (stops.apart(stops.one))
                    found = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(stops.one));
                if constexpr (stops.two != stops.one && stops.apart(stops.two))
                    found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(stops.two)));
                if constexpr (stops.below != 0) {
                    // Signed, the bytes from 0x80 up are below every limit.
                    const __m128i below = _mm_set1_epi8(static_cast<char>(stops.below));
                    found = _mm_or_si128(found,
                                         _mm_or_si128(_mm_cmplt_epi8(bytes, below),
                                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x7F))));
                }
            }
            if (const int mask = _mm_movemask_epi8(found); mask != 0)
                return at + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
        }
    }
#else
    (void)vector;
#endif
    for (; text.size() - at >= 8; at += 8) {
        if (const std::uint64_t found = stops.word(load_word(data + at)); found != 0)
            return at + static_cast<std::size_t>(std::countr_zero(found) / 8);
    }
    while (at < text.size() && !stops.byte(data[at]))
        ++at;
    return at;
}

} // namespace corvane::yaml::fast_path
