#pragma once

#include "errors/result.hpp"
#include "schema/manifest.hpp"

#include <string_view>

namespace corvane {

// The "corvane" section of the manifest at `path` (which may hold any bytes,
// a NUL included: such a path names no file), with the readers `kept` keeps.
Result<OptionManifestConfig> read_from_manifest_yaml(std::string_view path,
                                                     const ReaderFilter &kept = {});

// The "corvane" section of the manifest at `path` in its complete form, the
// form in which it is rewritten.
Result<ManifestConfig> read_section_for_rewrite(std::string_view path);

// The reader stored under `reader_id` in the manifest at `path`.
Result<ReaderConfig> read_reader_config(std::string_view path, std::string_view reader_id);

// Stores `reader` under `reader_id` in the manifest at `path` and rewrites it.
Status add_to_manifest_yaml(const ReaderConfig &reader, std::string_view path,
                            std::string_view reader_id);

} // namespace corvane
