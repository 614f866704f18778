#pragma once

#include "errors/result.hpp"
#include "io/interrupt.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What a finding of a manifest check is about.
enum class FindingKind {
    Read,     // fails every read of the file
    Validate, // a reader's validate() finding; the file reads
    Add,      // adding a reader would refuse the file, although it reads
};

std::string_view finding_kind_name(FindingKind kind);

struct Finding {
    std::uint32_t line = 1; // 1-based, as in the module's messages
    std::uint32_t column = 1;
    std::optional<std::string> reader_id; // set inside a reader
    FindingKind kind = FindingKind::Read;
    std::string message;
};

struct ManifestCheck {
    std::size_t readers = 0; // in the "corvane" section
    std::vector<Finding> findings;
};

// Checks a whole manifest text. Findings come in reading order, so the first
// "read" finding is the error that every read of the text raises.
ManifestCheck check_manifest_text(std::string_view text);

// Checks the whole manifest at `path` with one parse (a second only where the
// first finds an error or an incomplete server section). The only error is an
// interrupted wait; everything about the file is a finding.
Result<ManifestCheck> check_manifest(std::string_view path,
                                     const io::InterruptCheck &interrupt = {});

} // namespace corvane
