#pragma once

#include "errors/messages.hpp"
#include "errors/result.hpp"
#include "schema/app_config.hpp"
#include "schema/ordered_map.hpp"
#include "schema/reader_config.hpp"
#include "yaml/loader.hpp"

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

} // namespace corvane
