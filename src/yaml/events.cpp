#include "yaml/events.hpp"

#include <limits>
#include <unordered_map>
#include <yaml.h>

namespace corvane::yaml {
namespace {

Mark to_mark(const yaml_mark_t &mark) {
    // The loader refuses texts of 2 GiB and more, so positions fit 32 bits.
    return {static_cast<std::uint32_t>(mark.line), static_cast<std::uint32_t>(mark.column)};
}

bool at_origin(const yaml_mark_t &mark) {
    return mark.line == 0 && mark.column == 0;
}

// libyaml 0.2.5 misspells one of its problem texts; later releases fixed it.
std::string problem_text(const char *problem) {
    if (!problem)
        return "unknown parse error";
    std::string text = problem;
    constexpr std::string_view kMisspelled = "hexdecimal";
    if (auto at = text.find(kMisspelled); at != std::string::npos)
        text.replace(at, kMisspelled.size(), "hexadecimal");
    return text;
}

// The parser's problem, where it is, and what it was doing, on one line.
Error syntax_error(const yaml_parser_t &parser) {
    std::string text = problem_text(parser.problem);
    if (!at_origin(parser.problem_mark))
        text += " at " + format_mark(to_mark(parser.problem_mark));
    else if (parser.problem_offset != 0)
        text += " at position " + std::to_string(parser.problem_offset);
    if (parser.context) {
        text += ", ";
        text += parser.context;
        const auto &context = parser.context_mark;
        bool same_place = context.line == parser.problem_mark.line &&
                          context.column == parser.problem_mark.column;
        if (!at_origin(context) && !same_place)
            text += " at " + format_mark(to_mark(context));
    }
    return Error::syntax(std::move(text));
}

class ParsedEvent {
  public:
    ~ParsedEvent() {
        if (filled_)
            yaml_event_delete(&event_);
    }
    bool next(yaml_parser_t &parser) {
        if (filled_)
            yaml_event_delete(&event_);
        filled_ = yaml_parser_parse(&parser, &event_) != 0;
        return filled_;
    }
    const yaml_event_t &operator*() const { return event_; }
    const yaml_event_t *operator->() const { return &event_; }

  private:
    yaml_event_t event_{};
    bool filled_ = false;
};

ScalarStyle to_style(yaml_scalar_style_t style) {
    switch (style) {
    case YAML_SINGLE_QUOTED_SCALAR_STYLE:
        return ScalarStyle::SingleQuoted;
    case YAML_DOUBLE_QUOTED_SCALAR_STYLE:
        return ScalarStyle::DoubleQuoted;
    case YAML_LITERAL_SCALAR_STYLE:
        return ScalarStyle::Literal;
    case YAML_FOLDED_SCALAR_STYLE:
        return ScalarStyle::Folded;
    default:
        return ScalarStyle::Plain;
    }
}

std::string_view as_text(const yaml_char_t *text) {
    return text ? std::string_view(reinterpret_cast<const char *>(text)) : std::string_view();
}

} // namespace

Loader::Loader(std::string_view text) : parser_(std::make_unique<yaml_parser_t>()) {
    // Events index the text store and each other with 32 bits.
    if (text.size() > std::numeric_limits<std::uint32_t>::max() / 2) {
        parser_.reset();
        document_.error = Error::syntax("document too large");
        return;
    }
    if (!yaml_parser_initialize(parser_.get())) {
        parser_.reset();
        document_.error = Error::syntax("out of memory");
        return;
    }
    // Scalars are about as long as the text they come from, and events are
    // rarely closer together than a dozen bytes: reserving that much spares
    // the regrowth copies (pages not touched cost nothing).
    document_.store.reserve(text.size());
    document_.events.reserve(text.size() / 12 + 4);
    yaml_parser_set_input_string(parser_.get(),
                                 reinterpret_cast<const unsigned char *>(text.data()), text.size());
    load_first_document();
}

Loader::~Loader() {
    if (parser_)
        yaml_parser_delete(parser_.get());
}

void Loader::load_first_document() {
    // Event offsets and lengths into the store are 32-bit: the loop below
    // stops once the store (scalars and tags) passes half that range.
    auto store = [&](std::string_view text, std::uint32_t &offset, std::uint32_t &length) {
        offset = static_cast<std::uint32_t>(document_.store.size());
        length = static_cast<std::uint32_t>(text.size());
        document_.store.append(text);
    };
    std::unordered_map<std::string, std::size_t> anchors;
    auto remember_anchor = [&](const yaml_char_t *anchor) {
        if (anchor)
            anchors[std::string(as_text(anchor))] = document_.events.size();
    };

    ParsedEvent parsed;
    for (;;) {
        if (!parsed.next(*parser_)) {
            document_.error = syntax_error(*parser_);
            return;
        }
        if (document_.store.size() > std::numeric_limits<std::uint32_t>::max() / 2) {
            document_.error = Error::syntax("document too large");
            return;
        }
        Event event;
        event.mark = to_mark(parsed->start_mark);
        switch (parsed->type) {
        case YAML_STREAM_START_EVENT:
        case YAML_DOCUMENT_START_EVENT:
        case YAML_NO_EVENT:
            continue;
        case YAML_STREAM_END_EVENT:
            stream_ended_ = true;
            if (document_.events.empty())
                document_.events.push_back(event); // Void
            return;
        case YAML_DOCUMENT_END_EVENT:
            return;
        case YAML_ALIAS_EVENT: {
            auto found = anchors.find(std::string(as_text(parsed->data.alias.anchor)));
            if (found == anchors.end()) {
                document_.error = Error::of_kind(Error::Kind::UnknownAnchor, event.mark);
                return;
            }
            event.kind = EventKind::Alias;
            event.alias_target = static_cast<std::uint32_t>(found->second);
            break;
        }
        case YAML_SCALAR_EVENT: {
            const auto &scalar = parsed->data.scalar;
            remember_anchor(scalar.anchor);
            event.kind = EventKind::Scalar;
            event.style = to_style(scalar.style);
            store(std::string_view(reinterpret_cast<const char *>(scalar.value), scalar.length),
                  event.value_offset, event.value_length);
            if (scalar.tag) {
                event.has_tag = true;
                event.tag_index = static_cast<std::uint32_t>(document_.tags.size());
                Document::Span span{};
                store(as_text(scalar.tag), span.offset, span.length);
                document_.tags.push_back(span);
            }
            break;
        }
        case YAML_SEQUENCE_START_EVENT:
            remember_anchor(parsed->data.sequence_start.anchor);
            event.kind = EventKind::SequenceStart;
            break;
        case YAML_MAPPING_START_EVENT:
            remember_anchor(parsed->data.mapping_start.anchor);
            event.kind = EventKind::MappingStart;
            break;
        case YAML_SEQUENCE_END_EVENT:
            event.kind = EventKind::SequenceEnd;
            break;
        case YAML_MAPPING_END_EVENT:
            event.kind = EventKind::MappingEnd;
            break;
        }
        document_.events.push_back(event);
    }
}

Failure Loader::check_single_document() {
    if (stream_ended_ || !parser_)
        return {};
    // Whatever follows the first document, other than the end of the stream,
    // is a second document (a broken one included).
    ParsedEvent parsed;
    if (parsed.next(*parser_) && parsed->type == YAML_STREAM_END_EVENT)
        return {};
    return Error::of_kind(Error::Kind::MoreThanOneDocument);
}

} // namespace corvane::yaml
