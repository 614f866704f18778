// libFuzzer target: arbitrary bytes read as a manifest in both forms, and as
// a lookup that keeps a single reader. Each form must read the same whether
// the document's events are kept (as for documents with aliases) or read as
// they are parsed. For every input that reads in the
// rewrite form, the "corvane" section written out and read again must be the
// same section, and writing that again must give the same text. The
// whole-manifest check must fail the input exactly when a read does, first
// with the read's message. Where the fast path reads the text, its events
// must be libyaml's, and every form must read the same with the fast path
// forced off. Edits that keep the layout (a reader changed, one added, one
// removed, with texts taken from the input) either give a text that reads
// back as asked or are refused for a reason other than that. Any difference
// is a crash.
#include "fast_path_check.hpp"
#include "schema/manifest.hpp"
#include "schema/manifest_check.hpp"
#include "schema/manifest_edit.hpp"
#include "yaml/scalars.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace {

using namespace corvane;

[[noreturn]] void fault() {
    __builtin_trap();
}

// What the lookup form read must agree with the rewrite form's section: the
// same readers, and every server setting present with the same value. The
// one exception is a text setting (the repository path): an empty or
// null-word plain value is absent for lookup and that text when required.
void check_forms_agree(const OptionManifestConfig &lookup, const ManifestConfig &rewrite) {
    if (!(lookup.readers_config == rewrite.readers_config))
        fault();
    for (const ServerField &field : kServerFields) {
        bool same = std::visit(
            [&](auto option_member, auto app_member) {
                const auto &loose = lookup.server_config.*option_member;
                const auto &complete = rewrite.server_config.*app_member;
                using Value = std::remove_cvref_t<decltype(complete)>;
                if constexpr (!std::is_same_v<std::optional<Value>,
                                              std::remove_cvref_t<decltype(loose)>>) {
                    return false;
                } else if (loose) {
                    return *loose == complete;
                } else if constexpr (std::is_same_v<Value, std::string>) {
                    return complete.empty() || yaml::is_null_word(complete);
                } else {
                    return false;
                }
            },
            field.optional, field.complete);
        if (!same)
            fault();
    }
}

void check_round_trip(const ManifestConfig &section) {
    auto text = write_manifest(section);
    if (!text)
        fault(); // a section that was read can always be written
    auto again = parse_manifest_for_rewrite(text.value());
    if (!again)
        fault();
    const ManifestConfig *reread = again->find(kSectionName);
    if (reread == nullptr || again->size() != 1 || !(*reread == section))
        fault();
    auto text_again = write_manifest(*reread);
    if (!text_again || text_again.value() != text.value())
        fault();
}

void check_sections_agree(const Sections<OptionManifestConfig> &lookup,
                          const Sections<ManifestConfig> &rewrite) {
    if (lookup.size() != rewrite.size())
        fault();
    for (const auto &[name, section] : rewrite) {
        const OptionManifestConfig *loose = lookup.find(name);
        if (loose == nullptr)
            fault();
        check_forms_agree(*loose, section);
    }
}

// A lookup that keeps one reader reads and checks the same document: it
// fails exactly when the full lookup fails, with the same message, and keeps
// that reader (when there is one) and nothing else.
void check_filtered_lookup(std::string_view text,
                           const Result<Sections<OptionManifestConfig>> &lookup) {
    std::string_view reader_id = "r1";
    if (lookup) {
        const OptionManifestConfig *section = lookup->find(kSectionName);
        if (section != nullptr && !section->readers_config.empty())
            reader_id = section->readers_config.begin()->first;
    }
    auto filtered = parse_manifest_for_lookup(text, reader_id);
    if (filtered.ok() != lookup.ok())
        fault();
    if (!lookup) {
        if (filtered.error().display() != lookup.error().display())
            fault();
        return;
    }
    if (filtered->size() != lookup->size())
        fault();
    for (const auto &[name, section] : lookup.value()) {
        const OptionManifestConfig *kept = filtered->find(name);
        if (kept == nullptr || !(kept->server_config == section.server_config))
            fault();
        const ReaderConfig *expected = section.readers_config.find(reader_id);
        const ReaderConfig *found = kept->readers_config.find(reader_id);
        if (kept->readers_config.size() != (expected ? 1u : 0u) ||
            (expected && !(found && *found == *expected)))
            fault();
    }
}

// Reading from kept events and reading as parsed give the same outcome.
template <class Sections>
void check_retention_agrees(const Result<Sections> &as_needed, const Result<Sections> &kept) {
    if (as_needed.ok() != kept.ok())
        fault();
    if (!as_needed) {
        if (as_needed.error().display() != kept.error().display())
            fault();
    } else if (!(as_needed.value() == kept.value())) {
        fault();
    }
}

// The whole-manifest check (which recovers past readers' errors) agrees with
// a read: it reports a read failure exactly when the lookup fails or finds no
// "corvane" section, its first one carrying the lookup's message.
void check_whole_manifest_check(std::string_view text,
                                const Result<Sections<OptionManifestConfig>> &lookup) {
    ManifestCheck check = check_manifest_text(text);
    const Finding *first_read = nullptr;
    for (const Finding &finding : check.findings)
        if (finding.kind == FindingKind::Read && first_read == nullptr)
            first_read = &finding;
    if (!lookup) {
        if (first_read == nullptr || first_read->message != lookup.error().display())
            fault();
    } else if ((lookup->find(kSectionName) == nullptr) != (first_read != nullptr)) {
        fault();
    }
}

// A text for a setting out of the input's own bytes (printable ASCII and
// line feeds: quotes, colons, "#", leading blanks and the like).
std::string text_from(std::string_view input, std::size_t at) {
    std::string text;
    for (std::size_t i = at; i < input.size() && text.size() < 12; ++i) {
        const char c = input[i];
        if ((c >= 0x20 && c < 0x7f) || c == '\n')
            text.push_back(c);
    }
    return text;
}

// The layout-keeping edit's own proof is the invariant: only the refusal
// that says the result would not read back is a fault (the text is
// otherwise checked again here).
void check_edit(const Result<std::string> &edited, const Sections<ManifestConfig> &expected) {
    if (!edited) {
        if (edited.error().display().find("would not read back") != std::string::npos)
            fault();
        return;
    }
    auto reread = parse_manifest_for_rewrite(edited.value());
    if (!reread || !(reread.value() == expected))
        fault();
}

// Both edits of one reader id: the text's own keeping parse, the edit, and the
// edited text read back in full against the full parse changed as asked.
void check_layout_edits(std::string_view text, const Sections<ManifestConfig> &sections) {
    const ManifestConfig *section = sections.find(kSectionName);
    if (section == nullptr)
        return;
    const std::size_t seed = std::hash<std::string_view>{}(text);
    auto keeping = [&](std::string_view id, OthersDigest &others) {
        auto kept = parse_manifest_keeping(text, id, others);
        if (!kept) // it reads what the full parse read
            fault();
        return std::move(kept).value();
    };
    auto with = [&](std::string_view id, const ReaderConfig &reader) {
        Sections<ManifestConfig> expected = sections;
        expected.find(kSectionName)->readers_config.put(std::string(id), reader);
        OthersDigest others;
        auto kept = keeping(id, others);
        check_edit(put_reader_in_text(text, std::move(kept), others, reader, id), expected);
    };
    ReaderConfig fresh;
    fresh.model_name = text_from(text, seed % (text.size() + 1));
    fresh.device = "cpu";
    fresh.max_batch_size = seed % 1000;
    with("zz-new", fresh);
    if (section->readers_config.empty())
        return;
    const auto &[id, stored] = *section->readers_config.begin();
    ReaderConfig changed = stored;
    changed.log_level = text_from(text, (seed / 7) % (text.size() + 1));
    changed.max_batch_size.reset();
    changed.consumer_group = text_from(text, (seed / 13) % (text.size() + 1));
    changed.tensor_parallel = static_cast<std::uint32_t>(seed % 9);
    with(id, changed);
    Sections<ManifestConfig> without = sections;
    without.find(kSectionName)->readers_config.erase(id);
    OthersDigest others;
    auto kept = keeping(id, others);
    check_edit(remove_reader_from_text(text, std::move(kept), others, id), without);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    const bool fast = fuzz_check::check_fast_path_agrees(text);
    auto lookup = parse_manifest_for_lookup(text);
    check_retention_agrees(lookup, parse_manifest_for_lookup(text, {}, yaml::Retention::Always));
    check_filtered_lookup(text, lookup);
    check_whole_manifest_check(text, lookup);
    auto rewrite = parse_manifest_for_rewrite(text);
    check_retention_agrees(rewrite, parse_manifest_for_rewrite(text, yaml::Retention::Always));
    if (fast) {
        check_retention_agrees(
            lookup,
            parse_manifest_for_lookup(text, {}, yaml::Retention::AsNeeded, yaml::FastPath::Off));
        check_retention_agrees(rewrite, parse_manifest_for_rewrite(text, yaml::Retention::AsNeeded,
                                                                   yaml::FastPath::Off));
    }
    if (!rewrite)
        return 0;
    // The rewrite form only adds requirements, so the lookup form reads too,
    // with one exception: a plain scalar tagged !!null whose text is no null
    // word is refused by an optional server setting (lookup) but read by its
    // text where the setting is required (rewrite).
    if (!lookup) {
        if (lookup.error().display().find(", expected null") == std::string::npos)
            fault();
    } else {
        check_sections_agree(lookup.value(), rewrite.value());
    }
    if (const ManifestConfig *section = rewrite->find(kSectionName))
        check_round_trip(*section);
    check_layout_edits(text, rewrite.value());
    return 0;
}
