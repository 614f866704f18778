#pragma once

#include "errors/result.hpp"

#include <string_view>

namespace corvane::io {

// Replaces the contents of the file at `path` with `contents` so that a crash
// or a failed write never leaves a damaged file behind: the text goes to a
// new file in the same directory, is flushed to disk, gets the old file's
// permission bits and is renamed over `path`. Until the rename `path` keeps
// its old contents; on failure the new file is removed. A symbolic link at
// `path` is replaced by a regular file and its target is left alone.
//
// Where no file can be created beside `path`, or the rename is refused (a
// read-only directory, a file mounted on its own), the file is rewritten in
// place instead: truncated, written, closed.
//
// Errors: FileNotFound(path) when the file cannot be opened for writing;
// FileWrite with the system's text when writing fails.
Status replace_file(std::string_view path, std::string_view contents);

// The in-place route alone: open `path` for writing (created with 0o666 before
// the umask, truncated if it exists), write everything, close.
Status write_in_place(std::string_view path, std::string_view contents);

} // namespace corvane::io
