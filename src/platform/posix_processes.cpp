// The POSIX binding: processes, read from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix_binding.h"

namespace platform::posix {

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

namespace {

// What the kernel appends to /proc/<pid>/exe once the executable file was
// deleted or replaced.
constexpr char kDeletedSuffix[] = " (deleted)";

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
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

}  // namespace

std::vector<ProcessEntry> PosixPlatform::SnapshotProcesses(uint32_t /*flags*/) {
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

uint32_t PosixPlatform::CurrentProcessId() {
  return uint32_t(getpid());
}

std::optional<uint32_t> PosixPlatform::ProcessSessionId(uint32_t pid) {
  if (!IsSingleProcessId(pid))
    return std::nullopt;
  const pid_t session = getsid(pid_t(pid));
  if (session < 0)
    return std::nullopt;
  return uint32_t(session);
}

Text PosixPlatform::ProcessImagePath(uint32_t pid, uint32_t /*access*/) {
  if (!IsSingleProcessId(pid))
    return Text();
  return ExecutablePath(pid);
}

TerminateOutcome PosixPlatform::TerminateProcessById(uint32_t pid,
                                                     uint32_t /*access*/,
                                                     uint32_t /*exit_code*/) {
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

TerminateOutcome PosixPlatform::TerminateIfMatching(uint32_t pid,
                                                    uint32_t /*access*/,
                                                    uint32_t /*exit_code*/,
                                                    const ProcessCheck& check) {
  if (!IsSingleProcessId(pid))
    return TerminateOutcome::kOpenFailed;
  // A process descriptor: a signal sent through it reaches the process it
  // was opened on or none, whatever the id names by then. Without one (a
  // kernel before 5.3) nothing is ended: what was checked could not be
  // told from what would be killed.
  const int process = int(syscall(SYS_pidfd_open, pid_t(pid), 0));
  if (process < 0)
    return TerminateOutcome::kOpenFailed;
  ProcessIdentity found;
  found.image = ExecutablePath(pid);
  const pid_t session = getsid(pid_t(pid));
  if (session >= 0)
    found.session = uint32_t(session);
  // Read by id, so it is the descriptor's process only if that was still
  // there after the reading: an id is given again only once its process
  // has gone.
  TerminateOutcome outcome = TerminateOutcome::kOpenFailed;
  if (syscall(SYS_pidfd_send_signal, process, 0, nullptr, 0) != 0)
    outcome = TerminateOutcome::kOpenFailed;
  else if (!check(found))
    outcome = TerminateOutcome::kNotMatching;
  else if (syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0) == 0)
    outcome = TerminateOutcome::kTerminated;
  else if (errno != EPERM && errno != ESRCH)
    outcome = TerminateOutcome::kTerminateFailed;
  close(process);
  return outcome;
}

void PosixPlatform::EnableDebugPrivilege() {
  // Nothing to enable: whether this process may signal or read another
  // user's processes follows from its user and capabilities, fixed when it
  // was started; there is no dormant privilege to switch on.
}

Text PosixPlatform::ToLower(const Text& s) {
  // ASCII letters only; the bytes of UTF-8 sequences are all >= 0x80 and
  // pass through untouched.
  Text lower = s;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z')
      c = char(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace platform::posix
