// MFile: the file operations the sequencer backs up, replaces and restores
// the product's executable with. None of them shows or traces anything; each
// reports failure only through its result.
#pragma once

#include "platform/platform.h"
#include "platform/text.h"

namespace MFile {

// True when a file matches `path`: the path's last component may hold the
// wildcards "*" and "?", and a path ending in the separator stands for any
// entry of that folder. Directories and hidden or system entries never
// match; read-only and archive files do. A blank path, a missing folder or a
// bad name give false. Allocates nothing of its own.
bool FileExists(const Text& path);

// Clears the read-only bit of `path`, then deletes the file named by `path`
// without its surrounding spaces. True when the file was deleted. The cleared
// bit stays cleared if the delete fails.
bool DeleteFileForced(const Text& path);

// Like DeleteFileForced, but deletes the file only when this program can
// have it to itself: a file another program holds open, even one that allows
// deletion, is left whole. So after true the name is free, and after false
// the file is still there as it was (less its read-only bit). The executable
// being replaced is deleted this way: a delete that only marked it for
// deletion would make it vanish later, after the copy meant to replace it had
// failed.
bool DeleteFileExclusive(const Text& path);

// Deletes the file `path` whatever its attributes, as a stale backup must
// go: found by its attributes, so that a hidden or system file (which
// FileExists does not see, and which a copy cannot overwrite) is found too,
// and cleared of read-only, hidden and system first. Deleted as
// DeleteFileExclusive deletes, so the name is free after true: a copy made
// next creates a fresh file, never one pending deletion that would vanish
// with its last holder. True when the file was deleted; false for a missing
// path, a folder or a file held open elsewhere.
bool DeleteStaleFile(const Text& path);

// True when a file, not a folder, is at `path`, whatever its attributes
// (found by them: hidden and system files too). False when it cannot be told.
bool IsFile(const Text& path);

// Replaces `destination` with a copy of `source` made in `staging` and
// renamed onto it, so that `destination` holds a whole file, old or new, at
// every instant. A destination found by its attributes is first cleared of
// read-only, hidden and system, which would refuse the replace. An error
// raised midway may have come after the rename: kFailedAfterChange.
platform::ReplaceOutcome ReplaceWithCopy(const Text& source,
                                         const Text& staging,
                                         const Text& destination);

// Removes what earlier runs moved aside from `path` and left behind: only
// files named exactly as this program names them. Errors are ignored.
void RemoveAsideFiles(const Text& path);

// Clears the read-only attribute of `path`, writing every other attribute bit
// back as it was. Failures are ignored.
void ClearReadOnly(const Text& path);

// Copies `source` to `destination` in one call; with `overwrite` an existing
// writable destination is replaced. True when the copy was made, and then it
// is on disk and a plain file: none of the source's read-only, hidden or
// system attributes (a hidden copy would not be found by FileExists, a
// read-only one could not be overwritten by a rollback). Nothing is trimmed,
// cleared or retried.
bool CopyFileTo(const Text& source, const Text& destination, bool overwrite);
// The same, but the copy reaches the disk only with the next ReplaceWithCopy,
// which writes it through with its own copy before its rename (the
// platform's CopyOneFileUnflushed).
bool CopyFileToUnflushed(const Text& source, const Text& destination, bool overwrite);

// Everything after the last path separator of `path`: the whole path when it
// holds none, empty when it ends with one. Paths of any length work.
Text GetFileName(const Text& path);

}  // namespace MFile
