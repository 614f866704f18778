#pragma once

#include "yaml/error.hpp"
#include "yaml/event.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::yaml {

// The nodes of a text's document, in document order, each with where it
// stands in the text: what an edit that keeps the rest of the text needs.
// Nothing is resolved: an alias is a node of its own, naming its anchor.
// Only the texts of mapping keys are kept (the values' meaning comes from
// reading the text the usual way).
class Outline {
  public:
    enum class Kind : std::uint8_t { Scalar, Mapping, Sequence, Alias };
    static constexpr std::uint32_t kNone = UINT32_MAX;

    struct Node {
        Span span;              // the whole node, nested nodes included
        std::uint32_t size = 1; // the nodes of its subtree, itself included
        std::uint32_t text = 0; // a mapping key's text, in texts_
        std::uint32_t text_size = 0;
        std::uint32_t name = kNone; // the anchor it defines, or an alias's anchor
        Kind kind = Kind::Scalar;
        ScalarStyle style = ScalarStyle::Plain;
        bool flow = false; // a flow collection
        bool is_key = false;
    };

    // Parses `text` (a text that reads without error) into its outline.
    [[nodiscard]] static Failure build(std::string_view text, Outline &outline);

    std::size_t size() const { return nodes_.size(); }
    const Node &node(std::uint32_t index) const { return nodes_[index]; }
    // A mapping key's text.
    std::string_view key(std::uint32_t index) const {
        return std::string_view(texts_).substr(nodes_[index].text, nodes_[index].text_size);
    }
    std::string_view name(std::uint32_t index) const {
        return nodes_[index].name == kNone ? std::string_view() : names_[nodes_[index].name];
    }
    // The node after `index`'s subtree: its next sibling, if it has one.
    std::uint32_t after(std::uint32_t index) const { return index + nodes_[index].size; }
    // A mapping's entries as (key, value) node pairs, in document order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries(std::uint32_t mapping) const;

  private:
    std::vector<Node> nodes_;
    std::string texts_;
    std::vector<std::string> names_;
};

} // namespace corvane::yaml
