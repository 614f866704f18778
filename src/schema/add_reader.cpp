// Storing a reader in a manifest file: read the "corvane" section in its
// complete form, put the reader, write the section back atomically.
#include "errors/messages.hpp"
#include "io/atomic_write.hpp"
#include "io/manifest_lock.hpp"
#include "io/read_file.hpp"
#include "schema/operations.hpp"

namespace corvane {

Status add_to_manifest_yaml(const ReaderConfig &reader, std::string_view path,
                            std::string_view reader_id, const io::InterruptCheck &interrupt) {
    // Held until the new file is in place, so that another writer reads the
    // manifest only after this one has replaced it.
    auto lock = io::ManifestLock::acquire(path, interrupt);
    if (!lock)
        return std::move(lock).error();

    auto section = read_section_for_rewrite(path, interrupt);
    if (!section)
        return std::move(section).error();
    section->readers_config.put(std::string(reader_id), reader);

    // Never written when it could not be read back ("document too large").
    auto text = write_manifest(section.value());
    if (!text)
        return std::move(text).error();
    return io::replace_file(path, text.value());
}

} // namespace corvane
