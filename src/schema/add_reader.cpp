// Storing a reader in a manifest file: read the "corvane" section in its
// complete form, put the reader, write the section back atomically.
#include "io/atomic_write.hpp"
#include "io/manifest_lock.hpp"
#include "schema/operations.hpp"

namespace corvane {

Status add_to_manifest_yaml(const ReaderConfig &reader, std::string_view path,
                            std::string_view reader_id) {
    // Held until the new file is in place, so that a writer in another
    // process reads the manifest only after this one has replaced it.
    auto lock = io::ManifestLock::acquire(path);

    auto section = read_section_for_rewrite(path);
    if (!section)
        return std::move(section).error();
    section->readers_config.put(std::string(reader_id), reader);

    auto text = write_manifest(section.value());
    if (!text)
        return std::move(text).error();
    return io::replace_file(path, text.value());
}

} // namespace corvane
