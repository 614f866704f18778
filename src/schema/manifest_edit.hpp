#pragma once

#include "errors/result.hpp"
#include "schema/manifest.hpp"

#include <string>
#include <string_view>

namespace corvane {

// Edits of a manifest's text that change only the lines an edit must change:
// comments, blank lines, key order, quoting, indentation, unknown keys, other
// sections and line breaks stay byte for byte. `sections` and `others` are
// the text's own parse_manifest_keeping() under the reader id. Before an
// edited text is returned it is parsed again and must hold exactly the
// sections asked for, every other reader as it was. Where the layout cannot
// be kept (see docs/errors.md), a Serialization error says why.

// The text with `reader` stored under `reader_id` in the last "corvane"
// section: the reader a read returns changed setting by setting, or a new
// entry after the last reader.
Result<std::string> put_reader_in_text(std::string_view text, Sections<ManifestConfig> sections,
                                       const OthersDigest &others, const ReaderConfig &reader,
                                       std::string_view reader_id);

// The text without any entry stored under `reader_id` in the last "corvane"
// section; the lookup's InvalidValue error where there is none.
Result<std::string> remove_reader_from_text(std::string_view text,
                                            Sections<ManifestConfig> sections,
                                            const OthersDigest &others, std::string_view reader_id);

} // namespace corvane
