#include "errors/debug_quote.hpp"

#include "errors/utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace corvane {
namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "errors/unicode_tables.inc"

template <std::size_t N> bool in_table(const CodeRange (&table)[N], char32_t code) {
    auto it = std::upper_bound(std::begin(table), std::end(table), code,
                               [](char32_t c, const CodeRange &r) { return c < r.first; });
    return it != std::begin(table) && code <= std::prev(it)->last;
}

void append_hex_escape(std::string &out, char32_t code) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u{";
    int shift = 20;
    while (shift > 0 && ((code >> shift) & 0xF) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        out.push_back(kHex[(code >> shift) & 0xF]);
    out.push_back('}');
}

} // namespace

void append_debug_quoted(std::string &out, std::string_view text) {
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        // Printable ASCII other than the two escaped characters goes through
        // as a run, without a table lookup.
        std::size_t run = i;
        while (run < text.size() && text[run] >= 0x20 && text[run] < 0x7F && text[run] != '"' &&
               text[run] != '\\')
            ++run;
        out.append(text.substr(i, run - i));
        i = run;
        if (i == text.size())
            break;
        std::size_t start = i;
        // The text is valid UTF-8; a stray byte would go on as itself.
        const Utf8Character character = decode_utf8(text, i);
        const char32_t code =
            character.length == 0 ? static_cast<unsigned char>(text[i]) : character.code;
        i += character.length == 0 ? 1 : character.length;
        switch (code) {
        case U'\0':
            out += "\\0";
            continue;
        case U'\t':
            out += "\\t";
            continue;
        case U'\r':
            out += "\\r";
            continue;
        case U'\n':
            out += "\\n";
            continue;
        case U'\\':
            out += "\\\\";
            continue;
        case U'"':
            out += "\\\"";
            continue;
        default:
            break;
        }
        if (in_table(kGraphemeExtend, code) || in_table(kNotPrintable, code))
            append_hex_escape(out, code);
        else
            out.append(text.substr(start, i - start));
    }
    out.push_back('"');
}

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_debug_quoted(out, text);
    return out;
}

} // namespace corvane
