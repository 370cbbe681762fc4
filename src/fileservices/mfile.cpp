// File services over the platform's file operations.
#include "fileservices/mfile.h"

#include "platform/platform.h"
#include "platform/trap.h"

namespace MFile {

using platform::Os;

namespace {

// True when `path` holds something besides spaces. Allocates nothing: the
// checks after a copy run while the old executable may be gone.
bool IsBlank(const Text& path) {
  return path.find_first_not_of(Char(' ')) == Text::npos;
}

// Clears the read-only bit of `path`, then deletes it without its
// surrounding spaces with the platform's `remove`. Only a path that has
// such spaces is copied to trim them: the paths the sequencer deletes have
// none, and deleting them allocates nothing.
bool ClearAndDelete(const Text& path, bool (platform::Platform::*remove)(const Text&)) {
  return Trapping(
      [&] {
        ClearReadOnly(path);
        if (path.empty() || (path.front() != Char(' ') && path.back() != Char(' ')))
          return (Os().*remove)(path);
        return (Os().*remove)(TrimSpaces(path));
      },
      false);
}

// Clears the read-only, hidden and system attributes of `path`, writing every
// other bit back as it was; a file left with none gets the normal attribute.
// Nothing is written when none of the three is set. Failures are ignored.
void ClearBlockingAttributes(const Text& path) {
  using namespace platform;
  IgnoringErrors([&] {
    const uint32_t attributes = Os().GetAttributes(path).value_or(0);
    constexpr uint32_t kBlocking = kAttrReadOnly | kAttrHidden | kAttrSystem;
    if ((attributes & kBlocking) == 0)
      return;
    const uint32_t plain = attributes & ~kBlocking;
    Os().SetAttributes(path, plain != 0 ? plain : kAttrNormal);
  });
}

}  // namespace

bool FileExists(const Text& path) {
  if (IsBlank(path))
    return false;
  // The lookup gets the path as passed in: only the blank test trims.
  return Trapping([&] { return !Os().FirstFileMatch(path).empty(); }, false);
}

bool DeleteFileForced(const Text& path) {
  return ClearAndDelete(path, &platform::Platform::DeleteOneFile);
}

bool DeleteFileExclusive(const Text& path) {
  return ClearAndDelete(path, &platform::Platform::DeleteUnsharedFile);
}

bool DeleteStaleFile(const Text& path) {
  const std::optional<uint32_t> attributes =
      Trapping([&] { return Os().GetAttributes(path); }, std::optional<uint32_t>());
  if (!attributes || (*attributes & platform::kAttrDirectory))
    return false;
  ClearBlockingAttributes(path);
  return DeleteFileExclusive(path);
}

bool IsFile(const Text& path) {
  const std::optional<uint32_t> attributes =
      Trapping([&] { return Os().GetAttributes(path); }, std::optional<uint32_t>());
  return attributes && !(*attributes & platform::kAttrDirectory);
}

platform::ReplaceOutcome ReplaceWithCopy(const Text& source,
                                         const Text& staging,
                                         const Text& destination) {
  ClearBlockingAttributes(destination);
  return Trapping([&] { return Os().ReplaceWithCopy(source, staging, destination); },
                  platform::ReplaceOutcome::kFailedAfterChange);
}

void RemoveAsideFiles(const Text& path) {
  IgnoringErrors([&] { Os().RemoveAsideFiles(path); });
}

void ClearReadOnly(const Text& path) {
  IgnoringErrors([&] {
    const uint32_t attributes = Os().GetAttributes(path).value_or(0);
    if (attributes != 0)
      Os().SetAttributes(path, attributes & ~platform::kAttrReadOnly);
  });
}

bool CopyFileTo(const Text& source, const Text& destination, bool overwrite) {
  return Os().CopyOneFile(source, destination, /*fail_if_exists=*/!overwrite);
}

bool CopyFileToUnflushed(const Text& source, const Text& destination, bool overwrite) {
  return Os().CopyOneFileUnflushed(source, destination, /*fail_if_exists=*/!overwrite);
}

Text GetFileName(const Text& path) {
  const size_t last = path.rfind(kPathSeparator);
  if (last == Text::npos)
    return path;
  return path.substr(last + 1);
}

}  // namespace MFile
