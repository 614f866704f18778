#include "yaml/fast_path.hpp"

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <yaml.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CORVANE_WIDE_LANES 1
#endif

namespace corvane::yaml {

bool fast_path_enabled() {
    static const bool enabled = [] {
        const char *setting = std::getenv("CORVANE_YAML_FAST_PATH");
        if (setting != nullptr && std::strcmp(setting, "0") == 0)
            return false;
        int major = 0, minor = 0, patch = 0;
        yaml_get_version(&major, &minor, &patch);
        return major == 0 && minor == 2 && patch == 5;
    }();
    return enabled;
}

Lanes lanes_for(FastPath reading) {
    if (reading == FastPath::Portable || reading == FastPath::Off)
        return Lanes::Eight;
#if !defined(__SSE2__)
    return Lanes::Eight; // no vector reading here (aarch64): every reading is the portable one
#endif
#if defined(CORVANE_WIDE_LANES)
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                             __builtin_cpu_supports("bmi2");
    if (reading == FastPath::Allowed && wide)
        return Lanes::ThirtyTwo;
#endif
    return Lanes::Sixteen;
}

namespace {

// libyaml 0.2.5 gives up on a simple key (a key without "?") whose ':' comes
// more than this many characters after its start.
constexpr std::uint32_t kSimpleKeyLimit = 1024;

// The byte length of the character at text[at] when libyaml 0.2.5 reads it
// as an ordinary printable character: no line break (NEL, LS, PS), no byte
// order mark, no tab, no control character, valid UTF-8. 0 for any other.
std::size_t printable_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return lead >= 0x20 && lead < 0x7F ? 1 : 0;
    std::size_t length = 0;
    std::uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3Fu);
    }
    const bool shortest = (length == 2 && code >= 0x80) || (length == 3 && code >= 0x800) ||
                          (length == 4 && code >= 0x10000);
    const bool printable = (code >= 0xA0 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
                           (code >= 0x10000 && code <= 0x10FFFF);
    if (!shortest || !printable || code == 0xFEFF || code == 0x2028 || code == 0x2029)
        return 0;
    return length;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The digits of a \x, \u or \U escape in a double-quoted scalar.
std::size_t escape_digits(char letter) {
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
long simple_escape(char letter) {
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

void append_utf8(std::string &out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The printable ASCII characters other than `excluded`: a scan skips runs of
// them without looking further.
struct AsciiRun {
    std::array<bool, 256> member{};
    constexpr AsciiRun(std::string_view excluded, bool with_tab = false) {
        for (int c = 0x20; c < 0x7F; ++c)
            member[static_cast<std::size_t>(c)] =
                excluded.find(static_cast<char>(c)) == std::string_view::npos;
        member['\t'] = with_tab;
    }
    bool operator()(char c) const { return member[static_cast<unsigned char>(c)]; }
};

constexpr AsciiRun kPlainRun(" :");
constexpr AsciiRun kDoubleQuotedRun("\"\\");
constexpr AsciiRun kSingleQuotedRun("'");
constexpr AsciiRun kCommentRun("", true);
constexpr AsciiRun kIndicator(",[]{}#&*!|>'\"%@`");

// Characters that cannot start a plain scalar where libyaml would read
// something else (or refuse the text); '-', '?' and ':' are decided apart.
bool is_indicator(char c) {
    return c != ' ' && !kIndicator(c) && c >= 0x20 && c < 0x7F;
}

// Eight bytes at a time (SWAR). Each test is exact for the word as a whole:
// a borrow or carry can only mark bytes above one that matches already.
constexpr std::uint64_t kEveryByte = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

std::uint64_t load_word(const char *at) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, sizeof word);
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

// The spaces from `at` on.
std::size_t skip_spaces_from(std::string_view text, std::size_t at) {
    if constexpr (std::endian::native == std::endian::little) {
        while (text.size() - at >= 8) {
            const std::uint64_t others = load_word(text.data() + at) ^ (kEveryByte * ' ');
            if (others != 0)
                return at + static_cast<std::size_t>(std::countr_zero(others) / 8);
            at += 8;
        }
    }
    while (at < text.size() && text[at] == ' ')
        ++at;
    return at;
}

} // namespace

// Reads one line of the subset: blank, a comment, or "key: value" with an
// optional comment. Every character is checked; false gives up on the text.
class LineScanner {
  public:
    LineScanner(std::string_view text, std::size_t start)
        : text_(text), at_(start), line_start_(start) {}

    bool line(FastReader::Line &line) {
        line = FastReader::Line{};
        at_ = skip_spaces_from(text_, at_);
        line.indent = column();
        if (ends_line())
            return finish(line);
        const char first = text_[at_];
        if (first == '#')
            return comment() && finish(line);
        if (column() == 0 && text_.size() - at_ >= 3 &&
            (text_.substr(at_, 3) == "---" || text_.substr(at_, 3) == "..."))
            return false; // a document marker, or close enough to one
        line.is_entry = true;
        if (!key(line.key))
            return false;
        if (column() - line.key.column > kSimpleKeyLimit)
            return false;
        advance(1); // the ':'
        line.after_colon = column();
        const std::uint32_t spaces = skip_spaces();
        if (ends_line())
            return finish(line);
        if (text_[at_] == '#')
            return spaces > 0 && comment() && finish(line);
        line.has_value = true;
        return value(line.value) && finish(line);
    }

  private:
    bool ends_line() const { return at_ >= text_.size() || text_[at_] == '\n'; }
    // libyaml's "blank or end" after a ':' (a tab there is given up on later).
    bool blank_or_end_at(std::size_t offset) const {
        return at_ + offset >= text_.size() || text_[at_ + offset] == ' ' ||
               text_[at_ + offset] == '\n';
    }
    // Columns count characters: bytes less the continuation bytes passed.
    std::uint32_t column() const {
        return static_cast<std::uint32_t>(at_ - line_start_ - continuation_bytes_);
    }
    void advance(std::size_t bytes) {
        at_ += bytes;
        continuation_bytes_ += bytes - 1;
    }
    // Moves past a run of characters that need no closer look.
    void skip_run(const AsciiRun &run) {
        while (at_ < text_.size() && run(text_[at_]))
            ++at_;
    }
    // A run of a plain scalar's ASCII characters; words of eight first.
    // The lowest byte a test marks is exact, so the run's end is found in
    // the word that holds it.
    void skip_plain_run() {
        if constexpr (std::endian::native == std::endian::little) {
            while (text_.size() - at_ >= 8) {
                const std::uint64_t word = load_word(text_.data() + at_);
                const std::uint64_t stops =
                    any_below(word, 0x21) | any_above(word, 0x7E) | any_equal(word, ':');
                if (stops != 0) {
                    at_ += static_cast<std::size_t>(std::countr_zero(stops) / 8);
                    return;
                }
                at_ += 8;
            }
        }
        skip_run(kPlainRun);
    }
    // The same for a comment, where every printable ASCII character goes.
    void skip_comment_run() {
        while (text_.size() - at_ >= 8) {
            const std::uint64_t word = load_word(text_.data() + at_);
            if (any_below(word, 0x20) | any_above(word, 0x7E))
                break;
            at_ += 8;
        }
        skip_run(kCommentRun);
    }
    std::uint32_t skip_spaces() {
        std::uint32_t count = 0;
        while (at_ < text_.size() && text_[at_] == ' ') {
            ++at_;
            ++count;
        }
        return count;
    }
    bool finish(FastReader::Line &line) {
        line.next = at_ < text_.size() ? at_ + 1 : at_;
        return true;
    }
    // From '#' to the end of the line; tabs are allowed here.
    bool comment() {
        for (;;) {
            skip_comment_run();
            if (ends_line())
                break;
            const std::size_t length = printable_length(text_, at_);
            if (length == 0)
                return false;
            advance(length);
        }
        return true;
    }
    // One printable character of a scalar.
    bool character() {
        const std::size_t length = printable_length(text_, at_);
        if (length == 0)
            return false;
        advance(length);
        return true;
    }

    bool key(FastReader::Scalar &scalar) {
        const char first = text_[at_];
        if (first == '"' || first == '\'') {
            if (!quoted(scalar))
                return false;
            return at_ < text_.size() && text_[at_] == ':' && blank_or_end_at(1);
        }
        if (!plain_start(scalar))
            return false;
        // A ':' on the line, and no spaces before it.
        return plain_rest(scalar) == PlainStop::Colon && scalar.end == at_;
    }

    bool value(FastReader::Scalar &scalar) {
        const char first = text_[at_];
        if (first == '"' || first == '\'') {
            if (!quoted(scalar))
                return false;
            const std::uint32_t spaces = skip_spaces();
            if (ends_line())
                return true;
            return spaces > 0 && text_[at_] == '#' && comment();
        }
        if (!plain_start(scalar))
            return false;
        switch (plain_rest(scalar)) {
        case PlainStop::LineEnd:
            return true;
        case PlainStop::Comment:
            advance(1); // the space before the '#'
            return comment();
        default:
            return false; // a mapping inside a value, or a character refused
        }
    }

    // Where the rest of a plain scalar on its line stops: at the line's
    // end, at a ':' before a blank or at a " #" (at_ then on that ':' or
    // space), or at a character refused. Its content ends at scalar.end.
    enum class PlainStop { LineEnd, Colon, Comment, Refused };
    PlainStop plain_rest(FastReader::Scalar &scalar) {
        std::size_t content_end = at_;
        for (;;) {
            const std::size_t run_start = at_;
            skip_plain_run();
            if (at_ != run_start)
                content_end = at_;
            scalar.end = content_end;
            if (ends_line())
                return PlainStop::LineEnd;
            const char c = text_[at_];
            if (c == ':' && blank_or_end_at(1))
                return PlainStop::Colon;
            if (c == ' ') {
                if (at_ + 1 < text_.size() && text_[at_ + 1] == '#')
                    return PlainStop::Comment;
                advance(1);
                continue;
            }
            if (!character())
                return PlainStop::Refused;
            content_end = at_;
        }
    }

    // The first character of a plain scalar, which must not be an indicator.
    bool plain_start(FastReader::Scalar &scalar) {
        const char first = text_[at_];
        if (is_indicator(first) || first == '?' || first == ':' || first == '\t')
            return false;
        if (first == '-' && (at_ + 1 >= text_.size() || text_[at_ + 1] == ' ' ||
                             text_[at_ + 1] == '\t' || text_[at_ + 1] == '\n'))
            return false;
        scalar.style = ScalarStyle::Plain;
        scalar.column = column();
        scalar.begin = at_;
        if (kPlainRun(first)) { // the usual ASCII character, known printable
            ++at_;
            return true;
        }
        return character();
    }

    bool quoted(FastReader::Scalar &scalar) {
        const char quote = text_[at_];
        scalar.style = quote == '"' ? ScalarStyle::DoubleQuoted : ScalarStyle::SingleQuoted;
        scalar.column = column();
        advance(1);
        scalar.begin = at_;
        const AsciiRun &run = quote == '"' ? kDoubleQuotedRun : kSingleQuotedRun;
        for (;;) {
            skip_run(run);
            if (ends_line())
                return false; // a scalar of several lines
            const char c = text_[at_];
            if (c == quote) {
                if (quote == '\'' && at_ + 1 < text_.size() && text_[at_ + 1] == '\'') {
                    scalar.escaped = true;
                    advance(1);
                    advance(1);
                    continue;
                }
                scalar.end = at_;
                advance(1);
                return true;
            }
            if (c == '\\' && quote == '"') {
                scalar.escaped = true;
                if (!escape())
                    return false;
                continue;
            }
            if (!character())
                return false;
        }
    }

    // A backslash escape of a double-quoted scalar that decodes on its line.
    bool escape() {
        if (at_ + 1 >= text_.size())
            return false;
        const char letter = text_[at_ + 1];
        if (simple_escape(letter) >= 0) {
            advance(1);
            advance(1);
            return true;
        }
        const std::size_t digits = escape_digits(letter);
        if (digits == 0 || text_.size() - at_ - 2 < digits)
            return false;
        std::uint32_t code = 0;
        for (std::size_t k = 0; k < digits; ++k) {
            const int digit = hex_value(text_[at_ + 2 + k]);
            if (digit < 0)
                return false;
            code = (code << 4) | static_cast<std::uint32_t>(digit);
        }
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        for (std::size_t k = 0; k < digits + 2; ++k)
            advance(1);
        return true;
    }

    std::string_view text_;
    std::size_t at_;
    std::size_t line_start_;
    std::size_t continuation_bytes_ = 0;
};

namespace {

// What ends a run of bytes a quick line reads: any byte below `below`, DEL
// and every byte above it (all of UTF-8's), and the bytes `one` and `two`.
struct Stops {
    char below;
    char one;
    char two;
};
constexpr Stops kKeyStops{0x21, ':', ':'};
constexpr Stops kValueStops{0x20, ':', '#'};
constexpr Stops kCommentStops{0x20, '\0', '\0'};
constexpr Stops kDoubleQuotedStops{0x20, '"', '\\'};
constexpr Stops kSingleQuotedStops{0x20, '\'', '\\'};

template <Stops stops> constexpr std::uint64_t word_stops(std::uint64_t word) {
    return any_below(word, static_cast<unsigned char>(stops.below)) | any_above(word, 0x7E) |
           any_equal(word, stops.one) | any_equal(word, stops.two);
}

// The first stop from `at` on, or npos where the text ends first (the
// careful reading takes over there). Sixteen bytes at a time with SSE2 (every
// x86-64 has it) unless the portable reading is asked for; then, or past the
// last sixteen, eight at a time in a word (the lowest byte a test marks is
// exact).
template <Stops stops> std::size_t first_stop(std::string_view text, std::size_t at, bool vector) {
    const char *data = text.data();
#if defined(__SSE2__)
    if (vector) {
        const __m128i below = _mm_set1_epi8(stops.below);
        const __m128i del = _mm_set1_epi8(0x7F);
        const __m128i one = _mm_set1_epi8(stops.one);
        const __m128i two = _mm_set1_epi8(stops.two);
        for (; text.size() - at >= 16; at += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + at));
            // Signed, the bytes from 0x80 up are below every limit.
            const __m128i found =
                _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(bytes, below), _mm_cmpeq_epi8(bytes, del)),
                             _mm_or_si128(_mm_cmpeq_epi8(bytes, one), _mm_cmpeq_epi8(bytes, two)));
            if (const int mask = _mm_movemask_epi8(found); mask != 0)
                return at + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
        }
    }
#else
    (void)vector;
#endif
    for (; text.size() - at >= 8; at += 8) {
        const std::uint64_t found = word_stops<stops>(load_word(data + at));
        if (found != 0)
            return at + static_cast<std::size_t>(std::countr_zero(found) / 8);
    }
    return std::string_view::npos;
}

// The characters a quick line lets a plain key or value start with: none of
// them is an indicator, or starts a document marker at column 0.
struct QuickStart {
    std::array<bool, 256> member{};
    constexpr QuickStart() {
        for (int c = 0; c < 256; ++c)
            member[static_cast<std::size_t>(c)] = (c >= 'a' && c <= 'z') ||
                                                  (c >= 'A' && c <= 'Z') ||
                                                  (c >= '0' && c <= '9') || c == '_';
    }
    bool key(char c) const { return member[static_cast<unsigned char>(c)]; }
    bool value(char c) const { return key(c) || c == '/' || c == '.' || c == '~' || c == '+'; }
};
constexpr QuickStart kQuickStart;

} // namespace

#if defined(CORVANE_WIDE_LANES)
namespace {

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

} // namespace

// The lines quick_line reads, and those a little nearer the text's end, from
// the bit masks of the line's first 32 bytes (or 64): a line that ends within
// them is read with no loop over its bytes. A line it takes reads exactly as
// quick_line and scan_line read it; one it declines is not a quick line.
template <bool Locate>
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline FastReader::Window
FastReader::window_line(std::string_view text, std::size_t start, Line &line) {
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
    if (!kQuickStart.key(first))
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
    if (!kQuickStart.value(c))
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
#endif

// Most lines of a manifest are ASCII "key: value" lines, blank lines and
// comments: this reads those at a few word steps each and leaves the rest
// (non-ASCII text, escapes, comments after an entry, spaces inside a key, a
// line near the end of the text, ...) to scan_line. A line it takes reads
// exactly as scan_line (and locate_line) would read it.
bool FastReader::quick_line(std::string_view text, std::size_t start, Line &line, bool vector) {
    if constexpr (std::endian::native != std::endian::little)
        return false;
    const char *data = text.data();
    const std::size_t at = skip_spaces_from(text, start);
    if (text.size() - at < 8)
        return false;
    // Only what a line of its kind is read for is written.
    line.indent = static_cast<std::uint32_t>(at - start);
    const char first = data[at];
    if (first == '\n') {
        line.is_entry = false;
        line.next = at + 1;
        return true;
    }
    if (first == '#') {
        const std::size_t end = first_stop<kCommentStops>(text, at, vector);
        if (end == std::string_view::npos || data[end] != '\n')
            return false;
        line.is_entry = false;
        line.next = end + 1;
        return true;
    }
    if (!kQuickStart.key(first))
        return false;
    const std::size_t colon = first_stop<kKeyStops>(text, at + 1, vector);
    if (colon == std::string_view::npos || data[colon] != ':' || colon - at >= kSimpleKeyLimit ||
        colon + 1 == text.size())
        return false;
    line.is_entry = true;
    line.has_value = false;
    line.key = Scalar{at, colon, line.indent, ScalarStyle::Plain, false};
    line.after_colon = static_cast<std::uint32_t>(colon + 1 - start);
    if (data[colon + 1] == '\n') {
        line.next = colon + 2;
        return true;
    }
    if (data[colon + 1] != ' ')
        return false;
    const std::size_t lead = skip_spaces_from(text, colon + 1);
    if (text.size() - lead < 8)
        return false;
    const char c = data[lead];
    const auto column = static_cast<std::uint32_t>(lead - start);
    if (c == '\n') {
        line.next = lead + 1;
        return true;
    }
    if (c == '"' || c == '\'') {
        const std::size_t close = c == '"' ? first_stop<kDoubleQuotedStops>(text, lead + 1, vector)
                                           : first_stop<kSingleQuotedStops>(text, lead + 1, vector);
        if (close == std::string_view::npos || data[close] != c || close + 1 == text.size() ||
            data[close + 1] != '\n')
            return false;
        line.has_value = true;
        line.value =
            Scalar{lead + 1, close, column,
                   c == '"' ? ScalarStyle::DoubleQuoted : ScalarStyle::SingleQuoted, false};
        line.next = close + 2;
        return true;
    }
    if (!kQuickStart.value(c))
        return false;
    std::size_t stop = lead;
    for (;;) {
        stop = first_stop<kValueStops>(text, stop + 1, vector);
        if (stop == std::string_view::npos)
            return false;
        if (data[stop] == '\n')
            break;
        if (data[stop] == ':') {
            if (stop + 1 == text.size() || data[stop + 1] == ' ' || data[stop + 1] == '\n')
                return false; // a mapping in a value: scan_line refuses it
        } else if (data[stop] != '#' || data[stop - 1] == ' ') {
            return false; // a comment, or a character to look at closely
        }
    }
    std::size_t end = stop;
    while (data[end - 1] == ' ')
        --end;
    line.has_value = true;
    line.value = Scalar{lead, end, column, ScalarStyle::Plain, false};
    line.next = stop + 1;
    return true;
}

bool FastReader::scan_line(std::string_view text, std::size_t start, Line &line) {
    return LineScanner(text, start).line(line);
}

namespace {

// The UTF-8 continuation bytes in [begin, end): columns count characters.
std::uint32_t continuation_bytes(const char *begin, const char *end, const char *text_end) {
    std::uint32_t count = 0;
    const char *at = begin;
    // Eight bytes at a time while they are ASCII, the usual case.
    for (; end - at >= 8; at += 8) {
        if ((load_word(at) & kHighBits) == 0)
            continue;
        for (int k = 0; k < 8; ++k)
            count += (static_cast<unsigned char>(at[k]) & 0xC0) == 0x80;
    }
    // The rest, when the text goes on far enough for a word, is ASCII in
    // the word's first end - at bytes.
    if constexpr (std::endian::native == std::endian::little) {
        if (at != end && text_end - at >= 8) {
            const auto kept = static_cast<unsigned>(end - at) * 8;
            if ((load_word(at) & kHighBits & ((std::uint64_t{1} << kept) - 1)) == 0)
                return count;
        }
    }
    for (; at != end; ++at)
        count += (static_cast<unsigned char>(*at) & 0xC0) == 0x80;
    return count;
}

// The end of a quoted scalar whose content starts at `at`, on a line
// accepts() took: its closing quote. `escaped` tells whether it holds escapes.
std::size_t quoted_end(std::string_view text, std::size_t at, char quote, bool &escaped) {
    const char *data = text.data();
    for (;; ++at) {
        const char c = data[at]; // the closing quote comes before the text's end
        if (c == '\\' && quote == '"') {
            escaped = true;
            ++at; // the escape's letter is never the quote
        } else if (c == quote) {
            if (quote == '"' || at + 1 == text.size() || data[at + 1] != '\'')
                return at;
            escaped = true;
            ++at;
        }
    }
}

// The first `a` or `b` from `at` on, or the text's end. Lines are short, so
// a word at a time does better here than a call to memchr.
std::size_t find_either(std::string_view text, std::size_t at, char a, char b) {
    const char *data = text.data();
    if constexpr (std::endian::native == std::endian::little) {
        for (; text.size() - at >= 8; at += 8) {
            const std::uint64_t word = load_word(data + at);
            const std::uint64_t found = any_equal(word, a) | any_equal(word, b);
            if (found != 0)
                return at + static_cast<std::size_t>(std::countr_zero(found) / 8);
        }
    }
    while (at < text.size() && data[at] != a && data[at] != b)
        ++at;
    return at;
}

std::size_t line_end(std::string_view text, std::size_t at) {
    return find_either(text, at, '\n', '\n');
}

} // namespace

// The same reading of a line as scan_line's, for a text accepts() took: every
// character was checked then, so this only finds where the parts are.
void FastReader::locate_line(std::string_view text, std::size_t start, Line &line) {
    line = Line{};
    const char *data = text.data();
    // The offset after the line that ends at `end` (the text's end, or its newline).
    auto after = [&](std::size_t end) { return end < text.size() ? end + 1 : end; };
    // A quoted scalar whose opening quote is at `at`; gives its closing quote.
    auto quoted = [&](std::size_t at, Scalar &scalar) {
        const char quote = data[at];
        scalar.style = quote == '"' ? ScalarStyle::DoubleQuoted : ScalarStyle::SingleQuoted;
        scalar.begin = at + 1;
        scalar.end = quoted_end(text, scalar.begin, quote, scalar.escaped);
        return scalar.end;
    };
    auto nothing_more = [&](std::size_t at) {
        return at == text.size() || data[at] == '\n' || data[at] == '#';
    };
    std::size_t at = skip_spaces_from(text, start);
    line.indent = static_cast<std::uint32_t>(at - start);
    if (nothing_more(at)) {
        line.next = after(line_end(text, at));
        return;
    }
    line.is_entry = true;
    Scalar &key = line.key;
    key.column = line.indent;
    if (data[at] == '"' || data[at] == '\'') {
        at = quoted(at, key) + 1; // the ':' follows the quote
    } else {
        key.begin = at;
        for (;;) { // a ':' and a blank end the key
            at = find_either(text, at, ':', ':');
            if (at + 1 == text.size() || data[at + 1] == ' ' || data[at + 1] == '\n')
                break;
            ++at;
        }
        key.end = at;
    }
    ++at; // the ':'
    line.after_colon = static_cast<std::uint32_t>(at - start) -
                       continuation_bytes(data + key.begin, data + at, data + text.size());
    const std::size_t after_colon = at;
    while (at < text.size() && data[at] == ' ')
        ++at;
    if (nothing_more(at)) {
        line.next = after(line_end(text, at));
        return;
    }
    line.has_value = true;
    Scalar &value = line.value;
    value.column = line.after_colon + static_cast<std::uint32_t>(at - after_colon);
    if (data[at] == '"' || data[at] == '\'') {
        line.next = after(line_end(text, quoted(at, value)));
        return;
    }
    value.begin = at;
    // The content stops at a comment (" #") and leaves trailing spaces.
    std::size_t content_end = at;
    std::size_t end = 0;
    for (;;) {
        content_end = find_either(text, content_end + 1, '\n', '#');
        if (content_end == text.size() || data[content_end] == '\n') {
            end = content_end;
            break;
        }
        if (data[content_end - 1] == ' ') {
            end = line_end(text, content_end);
            break;
        }
    }
    while (data[content_end - 1] == ' ')
        --content_end;
    value.end = content_end;
    line.next = after(end);
}

// Block mappings only, each key at its mapping's indentation: a deeper line
// opens a mapping only under a key without a value, and a shallower one must
// return to an open mapping's indentation.
struct FastReader::Nesting {
    std::vector<std::uint32_t> indents;
    bool open_key = false; // the last key had no value on its line

    bool add(const Line &line) {
        if (!line.is_entry)
            return true;
        const std::uint32_t column = line.indent;
        if (indents.empty() || (open_key && column > indents.back())) {
            indents.push_back(column);
        } else {
            while (column < indents.back()) {
                indents.pop_back();
                if (indents.empty())
                    return false;
            }
            if (column != indents.back())
                return false;
        }
        open_key = !line.has_value;
        return true;
    }
};

bool FastReader::accepts(std::string_view text, Lanes lanes) {
#if defined(CORVANE_WIDE_LANES)
    if (lanes == Lanes::ThirtyTwo)
        return accepts_wide(text);
#endif
    const bool vector = lanes != Lanes::Eight;
    Nesting nesting;
    Line line;
    for (std::size_t position = 0; position < text.size(); position = line.next) {
        if (!quick_line(text, position, line, vector) && !scan_line(text, position, line))
            return false;
        if (!nesting.add(line))
            return false;
    }
    return true;
}

#if defined(CORVANE_WIDE_LANES)
[[gnu::target("avx2,bmi,bmi2")]] bool FastReader::accepts_wide(std::string_view text) {
    Nesting nesting;
    Line line;
    for (std::size_t position = 0; position < text.size(); position = line.next) {
        switch (window_line<false>(text, position, line)) {
        case Window::Taken:
            break;
        case Window::Declined:
            if (!scan_line(text, position, line))
                return false;
            break;
        case Window::Undecided:
            if (!quick_line(text, position, line, true) && !scan_line(text, position, line))
                return false;
            break;
        }
        if (!nesting.add(line))
            return false;
    }
    return true;
}
#endif

std::string_view FastReader::decode(ScalarStyle style, std::string_view raw) {
    scratch_.clear();
    if (style == ScalarStyle::SingleQuoted) {
        for (std::size_t k = 0; k < raw.size(); ++k) {
            scratch_ += raw[k];
            if (raw[k] == '\'')
                ++k; // the second quote of ''
        }
    } else {
        for (std::size_t k = 0; k < raw.size(); ++k) {
            if (raw[k] != '\\') {
                scratch_ += raw[k];
                continue;
            }
            const char letter = raw[k + 1];
            const long simple = simple_escape(letter);
            if (simple >= 0) {
                append_utf8(scratch_, static_cast<std::uint32_t>(simple));
                k += 1;
                continue;
            }
            const std::size_t digits = escape_digits(letter);
            std::uint32_t code = 0;
            for (std::size_t d = 0; d < digits; ++d)
                code = (code << 4) | static_cast<std::uint32_t>(hex_value(raw[k + 2 + d]));
            append_utf8(scratch_, code);
            k += 1 + digits;
        }
    }
    return scratch_;
}

void FastReader::next_line_narrow() {
    while (position_ < text_.size()) {
        const std::size_t start = position_;
        if (!quick_line(text_, start, line_, lanes_ != Lanes::Eight))
            locate_line(text_, start, line_); // accepted whole before
        if (enter_line(start))
            return;
    }
    close_at_end();
}

#if defined(CORVANE_WIDE_LANES)
[[gnu::target("avx2,bmi,bmi2")]] void FastReader::next_line_wide() {
    while (position_ < text_.size()) {
        const std::size_t start = position_;
        switch (window_line<true>(text_, start, line_)) {
        case Window::Taken:
            break;
        case Window::Declined:
            locate_line(text_, start, line_);
            break;
        case Window::Undecided:
            if (!quick_line(text_, start, line_, true))
                locate_line(text_, start, line_);
            break;
        }
        if (enter_line(start))
            return;
    }
    close_at_end();
}
#else
void FastReader::next_line_wide() {
    next_line_narrow();
}
#endif

// libyaml closes the mappings indented deeper than the end's column where the
// text ends, the others on the line after.
void FastReader::close_at_end() {
    std::uint32_t column = 0;
    std::size_t at = text_.size();
    while (at > 0 && text_[at - 1] != '\n') {
        --at;
        if ((static_cast<unsigned char>(text_[at]) & 0xC0) != 0x80)
            ++column;
    }
    end_mark_ = {line_number_, column};
    after_end_ = column == 0 ? end_mark_ : Mark{line_number_ + 1, 0};
    phase_ = Phase::Closing;
}

Span FastReader::last_span() const {
    const auto of = [](const Scalar &scalar) {
        const std::uint32_t quote = scalar.style == ScalarStyle::Plain ? 0 : 1;
        return Span{static_cast<std::uint32_t>(scalar.begin) - quote,
                    static_cast<std::uint32_t>(scalar.end) + quote};
    };
    switch (phase_) {
    case Phase::Key: // a mapping's start: its first key is on this line
        return {of(line_.key).begin, of(line_.key).begin};
    case Phase::Value: // the key just given
        return of(line_.key);
    case Phase::NextLine: // the value just given
        return line_.has_value ? of(line_.value) : Span{};
    default:
        return {};
    }
}

bool FastReader::pending_empty_value(Event &event) {
    if (!pending_empty_)
        return false;
    pending_empty_ = false;
    event.reset(EventKind::Scalar, empty_mark_);
    return true;
}

bool FastReader::next_structure(Event &event) {
    for (;;) {
        switch (phase_) {
        case Phase::NextLine:
            next_line();
            continue;
        case Phase::Structure: {
            const std::uint32_t column = line_.indent;
            if (indents_.empty() || (pending_empty_ && column > indents_.back())) {
                pending_empty_ = false;
                indents_.push_back(column);
                event.reset(EventKind::MappingStart, {current_line_, column});
                phase_ = Phase::Key;
                return true;
            }
            if (pending_empty_value(event))
                return true;
            if (column < indents_.back()) {
                indents_.pop_back();
                event.reset(EventKind::MappingEnd, {current_line_, column});
                return true;
            }
            phase_ = Phase::Key;
            continue;
        }
        case Phase::Key:
            scalar_event(line_.key, event);
            phase_ = Phase::Value;
            return true;
        case Phase::Value:
            phase_ = Phase::NextLine;
            if (!line_.has_value) {
                pending_empty_ = true;
                empty_mark_ = {current_line_, line_.after_colon};
                continue;
            }
            scalar_event(line_.value, event);
            return true;
        case Phase::Closing:
            if (pending_empty_value(event))
                return true;
            if (indents_.empty()) {
                event = Event{};
                phase_ = Phase::Done;
                return false;
            }
            event.reset(EventKind::MappingEnd,
                        indents_.back() > end_mark_.column ? end_mark_ : after_end_);
            indents_.pop_back();
            return true;
        case Phase::Done:
            return false;
        }
    }
}

} // namespace corvane::yaml
