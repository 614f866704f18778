#pragma once

#include "yaml/event.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::yaml {

// Whether a parse may take the fast path (FastReader) for texts it accepts.
// Allowed reads with the widest vectors the processor has; Narrow with
// sixteen bytes at most and Portable without vector instructions (the
// differential check compares every reading); Off reads every text through
// libyaml.
enum class FastPath { Allowed, Narrow, Portable, Off };

// How many bytes the fast path tests at a time: eight in a word, sixteen with
// SSE2, or thirty-two with AVX2, which reads most lines whole from bit masks.
enum class Lanes : std::uint8_t { Eight, Sixteen, ThirtyTwo };

// The lanes a reading uses on this processor.
Lanes lanes_for(FastPath reading);

// Whether the fast path may be taken at all in this process: the loaded
// libyaml is the 0.2.5 whose behaviour the recognizer copies, and the
// environment does not turn it off (CORVANE_YAML_FAST_PATH=0). Read once.
bool fast_path_enabled();

// A recognizer for the YAML most manifests are written in: block mappings
// nested by indentation, keys and values that are one-line plain, single- or
// double-quoted scalars, comments and blank lines. accept() checks the whole
// text first and refuses anything outside that subset, and anything that
// could be an error, so that libyaml reads it instead; an accepted text then
// gives, one at a time, the node events libyaml would give for it, marks
// included. Nothing is stored but the stack of open mappings' indentations.
class FastReader {
  public:
    // Whether `text` is inside the subset (and so parses without error).
    static bool accepts(std::string_view text, Lanes lanes);

    // For a text accepts() took.
    FastReader(std::string_view text, Lanes lanes) : text_(text), lanes_(lanes) {}

    // The next node event; false at the end of the document. Texts are
    // valid until the next call.
    bool next(Event &event) { return next_scalar(event) || next_structure(event); }

    // Most events are a line's key or value: gives the next event when it is
    // one of those (false otherwise, with next_structure to go on), with at
    // most the call that reads the next line.
    bool next_scalar(Event &event) {
        if (phase_ == Phase::Key) {
            phase_ = Phase::Value;
            scalar_event(line_.key, event);
            return true;
        }
        if (phase_ == Phase::Value && line_.has_value) {
            phase_ = Phase::NextLine;
            scalar_event(line_.value, event);
            return true;
        }
        // The next line's key, when it stays in the same mapping.
        if (phase_ == Phase::NextLine && !pending_empty_ && !indents_.empty()) {
            next_line();
            if (phase_ == Phase::Structure && line_.indent == indents_.back()) {
                phase_ = Phase::Value;
                scalar_event(line_.key, event);
                return true;
            }
        }
        return false;
    }

    // Where the event last given stands (see Span): a key's or value's
    // scalar, quotes included; a mapping's start at its first key; anything
    // else empty.
    Span last_span() const;

  private:
    enum class Phase { NextLine, Structure, Key, Value, Closing, Done };

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

    friend class LineScanner;
    [[nodiscard]] static bool quick_line(std::string_view text, std::size_t start, Line &line,
                                         bool vector);
    // quick_line's reading from bit masks of a line's first 32 or 64 bytes,
    // where the processor has AVX2. A line it declines is none quick_line
    // takes (the careful scanner reads it); one it cannot decide (longer, or
    // too near the text's end) goes on to quick_line. `Locate` also writes
    // where the key and value are.
    enum class Window : std::uint8_t { Taken, Declined, Undecided };
    template <bool Locate>
    [[nodiscard]] static Window window_line(std::string_view text, std::size_t start, Line &line);
    static bool accepts_wide(std::string_view text);
    void next_line_wide();
    [[nodiscard]] static bool scan_line(std::string_view text, std::size_t start, Line &line);
    static void locate_line(std::string_view text, std::size_t start, Line &line);
    // Every other event: where lines begin and end, mappings open and close.
    bool next_structure(Event &event);
    // Moves to the next line that holds an entry (phase Structure), or to
    // the closing of the mappings still open at the end (phase Closing).
    void next_line() {
        if (lanes_ == Lanes::ThirtyTwo)
            next_line_wide();
        else
            next_line_narrow();
    }
    void next_line_narrow();
    // Moves past the line just read from `start`; true when it holds an entry.
    bool enter_line(std::size_t start) {
        current_line_ = line_number_;
        position_ = line_.next;
        if (position_ > start && text_[position_ - 1] == '\n')
            ++line_number_;
        if (!line_.is_entry)
            return false;
        phase_ = Phase::Structure;
        return true;
    }
    void close_at_end();
    struct Nesting;
    // The empty value of the last key, which had none on its line, when it
    // is still to be given.
    bool pending_empty_value(Event &event);
    void scalar_event(const Scalar &scalar, Event &event) {
        event.kind = EventKind::Scalar;
        event.style = scalar.style;
        event.tag = Tag::None;
        event.mark = {current_line_, scalar.column};
        event.value = std::string_view(text_.data() + scalar.begin, scalar.end - scalar.begin);
        event.alias_target = 0;
        event.value_in_text = !scalar.escaped;
        if (scalar.escaped)
            event.value = decode(scalar.style, event.value);
    }
    // A quoted scalar's text with its escapes decoded, in scratch_.
    std::string_view decode(ScalarStyle style, std::string_view raw);

    std::string_view text_;
    Lanes lanes_;
    std::string scratch_; // decoded escapes of the last scalar
    std::vector<std::uint32_t> indents_;
    Phase phase_ = Phase::NextLine;
    std::size_t position_ = 0; // of the next line to scan
    std::uint32_t line_number_ = 0;
    Line line_;
    std::uint32_t current_line_ = 0;
    bool pending_empty_ = false; // the last key had no value on its line
    Mark empty_mark_;
    Mark end_mark_;  // the end of the text
    Mark after_end_; // the line after it, where libyaml closes the rest
};

} // namespace corvane::yaml
