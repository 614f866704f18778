#include "schema/manifest_check.hpp"

#include "errors/messages.hpp"
#include "io/read_file.hpp"
#include "schema/manifest.hpp"
#include "schema/validation.hpp"

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <unordered_set>

namespace corvane {
namespace {

// A syntax error carries its position only in its text: the first
// "line L column C" in it is where the parser's problem lies.
std::optional<std::pair<std::uint32_t, std::uint32_t>> position_in_text(std::string_view text) {
    constexpr std::string_view kLine = "line ";
    constexpr std::string_view kColumn = " column ";
    for (std::size_t at = text.find(kLine); at != std::string_view::npos;
         at = text.find(kLine, at + 1)) {
        std::uint32_t line = 0;
        std::uint32_t column = 0;
        const char *first = text.data() + at + kLine.size();
        const char *last = text.data() + text.size();
        auto [after_line, line_error] = std::from_chars(first, last, line);
        if (line_error != std::errc() ||
            !std::string_view(after_line, last - after_line).starts_with(kColumn))
            continue;
        auto [after_column, column_error] =
            std::from_chars(after_line + kColumn.size(), last, column);
        if (column_error == std::errc())
            return std::pair(line, column);
    }
    return std::nullopt;
}

// A finding from an error of the YAML layer, with the message a read raises.
Finding finding_of(const yaml::Error &error, FindingKind kind,
                   std::optional<std::string> reader_id = std::nullopt) {
    Finding finding;
    finding.kind = kind;
    finding.reader_id = std::move(reader_id);
    finding.message = serialization_error(error.to_string()).display();
    if (error.mark()) {
        finding.line = error.mark()->line + 1;
        finding.column = error.mark()->column + 1;
    } else if (error.kind() == yaml::Error::Kind::Syntax) {
        if (auto position = position_in_text(error.to_string())) {
            finding.line = position->first;
            finding.column = position->second;
        }
    }
    return finding;
}

bool complete(const OptionAppConfig &server) {
    return std::all_of(kServerFields.begin(), kServerFields.end(), [&](const ServerField &field) {
        return std::visit([&](auto member) { return (server.*member).has_value(); },
                          field.optional);
    });
}

// The findings of a text that does not read: each reader's own first data
// error (recovering past it), then the first failure outside any reader.
void check_failed_parse(std::string_view text, ManifestCheck &check) {
    ReaderWatch watch;
    watch.recover = true;
    Sections<OptionManifestConfig> sections;
    yaml::Failure failure = parse_manifest_watched(text, watch, sections);
    std::unordered_set<std::string_view> reader_ids;
    for (const auto &key : watch.main_reader_keys)
        reader_ids.insert(key.first);
    check.readers = reader_ids.size();
    for (auto &[reader_id, error] : watch.reader_faults)
        check.findings.push_back(finding_of(error, FindingKind::Read, std::move(reader_id)));
    if (failure)
        check.findings.push_back(
            finding_of(*failure, FindingKind::Read, std::move(watch.stopped_in_reader)));
}

void check_section(std::string_view text, const Sections<OptionManifestConfig> &sections,
                   const OptionManifestConfig &section, const ReaderWatch &watch,
                   ManifestCheck &check) {
    // The last key of a repeated reader id is the one whose record was kept.
    std::unordered_map<std::string_view, yaml::Mark> key_marks;
    for (const auto &[reader_id, mark] : watch.main_reader_keys)
        key_marks[reader_id] = mark;
    check.readers = section.readers_config.size();
    for (const auto &[reader_id, reader] : section.readers_config) {
        const yaml::Mark mark = key_marks[reader_id];
        for (const ValidationError &error : validate(reader)) {
            Finding finding;
            finding.line = mark.line + 1;
            finding.column = mark.column + 1;
            finding.reader_id = reader_id;
            finding.kind = FindingKind::Validate;
            finding.message = error.field.field + ": " + error.error_type.explanation;
            check.findings.push_back(std::move(finding));
        }
    }
    // Adding a reader reads every section in the complete form: a second
    // parse, only where a server section lacks a setting.
    bool all_complete = std::all_of(sections.begin(), sections.end(), [](const auto &entry) {
        return complete(entry.second.server_config);
    });
    if (!all_complete) {
        if (yaml::Failure failure = rewrite_parse_failure(text))
            check.findings.push_back(finding_of(*failure, FindingKind::Add));
    }
}

} // namespace

std::string_view finding_kind_name(FindingKind kind) {
    switch (kind) {
    case FindingKind::Read:
        return "read";
    case FindingKind::Validate:
        return "validate";
    case FindingKind::Add:
        return "add";
    }
    return "read";
}

ManifestCheck check_manifest_text(std::string_view text) {
    ManifestCheck check;
    ReaderWatch watch;
    Sections<OptionManifestConfig> sections;
    if (parse_manifest_watched(text, watch, sections)) {
        check_failed_parse(text, check);
    } else if (const OptionManifestConfig *section = sections.find(kSectionName)) {
        check_section(text, sections, *section, watch, check);
    } else {
        check.findings.push_back({1, 1, std::nullopt, FindingKind::Read,
                                  serialization_error(messages::kNoSection).display()});
    }
    return check;
}

Result<ManifestCheck> check_manifest(std::string_view path, const io::InterruptCheck &interrupt) {
    Result<std::string> text = read_file_utf8(path, interrupt);
    if (text)
        return check_manifest_text(text.value());
    if (text.error().kind() == ErrorKind::Interrupted)
        return std::move(text).error();
    ManifestCheck check;
    check.findings.push_back({1, 1, std::nullopt, FindingKind::Read, text.error().display()});
    return check;
}

} // namespace corvane
