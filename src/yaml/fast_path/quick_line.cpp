// The quick reader: the lines most manifests are made of, ASCII "key: value"
// lines, blank lines and comments, at a few word (or SSE2) steps each. It
// leaves the rest (non-ASCII text, escapes, comments after an entry, spaces
// inside a key, ...) to the careful reader; a line it takes reads exactly as
// the careful reader reads it (see the grammar in fast_reader.hpp).
#include "yaml/fast_path/byte_search.hpp"
#include "yaml/fast_path/characters.hpp"
#include "yaml/fast_path/line.hpp"

namespace corvane::yaml::fast_path {

bool quick_line(std::string_view text, std::size_t start, Line &line, bool vector) {
    const char *data = text.data();
    const std::size_t size = text.size();
    const std::size_t at = find_first<kNotSpace>(text, start);
    if (at == size)
        return false;
    line.indent = static_cast<std::uint32_t>(at - start);
    const char first = data[at];
    if (first == '\n') {
        line.is_entry = false;
        line.next = at + 1;
        return true;
    }
    if (first == '#') {
        const std::size_t end = find_first<kCommentStops>(text, at, vector);
        if (end == size || data[end] != '\n')
            return false;
        line.is_entry = false;
        line.next = end + 1;
        return true;
    }
    if (!kQuickKeyStart(first))
        return false;
    const std::size_t colon = find_first<kKeyStops>(text, at + 1, vector);
    if (colon + 1 >= size || data[colon] != ':' || colon - at >= kSimpleKeyLimit)
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
    const std::size_t lead = find_first<kNotSpace>(text, colon + 1);
    if (lead == size)
        return false;
    const char c = data[lead];
    const auto column = static_cast<std::uint32_t>(lead - start);
    if (c == '\n') {
        line.next = lead + 1;
        return true;
    }
    if (c == '"' || c == '\'') {
        const std::size_t close = c == '"' ? find_first<kDoubleQuotedStops>(text, lead + 1, vector)
                                           : find_first<kSingleQuotedStops>(text, lead + 1, vector);
        if (close + 1 >= size || data[close] != c || data[close + 1] != '\n')
            return false;
        line.has_value = true;
        line.value =
            Scalar{lead + 1, close, column,
                   c == '"' ? ScalarStyle::DoubleQuoted : ScalarStyle::SingleQuoted, false};
        line.next = close + 2;
        return true;
    }
    if (!kQuickValueStart(c))
        return false;
    std::size_t stop = lead;
    for (;;) {
        stop = find_first<kValueStops>(text, stop + 1, vector);
        if (stop == size)
            return false;
        if (data[stop] == '\n')
            break;
        if (data[stop] == ':') {
            if (stop + 1 == size || data[stop + 1] == ' ' || data[stop + 1] == '\n')
                return false; // a mapping in a value: the careful reader refuses it
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

} // namespace corvane::yaml::fast_path
