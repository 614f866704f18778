// Stage 2: the events of a text stage 1 accepted, a line at a time, read
// again by the same readers (see the grammar in fast_reader.hpp).
#include "yaml/fast_path/characters.hpp"
#include "yaml/fast_path/fast_reader.hpp"

namespace corvane::yaml {

using fast_path::careful_line;
using fast_path::quick_line;

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
            const long simple = fast_path::simple_escape(letter);
            if (simple >= 0) {
                append_utf8(scratch_, static_cast<char32_t>(simple));
                k += 1;
                continue;
            }
            const std::size_t digits = fast_path::escape_digits(letter);
            char32_t code = 0;
            for (std::size_t d = 0; d < digits; ++d)
                code = (code << 4) | static_cast<char32_t>(fast_path::hex_value(raw[k + 2 + d]));
            append_utf8(scratch_, code);
            k += 1 + digits;
        }
    }
    return scratch_;
}

void FastReader::next_line_narrow() {
    while (position_ < text_.size()) {
        const std::size_t start = position_;
        // Stage 1 took every line, so one of the two reads it.
        if (!quick_line(text_, start, line_, lanes_ != Lanes::Eight))
            (void)careful_line(text_, start, line_);
        if (enter_line(start))
            return;
    }
    close_at_end();
}

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
