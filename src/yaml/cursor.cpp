#include "yaml/cursor.hpp"

#include "errors/debug_quote.hpp"
#include "yaml/loader.hpp"
#include "yaml/scalars.hpp"

namespace corvane::yaml {
namespace {

std::string string_description(std::string_view text) {
    return "string " + debug_quoted(text);
}

std::string integer_description(std::string digits, std::string_view suffix = {}) {
    std::string text = "integer `" + digits + "`";
    text.append(suffix);
    return text;
}

std::string bool_description(bool value) {
    return value ? "boolean `true`" : "boolean `false`";
}

std::string float_description(double value) {
    return "floating point `" + format_float(value) + "`";
}

// The description of a number in any integer form, or nothing.
std::optional<std::string> describe_integer(std::string_view text) {
    if (auto value = parse_unsigned_u64(text))
        return integer_description(std::to_string(*value));
    if (auto value = parse_negative_i64(text))
        return integer_description(std::to_string(*value));
    if (auto value = parse_unsigned_u128(text))
        return integer_description(to_decimal(*value), " as u128");
    if (auto value = parse_negative_i128(text))
        return integer_description(to_decimal(*value), " as i128");
    return std::nullopt;
}

std::string describe_untagged(std::string_view text) {
    PlainScalar scalar = classify_plain(text);
    switch (scalar.kind) {
    case PlainKind::Null:
        return "unit value";
    case PlainKind::Bool:
        return bool_description(scalar.flag);
    case PlainKind::Unsigned:
        return integer_description(std::to_string(scalar.unsigned_value));
    case PlainKind::Negative:
        return integer_description(std::to_string(scalar.negative_value));
    case PlainKind::BigUnsigned:
        return integer_description(to_decimal(scalar.big_unsigned), " as u128");
    case PlainKind::BigNegative:
        return integer_description(to_decimal(scalar.big_negative), " as i128");
    case PlainKind::Float:
        return float_description(scalar.float_value);
    case PlainKind::Text:
        break;
    }
    return string_description(text);
}

Error scalar_error(const Event &event, std::string_view expected) {
    std::string_view text = event.value;
    switch (event.tag) {
    case Tag::Bool:
        if (auto flag = parse_bool(text))
            return Error::invalid_type(bool_description(*flag), expected);
        return Error::invalid_value(string_description(text), "a boolean");
    case Tag::Int:
        if (auto description = describe_integer(text))
            return Error::invalid_type(*description, expected);
        return Error::invalid_value(string_description(text), "an integer");
    case Tag::Float:
        if (auto value = parse_float(text))
            return Error::invalid_type(float_description(*value), expected);
        return Error::invalid_value(string_description(text), "a float");
    case Tag::Null:
        if (is_null_word(text))
            return Error::invalid_type("unit value", expected);
        return Error::invalid_value(string_description(text), "null");
    case Tag::None:
    case Tag::Local:
        if (event.style == ScalarStyle::Plain)
            return Error::invalid_type(describe_untagged(text), expected);
        break;
    case Tag::Other:
        break;
    }
    return Error::invalid_type(string_description(text), expected);
}

// Plain scalars are typed by their text; a literal block scalar only when it
// carries the type's own tag.
bool typed_by_text(const Event &event, Tag tag) {
    if (event.style == ScalarStyle::Plain)
        return true;
    return event.style == ScalarStyle::Literal && event.tag == tag;
}

// Consumes one node, following an alias, and hands a scalar to `accept`
// (which returns false to refuse it). Errors are reported at the node.
template <class Accept>
Failure read_scalar(Cursor &cursor, std::string_view expected, Accept &&accept) {
    const Event *event = nullptr;
    if (Failure failure = cursor.next(event))
        return failure;
    const Mark mark = event->mark;
    // Initialised, not assigned: the common case then costs no move.
    Failure result =
        event->kind == EventKind::Alias
            ? cursor.follow(*event,
                            [&](Cursor &target) { return read_scalar(target, expected, accept); })
            : accept(*event);
    if (result)
        result->fix_mark(mark, cursor.path());
    return result;
}

} // namespace

Error invalid_type(const Event &event, std::string_view expected) {
    switch (event.kind) {
    case EventKind::Scalar:
        return scalar_error(event, expected);
    case EventKind::SequenceStart:
        return Error::invalid_type("sequence", expected);
    case EventKind::MappingStart:
        return Error::invalid_type("map", expected);
    default:
        return Error::of_kind(Error::Kind::EndOfStream);
    }
}

std::size_t Cursor::stored_position() const {
    return loader_.stored_position(replay_);
}

std::size_t Cursor::consumed() const {
    return loader_.consumed();
}

int Cursor::consumed_depth() const {
    return loader_.consumed_depth();
}

Failure Cursor::skip_to_depth(int depth) {
    while (consumed_depth() > depth) {
        const Event *event = nullptr;
        if (Failure failure = next(event))
            return failure;
    }
    return {};
}

bool Cursor::count_expansion(std::size_t target) {
    return loader_.count_expansion(target);
}

Failure Cursor::skip() {
    std::size_t depth = 0;
    do {
        const Event *event = nullptr;
        if (Failure failure = next(event))
            return failure;
        switch (event->kind) {
        case EventKind::SequenceStart:
        case EventKind::MappingStart:
            ++depth;
            break;
        case EventKind::SequenceEnd:
        case EventKind::MappingEnd:
            --depth;
            break;
        default:
            break;
        }
    } while (depth != 0);
    return {};
}

Failure read_text(Cursor &cursor, std::string_view expected, std::string_view &out) {
    return read_scalar(cursor, expected, [&](const Event &event) -> Failure {
        if (event.kind != EventKind::Scalar)
            return invalid_type(event, expected);
        out = event.value;
        return {};
    });
}

Failure read_unsigned(Cursor &cursor, std::string_view expected, std::uint64_t max,
                      std::uint64_t &out) {
    return read_scalar(cursor, expected, [&](const Event &event) -> Failure {
        if (event.kind == EventKind::Scalar && typed_by_text(event, Tag::Int)) {
            if (auto value = parse_unsigned_u64(event.value)) {
                if (*value > max)
                    return Error::invalid_value(integer_description(std::to_string(*value)),
                                                expected);
                out = *value;
                return {};
            }
        }
        return invalid_type(event, expected);
    });
}

Failure read_bool(Cursor &cursor, std::string_view expected, bool &out) {
    return read_scalar(cursor, expected, [&](const Event &event) -> Failure {
        if (event.kind == EventKind::Scalar && typed_by_text(event, Tag::Bool)) {
            if (auto flag = parse_bool(event.value)) {
                out = *flag;
                return {};
            }
        }
        return invalid_type(event, expected);
    });
}

Failure is_present(const Event &event, bool &present) {
    present = true;
    if (event.kind == EventKind::Void) {
        present = false;
    } else if (event.kind == EventKind::Scalar && event.style == ScalarStyle::Plain) {
        std::string_view text = event.value;
        if (event.tag == Tag::None) {
            present = !text.empty() && !is_null_word(text);
        } else if (event.tag == Tag::Null) {
            if (!is_null_word(text))
                return Error::invalid_value(string_description(text), "null");
            present = false;
        }
    }
    return {};
}

} // namespace corvane::yaml
