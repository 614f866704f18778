// Temporary placeholder so that the module links while the reading code is written.
#include "schema/operations.hpp"

namespace corvane {
Result<OptionManifestConfig> read_from_manifest_yaml(std::string_view path) {
    return file_not_found(path);
}
Result<ReaderConfig> read_reader_config(std::string_view path, std::string_view) {
    return file_not_found(path);
}
} // namespace corvane
