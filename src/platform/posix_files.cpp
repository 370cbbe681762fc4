// The POSIX binding: files.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "platform/posix_binding.h"

namespace platform::posix {

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

namespace {

// `pattern` with the characters fnmatch would read as wildcards, beyond "*"
// and "?", escaped: Windows wildcards know only those two, so "[" and "\" are
// ordinary name characters.
std::string WindowsWildcardToFnmatch(const std::string& pattern) {
  std::string out;
  out.reserve(pattern.size());
  for (const char c : pattern) {
    if (c == '[' || c == ']' || c == '\\')
      out += '\\';
    out += c;
  }
  return out;
}

// fnmatch with "?" standing for one UTF-8 character rather than one byte,
// whatever locale the process runs in. Names that are not valid UTF-8 are
// matched byte by byte.
bool WildcardMatches(const std::string& pattern, const char* name) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
  if (utf8) {
    const locale_t previous = uselocale(utf8);
    const int result = fnmatch(pattern.c_str(), name, 0);
    uselocale(previous);
    if (result == 0 || result == FNM_NOMATCH)
      return result == 0;
  }
  static const locale_t bytes = newlocale(LC_CTYPE_MASK, "C", locale_t(0));
  if (bytes) {
    const locale_t previous = uselocale(bytes);
    const int result = fnmatch(pattern.c_str(), name, 0);
    uselocale(previous);
    return result == 0;
  }
  return fnmatch(pattern.c_str(), name, 0) == 0;
}

// The folder part of `path`: "." for a bare name, "/" for a name at the root.
// Formed in static storage, so that the flush after a copy (the restore of
// the old program among them) allocates nothing; nullptr when it is longer
// than any path the system opens. One thread, one flush at a time.
const char* FolderOf(const std::string& path) {
  static char folder[PATH_MAX];
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  if (slash >= sizeof folder)
    return nullptr;
  path.copy(folder, slash);
  folder[slash] = '\0';
  return folder;
}

// Every copy is flushed to disk before the next step of an update: the
// copy hands each slice to the disk as soon as it is written, without waiting
// for it, so that the flush after it waits only for the last slices instead
// of for the whole file.
constexpr size_t kSliceBytes = 8 << 20;

class EarlyWriteback {
 public:
  explicit EarlyWriteback(int dest) : dest_(dest) {}
  void Written(size_t bytes) {
    pending_ += bytes;
    if (pending_ < kSliceBytes)
      return;
    // Only a hint: a file system that ignores it is flushed all the same.
    sync_file_range(dest_, start_, off_t(pending_), SYNC_FILE_RANGE_WRITE);
    start_ += off_t(pending_);
    pending_ = 0;
  }

 private:
  int dest_;
  off_t start_ = 0;
  size_t pending_ = 0;
};

// Copies everything from `source` to `dest`, both at their start. The
// kernel copies file to file itself where it can, without the bytes passing
// through this process; elsewhere (another file system, an old kernel) a
// plain read and write loop does it. A partly written destination is a
// failed copy.
bool CopyBytes(int source, int dest) {
  EarlyWriteback writeback(dest);
  for (;;) {
    const ssize_t n = copy_file_range(source, nullptr, dest, nullptr, kSliceBytes, 0);
    if (n == 0)
      return true;
    if (n > 0) {
      writeback.Written(size_t(n));
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
      return false;
    break;
  }
  // A fixed buffer: the copy runs once the destination has been truncated,
  // and when it restores the old program it must not need memory that may
  // have run out. One thread, one copy at a time.
  static char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(source, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    if (!WriteAll(dest, buffer, size_t(n)))
      return false;
    writeback.Written(size_t(n));
  }
}

// Writes the folder that holds `path` through to the disk: its entries,
// that is, which a file's own fsync does not cover.
bool FlushFolderOf(const std::string& path) {
  const char* const folder = FolderOf(path);
  if (!folder)
    return false;
  const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0)
    return false;
  // Some file systems cannot sync a folder (EINVAL): there the file's own
  // fsync is all that can be had.
  const bool folder_flushed = fsync(dir) == 0 || errno == EINVAL;
  close(dir);
  return folder_flushed;
}

// The bits a copy of a file with `from_st` gets: the source's read and
// execute bits, and write for its owner whatever the source had (a read-only
// copy is the read-only attribute carried along); no set-id bits.
mode_t CopyMode(const struct stat& from_st) {
  return (from_st.st_mode & 0777) | S_IWUSR;
}

// Fills `dest`, open for writing at its start, with everything `source`
// (described by `from_st`) holds, gives it the copy's bits and the source's
// last-write time, and with `write_through` writes it through to the disk,
// data and metadata; the folder entry that names it is the caller's to
// flush.
bool FillCopy(int source, const struct stat& from_st, int dest, bool write_through) {
  if (!CopyBytes(source, dest))
    return false;
  // The bits are set whether the file was created (where the umask and the
  // creation's private bits would narrow them) or replaced; a writable file
  // owned by another user keeps its own, and the bytes are what counts. The
  // last-write time is set after the last write, which would change it, and
  // flushed with the bytes.
  fchmod(dest, CopyMode(from_st));
  const timespec times[2] = {{0, UTIME_OMIT}, from_st.st_mtim};
  return futimens(dest, times) == 0 && (!write_through || fsync(dest) == 0);
}

// The copy CopyOneFileUnflushed made and left to be written through, and
// its folder, both open until then.
int g_pending = -1;
int g_pending_folder = -1;

// Writes the pending copy and its folder entry through to the disk and
// lets them go; true when there is none.
bool WritePendingThrough() {
  if (g_pending < 0)
    return true;
  bool ok = fsync(g_pending) == 0;
  // Some file systems cannot sync a folder (EINVAL): there the file's own
  // fsync is all that can be had.
  ok = (fsync(g_pending_folder) == 0 || errno == EINVAL) && ok;
  close(g_pending);
  close(g_pending_folder);
  g_pending = g_pending_folder = -1;
  return ok;
}

bool CopyFromOpenSource(int source,
                        const std::string& to,
                        bool fail_if_exists,
                        bool write_through) {
  if (!WritePendingThrough())
    return false;
  struct stat from_st;
  if (fstat(source, &from_st) != 0 || !S_ISREG(from_st.st_mode))
    return false;
  struct stat to_st;
  const bool existed = stat(to.c_str(), &to_st) == 0;
  if (existed) {
    if (fail_if_exists)
      return false;
    // Only an ordinary, writable file is replaced; copying a file onto
    // itself would truncate the very bytes being read.
    if (!S_ISREG(to_st.st_mode) || (to_st.st_mode & 0222) == 0)
      return false;
    if (to_st.st_dev == from_st.st_dev && to_st.st_ino == from_st.st_ino)
      return false;
  }
  // The bytes go into the destination in place (no rename), so a file held
  // open for execution refuses the write (ETXTBSY), as Windows refuses a file
  // in use. A file created here is its owner's alone until it is whole.
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (fail_if_exists ? O_EXCL : 0);
  const int dest = open(to.c_str(), flags, S_IRUSR | S_IWUSR);
  if (dest < 0)
    return false;
  bool ok = FillCopy(source, from_st, dest, write_through);
  if (ok && !write_through) {
    // Left pending, with the folder whose entry names it.
    const char* const folder = FolderOf(to);
    const int folder_fd = folder ? open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (folder_fd >= 0) {
      g_pending = dest;
      g_pending_folder = folder_fd;
      return true;
    }
    ok = false;
  }
  // A new file whose folder was not synced can vanish in a power cut.
  ok = ok && FlushFolderOf(to);
  ok = close(dest) == 0 && ok;
  // A failed copy leaves no file it created behind.
  if (!ok && !existed)
    unlink(to.c_str());
  return ok;
}

// Why `to` is not replaced by a rename, as on Windows: a folder is not a file
// (kFailed), and a read-only file keeps its place (kInUse), though a rename
// would go through its read-only bit. kReplaced when nothing stands in the way.
ReplaceOutcome ReplaceRefusal(const std::string& to) {
  struct stat st;
  if (lstat(to.c_str(), &st) != 0)
    return ReplaceOutcome::kReplaced;
  if (S_ISDIR(st.st_mode))
    return ReplaceOutcome::kFailed;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0)
    return ReplaceOutcome::kInUse;
  return ReplaceOutcome::kReplaced;
}

// Opens a file for the copy that `staging` is to name, in its folder: a file
// without a name where the file system makes one (it goes with this process
// if that ends before the copy is whole), else `staging` itself, created.
// `named` tells which; -1 on failure.
int OpenStagingFile(const std::string& staging, bool& named) {
  named = false;
  const char* const folder = FolderOf(staging);
  if (!folder)
    return -1;
  const int unnamed = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (unnamed >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return unnamed;
  named = true;
  return open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
}

// Gives the unnamed file `fd` the name `path`, which must be free.
bool NameOpenFile(int fd, const std::string& path) {
  char own[32];
  snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, own, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

Text PosixPlatform::FirstFileMatch(const Text& pattern) {
  const size_t slash = pattern.rfind('/');
  std::string folder;
  std::string name;
  if (slash == std::string::npos) {
    folder = ".";
    name = pattern;
  } else {
    folder = slash == 0 ? std::string("/") : pattern.substr(0, slash);
    name = pattern.substr(slash + 1);
  }
  // A pattern ending in the separator names the folder's every entry.
  const bool every_entry = slash != std::string::npos && name.empty();
  const std::string wildcard = WindowsWildcardToFnmatch(name);

  DIR* dir = opendir(folder.c_str());
  if (!dir)
    return Text();
  Text found;
  while (const dirent* entry = readdir(dir)) {
    const char* entry_name = entry->d_name;
    if (entry_name[0] == '.')
      continue;  // hidden, and "." and ".."
    if (!every_entry && !WildcardMatches(wildcard, entry_name))
      continue;
    struct stat st;
    if (fstatat(dirfd(dir), entry_name, &st, 0) != 0 || S_ISDIR(st.st_mode))
      continue;
    found = entry_name;
    break;
  }
  closedir(dir);
  return found;
}

std::optional<uint32_t> PosixPlatform::GetAttributes(const Text& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return std::nullopt;
  uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  std::string base = path;
  while (base.size() > 1 && base.back() == '/')
    base.pop_back();
  base = LastComponent(base);
  if (base.size() > 0 && base[0] == '.' && base != "." && base != "..")
    attributes |= kAttrHidden;
  if ((st.st_mode & 0222) == 0)
    attributes |= kAttrReadOnly;
  return attributes;
}

bool PosixPlatform::SetAttributes(const Text& path, uint32_t attributes) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly)
    mode &= ~mode_t(0222);
  else if ((mode & 0222) == 0)
    mode |= 0200;
  // Hidden, system and archive have no POSIX counterpart to set.
  if (mode == (st.st_mode & 07777))
    return true;
  return chmod(path.c_str(), mode) == 0;
}

bool PosixPlatform::DeleteOneFile(const Text& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return false;
  // As on Windows: a folder is not a file, and a read-only file stays until
  // its read-only attribute is cleared (even for root, who could unlink it).
  if (S_ISDIR(st.st_mode))
    return false;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0)
    return false;
  return unlink(path.c_str()) == 0;
}

namespace {

bool MakeCopy(const Text& from, const Text& to, bool fail_if_exists, bool write_through) {
  const int source = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0)
    return false;
  const bool copied = CopyFromOpenSource(source, to, fail_if_exists, write_through);
  close(source);
  return copied;
}

}  // namespace

bool PosixPlatform::CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) {
  return MakeCopy(from, to, fail_if_exists, true);
}

bool PosixPlatform::CopyOneFileUnflushed(const Text& from, const Text& to, bool fail_if_exists) {
  return MakeCopy(from, to, fail_if_exists, false);
}

// rename(2) replaces the target in one step: every other process sees the
// old file or the new one under the name, never neither, and so does the disk
// after a power cut once the folder is flushed. A held or running file is
// replaced all the same: its holders keep the old file, not its name.
ReplaceOutcome PosixPlatform::ReplaceWithCopy(const Text& from,
                                              const Text& staging,
                                              const Text& to) {
  // Whatever becomes of this call, a pending copy is not left pending.
  struct PendingGoes {
    ~PendingGoes() { WritePendingThrough(); }
  } pending_goes;
  // Refused before the copy is made, so that a caller that tries again does
  // not copy each time, and again before the rename.
  ReplaceOutcome outcome = ReplaceRefusal(to);
  struct stat st;
  if (outcome == ReplaceOutcome::kReplaced && lstat(staging.c_str(), &st) == 0)
    outcome = ReplaceOutcome::kFailed;  // the staging name is not free
  if (outcome != ReplaceOutcome::kReplaced)
    return outcome;
  const int source = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0)
    return ReplaceOutcome::kFailed;
  bool named = false;
  int dest = -1;
  struct stat from_st;
  bool ok = fstat(source, &from_st) == 0 && S_ISREG(from_st.st_mode) &&
            (dest = OpenStagingFile(staging, named)) >= 0;
  bool staged = ok && named;  // `staging` names a file of this call's
  // Written through together with the pending copy: the disk takes both in
  // one wait.
  ok = ok && FillCopy(source, from_st, dest, false) && WritePendingThrough() && fsync(dest) == 0;
  if (ok && !named)
    staged = ok = NameOpenFile(dest, staging);
  if (dest >= 0)
    ok = close(dest) == 0 && ok;
  close(source);
  if (ok)
    outcome = ReplaceRefusal(to);
  else
    outcome = ReplaceOutcome::kFailed;
  if (outcome == ReplaceOutcome::kReplaced && rename(staging.c_str(), to.c_str()) != 0)
    outcome = (errno == EACCES || errno == EPERM || errno == EBUSY) ? ReplaceOutcome::kInUse
                                                                    : ReplaceOutcome::kFailed;
  if (outcome != ReplaceOutcome::kReplaced) {
    if (staged)
      unlink(staging.c_str());
    return outcome;
  }
  // The new entry is on disk only once the folder is: until then a power
  // cut may bring back the old file, which is whole (the copy's bytes were
  // written through before the rename). A folder that cannot be flushed is
  // reported, though the copy is in place.
  return FlushFolderOf(to) ? ReplaceOutcome::kReplaced : ReplaceOutcome::kFailedAfterChange;
}

// Nothing is ever moved aside here: unlinking frees a name at once.
void PosixPlatform::RemoveAsideFiles(const Text&) {}

// Unlinking frees the name at once here, whoever holds the file open: the
// holders keep the file, not its name.
bool PosixPlatform::DeleteUnsharedFile(const Text& path) {
  return DeleteOneFile(path);
}

}  // namespace platform::posix
