#pragma once

#include "errors/result.hpp"
#include "io/interrupt.hpp"
#include "schema/manifest.hpp"

#include <string_view>

namespace corvane {

// Every operation here asks `interrupt` every few milliseconds while it waits
// (for a pipe to deliver, for the writers' lock) and ends with the
// Interrupted error when it says so.

// The "corvane" section of the manifest at `path` (which may hold any bytes,
// a NUL included: such a path names no file), with the readers `kept` keeps.
Result<OptionManifestConfig> read_from_manifest_yaml(std::string_view path,
                                                     const ReaderFilter &kept = {},
                                                     const io::InterruptCheck &interrupt = {});

// The "corvane" section of a manifest's text in its complete form, the form in
// which it is rewritten.
Result<ManifestConfig> section_for_rewrite(std::string_view text);

// The reader stored under `reader_id` in the manifest at `path`.
Result<ReaderConfig> read_reader_config(std::string_view path, std::string_view reader_id,
                                        const io::InterruptCheck &interrupt = {});

// Stores `reader` under `reader_id` in the manifest at `path` and rewrites it.
Status add_to_manifest_yaml(const ReaderConfig &reader, std::string_view path,
                            std::string_view reader_id, const io::InterruptCheck &interrupt = {});

} // namespace corvane
