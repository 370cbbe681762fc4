// The Win32 binding: files.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <iterator>

#include "platform/win_binding.h"
#include "platform/win_elevation.h"
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

// Copies the first `length` characters of `text` and then `tail`
// (NUL-terminated) into `room`; false when they do not fit.
bool Compose(PathRoom& room, const wchar_t* text, size_t length, const wchar_t* tail) {
  const size_t tail_length = wcslen(tail);
  if (length + tail_length >= PathRoom::kChars)
    return false;
  wmemcpy(room.chars, text, length);
  wmemcpy(room.chars + length, tail, tail_length + 1);
  return true;
}

// Copies `text` (NUL-terminated) and then `tail` into `room`; false when
// they do not fit.
bool Compose(PathRoom& room, const wchar_t* text, const wchar_t* tail) {
  return Compose(room, text, wcslen(text), tail);
}

// The absolute form of `path`, formed in g_rooms[2]: it names the folder
// that aside names go in. nullptr when it cannot be formed or does not fit.
const wchar_t* FullPath(const wchar_t* path) {
  PathRoom& room = g_rooms[2];
  const DWORD length = GetFullPathNameW(path, PathRoom::kChars, room.chars, nullptr);
  if (length == 0 || length >= PathRoom::kChars)
    return nullptr;
  return room.chars;
}

// Sets or clears the delete-on-close mark of `file`, opened with DELETE.
bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Renames `file`, opened with DELETE, to `target` (a full path in the same
// folder). A file already there is replaced with `replace`, and otherwise
// makes the rename fail.
bool RenameOpenFile(HANDLE file, const wchar_t* target, bool replace) {
  // FILE_RENAME_INFO ends in the name's first character; the rest follows.
  alignas(
      FILE_RENAME_INFO) static unsigned char buffer[sizeof(FILE_RENAME_INFO) + sizeof(PathRoom)];
  const size_t length = wcslen(target);
  if (length >= PathRoom::kChars)
    return false;
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
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

// Opens the file `path` to be copied: others may go on reading it, and
// deleting it, but not writing to it while it is copied. Uses g_rooms[0].
Handle OpenCopySource(const wchar_t* path) {
  return Handle(CreateFileW(ExtendedLengthPath(path, g_rooms[0]), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Copies the bytes and the last-write time of `source` to `dest`, both at
// their start. Only those come along: no other stream (a download's mark
// of origin stays with the download) and no attribute. The time is set
// after the last write, which would change it; a flush writes it with the
// bytes.
bool CopyContents(HANDLE source, HANDLE dest) {
  FILETIME last_write = {};
  return CopyBytes(source, dest) && GetFileTime(source, nullptr, nullptr, &last_write) &&
         SetFileTime(dest, nullptr, nullptr, &last_write);
}

// The copy CopyOneFileUnflushed made and left to be written through, open
// and unshared until then.
Handle g_pending;

// Writes the pending copy through to the disk and lets it go; true when
// there is none.
bool WritePendingThrough() {
  if (!g_pending)
    return true;
  const bool flushed = FlushFileBuffers(g_pending.Get()) != 0;
  g_pending.Reset();
  return flushed;
}

// A staged copy that ReplaceWithCopy could not rename because the file at
// its destination was in use: kept, marked for deletion (it goes with this
// process), for the next try from the same source, which then only renames
// it. The source is told by its volume and file index.
struct KeptCopy {
  Handle staged;
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
};
KeptCopy g_kept;

// Fills in the identity of the open file `file`; false when it cannot be
// read.
bool IdentifyFile(HANDLE file, DWORD& volume, DWORD& index_high, DWORD& index_low) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info))
    return false;
  volume = info.dwVolumeSerialNumber;
  index_high = info.nFileIndexHigh;
  index_low = info.nFileIndexLow;
  return true;
}

// Opens the file at `target` (the file functions' form of the absolute path
// `full`) for deletion, sure that it can be deleted, and moves it aside
// under a name of its own in its folder, so that its name is free whoever
// still holds the file. Returns the open handle, the file unmarked under
// its aside name; on failure an empty handle, the file whole under its own
// name and the reason in the thread's last error (but see the mark below).
//
// Opened with no sharing at all: while any other handle that reads, writes
// or deletes is open, whatever sharing it allows, the open fails and the
// file is left alone. A link is moved itself, not what it points to.
Handle MoveAside(const wchar_t* full, const wchar_t* target) {
  Handle file(CreateFileW(target, DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
  if (!file)
    return Handle();
  // Marked once first: a file that cannot be deleted (a running program's
  // image, a read-only file) refuses here and is never moved.
  if (!MarkForDeletion(file.Get(), true))
    return Handle();
  // The mark comes off for the move (a file pending deletion may refuse
  // to be renamed). Should it not come off, the file goes at the close
  // all the same, but its name may stay taken meanwhile: that is reported
  // as a failure.
  if (!MarkForDeletion(file.Get(), false))
    return Handle();
  // A name left by an earlier run whose holder still has it is skipped.
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const wchar_t* const aside = AsideName(full, attempt, g_rooms[1], g_rooms[3]);
    if (!aside)
      return Handle();
    if (RenameOpenFile(file.Get(), aside, false))
      return file;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
      return Handle();
  }
  return Handle();
}

// What a refusal with the system's `error` means to the caller of
// ReplaceWithCopy: another program holds the file, or anything else.
ReplaceOutcome RefusalOutcome(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? ReplaceOutcome::kInUse
                                                                          : ReplaceOutcome::kFailed;
}

// True when `name` is exactly an aside name that MoveAside gives a file
// named `base`: `base`, ".", the process id (1 to 8 hexadecimal digits),
// "-", the try number (one hexadecimal digit) and ".deleted", letters in
// either case, as the folder compares them. A name the product or the user
// gave, however alike, is not one.
bool IsAsideNameOf(const wchar_t* name, const wchar_t* base) {
  constexpr wchar_t kTail[] = L".deleted";
  constexpr size_t kTailLength = std::size(kTail) - 1;
  const size_t base_length = wcslen(base);
  const size_t length = wcslen(name);
  if (length < base_length + 4 + kTailLength || _wcsnicmp(name, base, base_length) != 0 ||
      name[base_length] != L'.' || _wcsicmp(name + length - kTailLength, kTail) != 0)
    return false;
  const wchar_t* p = name + base_length + 1;
  const wchar_t* const id = p;
  while (iswxdigit(*p))
    ++p;
  if (p == id || p - id > 8 || *p != L'-' || !iswxdigit(p[1]))
    return false;
  return p + 2 == name + length - kTailLength;
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

namespace {

// CopyOneFile, and CopyOneFileUnflushed without `write_through`: the copy's
// handle is then kept in g_pending.
bool MakeCopy(const Text& from, const Text& to, bool fail_if_exists, bool write_through) {
  if (!WritePendingThrough())
    return false;
  Handle source = OpenCopySource(from.c_str());
  if (!source)
    return false;
  const wchar_t* const dest_path = ExtendedLengthPath(to.c_str(), g_rooms[1]);
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
  const bool copied =
      CopyContents(source.Get(), dest.Get()) && (!write_through || FlushFileBuffers(dest.Get()));
  if (!copied && created) {
    // Gone when the handle closes, as a failed system copy leaves nothing.
    MarkForDeletion(dest.Get(), true);
  }
  if (copied && !write_through)
    g_pending = std::move(dest);
  return copied;
}

}  // namespace

bool Win32Platform::CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) {
  return MakeCopy(from, to, fail_if_exists, true);
}

bool Win32Platform::CopyOneFileUnflushed(const Text& from, const Text& to, bool fail_if_exists) {
  return MakeCopy(from, to, fail_if_exists, false);
}

bool Win32Platform::DeleteUnsharedFile(const Text& path) {
  // A handle that only reads attributes, or waits on the file, conflicts
  // with no sharing mode (scanners, indexers and backup agents hold such
  // handles), and a marked file keeps its name until the last handle
  // closes: the name would stay taken, and the file vanish later. So the
  // file moves aside under a name of its own before it is marked, and the
  // name is free when this returns, whoever still holds the file.
  const wchar_t* const full = FullPath(path.c_str());
  if (!full)
    return false;
  const wchar_t* const target = ExtendedLengthPath(full, g_rooms[0]);
  Handle file = MoveAside(full, target);
  if (!file)
    return false;  // still whole, under its own name
  if (MarkForDeletion(file.Get(), true))
    return true;  // gone at the close below, or when the last holder lets go
  // Not deleted after all: the file goes back to its name, whole.
  RenameOpenFile(file.Get(), target, false);
  return false;
}

ReplaceOutcome Win32Platform::ReplaceWithCopy(const Text& from,
                                              const Text& staging,
                                              const Text& to) {
  // Whatever becomes of this call, a pending copy is not left pending.
  struct PendingGoes {
    ~PendingGoes() { WritePendingThrough(); }
  } pending_goes;
  // A download whose signature was checked is read through the handle that
  // has held it since: what was checked is what is installed.
  Handle opened;
  HANDLE source = HeldDownload(from);
  if (!source) {
    opened = OpenCopySource(from.c_str());
    source = opened.Get();
  }
  if (!source || source == INVALID_HANDLE_VALUE)
    return ReplaceOutcome::kFailed;
  // A copy kept from an earlier try from this very file is renamed as it
  // is; one from another file goes (it is marked for deletion).
  DWORD volume = 0, index_high = 0, index_low = 0;
  const bool identified = IdentifyFile(source, volume, index_high, index_low);
  Handle staged;
  if (g_kept.staged && identified && volume == g_kept.volume && index_high == g_kept.index_high &&
      index_low == g_kept.index_low)
    staged = std::move(g_kept.staged);
  g_kept.staged.Reset();
  if (!staged) {
    // A fresh file that nobody else opens until it is whole and in place.
    // DELETE lets it be marked, and renamed, on this very handle.
    const wchar_t* const staging_path = ExtendedLengthPath(staging.c_str(), g_rooms[1]);
    staged.Reset(CreateFileW(staging_path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!staged)
      return ReplaceOutcome::kFailed;
    // Marked for deletion at once, so that a process ended in the middle of
    // the copy (killed, logged off) leaves nothing behind; writing to a
    // marked file goes on as usual.
    if (!MarkForDeletion(staged.Get(), true)) {
      staged.Reset();
      DeleteFileW(staging_path);
      return ReplaceOutcome::kFailed;
    }
    // The copy and the pending one are written through together: the disk
    // takes both in one wait.
    if (!CopyContents(source, staged.Get()) || !WritePendingThrough() ||
        !FlushFileBuffers(staged.Get()))
      return ReplaceOutcome::kFailed;  // the copy goes at the close
  } else if (!WritePendingThrough()) {
    return ReplaceOutcome::kFailed;
  }
  // The mark comes off for the rename: a file pending deletion may refuse it.
  if (!MarkForDeletion(staged.Get(), false))
    return ReplaceOutcome::kFailed;
  const wchar_t* const full = FullPath(to.c_str());
  const wchar_t* const target = full ? ExtendedLengthPath(full, g_rooms[0]) : nullptr;
  if (!target || !RenameOpenFile(staged.Get(), target, true)) {
    // The system refuses to replace a file that another program holds
    // open, even one that only reads its attributes, which no sharing mode
    // keeps out. Such a file is moved aside the way DeleteUnsharedFile
    // moves it, on a handle kept open, and the copy takes its name: `to`
    // is absent only between those two renames.
    Handle old;
    if (target && RefusalOutcome(GetLastError()) == ReplaceOutcome::kInUse)
      old = MoveAside(full, target);
    if (!old) {
      // In use only where the file at `to` refused to go. The copy goes,
      // or, for a file in use, waits marked for the next try.
      const ReplaceOutcome outcome =
          target ? RefusalOutcome(GetLastError()) : ReplaceOutcome::kFailed;
      MarkForDeletion(staged.Get(), true);
      if (outcome == ReplaceOutcome::kInUse && identified) {
        g_kept.staged = std::move(staged);
        g_kept.volume = volume;
        g_kept.index_high = index_high;
        g_kept.index_low = index_low;
      }
      return outcome;
    }
    if (!RenameOpenFile(staged.Get(), target, false)) {
      // The old file goes back to its name, whole, and the copy goes. Where
      // it cannot go back, `to` is missing: the caller restores it.
      const bool back = RenameOpenFile(old.Get(), target, false);
      MarkForDeletion(staged.Get(), true);
      return back ? ReplaceOutcome::kFailed : ReplaceOutcome::kFailedAfterChange;
    }
    // Gone at the close, or when its last holder lets go.
    MarkForDeletion(old.Get(), true);
  }
  // The rename written through: only then does a power cut keep it.
  return FlushFileBuffers(staged.Get()) ? ReplaceOutcome::kReplaced
                                        : ReplaceOutcome::kFailedAfterChange;
}

void Win32Platform::RemoveAsideFiles(const Text& path) {
  const wchar_t* const full = FullPath(path.c_str());
  const wchar_t* const name = full ? wcsrchr(full, L'\\') : nullptr;
  if (!name || !Compose(g_rooms[1], full, L".*.deleted"))
    return;
  const size_t folder_length = size_t(name + 1 - full);
  WIN32_FIND_DATAW found = {};
  FindHandle find(FindFirstFileW(ExtendedLengthPath(g_rooms[1].chars, g_rooms[0]), &found));
  if (!find)
    return;
  do {
    // The pattern also matches short names, and names of other shapes.
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !IsAsideNameOf(found.cFileName, name + 1) ||
        !Compose(g_rooms[3], full, folder_length, found.cFileName))
      continue;
    // Whatever its attributes: a read-only one would refuse the delete. One
    // still held is only marked, and goes when its holder lets go.
    const wchar_t* const aside = ExtendedLengthPath(g_rooms[3].chars, g_rooms[0]);
    SetFileAttributesW(aside, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(aside);
  } while (FindNextFileW(find.Get(), &found));
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

PublisherCheck Win32Platform::CheckOwnPublisher(const Text& installed) {
  return CheckOwn(installed);
}

TrustOutcome Win32Platform::HoldAndCheckDownload(const Text& download,
                                                 const Text& installed,
                                                 TrustReference reference) {
  return HoldAndCheck(download, installed, reference);
}

}  // namespace platform::win
