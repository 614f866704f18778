// The YAML fast path: a reader for the YAML most manifests are written in,
// giving the node events libyaml 0.2.5 would give, marks included, without
// starting libyaml. The parser (yaml/parser.hpp) is its one user.
//
// The accepted subset, the grammar every reader of it follows:
//
//   text     := line*                  (the last line may lack its '\n')
//   line     := ' '* (blank | comment | entry)
//   blank    := '\n' | end of text
//   comment  := '#' (printable | tab)* '\n'
//   entry    := key ':' (' '+ value)? (' '+ comment | ' '* '\n')
//   key      := plain | single | double, on one line, its ':' at most 1024
//               characters after its start, a plain one with no space
//               before it; no "---" or "..." at column 0
//   value    := plain | single | double, on one line
//   plain    := a first character that is no indicator (",[]{}#&*!|>'\"%@`",
//               '?', ':', tab, or '-' before a blank), then printable
//               characters up to ": " or " #"; trailing spaces are not its own
//   single   := "'" (printable but "'" | "''")* "'"
//   double   := '"' (printable but '"' and '\' | escape)* '"'; an escape
//               is one of libyaml's and decodes to a code point
//   printable:= what libyaml reads as a printable character (no tab, no
//               control character, no NEL/LS/PS or byte order mark), UTF-8
//
// Entries nest as block mappings by indentation: a deeper line opens a
// mapping only under a key with no value, and a shallower one returns to an
// open mapping's indentation. Anything else (and anything that could be an
// error) is refused whole, and libyaml reads the text.
//
// Stage 1 (accept.cpp) checks the whole text before any event is given;
// stage 2 (events.cpp) gives the events. A line is read by one of three
// readers: the careful one (careful_line.cpp), which checks every character;
// the quick one (quick_line.cpp), for the common ASCII lines, with the
// portable and SSE2 kernels (byte_search.hpp); and the AVX2 window
// (avx2_window.cpp), which reads most lines whole from bit masks. Each
// reading of the fast path (FastPath::Allowed, Narrow and Portable) must take
// the same texts and give the same events as libyaml: every reader reads a
// line it takes exactly as the careful reader does. fuzz/fast_path_check.hpp
// enforces it (fuzz/differential.sh, and the fuzz targets).
#pragma once

#include "yaml/event.hpp"
#include "yaml/fast_path/line.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::yaml {

// Whether a parse may take the fast path for texts it accepts. Allowed reads
// with the widest vectors the processor has; Narrow with sixteen bytes at most
// and Portable without vector instructions (the differential check compares
// every reading); Off reads every text through libyaml.
enum class FastPath { Allowed, Narrow, Portable, Off };

// Whether the fast path may be taken at all in this process: the loaded
// libyaml is the 0.2.5 whose behaviour the recognizer copies, and the
// environment does not turn it off (CORVANE_YAML_FAST_PATH=0). Read once.
bool fast_path_enabled();

class FastReader {
  public:
    // A reader of `text` when the fast path may read it as `reading` asks
    // and the text is inside the subset (and so parses without error); else
    // none. The lanes are picked here, from what the processor has.
    static std::unique_ptr<FastReader> open(std::string_view text, FastPath reading);

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
    using Lanes = fast_path::Lanes;
    using Line = fast_path::Line;
    using Scalar = fast_path::Scalar;
    enum class Phase { NextLine, Structure, Key, Value, Closing, Done };

    FastReader(std::string_view text, Lanes lanes) : text_(text), lanes_(lanes) {}

    // Stage 1: whether `text` is inside the subset.
    static bool accepts(std::string_view text, Lanes lanes);
    static bool accepts_wide(std::string_view text); // with the AVX2 window

    // Every other event: where lines begin and end, mappings open and close.
    bool next_structure(Event &event);
    // Moves to the next line that holds an entry (phase Structure), or to
    // the closing of the mappings still open at the end (phase Closing).
    void next_line() {
        if constexpr (fast_path::kHasAvx2Window) {
            if (lanes_ == Lanes::ThirtyTwo) {
                next_line_wide();
                return;
            }
        }
        next_line_narrow();
    }
    void next_line_narrow();
    void next_line_wide(); // with the AVX2 window
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
