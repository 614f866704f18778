#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::yaml {

// One change of a text: its bytes [begin, end) replaced by `text` (an
// insertion where begin == end).
struct Replacement {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    std::string text;
};

// `text` with every replacement made, in one pass; replacements must not
// overlap (insertions at one place keep their order, before a change that
// starts there).
std::string apply(std::string_view text, std::vector<Replacement> replacements);

// The line break a text uses: "\r\n" when its first line ends so, else "\n".
std::string_view line_break_of(std::string_view text);
// Whether every line break of the text is "\n" or "\r\n" (the line helpers
// below know no other: a lone "\r", NEL, LS or PS is a break to YAML too).
bool has_plain_line_breaks(std::string_view text);
// Where the line holding `at` starts.
std::size_t line_start(std::string_view text, std::size_t at);
// Where the line holding `at` ends: at its line break, or the text's end.
std::size_t line_end(std::string_view text, std::size_t at);
// Past the line break of the line holding `at` (the text's end on the last line).
std::size_t after_line(std::string_view text, std::size_t at);
// Whether only spaces stand between `at` and the start of its line.
bool starts_line(std::string_view text, std::size_t at);
// Just past the last byte in [begin, end) that is neither a blank nor a line
// break (begin when there is none).
std::size_t content_end(std::string_view text, std::size_t begin, std::size_t end);

// Lines the writer emitted ("\n" breaks) placed at `column`: each indented
// by that many spaces more, with `line_break` after every line.
std::string place_lines(std::string_view emitted, std::size_t column, std::string_view line_break);

} // namespace corvane::yaml
