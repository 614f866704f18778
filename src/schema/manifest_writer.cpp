// Writing a manifest: the single "corvane" section, every record written in
// full from the field tables.
#include "schema/manifest.hpp"
#include "yaml/writer.hpp"

#include <optional>
#include <string>
#include <type_traits>

namespace corvane {
namespace {

void write_slot(yaml::Writer &out, const std::string &text) {
    out.text(text);
}
void write_slot(yaml::Writer &out, bool flag) {
    out.boolean(flag);
}
template <class Unsigned>
requires std::is_unsigned_v<Unsigned>
void write_slot(yaml::Writer &out, Unsigned number) {
    out.unsigned_integer(number);
}
template <class T> void write_slot(yaml::Writer &out, const std::optional<T> &slot) {
    if (slot)
        write_slot(out, *slot);
    else
        out.null();
}

// Every row of a field table, in table order, as one mapping; `member_of`
// gives the row's member in `record`.
template <class Record, class Fields, class MemberOf>
void write_record(yaml::Writer &out, const Record &record, const Fields &fields,
                  MemberOf &&member_of) {
    out.begin_mapping();
    for (const auto &field : fields) {
        out.name(field.name);
        std::visit([&](auto member) { write_slot(out, record.*member); }, member_of(field));
    }
    out.end_mapping();
}

} // namespace

void write_set_settings(yaml::Writer &out, const ReaderConfig &reader) {
    out.begin_mapping();
    for (const ReaderField &field : kReaderFields) {
        std::visit(
            [&](auto member) {
                const auto &slot = reader.*member;
                if constexpr (IsOptional<std::remove_cvref_t<decltype(slot)>>::value) {
                    if (!slot)
                        return;
                }
                out.name(field.name);
                write_slot(out, slot);
            },
            field.member);
    }
    out.end_mapping();
}

Result<std::string> write_manifest(const ManifestConfig &section) {
    yaml::Writer out;
    out.begin_mapping();
    out.name(kSectionName);
    out.begin_mapping();
    out.name(kServerKey);
    write_record(
        out, section.server_config, kServerFields,
        [](const ServerField &field) -> const auto & { return field.complete; });
    out.name(kReadersKey);
    out.begin_mapping();
    for (const auto &[id, reader] : section.readers_config) {
        out.text(id);
        write_record(
            out, reader, kReaderFields,
            [](const ReaderField &field) -> const auto & { return field.member; });
    }
    out.end_mapping();
    out.end_mapping();
    out.end_mapping();
    return out.finish();
}

} // namespace corvane
