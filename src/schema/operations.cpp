#include "schema/operations.hpp"

#include "io/read_file.hpp"

namespace corvane {

Result<OptionManifestConfig> read_from_manifest_yaml(std::string_view path,
                                                     const ReaderFilter &kept,
                                                     const io::InterruptCheck &interrupt) {
    Result<std::string> text = read_file_utf8(path, interrupt);
    if (!text)
        return std::move(text).error();
    auto sections = parse_manifest_for_lookup(*text, kept);
    if (!sections)
        return std::move(sections).error();
    auto section = std::move(sections).value().take(kSectionName);
    if (!section)
        return serialization_error("No corvane key found in manifest");
    return std::move(*section);
}

Result<ReaderConfig> read_reader_config(std::string_view path, std::string_view reader_id,
                                        const io::InterruptCheck &interrupt) {
    auto section = read_from_manifest_yaml(path, reader_id, interrupt);
    if (!section)
        return std::move(section).error();
    auto reader = std::move(section->readers_config).take(reader_id);
    if (!reader) {
        return ConfigError(ErrorKind::InvalidValue, "No reader with id " + std::string(reader_id) +
                                                        " found in manifest.yaml");
    }
    return std::move(*reader);
}

} // namespace corvane
