#include "schema/manifest.hpp"
#include "yaml/loader.hpp"

#include <array>
#include <limits>
#include <optional>
#include <type_traits>

namespace corvane {
namespace {

using yaml::Cursor;
using yaml::Error;
using yaml::Failure;

template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};

template <class Table>
std::optional<std::size_t> field_index(const Table &table, std::string_view key) {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].name == key)
            return i;
    return std::nullopt;
}

// Reads one value into `slot`: optional slots take the absent forms first.
template <class Slot, class ReadValue>
Failure read_slot(Cursor &cursor, Slot &slot, ReadValue &&read_value) {
    if constexpr (IsOptional<Slot>::value) {
        bool present = false;
        typename Slot::value_type value{};
        Failure failure = yaml::read_optional(
            cursor, present, [&](Cursor &inner) { return read_value(inner, value); });
        if (failure)
            return failure;
        if (present)
            slot = std::move(value);
        return {};
    } else {
        return read_value(cursor, slot);
    }
}

Failure read_value(Cursor &cursor, std::string_view expected, std::string &out) {
    std::string_view text;
    if (Failure failure = yaml::read_text(cursor, expected, text))
        return failure;
    out.assign(text);
    return {};
}

template <class Unsigned>
requires std::is_unsigned_v<Unsigned> Failure read_value(Cursor &cursor, std::string_view expected,
                                                         Unsigned &out) {
    std::uint64_t value = 0;
    Failure failure =
        yaml::read_unsigned(cursor, expected, std::numeric_limits<Unsigned>::max(), value);
    if (!failure)
        out = static_cast<Unsigned>(value);
    return failure;
}

Failure read_value(Cursor &cursor, std::string_view expected, bool &out) {
    return yaml::read_bool(cursor, expected, out);
}

// ---- reader sections ------------------------------------------------------

std::string_view expected_for(const Member<ReaderConfig>::Any &member) {
    switch (member.index()) {
    case 2:
        return "u64";
    case 3:
        return "u32";
    default:
        return "a string";
    }
}

Failure read_reader(Cursor &cursor, ReaderConfig &reader) {
    std::array<bool, kReaderFields.size()> seen{};
    return yaml::read_mapping(
        cursor, "struct ReaderConfig", "field identifier",
        [&](std::string_view key, Cursor &value) -> Failure {
            auto index = field_index(kReaderFields, key);
            if (!index)
                return value.skip();
            if (seen[*index])
                return Error::duplicate_field(key);
            seen[*index] = true;
            const ReaderField &field = kReaderFields[*index];
            return std::visit(
                [&](auto member) {
                    return read_slot(value, reader.*member, [&](Cursor &inner, auto &out) {
                        return read_value(inner, expected_for(field.member), out);
                    });
                },
                field.member);
        },
        [&]() -> Failure {
            for (std::size_t i = 0; i < kReaderFields.size(); ++i) {
                bool required = kReaderFields[i].member.index() == 0;
                if (required && !seen[i])
                    return Error::missing_field(kReaderFields[i].name);
            }
            return {};
        });
}

// Readers other than `kept` (when given) are read and checked but not stored,
// so looking one up in a large manifest keeps one record, not all of them.
Failure read_readers(Cursor &cursor, ReadersMap &readers, const ReaderFilter &kept) {
    ReaderConfig scratch;
    return yaml::read_mapping(
        cursor, "a map", "a string",
        [&](std::string_view key, Cursor &value) -> Failure {
            if (kept && *kept != key) {
                scratch = ReaderConfig();
                return read_reader(value, scratch);
            }
            ReaderConfig reader;
            if (Failure failure = read_reader(value, reader))
                return failure;
            readers.put(std::string(key), std::move(reader));
            return {};
        },
        [] { return Failure(); });
}

// ---- server settings ------------------------------------------------------

std::string_view expected_for(ServerKind kind) {
    switch (kind) {
    case ServerKind::Bool:
        return "a boolean";
    case ServerKind::U16:
        return "u16";
    case ServerKind::U64:
        return "u64";
    case ServerKind::Usize:
        return "usize";
    case ServerKind::Text:
        return "a string";
    }
    return "a string";
}

template <class Record> struct ServerForm;
template <> struct ServerForm<AppConfig> {
    static constexpr std::string_view kExpected = "struct AppConfig";
    static constexpr const auto &kFields = kAppFields;
    static constexpr bool kComplete = true;
};
template <> struct ServerForm<OptionAppConfig> {
    static constexpr std::string_view kExpected = "struct OptionAppConfig";
    static constexpr const auto &kFields = kOptionAppFields;
    static constexpr bool kComplete = false;
};

template <class Record> Failure read_server(Cursor &cursor, Record &server) {
    using Form = ServerForm<Record>;
    std::array<bool, Form::kFields.size()> seen{};
    return yaml::read_mapping(
        cursor, Form::kExpected, "field identifier",
        [&](std::string_view key, Cursor &value) -> Failure {
            auto index = field_index(Form::kFields, key);
            if (!index)
                return value.skip();
            if (seen[*index])
                return Error::duplicate_field(key);
            seen[*index] = true;
            const auto &field = Form::kFields[*index];
            return std::visit(
                [&](auto member) {
                    return read_slot(value, server.*member, [&](Cursor &inner, auto &out) {
                        return read_value(inner, expected_for(field.kind), out);
                    });
                },
                field.member);
        },
        [&]() -> Failure {
            if constexpr (Form::kComplete) {
                for (std::size_t i = 0; i < Form::kFields.size(); ++i)
                    if (!seen[i])
                        return Error::missing_field(Form::kFields[i].name);
            }
            return {};
        });
}

// ---- sections and the document ---------------------------------------------

template <class Section> struct SectionForm;
template <> struct SectionForm<OptionManifestConfig> {
    static constexpr std::string_view kExpected = "struct OptionManifestConfig";
};
template <> struct SectionForm<ManifestConfig> {
    static constexpr std::string_view kExpected = "struct ManifestConfig";
};

constexpr std::array<std::string_view, 2> kSectionFields = {"server_config", "readers_config"};

template <class Section>
Failure read_section(Cursor &cursor, Section &section, const ReaderFilter &kept) {
    std::array<bool, 2> seen{};
    return yaml::read_mapping(
        cursor, SectionForm<Section>::kExpected, "field identifier",
        [&](std::string_view key, Cursor &value) -> Failure {
            std::size_t index = 0;
            while (index < kSectionFields.size() && kSectionFields[index] != key)
                ++index;
            if (index == kSectionFields.size())
                return value.skip();
            if (seen[index])
                return Error::duplicate_field(key);
            seen[index] = true;
            if (index == 0)
                return read_server(value, section.server_config);
            return read_readers(value, section.readers_config, kept);
        },
        [&]() -> Failure {
            for (std::size_t i = 0; i < kSectionFields.size(); ++i)
                if (!seen[i])
                    return Error::missing_field(kSectionFields[i]);
            return {};
        });
}

template <class Section>
Result<Sections<Section>> parse_manifest(std::string_view text, const ReaderFilter &kept,
                                         yaml::Retention retention) {
    yaml::Loader loader(text, retention);
    Sections<Section> sections;
    Failure failure = loader.read_document(yaml::Path::root(), [&](Cursor &cursor) {
        return yaml::read_mapping(
            cursor, "a map", "a string",
            [&](std::string_view key, Cursor &value) -> Failure {
                Section section;
                if (Failure inner = read_section(value, section, kept))
                    return inner;
                sections.put(std::string(key), std::move(section));
                return {};
            },
            [] { return Failure(); });
    });
    if (failure)
        return serialization_error(failure->to_string());
    return sections;
}

} // namespace

Result<Sections<OptionManifestConfig>> parse_manifest_for_lookup(std::string_view text,
                                                                 const ReaderFilter &kept,
                                                                 yaml::Retention retention) {
    return parse_manifest<OptionManifestConfig>(text, kept, retention);
}

Result<Sections<ManifestConfig>> parse_manifest_for_rewrite(std::string_view text,
                                                            yaml::Retention retention) {
    return parse_manifest<ManifestConfig>(text, std::nullopt, retention);
}

} // namespace corvane
