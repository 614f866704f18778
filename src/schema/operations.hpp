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

// The reader stored under `reader_id` in the manifest at `path`.
Result<ReaderConfig> read_reader_config(std::string_view path, std::string_view reader_id,
                                        const io::InterruptCheck &interrupt = {});

// Every reader of the manifest at `path`, in file order (an id given twice:
// at its first place, with its last settings, as a lookup finds them).
Result<ReadersMap> read_readers_config(std::string_view path,
                                       const io::InterruptCheck &interrupt = {});

// How a manifest is written: afresh from its records (the "corvane" section
// alone, every setting of every record), or by changing only the lines the
// edit must change (schema/manifest_edit.hpp).
enum class Layout { Rewritten, Kept };

// Stores `reader` under `reader_id` in the manifest at `path` and writes it.
Status add_to_manifest_yaml(const ReaderConfig &reader, std::string_view path,
                            std::string_view reader_id, Layout layout = Layout::Rewritten,
                            const io::InterruptCheck &interrupt = {});

// Removes the reader stored under `reader_id` (every entry under that id)
// from the manifest at `path`, keeping the rest of its text.
Status remove_reader_config(std::string_view path, std::string_view reader_id,
                            const io::InterruptCheck &interrupt = {});

} // namespace corvane
