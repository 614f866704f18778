#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::yaml {

// A position in the text, 0-based as libyaml reports it.
struct Mark {
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

// The chain of mapping keys from the root down to the node being read. Nodes
// live on the stack of the reading functions; the text is only built when an
// error needs it.
struct Path {
    enum class Kind { Root, Key, Alias, Unknown };
    Kind kind = Kind::Root;
    const Path *parent = nullptr;
    std::string_view key;

    static Path root() { return {}; }
    static Path child(const Path &parent, std::string_view key) {
        return {Kind::Key, &parent, key};
    }
    static Path alias(const Path &parent) { return {Kind::Alias, &parent, {}}; }
    static Path unknown(const Path &parent) { return {Kind::Unknown, &parent, {}}; }

    std::string render() const; // "." for the root
};

// An error of the YAML layer, rendered into the message callers see.
class Error {
  public:
    enum class Kind {
        Message,             // about the data; gets the node's path and position
        EndOfStream,         // "EOF while parsing a value"
        MoreThanOneDocument, //
        RecursionLimit,      // with the position where it was found
        RepetitionLimit,     //
        UnknownAnchor,       // with the alias's position
        Syntax,              // the parser's own message, already laid out
        Writer,              // the emitter's problem text
    };

    [[gnu::cold]] static Error message(std::string text);
    [[gnu::cold]] static Error invalid_type(std::string_view unexpected, std::string_view expected);
    [[gnu::cold]] static Error invalid_value(std::string_view unexpected,
                                             std::string_view expected);
    [[gnu::cold]] static Error duplicate_field(std::string_view field);
    [[gnu::cold]] static Error missing_field(std::string_view field);
    [[gnu::cold]] static Error of_kind(Kind kind, Mark mark = {});
    // `at`: the first position the laid-out text names (see mark()).
    [[gnu::cold]] static Error syntax(std::string laid_out, std::optional<Mark> at = std::nullopt);
    [[gnu::cold]] static Error writer(std::string problem);

    // Gives a data error the node's path and position unless an inner node
    // already did: the innermost node is the one reported.
    void fix_mark(Mark mark, const Path &path);

    std::string to_string() const;

    Kind kind() const { return kind_; }
    // Where a data error was found, once fixed; for a syntax error, the
    // first position its text names.
    const std::optional<Mark> &mark() const { return mark_; }

  private:
    Error(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
    std::optional<Mark> mark_;
    std::string path_; // rendered when the position is fixed
};

using Failure = std::optional<Error>;

// "line L column C", 1-based.
std::string format_mark(Mark mark);

} // namespace corvane::yaml
