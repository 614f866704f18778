#include "schema/manifest_check.hpp"

#include "errors/messages.hpp"
#include "io/read_file.hpp"
#include "schema/manifest.hpp"
#include "schema/validation.hpp"

#include <algorithm>
#include <vector>

namespace corvane {
namespace {

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
    }
    return finding;
}

// The main section's readers as a check needs them, kept small: each key's
// text once in one buffer, its mark, and the validate() findings of its
// record, never the records themselves, so that a check takes little more
// memory than the file's text, however many readers it holds. A repeated
// reader id keeps the last record, at the place of its first key, as a read
// does.
class ReaderIndex final : public MainReaders {
  public:
    void restart() override {
        keys_.clear();
        ends_.clear();
        marks_.clear();
        validated_.clear();
    }
    void key(std::string_view reader_id, yaml::Mark mark) override {
        keys_.append(reader_id);
        ends_.push_back(keys_.size());
        marks_.push_back(mark);
    }
    void read(const ReaderConfig &reader) override {
        if (auto errors = validate(reader); !errors.empty())
            validated_.emplace_back(ends_.size() - 1, std::move(errors));
    }

    // How many different reader ids there are.
    std::size_t count() const { return groups().size(); }

    // The validate() findings, in the order of the readers' first keys.
    void report(ManifestCheck &check) const {
        std::vector<Group> all = groups();
        // Which first key each kept (last) record stands at.
        std::vector<std::pair<std::size_t, std::size_t>> placed; // (first, last)
        for (const auto &[index, errors] : validated_) {
            auto group = std::lower_bound(all.begin(), all.end(), index,
                                          [](const Group &g, std::size_t i) { return g.last < i; });
            if (group != all.end() && group->last == index)
                placed.emplace_back(group->first, index);
        }
        std::sort(placed.begin(), placed.end());
        for (const auto &[first, last] : placed) {
            auto found =
                std::lower_bound(validated_.begin(), validated_.end(), last,
                                 [](const auto &entry, std::size_t i) { return entry.first < i; });
            const yaml::Mark mark = marks_[last];
            for (const ValidationError &error : found->second) {
                Finding finding;
                finding.line = mark.line + 1;
                finding.column = mark.column + 1;
                finding.reader_id = std::string(key_at(last));
                finding.kind = FindingKind::Validate;
                finding.message = error.field.field + ": " + error.error_type.explanation;
                check.findings.push_back(std::move(finding));
            }
        }
    }

  private:
    struct Group {
        std::size_t first; // the key's first index
        std::size_t last;  // and last
    };

    std::string_view key_at(std::size_t index) const {
        std::size_t start = index == 0 ? 0 : ends_[index - 1];
        return std::string_view(keys_).substr(start, ends_[index] - start);
    }

    // One group per reader id, ordered by the index of its last key.
    std::vector<Group> groups() const {
        std::vector<std::uint32_t> order(ends_.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<std::uint32_t>(i);
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            auto left = key_at(a);
            auto right = key_at(b);
            return left != right ? left < right : a < b;
        });
        std::vector<Group> all;
        for (std::size_t i = 0; i < order.size();) {
            std::size_t j = i;
            while (j + 1 < order.size() && key_at(order[j + 1]) == key_at(order[i]))
                ++j;
            all.push_back({order[i], order[j]});
            i = j + 1;
        }
        std::sort(all.begin(), all.end(),
                  [](const Group &a, const Group &b) { return a.last < b.last; });
        return all;
    }

    std::string keys_;
    std::vector<std::size_t> ends_; // of each key in keys_
    std::vector<yaml::Mark> marks_;
    // By key index, in file order: the findings of each record that has any.
    std::vector<std::pair<std::size_t, std::vector<ValidationError>>> validated_;
};

bool complete(const OptionAppConfig &server) {
    return std::all_of(kServerFields.begin(), kServerFields.end(), [&](const ServerField &field) {
        return std::visit([&](auto member) { return (server.*member).has_value(); },
                          field.optional);
    });
}

// The findings of a text that does not read: each reader's own first data
// error (recovering past it), then the first failure outside any reader.
void check_failed_parse(std::string_view text, ManifestCheck &check) {
    ReaderIndex readers;
    ReaderWatch watch;
    watch.recover = true;
    watch.main_readers = &readers;
    Sections<OptionManifestConfig> sections;
    yaml::Failure failure = parse_manifest_watched(text, watch, sections);
    check.readers = readers.count();
    for (auto &[reader_id, error] : watch.reader_faults)
        check.findings.push_back(finding_of(error, FindingKind::Read, std::move(reader_id)));
    if (failure)
        check.findings.push_back(
            finding_of(*failure, FindingKind::Read, std::move(watch.stopped_in_reader)));
}

void check_section(std::string_view text, const Sections<OptionManifestConfig> &sections,
                   const ReaderIndex &readers, ManifestCheck &check) {
    check.readers = readers.count();
    readers.report(check);
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
    ReaderIndex readers;
    ReaderWatch watch;
    watch.main_readers = &readers;
    Sections<OptionManifestConfig> sections;
    if (parse_manifest_watched(text, watch, sections)) {
        check_failed_parse(text, check);
    } else if (sections.find(kSectionName) != nullptr) {
        check_section(text, sections, readers, check);
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
