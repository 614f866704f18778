#include "schema/manifest.hpp"
#include "yaml/loader.hpp"

#include <array>
#include <limits>
#include <optional>
#include <tuple>
#include <type_traits>

namespace corvane {
namespace {

using yaml::Cursor;
using yaml::Error;
using yaml::Failure;

// Finds a key's row in a field table: an open-addressing table built at
// compile time from the rows' names, so a key costs one hash and (for a name
// of the table) one comparison, whatever the table's size or order.
template <auto &kFields> class KeyIndex {
  public:
    static constexpr std::size_t kNone = std::tuple_size_v<std::remove_cvref_t<decltype(kFields)>>;

    constexpr KeyIndex() {
        for (std::size_t i = 0; i < kNone; ++i) {
            std::size_t at = hash(kFields[i].name);
            while (slots_[at] != 0)
                at = (at + 1) % kSlots;
            slots_[at] = static_cast<std::uint8_t>(i + 1);
        }
    }

    // The row named `key`, or kNone.
    constexpr std::size_t find(std::string_view key) const {
        for (std::size_t at = hash(key); slots_[at] != 0; at = (at + 1) % kSlots) {
            const std::size_t index = slots_[at] - 1u;
            if (kFields[index].name == key)
                return index;
        }
        return kNone;
    }

  private:
    static constexpr std::size_t kSlots = 64;
    static_assert(kNone * 2 <= kSlots && kNone < 255);

    static constexpr std::size_t hash(std::string_view key) {
        if (key.empty())
            return 0;
        return (key.size() * 31 + static_cast<unsigned char>(key.front()) * 7 +
                static_cast<unsigned char>(key.back())) %
               kSlots;
    }

    std::array<std::uint8_t, kSlots> slots_{};
};

// Reads a mapping into a record whose settings are the rows of a field table
// (`Form::kFields`, each row naming its key): keys that name no row are
// skipped with their whole value, a row's key given twice is a duplicate, and
// after the last entry the first required row not given (in table order) is
// reported missing. `form.read(index, value)` reads the value of one row.
template <class Form> Failure read_record(Cursor &cursor, Form form) {
    using Fields = std::remove_cvref_t<decltype(Form::kFields)>;
    constexpr std::size_t kCount = std::tuple_size_v<Fields>;
    static constexpr KeyIndex<Form::kFields> kIndex{};
    std::array<bool, kCount> seen{};
    return yaml::read_mapping(
        cursor, Form::kExpected, "field identifier",
        [&](std::string_view key, Cursor &value) -> Failure {
            const std::size_t index = kIndex.find(key);
            if (index == kCount)
                return value.skip();
            if (seen[index])
                return Error::duplicate_field(key);
            seen[index] = true;
            return form.read(index, value);
        },
        [&]() -> Failure {
            for (std::size_t i = 0; i < kCount; ++i)
                if (!seen[i] && form.required(Form::kFields[i]))
                    return Error::missing_field(Form::kFields[i].name);
            return {};
        });
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

// A text only checked, as for a reader not kept: nothing is copied.
Failure read_value(Cursor &cursor, std::string_view expected, std::string_view &out) {
    return yaml::read_text(cursor, expected, out);
}

Failure read_value(Cursor &cursor, std::string_view expected, bool &out) {
    return yaml::read_bool(cursor, expected, out);
}

// What a setting is read as: its own type when stored, a borrowed text for a
// text that is only checked.
template <class Value, bool kStore>
using ReadAs =
    std::conditional_t<!kStore && std::is_same_v<Value, std::string>, std::string_view, Value>;

// Reads one setting into the record's member (or, kStore false, only checks
// it): optional members take the absent forms first. Errors expect what the
// row's kind names.
template <bool kStore, class Record, class AnyMember>
Failure read_setting(Cursor &cursor, FieldKind kind, const AnyMember &member, Record &record) {
    std::string_view expected = expected_text(kind);
    return std::visit(
        [&](auto pointer) -> Failure {
            auto &slot = record.*pointer;
            using Slot = std::remove_cvref_t<decltype(slot)>;
            if constexpr (IsOptional<Slot>::value) {
                bool present = false;
                ReadAs<typename Slot::value_type, kStore> value{};
                Failure failure = yaml::read_optional(cursor, present, [&](Cursor &inner) {
                    return read_value(inner, expected, value);
                });
                if (failure)
                    return failure;
                if constexpr (kStore) {
                    if (present)
                        slot = std::move(value);
                }
                return {};
            } else if constexpr (kStore) {
                return read_value(cursor, expected, slot);
            } else {
                ReadAs<Slot, kStore> value{};
                return read_value(cursor, expected, value);
            }
        },
        member);
}

// ---- the records ------------------------------------------------------------

// kStore false checks a reader as strictly as a stored one, building nothing
// (but, where `others` is given, what it reads into the digest).
template <bool kStore> struct ReaderForm {
    static constexpr std::string_view kExpected = "struct ReaderConfig";
    static constexpr const auto &kFields = kReaderFields;
    ReaderConfig &reader;
    OthersDigest *others = nullptr;

    static bool required(const ReaderField &field) { return field.required; }
    Failure read(std::size_t index, Cursor &value) {
        const ReaderField &field = kFields[index];
        if (kStore || others == nullptr)
            return read_setting<kStore>(value, field.kind, field.member, reader);
        // Into the scratch record, each setting cleared first, then digested.
        std::visit([&](auto member) { reader.*member = {}; }, field.member);
        Failure failure = read_setting<true>(value, field.kind, field.member, reader);
        if (!failure)
            others->add(index, field_value(reader, field));
        return failure;
    }
};

// Readers other than `kept` (when given) are read and checked but not stored,
// so looking one up in a large manifest keeps one record, not all of them.
// A check's `watch` notes where the readers stand and may recover from their errors.
Failure read_readers(Cursor &cursor, ReadersMap &readers, const ReaderFilter &kept,
                     ReaderWatch *watch, OthersDigest *others) {
    ReaderConfig scratch; // written, and read only for the digest
    auto read_one = [&](std::string_view key, Cursor &value) -> Failure {
        if (kept && *kept != key) {
            if (others != nullptr)
                others->add_reader(key);
            return read_record(value, ReaderForm<false>{scratch, others});
        }
        ReaderConfig reader;
        if (Failure failure = read_record(value, ReaderForm<true>{reader}))
            return failure;
        if (watch != nullptr) { // a check keeps no records
            if (watch->in_main_section)
                watch->main_readers->read(reader);
            return {};
        }
        readers.put(std::string(key), std::move(reader));
        return {};
    };
    return yaml::read_mapping(
        cursor, "a map", "a string",
        [&](std::string_view key, Cursor &value, yaml::Mark key_mark) -> Failure {
            if (watch == nullptr)
                return read_one(key, value);
            if (watch->in_main_section)
                watch->main_readers->key(key, key_mark);
            if (!watch->recover)
                return read_one(key, value);
            Failure own;
            if (Failure failure = value.read_isolated(
                    own, [&](Cursor &replay) { return read_one(key, replay); })) {
                // A data error met before the parse stopped is what a read reports.
                if (own && own->kind() != yaml::Error::Kind::Syntax &&
                    own->kind() != yaml::Error::Kind::EndOfStream)
                    watch->reader_faults.emplace_back(std::string(key), std::move(*own));
                else
                    watch->stopped_in_reader = std::string(key);
                return failure;
            }
            if (own)
                watch->reader_faults.emplace_back(std::string(key), std::move(*own));
            return {};
        },
        [] { return Failure(); });
}

// The server settings in either form: every setting is required in the
// complete form and none in the all-optional one.
template <class Record> struct ServerForm {
    static constexpr bool kComplete = std::is_same_v<Record, AppConfig>;
    static constexpr std::string_view kExpected =
        kComplete ? "struct AppConfig" : "struct OptionAppConfig";
    static constexpr const auto &kFields = kServerFields;
    Record &server;

    static bool required(const ServerField &) { return kComplete; }
    Failure read(std::size_t index, Cursor &value) {
        const ServerField &field = kFields[index];
        return read_setting<true>(value, field.kind, member_in<Record>(field), server);
    }
};

struct SectionField {
    std::string_view name;
};

// A section's two fields, both required, in declaration order.
constexpr std::array<SectionField, 2> kSectionFields{{{kServerKey}, {kReadersKey}}};

template <class Section> struct SectionForm {
    static constexpr std::string_view kExpected = std::is_same_v<Section, ManifestConfig>
                                                      ? "struct ManifestConfig"
                                                      : "struct OptionManifestConfig";
    static constexpr const auto &kFields = kSectionFields;
    Section &section;
    const ReaderFilter &kept;
    ReaderWatch *watch;
    OthersDigest *others;

    static bool required(const SectionField &) { return true; }
    Failure read(std::size_t index, Cursor &value) {
        using Server = decltype(section.server_config);
        if (index == 0)
            return read_record(value, ServerForm<Server>{section.server_config});
        return read_readers(value, section.readers_config, kept, watch, others);
    }
};

// ---- the document -------------------------------------------------------------

template <class Section>
Failure parse_sections(std::string_view text, const ReaderFilter &kept, yaml::Retention retention,
                       yaml::FastPath fast_path, ReaderWatch *watch, Sections<Section> &sections,
                       OthersDigest *others = nullptr) {
    yaml::Loader loader(text, retention, fast_path);
    return loader.read_document(yaml::Path::root(), [&](Cursor &cursor) {
        return yaml::read_mapping(
            cursor, "a map", "a string",
            [&](std::string_view key, Cursor &value) -> Failure {
                if (watch != nullptr) {
                    watch->in_main_section = key == kSectionName;
                    if (watch->in_main_section) // a repeated section replaces the earlier
                        watch->main_readers->restart();
                }
                Section section;
                if (others != nullptr)
                    others->add_section(key);
                if (Failure inner =
                        read_record(value, SectionForm<Section>{section, kept, watch, others}))
                    return inner;
                sections.put(std::string(key), std::move(section));
                return {};
            },
            [] { return Failure(); });
    });
}

template <class Section>
Result<Sections<Section>> parse_manifest(std::string_view text, const ReaderFilter &kept,
                                         yaml::Retention retention, yaml::FastPath fast_path) {
    Sections<Section> sections;
    if (Failure failure = parse_sections(text, kept, retention, fast_path, nullptr, sections))
        return serialization_error(failure->to_string());
    return sections;
}

} // namespace

Result<Sections<OptionManifestConfig>> parse_manifest_for_lookup(std::string_view text,
                                                                 const ReaderFilter &kept,
                                                                 yaml::Retention retention,
                                                                 yaml::FastPath fast_path) {
    return parse_manifest<OptionManifestConfig>(text, kept, retention, fast_path);
}

Result<Sections<ManifestConfig>> parse_manifest_for_rewrite(std::string_view text,
                                                            yaml::Retention retention,
                                                            yaml::FastPath fast_path) {
    return parse_manifest<ManifestConfig>(text, std::nullopt, retention, fast_path);
}

Result<Sections<ManifestConfig>>
parse_manifest_keeping(std::string_view text, std::string_view reader_id, OthersDigest &others) {
    Sections<ManifestConfig> sections;
    if (Failure failure = parse_sections(text, ReaderFilter(reader_id), yaml::Retention::AsNeeded,
                                         yaml::FastPath::Allowed, nullptr, sections, &others))
        return serialization_error(failure->to_string());
    return sections;
}

yaml::Failure parse_manifest_watched(std::string_view text, ReaderWatch &watch,
                                     Sections<OptionManifestConfig> &sections) {
    // Recovering needs no kept events: a reader's own error is read past as
    // the parse goes (texts that may hold aliases are kept whole anyway).
    const yaml::Retention retention = yaml::Retention::AsNeeded;
    return parse_sections(text, std::nullopt, retention, yaml::FastPath::Allowed, &watch, sections);
}

yaml::Failure rewrite_parse_failure(std::string_view text) {
    Sections<ManifestConfig> sections;
    return parse_sections(text, std::nullopt, yaml::Retention::AsNeeded, yaml::FastPath::Allowed,
                          nullptr, sections);
}

} // namespace corvane
