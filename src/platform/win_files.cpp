// The Win32 binding: files.
#include <windows.h>

#include <cwchar>
#include <iterator>

#include "platform/win_binding.h"
#include "platform/win_path.h"

namespace platform::win {
namespace {

// The classic path limit, terminating NUL included: longer paths reach the
// file functions only in the extended-length form.
constexpr size_t kClassicPathChars = MAX_PATH;

// The copy's buffer, in the image's zero-filled data: no allocation, and no
// bytes in the file. 1 MiB makes a 200 MB copy 200 read and write pairs, so
// the calls' own cost is small against the disk's, and the system's cache
// gets large sequential writes; a larger one would only hold more memory.
// It is too large for the stack (1 MiB in all), and one thread copies.
constexpr DWORD kCopyBufferBytes = 1 << 20;
alignas(4096) char g_copy_buffer[kCopyBufferBytes];

// The rooms the file operations form their paths in (win_path.h): static,
// so that no file operation allocates; one thread, and no operation calls
// another.
PathRoom g_rooms[4];

// Copies `text` (NUL-terminated) and then `tail` into `room`; false when
// they do not fit.
bool Compose(PathRoom& room, const wchar_t* text, const wchar_t* tail) {
  const size_t length = wcslen(text);
  const size_t tail_length = wcslen(tail);
  if (length + tail_length >= PathRoom::kChars)
    return false;
  wmemcpy(room.chars, text, length);
  wmemcpy(room.chars + length, tail, tail_length + 1);
  return true;
}

// Sets or clears the delete-on-close mark of `file`, opened with DELETE.
bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Renames `file`, opened with DELETE, to `target` (a full path in the same
// folder); fails rather than replace a file already there.
bool RenameOpenFile(HANDLE file, const wchar_t* target) {
  // FILE_RENAME_INFO ends in the name's first character; the rest follows.
  alignas(
      FILE_RENAME_INFO) static unsigned char buffer[sizeof(FILE_RENAME_INFO) + sizeof(PathRoom)];
  const size_t length = wcslen(target);
  if (length >= PathRoom::kChars)
    return false;
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = DWORD(length * sizeof(wchar_t));
  wmemcpy(rename->FileName, target, length + 1);
  return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                    DWORD(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t))) !=
         0;
}

// A name beside `full_path`, in its folder, for the file on its way out:
// its own name, this process's id and a try number. Formed in `scratch`,
// returned in the file functions' form (in `room` where that differs);
// nullptr when it does not fit.
const wchar_t* AsideName(const wchar_t* full_path,
                         unsigned attempt,
                         PathRoom& scratch,
                         PathRoom& room) {
  wchar_t suffix[40];
  wsprintfW(suffix, L".%lx-%x.deleted", GetCurrentProcessId(), attempt);
  if (!Compose(scratch, full_path, suffix))
    return nullptr;
  return ExtendedLengthPath(scratch.chars, room);
}

// Copies everything from `source` to `dest`, both at their start.
bool CopyBytes(HANDLE source, HANDLE dest) {
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, g_copy_buffer, kCopyBufferBytes, &read, nullptr))
      return false;
    if (read == 0)
      return true;
    DWORD written = 0;
    if (!WriteFile(dest, g_copy_buffer, read, &written, nullptr) || written != read)
      return false;
  }
}

}  // namespace

Text Win32Platform::FirstFileMatch(const Text& pattern) {
  // A folder stands for every entry in it.
  const bool folder = !pattern.empty() && pattern.back() == L'\\';
  if (!Compose(g_rooms[1], pattern.c_str(), folder ? L"*" : L""))
    return Text();
  WIN32_FIND_DATAW found = {};
  FindHandle find(FindFirstFileW(ExtendedLengthPath(g_rooms[1].chars, g_rooms[0]), &found));
  if (!find)
    return Text();
  constexpr DWORD kSkipped =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  do {
    if ((found.dwFileAttributes & kSkipped) == 0)
      return Text(found.cFileName);
  } while (FindNextFileW(find.Get(), &found));
  return Text();
}

std::optional<uint32_t> Win32Platform::GetAttributes(const Text& path) {
  const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path.c_str(), g_rooms[0]));
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return std::nullopt;
  return attributes;
}

bool Win32Platform::SetAttributes(const Text& path, uint32_t attributes) {
  return SetFileAttributesW(ExtendedLengthPath(path.c_str(), g_rooms[0]), attributes) != 0;
}

bool Win32Platform::DeleteOneFile(const Text& path) {
  return DeleteFileW(ExtendedLengthPath(path.c_str(), g_rooms[0])) != 0;
}

bool Win32Platform::CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) {
  const wchar_t* const source_path = ExtendedLengthPath(from.c_str(), g_rooms[0]);
  const wchar_t* const dest_path = ExtendedLengthPath(to.c_str(), g_rooms[1]);
  // Others may go on reading the source, and deleting it, but not writing
  // to it while it is copied.
  Handle source(CreateFileW(source_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!source)
    return false;
  if (!fail_if_exists) {
    // A read-only or hidden file is never replaced, whoever runs this: a
    // superuser's write goes through a read-only bit on some systems.
    const DWORD existing = GetFileAttributesW(dest_path);
    if (existing != INVALID_FILE_ATTRIBUTES &&
        (existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
  }
  // Nobody else opens the copy until it is whole and on disk, so a
  // scanner never reads half of it. A replaced file loses its attributes
  // and takes the plain ones; a system or hidden one refuses. DELETE
  // lets a failed copy remove what it created on this very handle.
  Handle dest(CreateFileW(dest_path, GENERIC_WRITE | DELETE, 0, nullptr,
                          fail_if_exists ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
  if (!dest)
    return false;
  const bool created = fail_if_exists || GetLastError() != ERROR_ALREADY_EXISTS;
  // Only the bytes and the last-write time come along: no other stream
  // (a download's mark of origin stays with the download) and no
  // attribute. The time is set after the last write, which would
  // change it, and the flush writes it with the bytes.
  FILETIME last_write = {};
  const bool copied = CopyBytes(source.Get(), dest.Get()) &&
                      GetFileTime(source.Get(), nullptr, nullptr, &last_write) &&
                      SetFileTime(dest.Get(), nullptr, nullptr, &last_write) &&
                      FlushFileBuffers(dest.Get());
  if (!copied && created) {
    // Gone when the handle closes, as a failed system copy leaves nothing.
    MarkForDeletion(dest.Get(), true);
  }
  return copied;
}

bool Win32Platform::DeleteUnsharedFile(const Text& path) {
  // Opened for deletion with no sharing at all: while any other handle
  // that reads, writes or deletes is open, whatever sharing it allows, the
  // open fails and the file is left alone. A link is deleted itself, as
  // DeleteFileW does, not what it points to. The full path names the
  // folder the file moves aside in.
  PathRoom& full_room = g_rooms[2];
  const DWORD length = GetFullPathNameW(path.c_str(), PathRoom::kChars, full_room.chars, nullptr);
  if (length == 0 || length >= PathRoom::kChars)
    return false;
  const wchar_t* const full = full_room.chars;
  const wchar_t* const target = ExtendedLengthPath(full, g_rooms[0]);
  Handle file(CreateFileW(target, DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
  if (!file)
    return false;
  // A handle that only reads attributes, or waits on the file, conflicts
  // with no sharing mode (scanners, indexers and backup agents hold such
  // handles), and a marked file keeps its name until the last handle
  // closes: the name would stay taken, and the file vanish later. So the
  // file moves aside under a name of its own before it is marked, and the
  // name is free when this returns, whoever still holds the file.
  //
  // Marked once first: a file that cannot be deleted (a running program's
  // image, a read-only file) refuses here and is never moved.
  if (!MarkForDeletion(file.Get(), true))
    return false;
  // The mark comes off for the move (a file pending deletion may refuse
  // to be renamed) and goes back on after it. Should it not come off,
  // the file goes at the close all the same, but its name may stay taken
  // meanwhile: that is reported as a failure.
  if (!MarkForDeletion(file.Get(), false))
    return false;
  // A name left by an earlier run whose holder still has it is skipped.
  bool moved = false;
  for (unsigned attempt = 0; attempt < 16 && !moved; ++attempt) {
    const wchar_t* const aside = AsideName(full, attempt, g_rooms[1], g_rooms[3]);
    if (!aside)
      break;
    moved = RenameOpenFile(file.Get(), aside);
    if (!moved && GetLastError() != ERROR_ALREADY_EXISTS)
      break;
  }
  if (!moved)
    return false;  // still whole, under its own name
  if (MarkForDeletion(file.Get(), true))
    return true;  // gone at the close below, or when the last holder lets go
  // Not deleted after all: the file goes back to its name, whole.
  RenameOpenFile(file.Get(), target);
  return false;
}

const wchar_t* ExtendedLengthPath(const wchar_t* path, PathRoom& room) {
  if (wcslen(path) < kClassicPathChars || wcsncmp(path, L"\\\\?\\", 4) == 0 ||
      wcsncmp(path, L"\\\\.\\", 4) == 0)
    return path;
  // Normalised into the room after space for the longest prefix, which is
  // then written just before it.
  constexpr size_t kPrefixRoom = 8;
  wchar_t* const full = room.chars + kPrefixRoom;
  const DWORD length = GetFullPathNameW(path, DWORD(PathRoom::kChars - kPrefixRoom), full, nullptr);
  if (length == 0 || length >= PathRoom::kChars - kPrefixRoom)
    return path;
  if (full[0] == L'\\' && full[1] == L'\\') {
    // "\\server\share\..." becomes "\\?\UNC\server\share\...".
    constexpr wchar_t kUnc[] = L"\\\\?\\UNC";
    wchar_t* const start = full + 1 - (std::size(kUnc) - 1);
    wmemcpy(start, kUnc, std::size(kUnc) - 1);
    return start;
  }
  if (length >= 3 && full[1] == L':' && full[2] == L'\\') {
    constexpr wchar_t kDrive[] = L"\\\\?\\";
    wchar_t* const start = full - (std::size(kDrive) - 1);
    wmemcpy(start, kDrive, std::size(kDrive) - 1);
    return start;
  }
  return path;
}

}  // namespace platform::win
