#pragma once

#include "errors/result.hpp"
#include "schema/manifest.hpp"
#include "yaml/outline.hpp"
#include "yaml/text_edit.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Where a layout-keeping edit stands: the text and its outline, and the
// readers table of its last "corvane" section (schema/manifest_edit.cpp).
namespace corvane::edit {

using yaml::Outline;
using Kind = Outline::Kind;
using Entry = std::pair<std::uint32_t, std::uint32_t>; // key node, value node

inline constexpr std::uint32_t kNone = Outline::kNone;

// "cannot keep the layout: " and why (Serialization).
[[gnu::cold]] ConfigError refusal(std::string_view why);

// The text, its outline and what every edit of it needs to know.
class Site {
  public:
    Site(std::string_view text, const Outline &outline)
        : text(text), outline(outline), line_break(yaml::line_break_of(text)) {}

    const yaml::Span &span(std::uint32_t node) const { return outline.node(node).span; }
    Kind kind(std::uint32_t node) const { return outline.node(node).kind; }
    bool flow(std::uint32_t node) const { return outline.node(node).flow; }
    bool is_empty(std::uint32_t node) const {
        return kind(node) == Kind::Scalar && span(node).begin == span(node).end;
    }
    // Bytes before the node on its line: its indentation, where only spaces precede it.
    std::uint32_t column(std::uint32_t node) const {
        const std::uint32_t begin = span(node).begin;
        return begin - static_cast<std::uint32_t>(yaml::line_start(text, begin));
    }
    // Past the last line that holds a character of the node.
    std::uint32_t after_last_line(std::uint32_t node) const {
        const std::size_t end = yaml::content_end(text, span(node).begin, span(node).end);
        return static_cast<std::uint32_t>(yaml::after_line(text, end == 0 ? 0 : end - 1));
    }
    // The column of a block mapping's first key (its node may start with an
    // anchor or a tag on the line before, and need not be kept whole).
    std::uint32_t first_key_column(std::uint32_t mapping) const {
        std::size_t at = span(mapping).begin;
        while (at < text.size() && (text[at] == '&' || text[at] == '!')) {
            at = text.find_first_of(" \t\r\n", at);
            at = at == std::string_view::npos ? text.size() : at;
            for (;;) { // blanks, line breaks and comments up to the key
                at = text.find_first_not_of(" \t\r\n", at);
                if (at == std::string_view::npos || text[at] != '#')
                    break;
                at = text.find('\n', at);
            }
            at = at == std::string_view::npos ? text.size() : at;
        }
        return static_cast<std::uint32_t>(at - yaml::line_start(text, at));
    }
    // Where a value may be written after its key's ":" (an empty value's place).
    std::optional<std::uint32_t> after_colon(std::uint32_t key) const {
        std::size_t at = span(key).end;
        while (at < text.size() && text[at] == ' ')
            ++at;
        if (at < text.size() && text[at] == ':')
            return static_cast<std::uint32_t>(at + 1);
        return std::nullopt;
    }
    // "line L column C" of a byte offset.
    std::string where(std::uint32_t offset) const {
        const std::string_view before = text.substr(0, offset);
        yaml::Mark mark;
        mark.line = static_cast<std::uint32_t>(std::count(before.begin(), before.end(), '\n'));
        for (std::size_t at = yaml::line_start(text, offset); at < offset; ++at)
            mark.column += (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
        return yaml::format_mark(mark);
    }
    // The key texts of a mapping's entries, refusing keys that are not plain
    // scalars in the outline (an alias as a key).
    Result<std::vector<Entry>> entries(std::uint32_t mapping, std::string_view what) const {
        std::vector<Entry> found = outline.entries(mapping);
        for (const auto &[key, value] : found)
            if (kind(key) != Kind::Scalar)
                return refusal(std::string(what) + " at " + where(span(key).begin) +
                               " is not a plain key");
        return found;
    }

    std::string_view text;
    const Outline &outline;
    std::string_view line_break;
};

// The readers table of the last "corvane" section.
struct Table {
    std::uint32_t section_key = kNone;
    std::uint32_t section = kNone; // the section's node
    std::uint32_t key = kNone;     // the readers_config key
    std::uint32_t node = kNone;    // the table: a mapping, or an empty value
    std::vector<Entry> entries;
};

Result<Table> find_table(const Site &site);

} // namespace corvane::edit
