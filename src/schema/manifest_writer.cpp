// Writing a manifest: the single "corvane" section, every record written in
// full from the field tables.
#include "schema/manifest.hpp"
#include "yaml/writer.hpp"

#include <type_traits>

namespace corvane {
namespace {

void write_server(yaml::Writer &out, const AppConfig &server) {
    out.begin_mapping();
    for (const ServerField &field : kServerFields) {
        out.name(field.name);
        std::visit(
            [&](auto member) {
                const auto &value = server.*member;
                using Value = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<Value, bool>)
                    out.boolean(value);
                else if constexpr (std::is_same_v<Value, std::string>)
                    out.text(value);
                else
                    out.unsigned_integer(value);
            },
            field.complete);
    }
    out.end_mapping();
}

void write_reader(yaml::Writer &out, const ReaderConfig &reader) {
    out.begin_mapping();
    for (const auto &field : kReaderFields) {
        out.name(field.name);
        std::visit(
            [&](auto value) {
                using Value = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<Value, std::monostate>)
                    out.null();
                else if constexpr (std::is_same_v<Value, std::string_view>)
                    out.text(value);
                else
                    out.unsigned_integer(value);
            },
            field_value(reader, field));
    }
    out.end_mapping();
}

} // namespace

Result<std::string> write_manifest(const ManifestConfig &section) {
    yaml::Writer out;
    out.begin_mapping();
    out.name(kSectionName);
    out.begin_mapping();
    out.name(kServerKey);
    write_server(out, section.server_config);
    out.name(kReadersKey);
    out.begin_mapping();
    for (const auto &[id, reader] : section.readers_config) {
        out.text(id);
        write_reader(out, reader);
    }
    out.end_mapping();
    out.end_mapping();
    out.end_mapping();
    return out.finish();
}

} // namespace corvane
