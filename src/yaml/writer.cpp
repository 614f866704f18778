#include "yaml/writer.hpp"

#include "yaml/scalars.hpp"

#include <charconv>
#include <climits>
#include <new>

namespace corvane::yaml {
namespace {

int append_output(void *data, unsigned char *buffer, size_t size) {
    try {
        static_cast<std::string *>(data)->append(reinterpret_cast<const char *>(buffer), size);
        return 1;
    } catch (const std::bad_alloc &) {
        return 0; // the emitter reports a write error
    }
}

const yaml_char_t *bytes(std::string_view text) {
    return reinterpret_cast<const yaml_char_t *>(text.data());
}

} // namespace

Writer::Writer() {
    if (!yaml_emitter_initialize(&emitter_)) {
        problem_ = "failed to initialize the YAML emitter";
        return;
    }
    emitter_ready_ = true;
    yaml_emitter_set_output(&emitter_, append_output, &output_);
    yaml_emitter_set_encoding(&emitter_, YAML_UTF8_ENCODING);
    yaml_emitter_set_unicode(&emitter_, 1);
    yaml_emitter_set_width(&emitter_, -1);
    yaml_emitter_set_indent(&emitter_, 2);

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
                                                               YAML_ANY_MAPPING_STYLE);
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
    if (value.find('\n') != std::string_view::npos)
        scalar(value, YAML_LITERAL_SCALAR_STYLE);
    else if (plain_would_change_meaning(value))
        scalar(value, YAML_SINGLE_QUOTED_SCALAR_STYLE);
    else
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
    yaml_event_t event;
    emit(event, !problem_ && yaml_document_end_event_initialize(&event, 1));
    emit(event, !problem_ && yaml_stream_end_event_initialize(&event));
    if (!problem_ && !yaml_emitter_flush(&emitter_))
        problem_ = emitter_.problem ? emitter_.problem : "emitter error";
    if (problem_)
        return serialization_error(*problem_);
    return std::move(output_);
}

} // namespace corvane::yaml
