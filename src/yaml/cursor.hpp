#pragma once

#include "yaml/error.hpp"
#include "yaml/event.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::yaml {

class Loader;

// Reads nodes off a document through its Loader. A cursor stands on the
// main stream or, after following an alias, on a replay of the anchored
// node; it knows the path of the node it reads and how much deeper reading
// may nest.
//
// Events are borrowed: an event and its texts stay valid until the next
// event is read (the texts for ever, where the Loader keeps the document).
class Cursor {
  public:
    Cursor(Loader &loader, std::size_t *replay, const Path &path, int remaining_depth)
        : loader_(loader), replay_(replay), path_(path), remaining_depth_(remaining_depth) {}

    const Path &path() const { return path_; }

    // The next event, or the parse error (or end of input) that stands in
    // its place; advance() then moves past it.
    [[nodiscard]] Failure peek(const Event *&event) const;
    void advance();
    [[nodiscard]] Failure next(const Event *&event);

    // Whether texts outlive the next event (see the class comment).
    bool texts_are_stored() const;

    // Calls read(Cursor&) on a cursor at the node an alias names.
    template <class Read> [[nodiscard]] Failure follow(const Event &alias, Read &&read) {
        if (!count_expansion(alias.alias_target))
            return Error::of_kind(Error::Kind::RepetitionLimit);
        std::size_t position = alias.alias_target;
        Path path = Path::alias(path_);
        Cursor target(loader_, &position, path, remaining_depth_);
        return read(target);
    }

    // A cursor for a value below this one, at the same place.
    template <class Read> [[nodiscard]] Failure below(const Path &path, Read &&read) {
        Cursor child(loader_, replay_, path, remaining_depth_);
        return read(child);
    }

    // Skips one whole node, whatever its shape; aliases are not followed.
    [[nodiscard]] Failure skip();

    // For a check that goes on past a node's error: reads the node with
    // read(Cursor&), leaving `outcome` its failure, and in any case moves
    // past the whole node. Where the document's events are kept the read is
    // a replay; where they are streamed, what the read left of the node is
    // skipped. Returns the failure that keeps reading from going on.
    template <class Read> [[nodiscard]] Failure read_isolated(Failure &outcome, Read &&read) {
        if (texts_are_stored()) {
            std::size_t position = stored_position();
            Cursor replay(loader_, &position, path_, remaining_depth_);
            outcome = read(replay);
            return skip();
        }
        const std::size_t before = consumed();
        const int depth = consumed_depth();
        outcome = read(*this);
        if (!outcome)
            return {};
        if (consumed() == before)
            return skip();
        return skip_to_depth(depth);
    }

    // One nesting level down for the length of read(); fails past the limit
    // (reachable only through aliases: the parser bounds plain nesting).
    template <class Read> [[nodiscard]] Failure nested(Mark mark, Read &&read) {
        if (remaining_depth_ == 0)
            return Error::of_kind(Error::Kind::RecursionLimit, mark);
        --remaining_depth_;
        Failure result = read();
        ++remaining_depth_;
        return result;
    }

  private:
    [[nodiscard]] bool count_expansion(std::size_t target);
    std::size_t stored_position() const;
    std::size_t consumed() const;
    int consumed_depth() const;
    // Moves on until the events consumed nest `depth` deep again.
    [[nodiscard]] Failure skip_to_depth(int depth);

    Loader &loader_;
    std::size_t *replay_; // null on the main stream
    mutable Event view_;  // the event a stored document gave
    const Path &path_;
    int remaining_depth_;
};

// How a node reads when it is not what was expected: "integer `5`",
// "string \"x\"", "sequence", ... The error the caller then raises.
[[nodiscard]] Error invalid_type(const Event &event, std::string_view expected);

// Texts, numbers and booleans. Each consumes one node (following aliases) and
// reports errors at that node. Texts are borrowed, as the event's.
[[nodiscard]] Failure read_text(Cursor &cursor, std::string_view expected, std::string_view &out);
[[nodiscard]] Failure read_unsigned(Cursor &cursor, std::string_view expected, std::uint64_t max,
                                    std::uint64_t &out);
[[nodiscard]] Failure read_bool(Cursor &cursor, std::string_view expected, bool &out);

// Whether a node is present for an optional setting: a plain empty or
// null-word scalar is absent unless it carries a tag other than null's.
// Failure when a null-tagged scalar holds something else.
[[nodiscard]] Failure is_present(const Event &event, bool &present);

// Reads an optional value: read_some(Cursor&) when present, else consumes the
// node and leaves `present` false. Aliases are followed first.
template <class ReadSome>
[[nodiscard]] Failure read_optional(Cursor &cursor, bool &present, ReadSome &&read_some) {
    const Event *event = nullptr;
    if (Failure failure = cursor.peek(event))
        return failure;
    if (event->kind == EventKind::Alias) {
        cursor.advance();
        return cursor.follow(
            *event, [&](Cursor &target) { return read_optional(target, present, read_some); });
    }
    if (Failure failure = is_present(*event, present))
        return failure;
    if (present)
        return read_some(cursor);
    cursor.advance();
    return {};
}

// Walks a mapping node (an empty plain scalar reads as an empty mapping).
// For each entry calls on_entry(key, value_cursor), the key valid for that
// call; after the last one, on_end(). Errors without a position get the
// mapping's.
template <class OnEntry, class OnEnd>
[[nodiscard]] Failure read_mapping(Cursor &cursor, std::string_view expected,
                                   std::string_view key_expected, OnEntry &&on_entry,
                                   OnEnd &&on_end);

} // namespace corvane::yaml

#include "yaml/cursor_mapping.hpp"
