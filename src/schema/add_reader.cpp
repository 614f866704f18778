// Storing or removing a reader in a manifest file: read every section in its
// complete form, change the "corvane" section, write the manifest back
// atomically, afresh or with its layout kept.
#include "io/atomic_write.hpp"
#include "schema/manifest_edit.hpp"
#include "schema/operations.hpp"

namespace corvane {

Status add_to_manifest_yaml(const ReaderConfig &reader, std::string_view path,
                            std::string_view reader_id, Layout layout,
                            const io::InterruptCheck &interrupt) {
    // Applied again to a fresh read if another program changes the manifest
    // meanwhile.
    return io::rewrite_manifest(path, interrupt, [&](std::string_view text) -> Result<std::string> {
        if (layout == Layout::Kept) {
            // Only this reader is stored; the others are checked and digested.
            OthersDigest others;
            auto sections = parse_manifest_keeping(text, reader_id, others);
            if (!sections)
                return std::move(sections).error();
            return put_reader_in_text(text, std::move(sections).value(), others, reader, reader_id);
        }
        auto sections = parse_manifest_for_rewrite(text);
        auto section = take_section<ManifestConfig>(std::move(sections));
        if (!section)
            return std::move(section).error();
        section->readers_config.put(std::string(reader_id), reader);
        // Never written when it could not be read back ("document too large").
        return write_manifest(section.value());
    });
}

Status remove_reader_config(std::string_view path, std::string_view reader_id,
                            const io::InterruptCheck &interrupt) {
    return io::rewrite_manifest(path, interrupt, [&](std::string_view text) -> Result<std::string> {
        OthersDigest others;
        auto sections = parse_manifest_keeping(text, reader_id, others);
        if (!sections)
            return std::move(sections).error();
        return remove_reader_from_text(text, std::move(sections).value(), others, reader_id);
    });
}

} // namespace corvane
