#pragma once

#include "yaml/error.hpp"
#include "yaml/events.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace corvane::yaml {

inline constexpr int kRecursionLimit = 128;
inline constexpr std::size_t kRepetitionFactor = 100;

// Reads nodes off a document's events. A cursor stands at one position and
// knows the path of the node it reads; following an alias makes a new cursor
// at the anchored node, sharing the document's alias budget.
class Cursor {
  public:
    Cursor(const Document &document, std::size_t &position, std::size_t &jumps, const Path &path,
           int remaining_depth)
        : document_(document), position_(position), jumps_(jumps), path_(path),
          remaining_depth_(remaining_depth) {}

    const Document &document() const { return document_; }
    const Path &path() const { return path_; }

    // The next event, or the parse error (or end of input) that stands in its place.
    Failure peek(const Event *&event) const;
    Failure next(const Event *&event);

    // Calls read(Cursor&) on a cursor at the node an alias names.
    template <class Read> Failure follow(const Event &alias, Read &&read) {
        if (++jumps_ > document_.events.size() * kRepetitionFactor)
            return Error::of_kind(Error::Kind::RepetitionLimit);
        std::size_t position = alias.alias_target;
        Path path = Path::alias(path_);
        Cursor target(document_, position, jumps_, path, remaining_depth_);
        return read(target);
    }

    // A cursor for a value below this one, sharing its position.
    template <class Read> Failure below(const Path &path, Read &&read) {
        Cursor child(document_, position_, jumps_, path, remaining_depth_);
        return read(child);
    }

    // Skips one whole node, whatever its shape; aliases are not followed.
    Failure skip();

    // One nesting level down for the length of read(); fails past the limit.
    template <class Read> Failure nested(Mark mark, Read &&read) {
        if (remaining_depth_ == 0)
            return Error::of_kind(Error::Kind::RecursionLimit, mark);
        --remaining_depth_;
        Failure result = read();
        ++remaining_depth_;
        return result;
    }

  private:
    const Document &document_;
    std::size_t &position_;
    std::size_t &jumps_;
    const Path &path_;
    int remaining_depth_;
};

// How a node reads when it is not what was expected: "integer `5`",
// "string \"x\"", "sequence", ... The error the caller then raises.
Error invalid_type(const Document &document, const Event &event, std::string_view expected);

inline constexpr std::string_view kNullTag = "tag:yaml.org,2002:null";

// Texts, numbers and booleans. Each consumes one node (following aliases) and
// reports errors at that node. Texts are borrowed from the document.
Failure read_text(Cursor &cursor, std::string_view expected, std::string_view &out);
Failure read_unsigned(Cursor &cursor, std::string_view expected, std::uint64_t max,
                      std::uint64_t &out);
Failure read_bool(Cursor &cursor, std::string_view expected, bool &out);

// Whether the next node is present for an optional setting: a plain empty
// or null-word scalar is absent unless it carries a tag other than null's.
// Failure when a null-tagged scalar holds something else.
Failure is_present(const Document &document, const Event &event, bool &present);

// Reads an optional value: read_some(Cursor&) when present, else consumes the
// node and leaves `present` false. Aliases are followed first.
template <class ReadSome>
Failure read_optional(Cursor &cursor, bool &present, ReadSome &&read_some) {
    const Event *event = nullptr;
    if (Failure failure = cursor.peek(event))
        return failure;
    if (event->kind == EventKind::Alias) {
        cursor.next(event);
        return cursor.follow(
            *event, [&](Cursor &target) { return read_optional(target, present, read_some); });
    }
    if (Failure failure = is_present(cursor.document(), *event, present))
        return failure;
    if (present)
        return read_some(cursor);
    cursor.next(event);
    return {};
}

// Walks a mapping node (an empty plain scalar reads as an empty mapping).
// For each entry calls on_entry(key, value_cursor), the key borrowed from the
// document; after the last one, on_end(). Errors without a position get the
// mapping's.
template <class OnEntry, class OnEnd>
Failure read_mapping(Cursor &cursor, std::string_view expected, std::string_view key_expected,
                     OnEntry &&on_entry, OnEnd &&on_end);

} // namespace corvane::yaml

#include "yaml/cursor_mapping.hpp"
