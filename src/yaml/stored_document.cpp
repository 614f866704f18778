#include "yaml/stored_document.hpp"

#include "errors/messages.hpp"

#include <unordered_map>

namespace corvane::yaml {

StoredDocument::StoredDocument(Parser &parser, std::size_t text_size) {
    // Scalars are about as long as the text they come from, and events are
    // rarely closer together than a dozen bytes: reserving that much spares
    // the regrowth copies (pages not touched cost nothing).
    store_.reserve(text_size);
    events_.reserve(text_size / 12 + 4);
    std::unordered_map<std::string, std::uint32_t> anchors;
    std::vector<std::uint32_t> open_collections;

    Event event;
    for (;;) {
        bool more = false;
        if (Failure failure = parser.next(event, more)) {
            error_ = std::move(failure);
            return;
        }
        if (!more)
            break;
        Compact compact;
        compact.kind = event.kind;
        compact.style = event.style;
        compact.tag = event.tag;
        compact.mark = event.mark;
        const auto index = static_cast<std::uint32_t>(events_.size());
        const std::string_view anchor = parser.anchor();
        if (event.kind == EventKind::Alias) {
            auto found = anchors.find(std::string(anchor));
            if (found == anchors.end()) {
                error_ = Error::of_kind(Error::Kind::UnknownAnchor, event.mark);
                return;
            }
            compact.alias_target = found->second;
        } else if (!anchor.empty()) {
            anchors[std::string(anchor)] = index;
        }
        if (event.kind == EventKind::SequenceStart || event.kind == EventKind::MappingStart) {
            open_collections.push_back(index);
        } else if ((event.kind == EventKind::SequenceEnd || event.kind == EventKind::MappingEnd) &&
                   !open_collections.empty()) {
            events_[open_collections.back()].value_length = index - open_collections.back() + 1;
            open_collections.pop_back();
        } else if (event.kind == EventKind::Scalar) {
            Span value{};
            if (!store(event.value, value))
                return;
            compact.value_offset = value.offset;
            compact.value_length = value.length;
        }
        events_.push_back(compact);
    }
    if (events_.empty() && parser.stream_was_empty())
        events_.push_back(Compact{}); // Void
}

bool StoredDocument::store(std::string_view text, Span &span) {
    // Offsets are 32-bit; escapes can make a scalar longer than its source
    // (the two-byte escape \L stands for three bytes).
    if (store_.size() + text.size() > kLargestText) {
        error_ = Error::syntax(messages::kDocumentTooLarge);
        return false;
    }
    span = {static_cast<std::uint32_t>(store_.size()), static_cast<std::uint32_t>(text.size())};
    store_.append(text);
    return true;
}

std::size_t StoredDocument::node_size(std::size_t first) const {
    const Compact &compact = events_[first];
    if (compact.kind != EventKind::SequenceStart && compact.kind != EventKind::MappingStart)
        return 1;
    // A closed collection spans two events at least; zero marks one left open.
    return compact.value_length != 0 ? compact.value_length : events_.size() - first;
}

Event StoredDocument::event(std::size_t index) const {
    const Compact &compact = events_[index];
    Event event;
    event.kind = compact.kind;
    event.style = compact.style;
    event.tag = compact.tag;
    event.mark = compact.mark;
    if (compact.kind == EventKind::Alias) {
        event.alias_target = compact.alias_target;
    } else if (compact.kind == EventKind::Scalar) {
        event.value = std::string_view(store_).substr(compact.value_offset, compact.value_length);
    }
    return event;
}

} // namespace corvane::yaml
