// The AVX2 window: a line read whole from the bit masks of its first 32 or 64
// bytes, in stage 1 and stage 2, where the processor has AVX2 (see the
// grammar in fast_reader.hpp). The only file with target attributes: they
// stay on each function, so that no AVX2 copy of an inline helper from a
// header can be picked by code that runs on any processor.
#include "yaml/fast_path/characters.hpp"
#include "yaml/fast_path/fast_reader.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

namespace corvane::yaml {
namespace fast_path {

bool processor_has_avx2() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2");
}

namespace {

// A line the window takes reads exactly as quick_line and the careful reader
// read it; one it declines is none quick_line takes (the careful reader reads
// it); one it cannot decide (longer, or too near the text's end) goes on to
// quick_line.
enum class Window : std::uint8_t { Taken, Declined, Undecided };

// One bit per byte of a window from a line's start, for the bytes a quick
// line is read by.
struct WindowMasks {
    std::uint64_t newline = 0;
    std::uint64_t space = 0;
    std::uint64_t colon = 0;
    std::uint64_t hash = 0;
    std::uint64_t refused = 0; // below 0x20 (the newline too), DEL, and all of UTF-8's
};

[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline std::uint64_t bits_of(__m256i found,
                                                                                  unsigned shift) {
    return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(found))} << shift;
}

// Adds the classes of data[0, 32) to `masks` from bit `shift` on.
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline void
classify(const char *data, unsigned shift, WindowMasks &masks) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data));
    masks.newline |= bits_of(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n')), shift);
    masks.space |= bits_of(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' ')), shift);
    masks.colon |= bits_of(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(':')), shift);
    masks.hash |= bits_of(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('#')), shift);
    // Signed, the bytes from 0x80 up are below 0x20.
    masks.refused |= bits_of(_mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), bytes),
                                             _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(0x7F))),
                             shift);
}

// The bits of `a` or `b` in the first `count` (32 or 64) bytes at `data`.
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline std::uint64_t
either_mask(const char *data, unsigned count, char a, char b) {
    std::uint64_t mask = 0;
    for (unsigned k = 0; k < count; k += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + k));
        mask |= bits_of(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(a)),
                                        _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(b))),
                        k);
    }
    return mask;
}

// The bits from `from` up (below 64).
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline std::uint64_t bits_from(unsigned from) {
    return ~std::uint64_t{0} << from;
}

// The lines quick_line reads, and those a little nearer the text's end, from
// the bit masks of the line's first 32 bytes (or 64): a line that ends within
// them is read with no loop over its bytes. A line it takes reads exactly as
// quick_line and the careful reader read it; one it declines is not a quick line.
template <bool Locate>
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline Window
window_line(std::string_view text, std::size_t start, Line &line) {
    const char *data = text.data() + start;
    const std::size_t left = text.size() - start;
    if (left < 32)
        return Window::Undecided;
    WindowMasks masks;
    classify(data, 0, masks);
    unsigned window = 32;
    if (masks.newline == 0) {
        if (left < 64)
            return Window::Undecided;
        classify(data + 32, 32, masks);
        window = 64;
        if (masks.newline == 0)
            return Window::Undecided;
    }
    const auto end = static_cast<unsigned>(std::countr_zero(masks.newline));
    const std::uint64_t in_line = ~bits_from(end);
    if ((masks.refused & in_line) != 0)
        return Window::Declined; // tabs, control characters, UTF-8: read closely
    const auto indent = static_cast<unsigned>(std::countr_zero(~masks.space));
    line.indent = indent;
    line.next = start + end + 1;
    const char first = data[indent];
    if (indent == end || first == '#') { // blank, or a comment of printable ASCII
        line.is_entry = false;
        return Window::Taken;
    }
    if (!kQuickKeyStart(first))
        return Window::Declined;
    // The key runs to the first space, ':' or line end, which must be a ':'
    // followed by a space or the line's end.
    const auto colon = static_cast<unsigned>(
        std::countr_zero((masks.space | masks.colon | masks.newline) & bits_from(indent + 1)));
    if ((masks.colon >> colon & 1) == 0)
        return Window::Declined;
    line.is_entry = true;
    line.has_value = false;
    if constexpr (Locate) {
        line.key = Scalar{start + indent, start + colon, indent, ScalarStyle::Plain, false};
        line.after_colon = colon + 1;
    }
    if (colon + 1 == end)
        return Window::Taken;
    if ((masks.space >> (colon + 1) & 1) == 0)
        return Window::Declined;
    const auto lead = static_cast<unsigned>(std::countr_zero(~masks.space & bits_from(colon + 1)));
    if (lead == end)
        return Window::Taken;
    const char c = data[lead];
    const std::uint64_t rest = in_line & bits_from(lead + 1);
    if (c == '"' || c == '\'') {
        // Nothing that closes or escapes before the quote that ends the line.
        const std::uint64_t stops = either_mask(data, window, c, '\\') & rest;
        if (stops != std::uint64_t{1} << (end - 1) || data[end - 1] != c)
            return Window::Declined;
        line.has_value = true;
        if constexpr (Locate)
            line.value =
                Scalar{start + lead + 1, start + end - 1, lead,
                       c == '"' ? ScalarStyle::DoubleQuoted : ScalarStyle::SingleQuoted, false};
        return Window::Taken;
    }
    if (!kQuickValueStart(c))
        return Window::Declined;
    // No mapping inside the value (a ':' before a blank) and no comment.
    const std::uint64_t blank_after = (masks.space | masks.newline) >> 1;
    if ((masks.colon & blank_after & rest) != 0 || (masks.hash & masks.space << 1 & rest) != 0)
        return Window::Declined;
    line.has_value = true;
    if constexpr (Locate) {
        // Trailing spaces are not the value's.
        const auto content_end =
            static_cast<unsigned>(64 - std::countl_zero(~masks.space & in_line));
        line.value = Scalar{start + lead, start + content_end, lead, ScalarStyle::Plain, false};
    }
    return Window::Taken;
}
} // namespace
} // namespace fast_path

using fast_path::careful_line;
using fast_path::quick_line;
using fast_path::Window;
using fast_path::window_line;

[[gnu::target("avx2,bmi,bmi2")]] bool FastReader::accepts_wide(std::string_view text) {
    fast_path::Nesting nesting;
    Line line;
    for (std::size_t position = 0; position < text.size(); position = line.next) {
        switch (window_line<false>(text, position, line)) {
        case Window::Taken:
            break;
        case Window::Declined:
            if (!careful_line(text, position, line))
                return false;
            break;
        case Window::Undecided:
            if (!quick_line(text, position, line, true) && !careful_line(text, position, line))
                return false;
            break;
        }
        if (!nesting.add(line))
            return false;
    }
    return true;
}
[[gnu::target("avx2,bmi,bmi2")]] void FastReader::next_line_wide() {
    while (position_ < text_.size()) {
        const std::size_t start = position_;
        switch (window_line<true>(text_, start, line_)) {
        case Window::Taken:
            break;
        case Window::Declined: // stage 1 took every line
            (void)careful_line(text_, start, line_);
            break;
        case Window::Undecided:
            if (!quick_line(text_, start, line_, true))
                (void)careful_line(text_, start, line_);
            break;
        }
        if (enter_line(start))
            return;
    }
    close_at_end();
}
} // namespace corvane::yaml
#endif
