// libFuzzer target: arbitrary bytes read as a manifest in both forms. For
// every input that reads in the rewrite form, the "corvane" section written
// out and read again must be the same section, and writing that again must
// give the same text. Any difference is a crash.
#include "schema/manifest.hpp"
#include "yaml/scalars.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

using namespace corvane;

[[noreturn]] void fault() {
    __builtin_trap();
}

// What the lookup form read must agree with the rewrite form's section: the
// same readers, and every server setting present with the same value. The
// one exception is the repository path, a text: an empty or null-word plain
// value is absent for lookup and that text when required.
void check_forms_agree(const OptionManifestConfig &lookup, const ManifestConfig &rewrite) {
    if (!(lookup.readers_config == rewrite.readers_config))
        fault();
    const OptionAppConfig &option = lookup.server_config;
    const AppConfig &app = rewrite.server_config;
    bool same = option.echo == app.echo && option.port == app.port &&
                option.enable_metrics == app.enable_metrics &&
                option.heartbeat_check_interval == app.heartbeat_check_interval &&
                option.management_port == app.management_port &&
                option.vertex_port == app.vertex_port && option.openai_port == app.openai_port &&
                option.snowflake_port == app.snowflake_port &&
                option.internal_port == app.internal_port &&
                (option.repository_path
                     ? *option.repository_path == app.repository_path
                     : app.repository_path.empty() || yaml::is_null_word(app.repository_path)) &&
                option.body_size_limit_bytes == app.body_size_limit_bytes &&
                option.allow_remote_images == app.allow_remote_images;
    if (!same)
        fault();
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    auto lookup = parse_manifest_for_lookup(text);
    auto rewrite = parse_manifest_for_rewrite(text);
    if (!rewrite)
        return 0;
    // The rewrite form only adds requirements, so the lookup form reads too.
    if (!lookup || lookup->size() != rewrite->size())
        fault();
    for (const auto &[name, section] : *rewrite) {
        const OptionManifestConfig *loose = lookup->find(name);
        if (loose == nullptr)
            fault();
        check_forms_agree(*loose, section);
    }
    if (const ManifestConfig *section = rewrite->find(kSectionName))
        check_round_trip(*section);
    return 0;
}
