// Reads a manifest file in both forms and prints what the core makes of it as
// one JSON object: the lookup form's readers and "corvane" server settings,
// and the rewrite form's outcome. The tests compare this with expected
// outcomes for settings that Python cannot see (the server's). With
// --keep-events every document is read from its stored events, the way
// documents with aliases are, so that both ways of reading can be compared.
#include "io/read_file.hpp"
#include "schema/manifest.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <variant>

namespace {

using namespace corvane;

void append_json_string(std::string &out, std::string_view text) {
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}

template <class T> void append_optional(std::string &out, const std::optional<T> &value) {
    if (!value) {
        out += "null";
    } else if constexpr (std::is_same_v<T, std::string>) {
        append_json_string(out, *value);
    } else if constexpr (std::is_same_v<T, bool>) {
        out += *value ? "true" : "false";
    } else {
        out += std::to_string(*value);
    }
}

void append_reader(std::string &out, const ReaderConfig &reader) {
    out += '{';
    bool first = true;
    for (const ReaderField &field : kReaderFields) {
        if (!first)
            out += ", ";
        first = false;
        append_json_string(out, field.name);
        out += ": ";
        FieldValue value = field_value(reader, field);
        if (auto *text = std::get_if<std::string_view>(&value))
            append_json_string(out, *text);
        else if (auto *number = std::get_if<std::uint64_t>(&value))
            out += std::to_string(*number);
        else
            out += "null";
    }
    out += '}';
}

// The lookup form's server settings in OptionAppConfig's declaration order
// (the order of its members in memory), the order this tool lists them in.
std::array<const ServerField *, kServerFields.size()>
declaration_order(const OptionAppConfig &server) {
    std::array<const ServerField *, kServerFields.size()> rows{};
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = &kServerFields[i];
    auto address = [&](const ServerField *field) {
        return std::visit([&](auto member) -> const void * { return &(server.*member); },
                          field->optional);
    };
    std::sort(rows.begin(), rows.end(), [&](const ServerField *a, const ServerField *b) {
        return std::less<const void *>()(address(a), address(b));
    });
    return rows;
}

void append_server(std::string &out, const OptionAppConfig &server) {
    out += '{';
    bool first = true;
    for (const ServerField *field : declaration_order(server)) {
        if (!first)
            out += ", ";
        first = false;
        append_json_string(out, field->name);
        out += ": ";
        std::visit([&](auto member) { append_optional(out, server.*member); }, field->optional);
    }
    out += '}';
}

void append_error(std::string &out, const ConfigError &error) {
    out += "\"ok\": false, \"error\": ";
    append_json_string(out, error.text());
}

} // namespace

int main(int argc, char **argv) {
    const bool keep_events = argc == 3 && std::string_view(argv[1]) == "--keep-events";
    if (argc != 2 && !keep_events) {
        std::fprintf(stderr, "usage: manifest_dump [--keep-events] FILE\n");
        return 2;
    }
    const auto retention = keep_events ? yaml::Retention::Always : yaml::Retention::AsNeeded;
    auto text = read_file_utf8(argv[argc - 1]);
    if (!text) {
        std::fprintf(stderr, "%s\n", text.error().display().c_str());
        return 1;
    }
    std::string out = "{\"lookup\": {";
    auto lookup = take_section(parse_manifest_for_lookup(*text, {}, retention));
    if (!lookup) {
        append_error(out, lookup.error());
    } else {
        out += "\"ok\": true, \"readers\": {";
        bool first = true;
        for (const auto &[id, reader] : lookup->readers_config) {
            if (!first)
                out += ", ";
            first = false;
            append_json_string(out, id);
            out += ": ";
            append_reader(out, reader);
        }
        out += "}, \"server\": ";
        append_server(out, lookup->server_config);
    }
    out += "}, \"rewrite\": {";
    auto rewrite = take_section(parse_manifest_for_rewrite(*text, retention));
    if (!rewrite)
        append_error(out, rewrite.error());
    else
        out += "\"ok\": true";
    out += "}}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
