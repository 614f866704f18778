#include "yaml/error.hpp"

namespace corvane::yaml {
namespace {

void render_into(std::string &out, const Path &path) {
    switch (path.kind) {
    case Path::Kind::Root:
        out += '.';
        return;
    case Path::Kind::Alias:
        render_into(out, *path.parent);
        return;
    case Path::Kind::Key:
    case Path::Kind::Unknown:
        if (path.parent->kind != Path::Kind::Root) {
            render_into(out, *path.parent);
            out += '.';
        }
        if (path.kind == Path::Kind::Key)
            out += path.key;
        else
            out += '?';
        return;
    }
}

bool at_origin(Mark mark) {
    return mark.line == 0 && mark.column == 0;
}

} // namespace

std::string Path::render() const {
    std::string out;
    render_into(out, *this);
    return out;
}

std::string format_mark(Mark mark) {
    return "line " + std::to_string(mark.line + 1) + " column " + std::to_string(mark.column + 1);
}

Error Error::message(std::string text) {
    return Error(Kind::Message, std::move(text));
}

Error Error::invalid_type(std::string_view unexpected, std::string_view expected) {
    std::string text = "invalid type: ";
    text.append(unexpected).append(", expected ").append(expected);
    return message(std::move(text));
}

Error Error::invalid_value(std::string_view unexpected, std::string_view expected) {
    std::string text = "invalid value: ";
    text.append(unexpected).append(", expected ").append(expected);
    return message(std::move(text));
}

Error Error::duplicate_field(std::string_view field) {
    return message("duplicate field `" + std::string(field) + "`");
}

Error Error::missing_field(std::string_view field) {
    return message("missing field `" + std::string(field) + "`");
}

Error Error::of_kind(Kind kind, Mark mark) {
    Error error(kind, {});
    if (kind == Kind::RecursionLimit || kind == Kind::UnknownAnchor)
        error.mark_ = mark;
    return error;
}

Error Error::syntax(std::string laid_out, std::optional<Mark> at) {
    Error error(Kind::Syntax, std::move(laid_out));
    error.mark_ = at;
    return error;
}

Error Error::writer(std::string problem) {
    return Error(Kind::Writer, std::move(problem));
}

void Error::fix_mark(Mark mark, const Path &path) {
    if (kind_ != Kind::Message || mark_)
        return;
    mark_ = mark;
    path_ = path.render();
}

std::string Error::to_string() const {
    std::string core;
    switch (kind_) {
    case Kind::EndOfStream:
        return "EOF while parsing a value";
    case Kind::MoreThanOneDocument:
        return "deserializing from YAML containing more than one document is not supported";
    case Kind::RepetitionLimit:
        return "repetition limit exceeded";
    case Kind::Syntax:
    case Kind::Writer:
        return text_;
    case Kind::RecursionLimit:
        core = "recursion limit exceeded";
        break;
    case Kind::UnknownAnchor:
        core = "unknown anchor";
        break;
    case Kind::Message:
        core = text_;
        break;
    }
    std::string out;
    if (mark_ && !path_.empty() && path_ != ".")
        out += path_ + ": ";
    out += core;
    if (mark_ && !at_origin(*mark_))
        out += " at " + format_mark(*mark_);
    return out;
}

} // namespace corvane::yaml
