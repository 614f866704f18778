#pragma once

#include "yaml/event.hpp"
#include "yaml/parser.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::yaml {

// Every event of a document, kept so that aliases can read their anchored
// node again: scalar texts copied into one store, each alias resolved to the
// index of its anchored node's first event, each anchor name kept once while
// the document is parsed. A scalar's tag is kept as its class alone, so what
// the document holds is bounded by the bytes of the text it came from. Only
// documents that may hold aliases are kept whole; the others are read as
// they are parsed.
class StoredDocument {
  public:
    // Parses up to the end of the first document, or up to the failure that
    // ends it early (kept as error(): it stands after the last event).
    explicit StoredDocument(Parser &parser, std::size_t text_size);

    std::size_t size() const { return events_.size(); }
    // The event at `index` (< size()), its texts borrowed from the store.
    Event event(std::size_t index) const;
    const Failure &error() const { return error_; }
    // How many events the node whose first event is at `first` spans, its
    // end included (aliases in it count one each); up to the failure, for a
    // collection the parse did not close.
    std::size_t node_size(std::size_t first) const;

  private:
    // One event, kept small: a large document has millions of them.
    struct Compact {
        EventKind kind = EventKind::Void;
        ScalarStyle style = ScalarStyle::Plain;
        Tag tag = Tag::None;
        Mark mark;
        std::uint32_t value_offset = 0;
        std::uint32_t value_length = 0; // a collection start: the events it spans

        std::uint32_t alias_target = 0; // an alias: index of the anchored node's first event
    };
    static_assert(sizeof(Compact) <= 24);

    struct Span {
        std::uint32_t offset;
        std::uint32_t length;
    };

    [[nodiscard]] bool store(std::string_view text, Span &span);

    std::vector<Compact> events_;
    std::string store_;
    Failure error_;
};

} // namespace corvane::yaml
