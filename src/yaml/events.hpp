#pragma once

#include "yaml/error.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct yaml_parser_s;

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

// One parse event, kept small: a large manifest has millions of them.
// Scalar values live in the document's text store.
struct Event {
    EventKind kind = EventKind::Void;
    ScalarStyle style = ScalarStyle::Plain;
    bool has_tag = false;
    Mark mark;
    std::uint32_t value_offset = 0;
    std::uint32_t value_length = 0;
    union {
        std::uint32_t alias_target = 0; // an alias: index of the anchored node's first event
        std::uint32_t tag_index;        // a tagged scalar: its entry in Document::tags
    };
};
static_assert(sizeof(Event) <= 24);

// The events of the first document of a stream, aliases already resolved to
// the index of their anchored node, and the parse error that ended it early.
struct Document {
    struct Span {
        std::uint32_t offset;
        std::uint32_t length;
    };

    std::vector<Event> events;
    std::vector<Span> tags;
    std::string store;
    Failure error;

    std::string_view value(const Event &event) const {
        return std::string_view(store).substr(event.value_offset, event.value_length);
    }
    std::string_view tag(const Event &event) const {
        const Span &span = tags[event.tag_index];
        return std::string_view(store).substr(span.offset, span.length);
    }
};

// Parses the first document of `text` on construction; afterwards tells
// whether the stream holds a second one.
class Loader {
  public:
    explicit Loader(std::string_view text);
    ~Loader();
    Loader(const Loader &) = delete;
    Loader &operator=(const Loader &) = delete;

    const Document &document() const { return document_; }
    Failure check_single_document();

  private:
    void load_first_document();

    std::unique_ptr<yaml_parser_s> parser_;
    bool stream_ended_ = false;
    Document document_;
};

} // namespace corvane::yaml
