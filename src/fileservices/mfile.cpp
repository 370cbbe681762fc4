// File services over the platform's file operations.
#include "fileservices/mfile.h"

#include <exception>

#include "platform/platform.h"

namespace MFile {

using platform::Os;

bool FileExists(const Text& path) {
  if (TrimSpaces(path).empty())
    return false;
  try {
    // The lookup gets the path as passed in: only the blank test trims.
    return !Os().FirstFileMatch(path).empty();
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

// Clears the read-only bit of `path`, then deletes it without its
// surrounding spaces with the platform's `remove`.
bool ClearAndDelete(const Text& path, bool (platform::Platform::*remove)(const Text&)) {
  try {
    ClearReadOnly(path);
    return (Os().*remove)(TrimSpaces(path));
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool DeleteFileForced(const Text& path) {
  return ClearAndDelete(path, &platform::Platform::DeleteOneFile);
}

bool DeleteFileExclusive(const Text& path) {
  return ClearAndDelete(path, &platform::Platform::DeleteUnsharedFile);
}

void ClearReadOnly(const Text& path) {
  try {
    const uint32_t attributes = Os().GetAttributes(path).value_or(0);
    if (attributes != 0)
      Os().SetAttributes(path, attributes & ~platform::kAttrReadOnly);
  } catch (const std::exception&) {
  }
}

bool CopyFileTo(const Text& source, const Text& destination, bool overwrite) {
  return Os().CopyOneFile(source, destination, /*fail_if_exists=*/!overwrite);
}

Text GetFileName(const Text& path) {
  const size_t last = path.rfind(kPathSeparator);
  if (last == Text::npos)
    return path;
  return path.substr(last + 1);
}

}  // namespace MFile
