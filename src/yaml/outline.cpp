#include "yaml/outline.hpp"

#include "yaml/parser.hpp"

#include <algorithm>

namespace corvane::yaml {

Failure Outline::build(std::string_view text, Outline &outline) {
    Parser parser(text);
    struct Open {
        std::uint32_t index;
        std::uint32_t children = 0;
    };
    std::vector<Open> open;
    std::uint32_t last_end = 0; // where the last node given ended
    Event event;
    for (;;) {
        bool more = false;
        if (Failure failure = parser.next(event, more))
            return failure;
        if (!more)
            break;
        if (event.kind == EventKind::MappingEnd || event.kind == EventKind::SequenceEnd) {
            Node &closed = outline.nodes_[open.back().index];
            closed.size = static_cast<std::uint32_t>(outline.nodes_.size()) - open.back().index;
            const Span span = parser.span();
            closed.span.end = std::max(closed.flow ? span.end : last_end, closed.span.begin);
            last_end = closed.span.end;
            open.pop_back();
            continue;
        }
        Node node;
        node.span = parser.span();
        switch (event.kind) {
        case EventKind::Scalar:
            node.kind = Kind::Scalar;
            node.style = event.style;
            // An empty value stands where its key ended, whatever mark the
            // parser gave it.
            if (event.is_empty_plain() && node.span.begin == node.span.end)
                node.span = {last_end, last_end};
            break;
        case EventKind::Alias:
            node.kind = Kind::Alias;
            break;
        case EventKind::MappingStart:
            node.kind = Kind::Mapping;
            node.flow = parser.flow();
            break;
        default:
            node.kind = Kind::Sequence;
            node.flow = parser.flow();
            break;
        }
        if (std::string_view anchor = parser.anchor(); !anchor.empty()) {
            node.name = static_cast<std::uint32_t>(outline.names_.size());
            outline.names_.emplace_back(anchor);
        }
        if (!open.empty()) {
            Open &parent = open.back();
            node.is_key =
                outline.nodes_[parent.index].kind == Kind::Mapping && parent.children % 2 == 0;
            ++parent.children;
        }
        if (node.is_key && node.kind == Kind::Scalar) {
            node.text = static_cast<std::uint32_t>(outline.texts_.size());
            node.text_size = static_cast<std::uint32_t>(event.value.size());
            outline.texts_.append(event.value);
        }
        const auto index = static_cast<std::uint32_t>(outline.nodes_.size());
        outline.nodes_.push_back(node);
        if (node.kind == Kind::Mapping || node.kind == Kind::Sequence)
            open.push_back({index});
        else
            last_end = std::max(last_end, node.span.end);
    }
    return parser.check_single_document();
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> Outline::entries(std::uint32_t mapping) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;
    const std::uint32_t end = after(mapping);
    for (std::uint32_t at = mapping + 1; at < end;) {
        const std::uint32_t value = after(at);
        found.emplace_back(at, value);
        at = after(value);
    }
    return found;
}

} // namespace corvane::yaml
