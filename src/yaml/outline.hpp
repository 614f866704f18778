#pragma once

#include "yaml/error.hpp"
#include "yaml/event.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::yaml {

// The nodes of a text's document, in document order, each with where it
// stands in the text: what an edit that keeps the rest of the text needs.
// Nothing is resolved: an alias is a node of its own, naming its anchor.
// Only the texts of mapping keys are kept (the values' meaning comes from
// reading the text the usual way).
//
// Only the nodes along a focus are kept whole: the root's entries, the
// entries of the mapping under focus[0] in it, of the one under focus[1] in
// that, and so on; the node under the last key with all it holds. Every
// other collection is one node without its children. Anchors and aliases
// are all listed, wherever they stand.
class Outline {
  public:
    enum class Kind : std::uint8_t { Scalar, Mapping, Sequence, Alias };
    static constexpr std::uint32_t kNone = UINT32_MAX;

    struct Node {
        Span span;              // the whole node, nested nodes included
        std::uint32_t size = 1; // the nodes of its subtree kept, itself included
        std::uint32_t text = 0; // a mapping key's text, in texts_
        std::uint32_t text_size = 0;
        Kind kind = Kind::Scalar;
        ScalarStyle style = ScalarStyle::Plain;
        bool flow = false; // a flow collection
        bool is_key = false;
    };

    // An anchor defined, or an alias, where it stands: `node` is the kept
    // node it belongs to, if kept.
    struct Name {
        std::string name;
        Span span;
        std::uint32_t node = kNone;
        bool alias = false;
    };

    // Parses `text` (a text that reads without error) into its outline.
    [[nodiscard]] static Failure build(std::string_view text,
                                       std::span<const std::string_view> focus, Outline &outline);

    std::size_t size() const { return nodes_.size(); }
    const Node &node(std::uint32_t index) const { return nodes_[index]; }
    // A mapping key's text.
    std::string_view key(std::uint32_t index) const {
        return std::string_view(texts_).substr(nodes_[index].text, nodes_[index].text_size);
    }
    // The node after `index`'s subtree: its next sibling, if it has one.
    std::uint32_t after(std::uint32_t index) const { return index + nodes_[index].size; }
    // A mapping's entries as (key, value) node pairs, in document order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries(std::uint32_t mapping) const;
    // Every anchor and alias, in document order.
    const std::vector<Name> &names() const { return names_; }

  private:
    std::vector<Node> nodes_;
    std::string texts_;
    std::vector<Name> names_;
};

} // namespace corvane::yaml
