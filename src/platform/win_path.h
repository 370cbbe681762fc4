// The form in which the Win32 binding hands a path to the file functions.
#pragma once

#include "platform/text.h"

namespace platform::win {

// `path` in a form every Win32 file function accepts whatever its length.
// A path short enough for the classic limit (MAX_PATH, 260 characters with
// its terminating NUL) is returned as it is, so that the system goes on
// reading it the classic way (trailing blanks and dots dropped, "/" taken
// for "\"). A longer one is first made absolute and normalised
// (GetFullPathNameW: "." and ".." resolved, "/" turned into "\") and then
// given the extended-length prefix: "\\?\C:\..." for a drive path,
// "\\?\UNC\server\share\..." for a network path. A path that already has the
// prefix, or names a device ("\\.\"), and one that cannot be normalised, come
// back unchanged.
Text ExtendedLengthPath(const Text& path);

}  // namespace platform::win
