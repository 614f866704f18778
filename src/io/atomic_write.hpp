#pragma once

#include "errors/result.hpp"
#include "io/interrupt.hpp"

#include <functional>
#include <string>
#include <string_view>

namespace corvane::io {

// Makes the new text of a manifest from its current text.
using ManifestChange = std::function<Result<std::string>(std::string_view text)>;

// Rewrites the manifest at `path` with `change` applied to its text, under
// the writers' lock (see ManifestLock: the directory's and the file's own,
// on every route), so that no failure, no crash and no other writer leaves
// a damaged file or a lost addition behind. The path's directory is opened
// once and every step names the manifest relative to it. A system call that
// a signal interrupts is made again once `interrupt` has said go on.
//
// The usual route: the text goes to a new file in the same directory (with no
// name until it is complete, where the file system allows), gets the old
// file's permission bits and owner, is flushed to disk and renamed over the
// manifest; then the directory is flushed, so the rename outlives a power
// loss. Until the rename the manifest keeps its old contents. A symbolic link
// at `path` is replaced by a regular file and its target is left alone.
//
// Only where renaming over the manifest cannot work by the file's nature is
// the file rewritten in place: it is a mount point of its own (a
// bind-mounted file; also found by the rename's EBUSY where statx cannot
// tell), the directory refuses new entries (EACCES, EPERM, EROFS) or the
// rename fails with EBUSY or EXDEV. Room for the new text is
// reserved before a byte changes, then the file is overwritten from the
// start, cut to the new length and flushed; a write that fails after
// overwriting began puts the old bytes back (best effort) and reports the
// first error. Readers can meet a partly written file on this route.
//
// Just before the rename (or the overwrite) the manifest is checked to be
// still the file that was read, unchanged: if another program replaced or
// edited it meanwhile, it is read again and `change` applied again, so that
// program's change is kept as well.
//
// Errors: those of reading the manifest and of `change`; FileWrite with the
// system's text for any failure of writing (ENOSPC, EDQUOT, EIO, or failing
// to apply the old owner and permission bits), the manifest untouched;
// FileNotFound(path) when the in-place route cannot open the file for
// writing; FileWrite with kReplacedOutsideMount for a manifest file that no
// name points to any more (nothing is written), and with kForkedDuringCall
// in a child that a signal handler forked during the call (the child's
// descriptors are left alone). A failed flush of the directory after the
// rename is reported as a FileWrite error too, with the new text in place.
Status rewrite_manifest(std::string_view path, const InterruptCheck &interrupt,
                        const ManifestChange &change);

} // namespace corvane::io
