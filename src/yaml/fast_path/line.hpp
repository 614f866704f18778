// What every line reader of the fast path fills in, and the readers
// themselves (see the grammar in fast_reader.hpp). Internal to the fast path.
#pragma once

#include "yaml/event.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvane::yaml::fast_path {

// How many bytes a reading tests at a time: eight in a word, sixteen with
// SSE2, or thirty-two with AVX2, which reads most lines whole from bit masks.
enum class Lanes : std::uint8_t { Eight, Sixteen, ThirtyTwo };

// Whether this build has the AVX2 window (avx2_window.cpp) at all.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
inline constexpr bool kHasAvx2Window = true;
#else
inline constexpr bool kHasAvx2Window = false;
#endif

// libyaml 0.2.5 gives up on a simple key (a key without "?") whose ':' comes
// more than this many characters after its start.
inline constexpr std::uint32_t kSimpleKeyLimit = 1024;

struct Scalar {
    std::size_t begin = 0; // the content, quotes excluded
    std::size_t end = 0;
    std::uint32_t column = 0; // of the first character (the quote)
    ScalarStyle style = ScalarStyle::Plain;
    bool escaped = false; // holds escapes to decode
};

struct Line {
    std::size_t next = 0;  // offset of the following line
    bool is_entry = false; // else blank or only a comment
    std::uint32_t indent = 0;
    Scalar key;
    bool has_value = false;
    Scalar value;
    std::uint32_t after_colon = 0; // column after the ':'
};

// The careful reader (careful_line.cpp): checks every character of the line
// at `start`; false gives up on the whole text.
[[nodiscard]] bool careful_line(std::string_view text, std::size_t start, Line &line);

// The quick reader (quick_line.cpp): the ASCII "key: value" lines, blank
// lines and comments most manifests are made of, at a few word or SSE2 steps
// each; false leaves the line to the careful reader. Only what a line of its
// kind is read for is written.
[[nodiscard]] bool quick_line(std::string_view text, std::size_t start, Line &line, bool vector);

// Stage 1's check of the indentation, line by line. Block mappings only,
// each key at its mapping's indentation: a deeper line opens a mapping only
// under a key without a value, and a shallower one must return to an open
// mapping's indentation.
struct Nesting {
    std::vector<std::uint32_t> indents; // the open mappings' columns
    bool open_key = false;              // the last key had no value on its line

    // False where the line's indentation leaves the subset.
    [[nodiscard]] bool add(const Line &line) {
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

// The AVX2 window (avx2_window.cpp): whether this processor has what it needs.
bool processor_has_avx2();

} // namespace corvane::yaml::fast_path
