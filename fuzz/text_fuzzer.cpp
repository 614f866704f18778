// libFuzzer target: texts that Python could hand over (any valid UTF-8) put
// into a ReaderConfig, a reader identifier and the server's repository path,
// stored in a fixed manifest section, written and read again in both forms.
// The section and the reader must come back unchanged, and where the fast path
// reads the written text its events must be libyaml's.
#include "fast_path_check.hpp"
#include "io/read_file.hpp"
#include "schema/manifest.hpp"

#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <type_traits>

namespace {

using namespace corvane;

[[noreturn]] void fault() {
    __builtin_trap();
}

// Python strings reach the core as UTF-8 without surrogates; other bytes
// cannot occur, so such inputs are not interesting.
bool take_text(FuzzedDataProvider &input, std::string &out) {
    out = input.ConsumeRandomLengthString(256);
    return is_valid_utf8(out);
}

bool fill_reader(FuzzedDataProvider &input, ReaderConfig &reader) {
    for (const ReaderField &field : kReaderFields) {
        bool ok = std::visit(
            [&](auto member) -> bool {
                auto &slot = reader.*member;
                using Slot = std::decay_t<decltype(slot)>;
                if constexpr (std::is_same_v<Slot, std::string>) {
                    return take_text(input, slot);
                } else {
                    if (!input.ConsumeBool())
                        return true; // absent
                    using Inner = typename Slot::value_type;
                    if constexpr (std::is_same_v<Inner, std::string>) {
                        std::string text;
                        if (!take_text(input, text))
                            return false;
                        slot = std::move(text);
                    } else {
                        slot = input.ConsumeIntegral<Inner>();
                    }
                    return true;
                }
            },
            field.member);
        if (!ok)
            return false;
    }
    return true;
}

ManifestConfig base_section() {
    ManifestConfig section;
    section.server_config.port = 3000;
    section.server_config.repository_path = "/srv/models";
    ReaderConfig existing;
    existing.model_name = "example-model";
    existing.device = "cuda";
    existing.consumer_group = "primary";
    existing.max_batch_size = 8;
    section.readers_config.put("reader-a", existing);
    return section;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    ManifestConfig section = base_section();
    ReaderConfig reader;
    std::string reader_id;
    std::string repository_path;
    if (!take_text(input, reader_id) || !take_text(input, repository_path) ||
        !fill_reader(input, reader))
        return 0;
    section.server_config.repository_path = repository_path;
    section.server_config.heartbeat_check_interval = input.ConsumeIntegral<std::uint64_t>();
    section.server_config.echo = input.ConsumeBool();
    section.readers_config.put(reader_id, reader);

    auto text = write_manifest(section);
    if (!text)
        fault();
    fuzz_check::check_fast_path_agrees(text.value());
    auto rewrite = parse_manifest_for_rewrite(text.value());
    if (!rewrite)
        fault();
    const ManifestConfig *reread = rewrite->find(kSectionName);
    if (reread == nullptr || !(*reread == section))
        fault();
    auto lookup = parse_manifest_for_lookup(text.value());
    if (!lookup)
        fault();
    const OptionManifestConfig *loose = lookup->find(kSectionName);
    if (loose == nullptr)
        fault();
    const ReaderConfig *found = loose->readers_config.find(reader_id);
    if (found == nullptr || !(*found == reader))
        fault();
    return 0;
}
