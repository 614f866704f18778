#include "schema/operations.hpp"

#include "errors/messages.hpp"
#include "io/read_file.hpp"

namespace corvane {
namespace {

// The one road to a manifest's "corvane" section: read the file, parse it in
// the form `parse` gives, take the section.
template <class Section, class Parse>
Result<Section> read_section(std::string_view path, Parse &&parse) {
    Result<std::string> text = read_file_utf8(path);
    if (!text)
        return std::move(text).error();
    return take_section<Section>(parse(text.value()));
}

} // namespace

Result<OptionManifestConfig> read_from_manifest_yaml(std::string_view path,
                                                     const ReaderFilter &kept) {
    return read_section<OptionManifestConfig>(
        path, [&](std::string_view text) { return parse_manifest_for_lookup(text, kept); });
}

Result<ManifestConfig> read_section_for_rewrite(std::string_view path) {
    return read_section<ManifestConfig>(
        path, [](std::string_view text) { return parse_manifest_for_rewrite(text); });
}

Result<ReaderConfig> read_reader_config(std::string_view path, std::string_view reader_id) {
    auto section = read_from_manifest_yaml(path, reader_id);
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
