#include "yaml/writer.hpp"

#include "errors/messages.hpp"
#include "yaml/parser.hpp"
#include "yaml/scalars.hpp"

#include <charconv>
#include <climits>
#include <new>

namespace corvane::yaml {
namespace {

const yaml_char_t *bytes(std::string_view text) {
    return reinterpret_cast<const yaml_char_t *>(text.data());
}

bool is_break_at_end(std::string_view text, std::size_t &length) {
    static constexpr std::string_view kBreaks[] = {"\n", "\r", "\xC2\x85", "\xE2\x80\xA8",
                                                   "\xE2\x80\xA9"};
    for (std::string_view line_break : kBreaks) {
        if (text.ends_with(line_break)) {
            length = line_break.size();
            return true;
        }
    }
    return false;
}

// Whether a literal block of `text` needs the "+" chomping indicator: it ends
// in a line break that is either the whole text or follows another break.
bool keeps_trailing_breaks(std::string_view text) {
    std::size_t length = 0;
    if (!is_break_at_end(text, length))
        return false;
    text.remove_suffix(length);
    return text.empty() || is_break_at_end(text, length);
}

// libyaml 0.2.5's emitter takes characters beyond U+FFFF for unprintable and
// escapes them in double quotes; they are printable and are written as they
// are. Each such character is written as this private-use stand-in instead
// and put back afterwards. The stand-in is printable to the emitter, neither
// space nor break, and never part of YAML syntax; texts that hold it
// themselves have it recorded too, so the stand-ins in the output match the
// record one for one, in order.
constexpr std::string_view kStandIn = "\xEE\x80\x80"; // U+E000

std::size_t astral_length(unsigned char lead) {
    return lead >= 0xF0 ? 4 : 0;
}

} // namespace

int Writer::append_output(void *writer, unsigned char *buffer, size_t size) {
    auto &self = *static_cast<Writer *>(writer);
    // A text that could not be read back is not built to the end.
    if (self.output_.size() + size > kLargestText) {
        self.too_large_ = true;
        return 0; // the emitter stops with a write error
    }
    try {
        self.output_.append(reinterpret_cast<const char *>(buffer), size);
        return 1;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

std::string_view Writer::stand_in_astral(std::string_view value, std::string &buffer) {
    bool needed = false;
    for (unsigned char byte : value)
        needed |= byte >= 0xF0 || byte == 0xEE;
    if (!needed)
        return value;
    buffer.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        std::size_t length = astral_length(static_cast<unsigned char>(value[i]));
        if (length == 0 && value.substr(i).starts_with(kStandIn))
            length = kStandIn.size();
        if (length == 0) {
            buffer.push_back(value[i++]);
            continue;
        }
        astral_.emplace_back(value.substr(i, length));
        buffer.append(kStandIn);
        i += length;
    }
    return buffer;
}

void Writer::restore_astral() {
    if (astral_.empty())
        return;
    std::string restored;
    restored.reserve(output_.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < output_.size();) {
        if (next < astral_.size() && std::string_view(output_).substr(i).starts_with(kStandIn)) {
            restored += astral_[next++];
            i += kStandIn.size();
        } else {
            restored.push_back(output_[i++]);
        }
    }
    output_ = std::move(restored);
}

Writer::Writer(bool flow, int indent, bool embedded) : flow_(flow), embedded_(embedded) {
    if (!yaml_emitter_initialize(&emitter_)) {
        problem_ = "failed to initialize the YAML emitter";
        return;
    }
    emitter_ready_ = true;
    yaml_emitter_set_output(&emitter_, append_output, this);
    yaml_emitter_set_encoding(&emitter_, YAML_UTF8_ENCODING);
    yaml_emitter_set_unicode(&emitter_, 1);
    yaml_emitter_set_width(&emitter_, -1);
    yaml_emitter_set_indent(&emitter_, indent);

    yaml_event_t event;
    emit(event, yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING));
    emit(event, yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1));
}

Writer::~Writer() {
    if (emitter_ready_)
        yaml_emitter_delete(&emitter_);
}

void Writer::emit(yaml_event_t &event, bool initialised) {
    if (!initialised) {
        if (!problem_)
            problem_ = "failed to create a YAML event";
        return;
    }
    if (problem_) {
        yaml_event_delete(&event); // not handed over, so still ours
        return;
    }
    // The emitter takes the event over, whether it succeeds or not.
    if (!yaml_emitter_emit(&emitter_, &event))
        problem_ = emitter_.problem ? emitter_.problem : "emitter error";
}

void Writer::begin_mapping() {
    yaml_event_t event;
    bool ok = !problem_ && yaml_mapping_start_event_initialize(&event, nullptr, nullptr, 1,
                                                               flow_ ? YAML_FLOW_MAPPING_STYLE
                                                                     : YAML_ANY_MAPPING_STYLE);
    emit(event, ok);
}

void Writer::end_mapping() {
    yaml_event_t event;
    bool ok = !problem_ && yaml_mapping_end_event_initialize(&event);
    emit(event, ok);
}

void Writer::scalar(std::string_view value, yaml_scalar_style_t style) {
    if (problem_)
        return;
    last_scalar_keeps_breaks_ = style == YAML_LITERAL_SCALAR_STYLE && keeps_trailing_breaks(value);
    std::string buffer;
    value = stand_in_astral(value, buffer);
    if (value.size() > static_cast<std::size_t>(INT_MAX)) {
        problem_ = "scalar too long to emit";
        return;
    }
    yaml_event_t event;
    bool ok = yaml_scalar_event_initialize(&event, nullptr, nullptr, bytes(value),
                                           static_cast<int>(value.size()), 1, 1, style);
    emit(event, ok);
}

void Writer::plain(std::string_view value) {
    scalar(value, YAML_PLAIN_SCALAR_STYLE);
}

void Writer::text(std::string_view value) {
    if (embedded_ && keeps_trailing_breaks(value))
        scalar(value, YAML_DOUBLE_QUOTED_SCALAR_STYLE);
    else if (value.find('\n') != std::string_view::npos)
        scalar(value, YAML_LITERAL_SCALAR_STYLE);
    else if (plain_would_change_meaning(value))
        scalar(value, YAML_SINGLE_QUOTED_SCALAR_STYLE);
    else
        scalar(value, YAML_ANY_SCALAR_STYLE);
}

void Writer::text(std::string_view value, ScalarStyle replaced) {
    const bool multiline = value.find('\n') != std::string_view::npos;
    if (replaced == ScalarStyle::DoubleQuoted || (multiline && flow_))
        scalar(value, YAML_DOUBLE_QUOTED_SCALAR_STYLE); // a flow collection takes no block
    else if (replaced == ScalarStyle::SingleQuoted && !multiline)
        scalar(value, YAML_SINGLE_QUOTED_SCALAR_STYLE);
    else
        text(value);
}

void Writer::name(std::string_view value) {
    scalar(value, YAML_ANY_SCALAR_STYLE);
}

void Writer::unsigned_integer(std::uint64_t value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    plain(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void Writer::boolean(bool value) {
    plain(value ? "true" : "false");
}

void Writer::null() {
    plain("null");
}

Result<std::string> Writer::finish() {
    // The emitter remembers any block scalar that kept its trailing line
    // breaks and then closes the stream with "..."; that marker is only
    // needed when such a scalar is the last thing written. By now every
    // scalar has been written, so the reminder can be dropped.
    if (emitter_ready_ && !last_scalar_keeps_breaks_)
        emitter_.open_ended = 0;
    yaml_event_t event;
    emit(event, !problem_ && yaml_document_end_event_initialize(&event, 1));
    emit(event, !problem_ && yaml_stream_end_event_initialize(&event));
    if (!problem_ && !yaml_emitter_flush(&emitter_))
        problem_ = emitter_.problem ? emitter_.problem : "emitter error";
    if (problem_)
        return serialization_error(too_large_ ? messages::kDocumentTooLarge : *problem_);
    restore_astral();
    // Characters beyond U+FFFF are a byte longer than their stand-ins.
    if (output_.size() > kLargestText)
        return serialization_error(messages::kDocumentTooLarge);
    return std::move(output_);
}

Result<std::string> value_of_rendered(std::string_view emitted, bool flow) {
    // "k: VALUE\nz: null\n", or "{k: VALUE, z: null}\n" in flow style.
    const std::string_view head = flow ? "{k: " : "k: ";
    const std::string_view tail = flow ? ", z: null}\n" : "\nz: null\n";
    if (!emitted.starts_with(head) || !emitted.ends_with(tail))
        return serialization_error("unexpected emitter output");
    emitted.remove_prefix(head.size());
    emitted.remove_suffix(tail.size());
    return std::string(emitted);
}

} // namespace corvane::yaml
