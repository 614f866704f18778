#pragma once

#include "errors/messages.hpp"
#include "errors/result.hpp"
#include "schema/app_config.hpp"
#include "schema/ordered_map.hpp"
#include "schema/reader_config.hpp"
#include "yaml/loader.hpp"
#include "yaml/writer.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

using ReadersMap = OrderedMap<ReaderConfig>;

// One manifest section as read for a lookup: server settings all optional.
struct OptionManifestConfig {
    OptionAppConfig server_config;
    ReadersMap readers_config;

    bool operator==(const OptionManifestConfig &) const = default;
};

// One manifest section as read for a rewrite: server settings complete.
struct ManifestConfig {
    AppConfig server_config;
    ReadersMap readers_config;

    bool operator==(const ManifestConfig &) const = default;
};

template <class Section> using Sections = OrderedMap<Section>;

inline constexpr std::string_view kSectionName = "corvane";
// The keys of a section's two fields.
inline constexpr std::string_view kServerKey = "server_config";
inline constexpr std::string_view kReadersKey = "readers_config";

// Which readers a parse keeps: all, or only those stored under one id (the
// others are still read and checked, as every reader must be valid).
using ReaderFilter = std::optional<std::string_view>;

// What a check is told of the readers of the last "corvane" section, in file
// order, as they are read (schema/manifest_check.cpp).
class MainReaders {
  public:
    // The section begins; a repeated section replaces what came before.
    virtual void restart() = 0;
    // A reader's key.
    virtual void key(std::string_view reader_id, yaml::Mark mark) = 0;
    // The record under the last key, read without error.
    virtual void read(const ReaderConfig &reader) = 0;

  protected:
    ~MainReaders() = default;
};

// What a check of a whole manifest sees of a parse (schema/manifest_check.cpp);
// reads and rewrites never use it. A watched parse keeps no reader records:
// the main section's go to `main_readers` one by one.
struct ReaderWatch {
    // Go on past a reader's own data error: the reader is read again through
    // a replay and skipped, so the parse needs Retention::Always.
    bool recover = false;
    MainReaders *main_readers = nullptr; // set by the check
    // Recovering: each reader's first data error, with the reader's id.
    std::vector<std::pair<std::string, yaml::Error>> reader_faults;
    // Recovering: the reader in which the parse itself stopped, if any.
    std::optional<std::string> stopped_in_reader;
    bool in_main_section = false; // set while the "corvane" section is read
};

// The parse of a check: the YAML layer's failure itself (the first one
// outside a reader when recovering), not a ConfigError.
yaml::Failure parse_manifest_watched(std::string_view text, ReaderWatch &watch,
                                     Sections<OptionManifestConfig> &sections);
// The failure that a rewrite's parse of the text meets, if any.
yaml::Failure rewrite_parse_failure(std::string_view text);

// Parses a whole manifest text. Errors are Serialization errors whose text is
// the YAML layer's complete message. The result does not depend on
// `retention` or `fast_path`, only the memory and time it takes.
Result<Sections<OptionManifestConfig>>
parse_manifest_for_lookup(std::string_view text, const ReaderFilter &kept = {},
                          yaml::Retention retention = yaml::Retention::AsNeeded,
                          yaml::FastPath fast_path = yaml::FastPath::Allowed);
Result<Sections<ManifestConfig>>
parse_manifest_for_rewrite(std::string_view text,
                           yaml::Retention retention = yaml::Retention::AsNeeded,
                           yaml::FastPath fast_path = yaml::FastPath::Allowed);

// What a parse that keeps one reader saw of all the others, without storing
// them: a digest of every section name and every other reader's id and
// settings as read, in file order. Two texts whose digests agree hold the same
// other readers (up to the odds of a 64-bit hash colliding).
class OthersDigest {
  public:
    void add_section(std::string_view name) {
        close_reader();
        state_ = mixed(state_, text_hash(1, name));
    }
    void add_reader(std::string_view id) {
        close_reader();
        state_ = mixed(state_, text_hash(2, id));
    }
    // A setting of the reader last added; its settings count in any order,
    // as a reader reads the same whatever order its keys come in.
    void add(std::size_t field, const FieldValue &value) {
        std::uint64_t hash = mixed(0, 3 + field);
        if (const auto *text = std::get_if<std::string_view>(&value))
            hash = mixed(hash, text_hash(0, *text));
        else if (const auto *number = std::get_if<std::uint64_t>(&value))
            hash = mixed(hash, *number);
        settings_ += mixed(hash, 0);
    }
    bool operator==(const OthersDigest &) const = default;

  private:
    void close_reader() {
        state_ = mixed(state_, settings_);
        settings_ = 0;
    }
    static std::uint64_t mixed(std::uint64_t state, std::uint64_t word) {
        state = (state ^ word) * 0x100000001B3u; // FNV-1a's prime, a word at a time
        return state ^ (state >> 29);
    }
    static std::uint64_t text_hash(std::uint64_t tag, std::string_view text) {
        std::uint64_t hash = mixed(mixed(0xCBF29CE484222325u, tag), text.size());
        std::size_t at = 0;
        for (; at + 8 <= text.size(); at += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, 8);
            hash = mixed(hash, word);
        }
        std::uint64_t tail = 0;
        if (at < text.size())
            std::memcpy(&tail, text.data() + at, text.size() - at);
        return mixed(hash, tail);
    }

    std::uint64_t state_ = 0xCBF29CE484222325u;
    std::uint64_t settings_ = 0; // of the reader last added, summed
};

// The rewrite form's parse that stores, of the readers, only those under
// `reader_id` (all are read and checked alike, with the same errors), and
// digests the others into `others`.
Result<Sections<ManifestConfig>>
parse_manifest_keeping(std::string_view text, std::string_view reader_id, OthersDigest &others);

// The "corvane" section out of parsed sections (moved, not copied), or the
// parse error, or the Serialization error for a manifest without it.
template <class Section> Result<Section> take_section(Result<Sections<Section>> sections) {
    if (!sections)
        return std::move(sections).error();
    std::optional<Section> section = std::move(sections).value().take(kSectionName);
    if (!section)
        return serialization_error(messages::kNoSection);
    return std::move(*section);
}

// The manifest text holding the single section "corvane".
Result<std::string> write_manifest(const ManifestConfig &section);

// A reader's settings that are set, in declaration order, as one mapping.
void write_set_settings(yaml::Writer &out, const ReaderConfig &reader);

} // namespace corvane
