#pragma once

#include "yaml/error.hpp"

#include <cstdint>
#include <string_view>

namespace corvane::yaml {

enum class EventKind : std::uint8_t {
    Alias,
    Scalar,
    SequenceStart,
    SequenceEnd,
    MappingStart,
    MappingEnd,
    Void, // an empty stream: no node at all
};

enum class ScalarStyle : std::uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal, Folded };

// All the reading rules tell apart in a scalar's tag: none, the four core
// types' own, a local one ("!..."), any other. Nothing else of a tag is
// kept, so an event costs the same however long its tag grew.
enum class Tag : std::uint8_t { None, Null, Bool, Int, Float, Local, Other };

// Where a node's text lies in the parsed text: byte offsets, `end` excluded.
// A scalar's span holds its quotes or block header; a flow collection's its
// brackets; a block collection's starts at its first key (or an anchor or tag
// before it) and is empty, its end being that of its last descendant.
struct Span {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

// One parse event as the reading code sees it. Its texts are borrowed: from
// the parser (valid until the next event is parsed) or from a stored
// document (valid as long as the document).
struct Event {
    EventKind kind = EventKind::Void;
    ScalarStyle style = ScalarStyle::Plain;
    Tag tag = Tag::None;
    Mark mark;
    std::string_view value;         // a scalar's text
    std::uint32_t alias_target = 0; // a stored alias: index of the anchored node's first event
    bool value_in_text = false;     // `value` points into the parsed text: valid all along

    // Makes this an event of `new_kind` at `at` with nothing else set. Each
    // field is written in place: assigning a whole Event builds it on the
    // stack and copies it back in overlapping pieces, which stalls.
    void reset(EventKind new_kind, Mark at) {
        kind = new_kind;
        style = ScalarStyle::Plain;
        tag = Tag::None;
        mark = at;
        value = {};
        alias_target = 0;
        value_in_text = false;
    }

    bool is_empty_plain() const {
        return kind == EventKind::Scalar && style == ScalarStyle::Plain && value.empty();
    }
};

} // namespace corvane::yaml
