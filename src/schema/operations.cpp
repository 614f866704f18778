#include "schema/operations.hpp"

#include "errors/messages.hpp"
#include "io/read_file.hpp"
#include "yaml/parser.hpp"

namespace corvane {
namespace {

// A file is read up to the longest text the YAML layer parses.
static_assert(kLargestFile == yaml::kLargestText);

// The one road to a manifest's "corvane" section: read the file, parse it in
// the form `parse` gives, take the section.
template <class Section, class Parse>
Result<Section> read_section(std::string_view path, const io::InterruptCheck &interrupt,
                             Parse &&parse) {
    Result<std::string> text = read_file_utf8(path, interrupt);
    if (!text)
        return std::move(text).error();
    return take_section<Section>(parse(text.value()));
}

} // namespace

Result<OptionManifestConfig> read_from_manifest_yaml(std::string_view path,
                                                     const ReaderFilter &kept,
                                                     const io::InterruptCheck &interrupt) {
    return read_section<OptionManifestConfig>(path, interrupt, [&](std::string_view text) {
        return parse_manifest_for_lookup(text, kept);
    });
}

Result<ReadersMap> read_readers_config(std::string_view path, const io::InterruptCheck &interrupt) {
    auto section = read_from_manifest_yaml(path, std::nullopt, interrupt);
    if (!section)
        return std::move(section).error();
    return std::move(section->readers_config);
}

Result<ReaderConfig> read_reader_config(std::string_view path, std::string_view reader_id,
                                        const io::InterruptCheck &interrupt) {
    auto section = read_from_manifest_yaml(path, reader_id, interrupt);
    if (!section)
        return std::move(section).error();
    auto reader = std::move(section->readers_config).take(reader_id);
    if (!reader) {
        return ConfigError(ErrorKind::InvalidValue, messages::kNoReaderBefore +
                                                        std::string(reader_id) +
                                                        messages::kNoReaderAfter);
    }
    return std::move(*reader);
}

} // namespace corvane
