#pragma once

#include "yaml/event.hpp"
#include "yaml/fast_path/fast_reader.hpp"

#include <cstddef>
#include <memory>
#include <string_view>

struct yaml_parser_s;

namespace corvane::yaml {

// Nodes may nest this many collections deep (the root collection is level 1).
inline constexpr int kRecursionLimit = 128;

// The longest text read or written: events and positions index texts with 32
// bits. Anything longer is "document too large".
inline constexpr std::size_t kLargestText = (std::size_t{1} << 31) - 1;

// libyaml's event parser over a text, one event at a time: the nodes of the
// stream's first document, then its end. Collections that nest deeper than
// kRecursionLimit end the parse there, as a syntax error would; libyaml's
// own time grows faster than the depth, so it is never asked for more.
//
// The first failure (a syntax error, the depth limit) is kept: every later
// call returns it again.
//
// A text the fast path accepts (see FastReader) is read by it instead, with
// the same events, limits and checks; libyaml is then never started.
class Parser {
  public:
    explicit Parser(std::string_view text, FastPath fast_path = FastPath::Allowed);
    ~Parser();
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;

    // The next node event of the first document into `event`, its texts
    // valid until the next call; false at the end of the document (or of an
    // empty stream, which `stream_was_empty` then tells).
    [[nodiscard]] Failure next(Event &event, bool &more);

    // The fast path's common event, a key or a value, inline: true when it
    // gave one into `event` (next() gives every other).
    bool next_scalar(Event &event) {
        if (!fast_ || failure_ || !fast_->next_scalar(event))
            return false;
        saw_node_ = true;
        return true;
    }

    // The anchor the event last given defines, or the one an alias names.
    std::string_view anchor() const;
    // Where the event last given stands in the text (see Span); a mapping's
    // or sequence's end gives the end of a flow collection's closing bracket.
    Span span();
    // Whether the collection the event last given starts is a flow one.
    bool flow() const;

    bool stream_was_empty() const { return stream_ended_ && !saw_node_; }

    // After the first document: a second one (or anything but the end of
    // the stream) is an error.
    [[nodiscard]] Failure check_single_document();

    // How deep the events given so far nest (collections open).
    int depth() const { return depth_; }

    // Whether the fast path reads this text.
    bool took_fast_path() const { return fast_ != nullptr; }

  private:
    struct ParsedEvent;

    // Counts the nesting of a collection event; the depth limit's failure.
    [[nodiscard]] Failure count_depth(const Event &event);

    // libyaml's marks count characters, a byte-order mark left out; spans
    // are in bytes. Marks come nearly in order, so a cursor walks to each.
    std::uint32_t byte_offset(std::size_t character);

    std::string_view text_;
    std::size_t cursor_character_ = 0;
    std::size_t cursor_byte_ = 0;
    std::unique_ptr<yaml_parser_s> parser_;
    std::unique_ptr<ParsedEvent> parsed_;
    std::unique_ptr<FastReader> fast_;
    Failure failure_;
    int depth_ = 0;
    bool saw_node_ = false;
    bool stream_ended_ = false;
    bool document_ended_ = false;
};

} // namespace corvane::yaml
