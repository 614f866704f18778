#include "yaml/outline.hpp"

#include "yaml/parser.hpp"

#include <algorithm>

namespace corvane::yaml {

Failure Outline::build(std::string_view text, std::span<const std::string_view> focus,
                       Outline &outline) {
    Parser parser(text);
    // Room for the usual manifest's kept nodes; pages never written are
    // never touched.
    outline.nodes_.reserve(text.size() / 64 + 16);
    struct Open {
        std::uint32_t index; // kNone for a collection not kept
        std::uint32_t children = 0;
        bool mapping = false;
        std::size_t depth = 0;          // on the focus: how many of its keys lead here
        bool whole = false;             // kept with all it holds
        bool hides = false;             // its children are not kept
        std::uint32_t last_key = kNone; // the key node of the entry being read, when kept
        std::uint32_t begin = 0;
        bool flow = false;
    };
    std::vector<Open> open;
    std::uint32_t last_end = 0; // where the last node given ended
    std::size_t hidden = 0;     // collections open inside one not kept
    Event event;
    for (;;) {
        bool more = false;
        if (Failure failure = parser.next(event, more))
            return failure;
        if (!more)
            break;
        const bool closing =
            event.kind == EventKind::MappingEnd || event.kind == EventKind::SequenceEnd;
        if (closing) {
            const Span span = parser.span();
            Open &closed = open.back();
            const std::uint32_t end = std::max(closed.flow ? span.end : last_end, closed.begin);
            if (closed.index != kNone) {
                Node &node = outline.nodes_[closed.index];
                node.size = static_cast<std::uint32_t>(outline.nodes_.size()) - closed.index;
                node.span.end = end;
            }
            last_end = end;
            if (closed.hides)
                --hidden;
            open.pop_back();
            continue;
        }
        Node node;
        node.span = parser.span();
        const bool collection =
            event.kind == EventKind::MappingStart || event.kind == EventKind::SequenceStart;
        switch (event.kind) {
        case EventKind::Scalar:
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
        // Where the node stands: kept or not, and how far along the focus.
        const bool kept = hidden == 0;
        std::size_t depth = 0;
        bool whole = false;
        if (!open.empty()) {
            Open &parent = open.back();
            node.is_key = parent.mapping && parent.children % 2 == 0;
            ++parent.children;
            whole = parent.whole;
            if (kept && !node.is_key && parent.mapping && !whole && parent.depth < focus.size() &&
                parent.last_key != kNone && outline.key(parent.last_key) == focus[parent.depth]) {
                depth = parent.depth + 1;
                whole = depth == focus.size();
            }
        }
        std::uint32_t index = kNone;
        if (kept) {
            index = static_cast<std::uint32_t>(outline.nodes_.size());
            if (node.is_key && node.kind == Kind::Scalar) {
                node.text = static_cast<std::uint32_t>(outline.texts_.size());
                node.text_size = static_cast<std::uint32_t>(event.value.size());
                outline.texts_.append(event.value);
            }
            if (node.is_key)
                open.back().last_key = node.kind == Kind::Scalar ? index : kNone;
            outline.nodes_.push_back(node);
        }
        if (std::string_view anchor = parser.anchor(); !anchor.empty())
            outline.names_.push_back(
                {std::string(anchor), node.span, index, node.kind == Kind::Alias});
        if (collection) {
            // Its children are kept where it is the root, on the focus or under it.
            const bool children_kept = kept && (open.empty() || depth > 0 || whole);
            if (!children_kept)
                ++hidden;
            open.push_back({index, 0, node.kind == Kind::Mapping, depth, whole && kept,
                            !children_kept, kNone, node.span.begin, node.flow});
        } else {
            last_end = std::max(last_end, node.span.end);
        }
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
