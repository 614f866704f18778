#pragma once

#include "io/file_descriptor.hpp"
#include "io/interrupt.hpp"

#include <string>
#include <sys/types.h>
#include <variant>

namespace corvane::io {

// A new file in a manifest's directory, to be filled and then renamed over
// the manifest. Where the file system allows, it has no name at all until
// just before the rename (O_TMPFILE), so a writer killed while filling it
// leaves nothing behind; elsewhere it is created under a random name that
// nobody else can have opened (O_EXCL). Either way the owner removes the
// name on every way out unless the rename has taken it. Every name is
// relative to the directory descriptor given, which must outlive the file.
class TempFile {
  public:
    // The file beside `name` in `directory`, or the error number of creating
    // it. Permission bits `mode` before the umask. A signal interrupting a
    // step makes it again unless `interrupt` says stop (then EINTR); both
    // `directory` and `interrupt` must outlive the file.
    static std::variant<TempFile, int> create_beside(const FileDescriptor &directory,
                                                     const std::string &name, mode_t mode,
                                                     const InterruptCheck &interrupt);

    TempFile(TempFile &&other) noexcept;
    TempFile &operator=(TempFile &&) = delete;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile();

    int fd() const { return fd_.get(); }

    // Gives the (complete, synced) file its name if it has none, then renames
    // it over `target` in the directory; the descriptor is closed. Fails with
    // the error number of the step that failed (the name is removed again).
    int rename_over(const std::string &target);

  private:
    TempFile(const FileDescriptor &directory, const InterruptCheck &interrupt, FileDescriptor fd,
             std::string prefix, std::string name)
        : directory_(directory), interrupt_(interrupt), fd_(std::move(fd)),
          prefix_(std::move(prefix)), name_(std::move(name)) {}
    int link_under_random_name();

    const FileDescriptor &directory_;
    const InterruptCheck &interrupt_;
    FileDescriptor fd_;
    std::string prefix_; // of the random names: ".{name}."
    std::string name_;   // empty while the file has no name
};

} // namespace corvane::io
