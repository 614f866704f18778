#include "yaml/parser.hpp"

#include "errors/messages.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <yaml.h>

namespace corvane::yaml {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

Mark to_mark(const yaml_mark_t &mark) {
    // Texts of 2 GiB and more are refused, so positions fit 32 bits.
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
    std::optional<Mark> first_position;
    const auto add_position = [&](const yaml_mark_t &mark) {
        text += " at " + format_mark(to_mark(mark));
        if (!first_position)
            first_position = to_mark(mark);
    };
    if (!at_origin(parser.problem_mark))
        add_position(parser.problem_mark);
    else if (parser.problem_offset != 0)
        text += " at position " + std::to_string(parser.problem_offset);
    if (parser.context) {
        text += ", ";
        text += parser.context;
        const auto &context = parser.context_mark;
        bool same_place = context.line == parser.problem_mark.line &&
                          context.column == parser.problem_mark.column;
        if (!at_origin(context) && !same_place)
            add_position(context);
    }
    return Error::syntax(std::move(text), first_position);
}

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

constexpr std::string_view kNullTag = "tag:yaml.org,2002:null";
constexpr std::string_view kBoolTag = "tag:yaml.org,2002:bool";
constexpr std::string_view kIntTag = "tag:yaml.org,2002:int";
constexpr std::string_view kFloatTag = "tag:yaml.org,2002:float";
constexpr std::size_t kLongestCoreTag =
    std::max({kNullTag.size(), kBoolTag.size(), kIntTag.size(), kFloatTag.size()});

Tag classify_tag(const yaml_char_t *text) {
    if (!text)
        return Tag::None;
    const std::string_view tag = as_text(text);
    if (tag == kNullTag)
        return Tag::Null;
    if (tag == kBoolTag)
        return Tag::Bool;
    if (tag == kIntTag)
        return Tag::Int;
    if (tag == kFloatTag)
        return Tag::Float;
    return tag.starts_with('!') ? Tag::Local : Tag::Other;
}

// libyaml copies a %TAG directive's whole prefix into the tag of every node
// that names its handle: a long prefix and many short tagged nodes would cost
// their product in time. Of a tag only its class is read, and a prefix longer
// than any core tag keeps its class (Local or Other, by its first character)
// when cut to one byte more than the longest core tag; libyaml reads the
// prefix up to its terminating NUL, so the cut is a NUL written there.
void shorten_tag_prefixes(yaml_parser_t &parser) {
    constexpr std::size_t kKept = kLongestCoreTag + 1;
    for (auto *directive = parser.tag_directives.start; directive != parser.tag_directives.top;
         ++directive) {
        auto *prefix = directive->prefix;
        if (prefix && std::strlen(reinterpret_cast<const char *>(prefix)) > kKept)
            prefix[kKept] = '\0';
    }
}

} // namespace

// The libyaml event last parsed; its texts stay valid until the next one.
struct Parser::ParsedEvent {
    yaml_event_t event{};
    bool filled = false;

    ~ParsedEvent() { clear(); }
    void clear() {
        if (filled)
            yaml_event_delete(&event);
        filled = false;
    }
    bool parse(yaml_parser_t &parser) {
        clear();
        filled = yaml_parser_parse(&parser, &event) != 0;
        return filled;
    }
};

Parser::Parser(std::string_view text, FastPath fast_path) : text_(text) {
    if (text.size() > kLargestText) {
        failure_ = Error::syntax(messages::kDocumentTooLarge);
        return;
    }
    fast_ = FastReader::open(text, fast_path);
    if (fast_)
        return;
    // libyaml's state only for a text it reads.
    parser_ = std::make_unique<yaml_parser_t>();
    parsed_ = std::make_unique<ParsedEvent>();
    if (!yaml_parser_initialize(parser_.get())) {
        parser_.reset();
        failure_ = Error::syntax("out of memory");
        return;
    }
    yaml_parser_set_input_string(parser_.get(),
                                 reinterpret_cast<const unsigned char *>(text.data()), text.size());
    if (text.starts_with(kByteOrderMark))
        cursor_byte_ = kByteOrderMark.size();
}

Parser::~Parser() {
    parsed_.reset(); // the event first: it was made by the parser
    if (parser_)
        yaml_parser_delete(parser_.get());
}

Failure Parser::next(Event &event, bool &more) {
    if (next_scalar(event)) {
        more = true;
        return {};
    }
    more = false;
    if (failure_)
        return failure_;
    if (document_ended_ || stream_ended_)
        return {};
    if (fast_) {
        if (!fast_->next(event)) { // which fills every field of an event it gives
            event = Event{};
            // Only one document, and nothing after it: an empty text is an
            // empty stream.
            (saw_node_ ? document_ended_ : stream_ended_) = true;
            return {};
        }
        if (event.kind != EventKind::Scalar) {
            if (Failure failure = count_depth(event))
                return failure;
        }
        saw_node_ = true;
        more = true;
        return {};
    }
    for (;;) {
        if (!parsed_->parse(*parser_))
            return failure_ = syntax_error(*parser_);
        const yaml_event_t &parsed = parsed_->event;
        event.reset(EventKind::Void, to_mark(parsed.start_mark));
        switch (parsed.type) {
        case YAML_DOCUMENT_START_EVENT:
            shorten_tag_prefixes(*parser_);
            continue;
        case YAML_STREAM_START_EVENT:
        case YAML_NO_EVENT:
            continue;
        case YAML_STREAM_END_EVENT:
            stream_ended_ = true;
            return {};
        case YAML_DOCUMENT_END_EVENT:
            document_ended_ = true;
            return {};
        case YAML_ALIAS_EVENT:
            event.kind = EventKind::Alias;
            break;
        case YAML_SCALAR_EVENT: {
            const auto &scalar = parsed.data.scalar;
            event.kind = EventKind::Scalar;
            event.style = to_style(scalar.style);
            event.value =
                std::string_view(reinterpret_cast<const char *>(scalar.value), scalar.length);
            event.tag = classify_tag(scalar.tag);
            break;
        }
        case YAML_SEQUENCE_START_EVENT:
            event.kind = EventKind::SequenceStart;
            break;
        case YAML_MAPPING_START_EVENT:
            event.kind = EventKind::MappingStart;
            break;
        case YAML_SEQUENCE_END_EVENT:
            event.kind = EventKind::SequenceEnd;
            break;
        case YAML_MAPPING_END_EVENT:
            event.kind = EventKind::MappingEnd;
            break;
        }
        if (Failure failure = count_depth(event))
            return failure;
        saw_node_ = true;
        more = true;
        return {};
    }
}

Failure Parser::count_depth(const Event &event) {
    switch (event.kind) {
    case EventKind::SequenceStart:
    case EventKind::MappingStart:
        if (++depth_ > kRecursionLimit)
            return failure_ = Error::of_kind(Error::Kind::RecursionLimit, event.mark);
        break;
    case EventKind::SequenceEnd:
    case EventKind::MappingEnd:
        --depth_;
        break;
    default:
        break;
    }
    return {};
}

std::uint32_t Parser::byte_offset(std::size_t character) {
    const auto continuation = [&](std::size_t at) {
        return (static_cast<unsigned char>(text_[at]) & 0xC0) == 0x80;
    };
    while (cursor_character_ < character && cursor_byte_ < text_.size()) {
        ++cursor_byte_;
        while (cursor_byte_ < text_.size() && continuation(cursor_byte_))
            ++cursor_byte_;
        ++cursor_character_;
    }
    while (cursor_character_ > character && cursor_byte_ > 0) {
        --cursor_byte_;
        while (cursor_byte_ > 0 && continuation(cursor_byte_))
            --cursor_byte_;
        --cursor_character_;
    }
    return static_cast<std::uint32_t>(cursor_byte_);
}

Span Parser::span() {
    if (fast_)
        return fast_->last_span();
    if (!parsed_ || !parsed_->filled)
        return {};
    const yaml_event_t &parsed = parsed_->event;
    const std::uint32_t begin = byte_offset(parsed.start_mark.index);
    const bool block_start =
        (parsed.type == YAML_MAPPING_START_EVENT || parsed.type == YAML_SEQUENCE_START_EVENT) &&
        !flow();
    if (block_start)
        return {begin, begin};
    return {begin, byte_offset(parsed.end_mark.index)};
}

bool Parser::flow() const {
    if (!parsed_ || !parsed_->filled)
        return false;
    const yaml_event_t &parsed = parsed_->event;
    if (parsed.type == YAML_MAPPING_START_EVENT)
        return parsed.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
    if (parsed.type == YAML_SEQUENCE_START_EVENT)
        return parsed.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
    return false;
}

std::string_view Parser::anchor() const {
    if (!parsed_)
        return {}; // the fast path takes no anchors
    const yaml_event_t &parsed = parsed_->event;
    switch (parsed.type) {
    case YAML_ALIAS_EVENT:
        return as_text(parsed.data.alias.anchor);
    case YAML_SCALAR_EVENT:
        return as_text(parsed.data.scalar.anchor);
    case YAML_SEQUENCE_START_EVENT:
        return as_text(parsed.data.sequence_start.anchor);
    case YAML_MAPPING_START_EVENT:
        return as_text(parsed.data.mapping_start.anchor);
    default:
        return {};
    }
}

Failure Parser::check_single_document() {
    if (stream_ended_ || !parser_)
        return {};
    // Whatever follows the first document, other than the end of the stream,
    // is a second document (a broken one included).
    if (parsed_->parse(*parser_) && parsed_->event.type == YAML_STREAM_END_EVENT)
        return {};
    return Error::of_kind(Error::Kind::MoreThanOneDocument);
}

} // namespace corvane::yaml
