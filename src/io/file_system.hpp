#pragma once

namespace corvane::io {

// What the writers' lock needs to know of the file system a manifest is on,
// told by its fstatfs magic number.
struct FileSystem {
    // Shared between machines: a lock on the directory would exclude only
    // the writers on this one.
    bool network = false;
    // Known to keep byte-range locks apart from flock, as Linux does for
    // local files. Network file systems may build flock out of byte-range
    // locks, and a waiting line kept with them would block the lock itself.
    bool keeps_locks_apart = false;
};

FileSystem file_system_of(unsigned long magic);

} // namespace corvane::io
