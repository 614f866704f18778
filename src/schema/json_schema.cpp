#include "schema/json_schema.hpp"

#include "schema/app_config.hpp"
#include "schema/manifest.hpp"
#include "schema/reader_config.hpp"

#include <cstdint>
#include <limits>
#include <string_view>

namespace corvane {
namespace {

void append_quoted(std::string &out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

std::uint64_t largest(FieldKind kind) {
    switch (kind) {
    case FieldKind::U16:
        return std::numeric_limits<std::uint16_t>::max();
    case FieldKind::U32:
        return std::numeric_limits<std::uint32_t>::max();
    default:
        return std::numeric_limits<std::uint64_t>::max();
    }
}

// Plain scalars the module reads as integers that a YAML loader may hand
// over as strings: the 0o octal form is a string to YAML 1.1 loaders, so a
// schema cannot tell a plain 0o17 from a quoted "0o17" there. Every other
// integer form is a number to YAML loaders when plain, and a quoted one
// ("8") is refused, as a read refuses it.
constexpr std::string_view kIntegerText = R"("^\\+?0o[0-7]+$")";
// The plain scalars the module reads as booleans whatever their tag, as
// text: YAML loaders hand them over as strings where they carry a !!str tag.
constexpr std::string_view kBoolText = R"("^(true|True|TRUE|false|False|FALSE)$")";

// The schema of one setting's value. Texts take any scalar (a plain scalar
// reads as its text); unset optional settings are written as null.
std::string value_schema(FieldKind kind, bool nullable, std::string_view description) {
    std::string out = "{\"description\":";
    append_quoted(out, description);
    switch (kind) {
    case FieldKind::Text:
        out += R"(,"type":["string","number","boolean","null"]})";
        return out;
    case FieldKind::Bool:
        out += R"(,"anyOf":[{"type":"boolean"},{"type":"string","pattern":)";
        out += kBoolText;
        out += nullable ? R"(},{"type":"null"}]})" : "}]}";
        return out;
    default:
        break;
    }
    out += R"(,"anyOf":[{"type":"integer","minimum":0,"maximum":)";
    out += std::to_string(largest(kind));
    out += R"(},{"type":"string","pattern":)";
    out += kIntegerText;
    out += '}';
    if (nullable)
        out += R"(,{"type":"null"})";
    out += "]}";
    return out;
}

template <class Rows, class Required, class Nullable>
std::string record_schema(std::string_view types, std::string_view description, const Rows &rows,
                          Required &&required, Nullable &&nullable) {
    std::string out = "{\"type\":";
    out += types;
    out += ",\"description\":";
    append_quoted(out, description);
    out += ",\"properties\":{";
    std::string names;
    bool first = true;
    for (const auto &row : rows) {
        if (!first)
            out += ',';
        append_quoted(out, row.name);
        out += ':';
        out += value_schema(row.kind, nullable(row), row.description);
        if (required(row)) {
            if (!names.empty())
                names += ',';
            append_quoted(names, row.name);
        }
        first = false;
    }
    out += '}';
    if (!names.empty())
        out += ",\"required\":[" + names + ']';
    out += '}';
    return out;
}

} // namespace

std::string manifest_json_schema() {
    // A read takes the server settings in their all-optional form; an empty
    // plain scalar reads as an empty map.
    std::string server = record_schema(R"(["object","null"])", "The server's settings.",
                                       kServerFields, [](const ServerField &) { return false; },
                                       [](const ServerField &) { return true; });
    std::string reader = record_schema(R"("object")", "One reader's settings.", kReaderFields,
                                       [](const ReaderField &field) { return field.required; },
                                       [](const ReaderField &field) { return !field.required; });
    std::string out = R"({"$schema":"http://json-schema.org/draft-07/schema#",)"
                      R"("title":"corvane deployment manifest",)"
                      R"("description":"Sections of settings; a read uses the one named )";
    out += kSectionName;
    out += R"(, and every section must be valid.","type":"object","required":[)";
    append_quoted(out, kSectionName);
    out += R"(],"additionalProperties":{"$ref":"#/definitions/section"},"definitions":{)";
    out += R"("section":{"type":"object","description":"One manifest section.","required":[)";
    append_quoted(out, kServerKey);
    out += ',';
    append_quoted(out, kReadersKey);
    out += R"(],"properties":{)";
    append_quoted(out, kServerKey);
    out += R"(:{"$ref":"#/definitions/server_config"},)";
    append_quoted(out, kReadersKey);
    out += R"(:{"$ref":"#/definitions/readers_config"}}},)";
    out += R"("server_config":)" + server + ',';
    out += R"("readers_config":{"type":["object","null"],)"
           R"("description":"The readers by id; a repeated id keeps the last.",)"
           R"("additionalProperties":{"$ref":"#/definitions/reader"}},)";
    out += R"("reader":)" + reader;
    out += "}}";
    return out;
}

} // namespace corvane
