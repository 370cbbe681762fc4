// The POSIX binding of the platform interface (Linux: it reads /proc).
//
// Windows notions are mapped onto their nearest POSIX counterparts: a name
// starting with "." is hidden, a file without any write permission bit is
// read-only, the single-instance token is a lock on a per-user file, and the
// error box is a line on standard error (plus a desktop dialog when one can be
// shown).
#include "platform/platform_posix.h"
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <locale.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace platform {
namespace {

// Windows never lets a window timer run faster than USER_TIMER_MINIMUM; the
// same floor keeps a zero interval from spinning.
constexpr unsigned kMinimumTimerIntervalMs = 10;

// What the kernel appends to /proc/<pid>/exe once the executable file was
// deleted or replaced.
constexpr char kDeletedSuffix[] = " (deleted)";

Text g_arguments;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The target of the symbolic link `path`, of any length; empty when it cannot
// be read.
std::string ReadLink(const std::string& path) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0)
      return std::string();
    if (size_t(n) < buffer.size()) {
      buffer.resize(size_t(n));
      return buffer;
    }
    // The target may have been cut off: try again with more room.
    buffer.resize(buffer.size() * 2);
  }
}

// A pid that names exactly one process for kill() and getsid(): 0 and values
// beyond INT_MAX (negative as pid_t) would address process groups or every
// process.
bool IsSingleProcessId(uint32_t pid) {
  return pid != 0 && pid <= uint32_t(INT_MAX);
}

std::string ProcEntry(uint32_t pid, const char* name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

// The executable path of process `pid` as the kernel reports it, without the
// " (deleted)" marker; empty when it cannot be read (gone, zombie, not ours).
std::string ExecutablePath(uint32_t pid) {
  const std::string link = ProcEntry(pid, "exe");
  std::string path = ReadLink(link);
  if (!EndsWith(path, kDeletedSuffix))
    return path;
  // A file may really be named "... (deleted)": keep the name when it still
  // names the running executable.
  struct stat running, named;
  if (stat(link.c_str(), &running) == 0 && stat(path.c_str(), &named) == 0 &&
      running.st_dev == named.st_dev && running.st_ino == named.st_ino)
    return path;
  path.resize(path.size() - (sizeof kDeletedSuffix - 1));
  return path;
}

// The folder part of `path`: "." for a bare name, "/" for a name at the root.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the whole small file `path`; false when it cannot be opened.
bool ReadSmallFile(const std::string& path, std::string& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  out.clear();
  char buffer[256];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    out.append(buffer, size_t(n));
  }
  close(fd);
  return true;
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

pid_t WaitForChild(pid_t pid, int* status) {
  pid_t result;
  do {
    result = waitpid(pid, status, 0);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Points a freshly forked child's standard streams at /dev/null. Runs
// between fork and exec: async-signal-safe calls only.
void StreamsToNull() {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0)
    return;
  dup2(null_fd, STDIN_FILENO);
  dup2(null_fd, STDOUT_FILENO);
  dup2(null_fd, STDERR_FILENO);
  if (null_fd > STDERR_FILENO)
    close(null_fd);
}

// Gives a forked child the default signal state, so that whatever this
// program blocks or ignores does not leak into the program it starts.
// Async-signal-safe.
void ResetSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig)
    signal(sig, SIG_DFL);  // fails harmlessly for SIGKILL, SIGSTOP and reserved ones
}

// Whether `name` is an executable file in one of the PATH folders.
bool OnSearchPath(const std::string& name) {
  const char* path = getenv("PATH");
  if (!path)
    return false;
  std::string folders = path;
  size_t start = 0;
  for (;;) {
    const size_t end = folders.find(':', start);
    const std::string folder = end == start || start == folders.size()
                                   ? std::string(".")
                                   : folders.substr(start, end - start);
    const std::string candidate = folder + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return true;
    if (end == std::string::npos)
      return false;
    start = end + 1;
  }
}

bool HasDesktopSession() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

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

class PosixPlatform final : public Platform {
 public:
  // --- Start-up ---------------------------------------------------------------

  Text ArgumentText() override { return g_arguments; }

  bool ClaimSingleInstance() override {
    if (lock_fd_ >= 0)
      return true;  // this process already holds the token
    const int fd = open(LockFilePath().c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // Without a lock file there is no token to claim: go on as the only
    // instance, as the update must not be blocked by a missing folder.
    if (fd < 0)
      return true;
    int locked;
    do {
      locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      const bool held_elsewhere = errno == EWOULDBLOCK;
      close(fd);
      return !held_elsewhere;
    }
    // Kept open (and locked) until the process ends; CLOEXEC keeps it out of
    // the programs this one starts.
    lock_fd_ = fd;
    return true;
  }

  Text OwnExecutableDirectory() override {
    const std::string path = ReadLink("/proc/self/exe");
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
      return Text();
    return path.substr(0, slash);
  }

  bool StartProgram(const Text& path) override {
    // Everything the children need is prepared before fork: between fork and
    // exec only async-signal-safe calls are made.
    std::string program = path;
    char* argv[] = {program.data(), nullptr};
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
      return false;

    const pid_t child = fork();
    if (child < 0) {
      close(report[0]);
      close(report[1]);
      return false;
    }
    if (child == 0) {
      // The intermediate child: forks the program and leaves at once, so the
      // program is adopted by init (or a subreaper) and never becomes our
      // zombie.
      close(report[0]);
      const pid_t grandchild = fork();
      if (grandchild < 0) {
        const int error = errno;
        WriteAll(report[1], reinterpret_cast<const char*>(&error), sizeof error);
        _exit(1);
      }
      if (grandchild > 0)
        _exit(0);
      // The program: its own session, no terminal, no inherited streams.
      setsid();
      StreamsToNull();
      ResetSignals();
      execv(argv[0], argv);
      // Still here: tell the caller why (the pipe closes unwritten on success).
      const int error = errno;
      WriteAll(report[1], reinterpret_cast<const char*>(&error), sizeof error);
      _exit(127);
    }

    close(report[1]);
    int status = 0;
    WaitForChild(child, &status);
    int error = 0;
    ssize_t n;
    do {
      n = read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    // Nothing written: the pipe closed at exec, so the program is running.
    return n == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  void DebugOutput(const Text& line) override {
    const std::string out = line + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
  }

  // --- Files --------------------------------------------------------------------

  Text FirstFileMatch(const Text& pattern) override {
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

  std::optional<uint32_t> GetAttributes(const Text& path) override {
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

  bool SetAttributes(const Text& path, uint32_t attributes) override {
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

  bool DeleteOneFile(const Text& path) override {
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

  bool CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) override {
    const int source = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
      return false;
    const bool copied = CopyFromOpenSource(source, to, fail_if_exists);
    close(source);
    return copied;
  }

  // Unlinking frees the name at once here, whoever holds the file open: the
  // holders keep the file, not its name.
  bool DeleteUnsharedFile(const Text& path) override { return DeleteOneFile(path); }

  bool FlushFile(const Text& path) override {
    // fsync needs no write access, so read-only files are flushed too.
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0)
      return false;
    const bool flushed = fsync(file) == 0;
    close(file);
    if (!flushed)
      return false;
    // The file's own fsync does not cover the entry that names it: a new
    // file whose folder was not synced can vanish in a power cut.
    const std::string folder = FolderOf(path);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
      return false;
    // Some file systems cannot sync a folder (EINVAL): there the file's own
    // fsync is all that can be had.
    const bool folder_flushed = fsync(dir) == 0 || errno == EINVAL;
    close(dir);
    return folder_flushed;
  }

  // --- Processes --------------------------------------------------------------

  std::vector<ProcessEntry> SnapshotProcesses(uint32_t /*flags*/) override {
    std::vector<ProcessEntry> entries;
    DIR* proc = opendir("/proc");
    if (!proc)
      return entries;
    while (const dirent* entry = readdir(proc)) {
      const std::string name = entry->d_name;
      if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
        continue;
      const unsigned long long value = std::strtoull(name.c_str(), nullptr, 10);
      if (value > UINT32_MAX)
        continue;
      ProcessEntry process;
      process.pid = uint32_t(value);
      std::string exe = LastComponent(ExecutablePath(process.pid));
      if (exe.empty()) {
        // Kernel threads, zombies and (without privileges) other users'
        // processes: the short command name is all there is.
        if (!ReadSmallFile(ProcEntry(process.pid, "comm"), exe))
          continue;  // the process ended while the folder was being read
        if (!exe.empty() && exe.back() == '\n')
          exe.pop_back();
      }
      process.exe_field = exe;
      process.exe_field += '\0';
      entries.push_back(std::move(process));
    }
    closedir(proc);
    return entries;
  }

  uint32_t CurrentProcessId() override { return uint32_t(getpid()); }

  std::optional<uint32_t> ProcessSessionId(uint32_t pid) override {
    if (!IsSingleProcessId(pid))
      return std::nullopt;
    const pid_t session = getsid(pid_t(pid));
    if (session < 0)
      return std::nullopt;
    return uint32_t(session);
  }

  Text ProcessImagePath(uint32_t pid, uint32_t /*access*/) override {
    if (!IsSingleProcessId(pid))
      return Text();
    return ExecutablePath(pid);
  }

  TerminateOutcome TerminateProcessById(uint32_t pid,
                                        uint32_t /*access*/,
                                        uint32_t /*exit_code*/) override {
    // kill() with 0 or a negative pid would signal whole process groups.
    if (!IsSingleProcessId(pid))
      return TerminateOutcome::kOpenFailed;
    // SIGKILL cannot carry an exit code: whoever waits for the process sees it
    // killed by the signal, not ending with `exit_code`.
    if (kill(pid_t(pid), SIGKILL) == 0)
      return TerminateOutcome::kTerminated;
    if (errno == ESRCH || errno == EPERM)
      return TerminateOutcome::kOpenFailed;
    return TerminateOutcome::kTerminateFailed;
  }

  void EnableDebugPrivilege() override {
    // Nothing to enable: whether this process may signal or read another
    // user's processes follows from its user and capabilities, fixed when it
    // was started; there is no dormant privilege to switch on.
  }

  Text ToLower(const Text& s) override {
    // ASCII letters only; the bytes of UTF-8 sequences are all >= 0x80 and
    // pass through untouched.
    Text lower = s;
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z')
        c = char(c - 'A' + 'a');
    }
    return lower;
  }

  // --- The hidden form and its timer ------------------------------------------------

  void ShowErrorBox(const Text& caption, const Text& text) override {
    const std::string line = caption + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (!HasDesktopSession() || !OnSearchPath("zenity"))
      return;
    // The dialog program gets the texts as separate arguments (no shell, no
    // quoting) and without markup, so that "&" and "<" in a path show as is.
    std::string title_arg = "--title=" + caption;
    std::string text_arg = "--text=" + text;
    std::string program = "zenity";
    std::string error_arg = "--error";
    std::string no_markup_arg = "--no-markup";
    char* argv[] = {program.data(),   error_arg.data(), no_markup_arg.data(),
                    title_arg.data(), text_arg.data(),  nullptr};
    const pid_t child = fork();
    if (child < 0)
      return;
    if (child == 0) {
      // The dialog's own chatter would garble this program's error stream.
      StreamsToNull();
      ResetSignals();
      execvp(argv[0], argv);
      _exit(127);
    }
    int status;
    WaitForChild(child, &status);
  }

  bool RunTimer(const Text& /*title*/, unsigned interval_ms, void (*on_tick)()) override {
    // No hidden window is needed here: the ticks come from this loop.
    if (!on_tick)
      return false;
    stop_requested_ = false;
    const long long interval_ns =
        (long long)(interval_ms < kMinimumTimerIntervalMs ? kMinimumTimerIntervalMs : interval_ms) *
        1000000LL;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long deadline = Nanoseconds(now);
    for (;;) {
      deadline += interval_ns;
      // Absolute deadlines: the ticks do not drift by the time each takes,
      // and a signal only makes the sleep resume towards the same instant.
      const timespec until = {time_t(deadline / 1000000000LL), long(deadline % 1000000000LL)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
      }
      on_tick();
      if (stop_requested_)
        return true;
      // A tick that overran one or more deadlines: skip them (as a window
      // timer does) rather than firing them all in a burst.
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long long current = Nanoseconds(now);
      if (current >= deadline + interval_ns)
        deadline += (current - deadline) / interval_ns * interval_ns;
    }
  }

  void StopTimer() override { stop_requested_ = true; }

  [[noreturn]] void EndProcess(int code) override {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }

 private:
  static long long Nanoseconds(const timespec& t) {
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
  }

  static std::string LockFilePath() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (runtime && *runtime && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
      return std::string(runtime) + "/veltrin.lock";
    return "/tmp/veltrin-" + std::to_string(getuid()) + ".lock";
  }

  static bool CopyFromOpenSource(int source, const std::string& to, bool fail_if_exists) {
    struct stat from_st;
    if (fstat(source, &from_st) != 0 || !S_ISREG(from_st.st_mode))
      return false;
    struct stat to_st;
    if (stat(to.c_str(), &to_st) == 0) {
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
    // in use.
    const mode_t mode = from_st.st_mode & 07777;
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (fail_if_exists ? O_EXCL : 0);
    const int dest = open(to.c_str(), flags, mode);
    if (dest < 0)
      return false;
    const bool ok = CopyBytes(source, dest);
    // The destination takes the source's permission bits whether it was
    // created (where the umask would narrow them) or replaced. Like the
    // attributes Windows carries over, this is best effort: a writable file
    // owned by another user keeps its bits, and the bytes are what counts.
    if (ok)
      fchmod(dest, mode);
    return close(dest) == 0 && ok;
  }

  // Copies everything from `source` to `dest`, both at their start. The
  // kernel copies file to file itself where it can, without the bytes passing
  // through this process; elsewhere (another file system, an old kernel) a
  // plain read and write loop does it. A partly written destination is a
  // failed copy.
  static bool CopyBytes(int source, int dest) {
    for (;;) {
      const ssize_t n = copy_file_range(source, nullptr, dest, nullptr, 1 << 30, 0);
      if (n == 0)
        return true;
      if (n > 0)
        continue;
      if (errno == EINTR)
        continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
        return false;
      break;
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      const ssize_t n = read(source, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return false;
      if (n == 0)
        return true;
      if (!WriteAll(dest, buffer.data(), size_t(n)))
        return false;
    }
  }

  int lock_fd_ = -1;
  std::atomic<bool> stop_requested_{false};
};

}  // namespace

void SetPosixArguments(int argc, char** argv) {
  g_arguments.clear();
  for (int i = 1; i < argc; ++i) {
    if (i > 1)
      g_arguments += ' ';
    if (argv[i])
      g_arguments += argv[i];
  }
}

Platform& Native() {
  static PosixPlatform native;
  return native;
}

}  // namespace platform
