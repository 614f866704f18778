// The careful reader: stage 1's reading of a line that the quick readers
// leave, checking every character (see the grammar in fast_reader.hpp).
#include "yaml/fast_path/byte_search.hpp"
#include "yaml/fast_path/characters.hpp"
#include "yaml/fast_path/line.hpp"

namespace corvane::yaml::fast_path {
namespace {

// Reads one line of the subset: blank, a comment, or "key: value" with an
// optional comment. Every character is checked; false gives up on the text.
class LineScanner {
  public:
    LineScanner(std::string_view text, std::size_t start)
        : text_(text), at_(start), line_start_(start) {}

    bool line(Line &line) {
        line = Line{};
        at_ = find_first<kNotSpace>(text_, at_);
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
    std::uint32_t skip_spaces() {
        std::uint32_t count = 0;
        while (at_ < text_.size() && text_[at_] == ' ') {
            ++at_;
            ++count;
        }
        return count;
    }
    bool finish(Line &line) {
        line.next = at_ < text_.size() ? at_ + 1 : at_;
        return true;
    }
    // From '#' to the end of the line; tabs are allowed here.
    bool comment() {
        for (;;) {
            at_ = find_first<kCommentStops>(text_, at_);
            if (ends_line())
                break;
            if (text_[at_] == '\t') {
                ++at_;
                continue;
            }
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

    bool key(Scalar &scalar) {
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

    bool value(Scalar &scalar) {
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
    PlainStop plain_rest(Scalar &scalar) {
        std::size_t content_end = at_;
        for (;;) {
            const std::size_t run_start = at_;
            at_ = find_first<kKeyStops>(text_, at_);
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
    bool plain_start(Scalar &scalar) {
        const char first = text_[at_];
        if (kIndicators(first) || first == '?' || first == ':' || first == '\t')
            return false;
        if (first == '-' && (at_ + 1 >= text_.size() || text_[at_ + 1] == ' ' ||
                             text_[at_ + 1] == '\t' || text_[at_ + 1] == '\n'))
            return false;
        scalar.style = ScalarStyle::Plain;
        scalar.column = column();
        scalar.begin = at_;
        if (!kKeyStops.byte(first)) { // the usual ASCII character, known printable
            ++at_;
            return true;
        }
        return character();
    }

    bool quoted(Scalar &scalar) {
        const char quote = text_[at_];
        scalar.style = quote == '"' ? ScalarStyle::DoubleQuoted : ScalarStyle::SingleQuoted;
        scalar.column = column();
        advance(1);
        scalar.begin = at_;
        for (;;) {
            at_ = quote == '"' ? find_first<kDoubleQuotedStops>(text_, at_)
                               : find_first<kSingleQuotedStops>(text_, at_);
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

} // namespace

bool careful_line(std::string_view text, std::size_t start, Line &line) {
    return LineScanner(text, start).line(line);
}

} // namespace corvane::yaml::fast_path
