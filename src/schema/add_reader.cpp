// Storing a reader in a manifest file: read the "corvane" section in its
// complete form, put the reader, write the section back atomically.
#include "io/atomic_write.hpp"
#include "schema/operations.hpp"

namespace corvane {

Status add_to_manifest_yaml(const ReaderConfig &reader, std::string_view path,
                            std::string_view reader_id, const io::InterruptCheck &interrupt) {
    // Applied again to a fresh read if another program changes the manifest
    // meanwhile.
    return io::rewrite_manifest(path, interrupt, [&](std::string_view text) -> Result<std::string> {
        auto section = section_for_rewrite(text);
        if (!section)
            return std::move(section).error();
        section->readers_config.put(std::string(reader_id), reader);
        // Never written when it could not be read back ("document too large").
        return write_manifest(section.value());
    });
}

} // namespace corvane
