#include "yaml/text_edit.hpp"

#include <algorithm>

namespace corvane::yaml {

std::string apply(std::string_view text, std::vector<Replacement> replacements) {
    std::stable_sort(replacements.begin(), replacements.end(),
                     [](const Replacement &a, const Replacement &b) {
                         // An insertion at a place comes before a change from there.
                         return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
                     });
    std::size_t size = text.size();
    for (const Replacement &replacement : replacements)
        size += replacement.text.size() - (replacement.end - replacement.begin);
    std::string out;
    out.reserve(size);
    std::size_t at = 0;
    for (const Replacement &replacement : replacements) {
        out.append(text.substr(at, replacement.begin - at));
        out.append(replacement.text);
        at = replacement.end;
    }
    out.append(text.substr(at));
    return out;
}

std::string_view line_break_of(std::string_view text) {
    const std::size_t feed = text.find('\n');
    return feed != std::string_view::npos && feed > 0 && text[feed - 1] == '\r' ? "\r\n" : "\n";
}

bool has_plain_line_breaks(std::string_view text) {
    for (std::size_t at = text.find('\r'); at != std::string_view::npos;
         at = text.find('\r', at + 1))
        if (at + 1 == text.size() || text[at + 1] != '\n')
            return false;
    // NEL is C2 85; LS and PS are E2 80 A8 and E2 80 A9.
    return text.find("\xC2\x85") == std::string_view::npos &&
           text.find("\xE2\x80\xA8") == std::string_view::npos &&
           text.find("\xE2\x80\xA9") == std::string_view::npos;
}

std::size_t line_start(std::string_view text, std::size_t at) {
    const std::size_t feed = text.substr(0, at).rfind('\n');
    return feed == std::string_view::npos ? 0 : feed + 1;
}

std::size_t line_end(std::string_view text, std::size_t at) {
    std::size_t feed = text.find('\n', at);
    if (feed == std::string_view::npos)
        return text.size();
    return feed > at && text[feed - 1] == '\r' ? feed - 1 : feed;
}

std::size_t after_line(std::string_view text, std::size_t at) {
    const std::size_t feed = text.find('\n', at);
    return feed == std::string_view::npos ? text.size() : feed + 1;
}

bool starts_line(std::string_view text, std::size_t at) {
    const std::size_t start = line_start(text, at);
    return text.substr(start, at - start).find_first_not_of(' ') == std::string_view::npos;
}

std::size_t content_end(std::string_view text, std::size_t begin, std::size_t end) {
    while (end > begin && std::string_view(" \t\r\n").find(text[end - 1]) != std::string_view::npos)
        --end;
    return end;
}

std::string place_lines(std::string_view emitted, std::size_t column, std::string_view line_break) {
    std::string out;
    while (!emitted.empty()) {
        const std::size_t feed = emitted.find('\n');
        const std::string_view line = emitted.substr(0, feed);
        emitted.remove_prefix(feed == std::string_view::npos ? emitted.size() : feed + 1);
        if (!line.empty())
            out.append(column, ' ');
        out.append(line);
        out.append(line_break);
    }
    return out;
}

} // namespace corvane::yaml
