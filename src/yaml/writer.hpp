#pragma once

#include "errors/result.hpp"
#include "yaml/event.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <yaml.h>

namespace corvane::yaml {

// Emits one YAML document into a string through libyaml: UTF-8 without a
// byte-order mark, non-ASCII characters written as they are, no line folding,
// no "---" or "..." markers, block mappings indented by two spaces (by
// `indent`, 2 to 9, where given; or, with `flow`, every mapping in flow
// style, as `{key: value, ...}` on one line). An `embedded` document is
// spliced into another text: a literal block that keeps its trailing line
// breaks would take in the blank lines after it there, so such texts are
// double-quoted instead.
//
// The first emitter failure is kept and every later call does nothing, so a
// caller can write a whole document and look at the outcome once in finish().
class Writer {
  public:
    explicit Writer(bool flow = false, int indent = 2, bool embedded = false);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    void begin_mapping();
    void end_mapping();

    // A text that reads back as the same text: literal block style when it
    // holds a line feed, single quotes when plain style would make it read as
    // null, a boolean or a number, otherwise the emitter's own choice.
    void text(std::string_view value);
    // The same, in the style of the value it takes the place of where that
    // style reads back as the same text: quotes are kept, plain style is
    // taken only where the rule above gives it.
    void text(std::string_view value, ScalarStyle replaced);
    // A record's own key, such as a setting's or the section's name: letters
    // and underscores, which always read back as themselves, so the text rule
    // (which would leave it to the emitter) need not be worked out each time.
    void name(std::string_view value);
    void unsigned_integer(std::uint64_t value);
    void boolean(bool value);
    void null();

    // Closes the document and returns the text, or the first error (a
    // Serialization error with the emitter's problem text).
    Result<std::string> finish();

  private:
    static int append_output(void *writer, unsigned char *buffer, size_t size);
    void plain(std::string_view value);
    void scalar(std::string_view value, yaml_scalar_style_t style);
    void emit(yaml_event_t &event, bool initialised);

    std::string_view stand_in_astral(std::string_view value, std::string &buffer);
    void restore_astral();

    yaml_emitter_t emitter_{};
    bool last_scalar_keeps_breaks_ = false;
    // Characters beyond the Basic Multilingual Plane, in the order written;
    // see stand_in_astral().
    std::vector<std::string> astral_;
    bool emitter_ready_ = false;
    bool flow_ = false;
    bool embedded_ = false;
    std::string output_;
    bool too_large_ = false; // the output passed kLargestText
    std::optional<std::string> problem_;
};

// The value out of render_value's one-entry document.
Result<std::string> value_of_rendered(std::string_view emitted, bool flow);

// One value as it is written in place of another in a text, by the writer's
// rules: `write(writer)` writes the value alone, in block context or (`flow`)
// inside a flow collection. The text has "\n" breaks; the lines of a literal
// block follow its header indented by two spaces.
template <class Write> Result<std::string> render_value(bool flow, Write &&write) {
    Writer out(flow, 2, true);
    out.begin_mapping();
    out.name("k");
    write(out);
    // A second entry, so that the value's end is seen.
    out.name("z");
    out.null();
    out.end_mapping();
    Result<std::string> emitted = out.finish();
    if (!emitted)
        return emitted;
    return value_of_rendered(emitted.value(), flow);
}

} // namespace corvane::yaml
