#pragma once

#include "errors/result.hpp"

#include <string_view>

namespace corvane::io {

// Replaces the contents of the file at `path` with `contents` so that no
// failure and no crash leaves a damaged file behind.
//
// The usual route: the text goes to a new file in the same directory (with no
// name until it is complete, where the file system allows), is flushed to
// disk, gets the old file's permission bits and owner, and is renamed over
// `path`; then the directory is flushed, so the rename outlives a power
// loss. Until the rename `path` keeps its old contents. A symbolic link at
// `path` is replaced by a regular file and its target is left alone.
//
// Only where renaming over `path` cannot work by the file's nature is the
// file rewritten in place (see write_in_place): `path` is a mount point of
// its own (a bind-mounted file), the directory refuses new entries (EACCES,
// EPERM, EROFS) or the rename fails with EBUSY or EXDEV.
//
// Errors: FileWrite with the system's text for any other failure (ENOSPC,
// EDQUOT, EIO, ...), the file untouched; FileNotFound(path) when the in-place
// route cannot open the file for writing.
Status replace_file(std::string_view path, std::string_view contents);

// The in-place route: room for the new text is reserved before a byte
// changes (a full file system fails here, the file untouched), then the file
// is overwritten from the start, cut to the new length and flushed. A write
// that fails after overwriting began puts the old bytes back (best effort)
// and reports the first error. Readers can meet a partly written file.
Status write_in_place(std::string_view path, std::string_view contents);

} // namespace corvane::io
