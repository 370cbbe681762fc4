// The POSIX binding: start-up (arguments, single instance, starting the
// product), the error box and the timer, and the binding itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform_posix.h"
#include "platform/posix_binding.h"

namespace platform {
namespace posix {
namespace {

// Windows never lets a window timer run faster than USER_TIMER_MINIMUM; the
// same floor keeps a zero interval from spinning.
constexpr unsigned kMinimumTimerIntervalMs = 10;

Text g_arguments;

std::string LockFilePath() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  struct stat st;
  if (runtime && *runtime && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
    return std::string(runtime) + "/veltrin.lock";
  return "/tmp/veltrin-" + std::to_string(getuid()) + ".lock";
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

long long Nanoseconds(const timespec& t) {
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Takes the exclusive lock on `fd` without waiting for another holder;
// false with errno set (EWOULDBLOCK: held elsewhere) when it cannot.
bool LockAtOnce(int fd) {
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked == 0;
}

}  // namespace

// --- Start-up -------------------------------------------------------------------

Text PosixPlatform::ArgumentText() {
  return g_arguments;
}

bool PosixPlatform::ClaimSingleInstance() {
  if (lock_fd_ >= 0)
    return true;  // this process already holds the token
  const int fd = open(LockFilePath().c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  // Without a lock file there is no token to claim: go on as the only
  // instance, as the update must not be blocked by a missing folder.
  if (fd < 0)
    return true;
  if (!LockAtOnce(fd)) {
    const bool held_elsewhere = errno == EWOULDBLOCK;
    close(fd);
    return !held_elsewhere;
  }
  // Kept open (and locked) until the process ends; CLOEXEC keeps it out of
  // the programs this one starts.
  lock_fd_ = fd;
  return true;
}

Text PosixPlatform::OwnExecutableDirectory() {
  const std::string path = ReadLink("/proc/self/exe");
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return Text();
  return path.substr(0, slash);
}

bool PosixPlatform::StartProgram(const Text& path) {
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

void PosixPlatform::DebugOutput(const Text& line) {
  const std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

// --- The error box and the timer ------------------------------------------------

void PosixPlatform::ShowErrorBox(const Text& caption, const Text& text) {
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

bool PosixPlatform::RunTimer(const Text& /*title*/, unsigned interval_ms, void (*on_tick)()) {
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

void PosixPlatform::StopTimer() {
  stop_requested_ = true;
}

// The POSIX binding runs as its caller and has no elevated hand-over, and
// its executables carry no code signatures: nothing is ever elevated, so the
// operations below are never asked for; they answer as their contracts do
// where nothing carries a signature and there is no other user to start as.
std::optional<bool> PosixPlatform::IsElevated() {
  return false;
}

UserStartOutcome PosixPlatform::StartProgramAsDesktopUser(const Text& path) {
  return StartProgram(path) ? UserStartOutcome::kStarted : UserStartOutcome::kFailed;
}

PublisherCheck PosixPlatform::CheckOwnPublisher(const Text&) {
  return PublisherCheck::kOwnUnsigned;
}

// No desktop shell here takes start requests.
UserStartOutcome PosixPlatform::StartProgramThroughShell(const Text&) {
  return UserStartOutcome::kNoShell;
}

// A lock on a file in the machine's temporary folder, named by a hash of
// the path (letters folded as ToLower folds them). Anything in the way (a
// file of that name another user made, which this one may not open) counts
// as held elsewhere.
bool PosixPlatform::ClaimMachineInstance(const Text& main_path) {
  if (machine_lock_fd_ >= 0)
    return true;
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char byte : ToLower(main_path)) {
    hash ^= uint8_t(byte);
    hash *= 0x100000001b3ULL;
  }
  char name[] = "/tmp/veltrin-main-0123456789abcdef.lock";
  for (int i = 0; i < 16; ++i)
    name[18 + i] = "0123456789abcdef"[(hash >> (60 - 4 * i)) & 0xF];
  int fd = open(name, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0)
    fd = open(name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return false;
  if (!LockAtOnce(fd)) {
    close(fd);
    return false;
  }
  machine_lock_fd_ = fd;
  return true;
}

TrustOutcome PosixPlatform::HoldAndCheckDownload(const Text&, const Text&, TrustReference) {
  return TrustOutcome::kNoReference;
}

void PosixPlatform::Pause(unsigned ms) {
  timespec left = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t PosixPlatform::NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(Nanoseconds(now) / 1000000LL);
}

void PosixPlatform::EndProcess(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}

}  // namespace posix

void SetPosixArguments(int argc, char** argv) {
  posix::g_arguments.clear();
  for (int i = 1; i < argc; ++i) {
    if (i > 1)
      posix::g_arguments += ' ';
    if (argv[i])
      posix::g_arguments += argv[i];
  }
}

Platform& Native() {
  static posix::PosixPlatform native;
  return native;
}

}  // namespace platform
