// The form in which the Win32 binding hands a path to the file functions.
#pragma once

#include "platform/text.h"

namespace platform::win {

// Room for one path as the file functions take it: the longest path the
// system accepts, with its terminating NUL. Paths are formed in such rooms,
// kept in static storage by the binding, so that forming one allocates
// nothing: the copy that restores the old program must work when memory has
// run out.
struct PathRoom {
  static constexpr size_t kChars = 32768;
  wchar_t chars[kChars];
};

// `path` (NUL-terminated) in a form every Win32 file function accepts
// whatever its length. A path short enough for the classic limit (MAX_PATH,
// 260 characters with its terminating NUL) is returned as it is (the pointer
// passed in), so that the system goes on reading it the classic way
// (trailing blanks and dots dropped, "/" taken for "\"). A longer one is
// first made absolute and normalised (GetFullPathNameW: "." and ".."
// resolved, "/" turned into "\") and then given the extended-length prefix:
// "\\?\C:\..." for a drive path, "\\?\UNC\server\share\..." for a network
// path; that form is written into `room` and points into it. A path that
// already has the prefix, or names a device ("\\.\"), and one that cannot be
// normalised or would not fit, come back unchanged. Allocates nothing.
const wchar_t* ExtendedLengthPath(const wchar_t* path, PathRoom& room);

}  // namespace platform::win
