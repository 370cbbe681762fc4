// The POSIX binding's start-up, single-instance, timer and error-output
// operations. Whatever changes process-wide state (locks, environment,
// signals, standard error, the exit) runs in a forked child, so the test
// process itself stays untouched.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "support_posix_test.h"

namespace {

namespace fs = std::filesystem;
using posixtest::ReadFile;
using posixtest::ReadLink;
using posixtest::TempDir;
using posixtest::WaitFor;
using posixtest::WriteFile;

std::string ReadAll(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return out;
    out.append(buffer, size_t(n));
  }
}

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      return;
    done += size_t(n);
  }
}

struct ChildRun {
  bool finished = false;  // ended on its own within the time limit
  int status = 0;         // as waitpid reports it
  std::string err;        // what it wrote to standard error
  std::string data;       // what it wrote to the data descriptor
  int ExitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// Runs `body` in a forked child whose standard error goes to a pipe; `body`
// gets a second descriptor for results and returns the exit code. A child
// still running after 10 seconds is killed.
ChildRun RunInChild(const std::function<int(int data_fd)>& body) {
  ChildRun run;
  int err_pipe[2], data_pipe[2];
  if (pipe2(err_pipe, O_CLOEXEC) != 0)
    return run;
  if (pipe2(data_pipe, O_CLOEXEC) != 0) {
    close(err_pipe[0]);
    close(err_pipe[1]);
    return run;
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(err_pipe[1], STDERR_FILENO);
    const int code = body(data_pipe[1]);
    std::fflush(stderr);
    _exit(code);
  }
  close(err_pipe[1]);
  close(data_pipe[1]);
  if (child > 0) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pid_t done = 0;
    while ((done = waitpid(child, &run.status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (done == child) {
      run.finished = true;
    } else {
      kill(child, SIGKILL);
      waitpid(child, &run.status, 0);
    }
    run.err = ReadAll(err_pipe[0]);
    run.data = ReadAll(data_pipe[0]);
  }
  close(err_pipe[0]);
  close(data_pipe[0]);
  return run;
}

class PosixStartup : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()) << "mkdtemp failed"; }

  std::string CopyFixture(const std::string& path) {
    fs::copy_file(VELTRIN_FIXTURE_DIR "/fixture_product", path);
    chmod(path.c_str(), 0755);
    return path;
  }

  platform::Platform& os_ = platform::Native();
  TempDir dir_;
};

// --- StartProgram ------------------------------------------------------------------

using PosixStartProgram = PosixStartup;

// Blocks and ignores signals for the test's life, as a caller might.
class SignalStateGuard {
 public:
  SignalStateGuard() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &previous_mask_);
    previous_usr2_ = signal(SIGUSR2, SIG_IGN);
  }
  ~SignalStateGuard() {
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
    signal(SIGUSR2, previous_usr2_);
  }

 private:
  sigset_t previous_mask_;
  sighandler_t previous_usr2_;
};

// The hexadecimal signal set named `field` in /proc/<pid>/status.
unsigned long long StatusSignalSet(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  }
  return ~0ULL;
}

pid_t ParentOf(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos)
    return -1;
  std::istringstream fields(stat.substr(paren + 1));
  std::string state;
  pid_t parent = -1;
  fields >> state >> parent;
  return parent;
}

TEST_F(PosixStartProgram, StartsTheProgramDetachedInItsOwnSession) {
  const std::string folder = dir_ / "更新 folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string program = CopyFixture(folder + "/Lumora Product");
  const std::string log = folder + "/product.log";
  SignalStateGuard signals;

  ASSERT_TRUE(os_.StartProgram(program));
  // The intermediate process was reaped and the program is nobody's child
  // here: nothing is left for this process to wait for.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // The fixture, started without arguments, logs "<version> <path> <pid>".
  ASSERT_TRUE(WaitFor([&] { return ReadFile(log).find('\n') != std::string::npos; },
                      std::chrono::seconds(5)))
      << "the program never ran";
  const std::string line = ReadFile(log).substr(0, ReadFile(log).find('\n'));
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  ASSERT_NE(first, last) << line;
  EXPECT_EQ(line.substr(first + 1, last - first - 1), program);
  const pid_t pid = std::atoi(line.c_str() + last + 1);
  ASSERT_GT(pid, 0) << line;

  EXPECT_EQ(getsid(pid), pid);
  EXPECT_NE(getsid(pid), getsid(0));
  EXPECT_NE(ParentOf(pid), getpid());
  EXPECT_NE(ParentOf(pid), -1);
  for (int fd = 0; fd <= 2; ++fd)
    EXPECT_EQ(ReadLink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)), "/dev/null")
        << "descriptor " << fd;
  EXPECT_EQ(ReadLink("/proc/" + std::to_string(pid) + "/cwd"), fs::current_path().string());
  EXPECT_EQ(StatusSignalSet(pid, "SigBlk") & (1ULL << (SIGUSR1 - 1)), 0u);
  EXPECT_EQ(StatusSignalSet(pid, "SigIgn") & (1ULL << (SIGUSR2 - 1)), 0u);
  kill(pid, SIGKILL);
}

TEST_F(PosixStartProgram, ReportsAProgramThatCannotStart) {
  const std::string plain = CopyFixture(dir_ / "not-executable");
  chmod(plain.c_str(), 0644);
  WriteFile(dir_ / "garbage", "this is no program\n", 0755);
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);

  EXPECT_FALSE(os_.StartProgram(dir_ / "missing"));
  EXPECT_FALSE(os_.StartProgram(plain));
  EXPECT_FALSE(os_.StartProgram(dir_ / "garbage"));
  EXPECT_FALSE(os_.StartProgram(dir_ / "folder"));
  EXPECT_FALSE(os_.StartProgram(""));
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(PosixStartProgram, NeverSearchesThePath) {
  // "sh" is on every PATH but not in the working folder.
  ASSERT_NE(access("sh", F_OK), 0);
  EXPECT_FALSE(os_.StartProgram("sh"));
}

// --- ClaimSingleInstance -----------------------------------------------------------

// Whether this process holds `path` open with close-on-exec.
bool HoldsCloseOnExec(const std::string& path) {
  DIR* fds = opendir("/proc/self/fd");
  if (!fds)
    return false;
  bool found = false;
  while (const dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] != '.' && ReadLink("/proc/self/fd/" + std::string(entry->d_name)) == path)
      found = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
  }
  closedir(fds);
  return found;
}

// A child process that claims the token and keeps it until released.
class Holder {
 public:
  explicit Holder(const std::string& runtime_dir) {
    int ready[2], release[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
      platform::Platform& os = platform::Native();
      std::string report;
      report += os.ClaimSingleInstance() ? 'y' : 'n';
      report += os.ClaimSingleInstance() ? 'y' : 'n';  // a second claim by the holder
      report += HoldsCloseOnExec(runtime_dir + "/veltrin.lock") ? 'y' : 'n';
      WriteAll(ready[1], report);
      char byte;
      while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    if (pid_ > 0) {
      char report[3] = {};
      if (read(ready[0], report, 3) == 3)
        report_.assign(report, 3);
    }
    close(ready[0]);
  }
  ~Holder() { Release(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  // "y"/"n" for: claimed, claimed again, lock descriptor closes on exec.
  const std::string& report() const { return report_; }

  void Release() {
    if (release_ >= 0) {
      close(release_);
      release_ = -1;
    }
    if (pid_ > 0) {
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  std::string report_;
};

using PosixSingleInstance = PosixStartup;

TEST_F(PosixSingleInstance, SecondClaimFailsWhileTheFirstHoldsTheToken) {
  const auto claim_in_child = [&] {
    return RunInChild([&](int) {
      setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
      return platform::Native().ClaimSingleInstance() ? 0 : 1;
    });
  };

  Holder holder(dir_.path());
  ASSERT_EQ(holder.report(), "yyy");

  const std::string lock = dir_ / "veltrin.lock";
  const int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << "no lock file in XDG_RUNTIME_DIR";
  EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  close(fd);

  const ChildRun second = claim_in_child();
  ASSERT_TRUE(second.finished);
  EXPECT_EQ(second.ExitCode(), 1) << "a second instance claimed the token";

  // The token goes with the process that held it.
  holder.Release();
  const ChildRun third = claim_in_child();
  ASSERT_TRUE(third.finished);
  EXPECT_EQ(third.ExitCode(), 0);
}

// --- Arguments and own folder --------------------------------------------------------

using PosixStartupInfo = PosixStartup;

TEST_F(PosixStartupInfo, ArgumentTextJoinsTheArgumentsWithSingleSpaces) {
  char name[] = "Veltrin";
  char first[] = "/update";
  char second[] = "/opt/Lumora Suite/Lumora";
  char third[] = "--quiet";
  char* argv[] = {name, first, second, third, nullptr};
  platform::SetPosixArguments(4, argv);
  // The arguments were copied: later changes to argv do not show.
  std::strcpy(first, "/other!");
  EXPECT_EQ(os_.ArgumentText(), "/update /opt/Lumora Suite/Lumora --quiet");

  char empty[] = "";
  char* with_empty[] = {name, first, empty, third, nullptr};
  platform::SetPosixArguments(4, with_empty);
  EXPECT_EQ(os_.ArgumentText(), "/other!  --quiet");

  platform::SetPosixArguments(1, argv);
  EXPECT_EQ(os_.ArgumentText(), "");
}

TEST_F(PosixStartupInfo, OwnExecutableDirectoryHoldsThisTestProgram) {
  const std::string folder = os_.OwnExecutableDirectory();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  EXPECT_NE(folder.back(), '/');
  struct stat own, named;
  ASSERT_EQ(stat("/proc/self/exe", &own), 0);
  ASSERT_EQ(stat((folder + "/binding_tests").c_str(), &named), 0) << folder;
  EXPECT_EQ(own.st_ino, named.st_ino);
  EXPECT_EQ(own.st_dev, named.st_dev);

  // It does not depend on the working folder.
  const ChildRun elsewhere = RunInChild([&](int data) {
    if (chdir("/") != 0)
      return 1;
    WriteAll(data, platform::Native().OwnExecutableDirectory());
    return 0;
  });
  ASSERT_TRUE(elsewhere.finished);
  EXPECT_EQ(elsewhere.data, folder);
}

// --- RunTimer ----------------------------------------------------------------------

long long NowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

constexpr long long kMs = 1000000LL;

// What the tick function does; the timer calls a plain function.
struct TickPlan {
  size_t stop_at = 0;
  size_t slow_tick = 0;
  long long slow_ns = 0;
  std::vector<long long> starts, ends;
};
TickPlan g_plan;

void PlannedTick() {
  g_plan.starts.push_back(NowNs());
  if (g_plan.starts.size() == g_plan.slow_tick) {
    const long long until = NowNs() + g_plan.slow_ns;
    while (NowNs() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  g_plan.ends.push_back(NowNs());
  if (g_plan.starts.size() == g_plan.stop_at)
    platform::Native().StopTimer();
}

// Runs the timer in a child: "<returned> <began> <start1> <end1> ...".
struct TimerRecord {
  bool ok = false;
  bool returned = false;
  long long began = 0;
  std::vector<long long> starts, ends;
};

TimerRecord RecordTimer(unsigned interval_ms,
                        size_t stop_at,
                        size_t slow_tick,
                        long long slow_ns,
                        bool interrupted) {
  const ChildRun run = RunInChild([&](int data) {
    if (interrupted) {
      // A stream of signals whose handler does not restart interrupted calls.
      struct sigaction action = {};
      action.sa_handler = [](int) {};
      sigaction(SIGALRM, &action, nullptr);
      const itimerval every = {{0, 3000}, {0, 3000}};
      setitimer(ITIMER_REAL, &every, nullptr);
    }
    g_plan = TickPlan{stop_at, slow_tick, slow_ns, {}, {}};
    const long long began = NowNs();
    const bool returned = platform::Native().RunTimer("VeltrinTimer", interval_ms, PlannedTick);
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    std::ostringstream out;
    out << returned << ' ' << began;
    for (size_t i = 0; i < g_plan.starts.size(); ++i)
      out << ' ' << g_plan.starts[i] << ' ' << g_plan.ends[i];
    WriteAll(data, out.str());
    return 0;
  });
  TimerRecord record;
  if (!run.finished || run.ExitCode() != 0)
    return record;
  std::istringstream in(run.data);
  in >> record.returned >> record.began;
  long long start, end;
  while (in >> start >> end) {
    record.starts.push_back(start);
    record.ends.push_back(end);
  }
  record.ok = true;
  return record;
}

TEST(PosixTimer, TicksOnIntervalDeadlinesUntilStoppedEvenWhenInterrupted) {
  const TimerRecord r = RecordTimer(40, 5, 0, 0, /*interrupted=*/true);
  ASSERT_TRUE(r.ok) << "the timer did not return after StopTimer";
  EXPECT_TRUE(r.returned);
  ASSERT_EQ(r.starts.size(), 5u);
  for (size_t i = 0; i < r.starts.size(); ++i) {
    const long long since_start = r.starts[i] - r.began;
    // Never before its deadline, signals or not; late only by scheduling.
    EXPECT_GE(since_start, (long long)(i + 1) * 40 * kMs) << "tick " << i + 1;
    EXPECT_LE(since_start, (long long)(i + 1) * 40 * kMs + 300 * kMs) << "tick " << i + 1;
  }
}

TEST(PosixTimer, OverrunningTickSkipsTheDeadlinesItMissed) {
  // Tick 2 takes 100 ms of a 30 ms interval: three deadlines pass meanwhile.
  const TimerRecord r = RecordTimer(30, 5, 2, 100 * kMs, false);
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.returned);
  ASSERT_EQ(r.starts.size(), 5u);
  // No burst of make-up ticks after the slow one...
  for (size_t i = 3; i < r.starts.size(); ++i)
    EXPECT_GE(r.starts[i] - r.starts[i - 1], 15 * kMs) << "tick " << i + 1;
  // ...and the next tick comes at the next deadline, not an interval later.
  EXPECT_LE(r.starts[2] - r.ends[1], 30 * kMs + 200 * kMs);
  EXPECT_GT(r.starts[2], r.ends[1]);
}

TEST(PosixTimer, EachRunStartsUnstoppedAndNeedsATickFunction) {
  const ChildRun run = RunInChild([](int data) {
    platform::Platform& os = platform::Native();
    g_plan = TickPlan{1, 0, 0, {}, {}};
    const bool first = os.RunTimer("VeltrinTimer", 10, PlannedTick);
    const size_t first_ticks = g_plan.starts.size();
    g_plan = TickPlan{3, 0, 0, {}, {}};
    const bool second = os.RunTimer("VeltrinTimer", 10, PlannedTick);
    const size_t second_ticks = g_plan.starts.size();
    const bool without = os.RunTimer("VeltrinTimer", 10, nullptr);
    std::ostringstream out;
    out << first << ' ' << first_ticks << ' ' << second << ' ' << second_ticks << ' ' << without;
    WriteAll(data, out.str());
    return 0;
  });
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.data, "1 1 1 3 0");
}

// --- Error box, diagnostics and the exit -------------------------------------------------

class PosixErrorOutput : public PosixStartup {
 protected:
  void SetUp() override {
    PosixStartup::SetUp();
    ASSERT_EQ(mkdir((dir_ / "bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ / "empty").c_str(), 0755), 0);
    // A stand-in for the dialog program: it chatters on standard error, takes
    // a while, then records its arguments one per line.
    WriteFile(dir_ / "bin/zenity",
              "#!/bin/sh\n"
              "echo 'dialog noise' >&2\n"
              "sleep 0.3\n"
              "printf '%s\\n' \"$@\" > '" +
                  args_ + "'\n",
              0755);
  }

  // Shows the error box in a child with the given desktop variables and PATH;
  // the exit code says whether the dialog had finished when the call returned.
  ChildRun ShowInChild(const char* display,
                       const char* wayland,
                       const std::string& path,
                       const std::string& caption,
                       const std::string& text) {
    return RunInChild([&](int) {
      setenv("PATH", path.c_str(), 1);
      display ? setenv("DISPLAY", display, 1) : unsetenv("DISPLAY");
      wayland ? setenv("WAYLAND_DISPLAY", wayland, 1) : unsetenv("WAYLAND_DISPLAY");
      platform::Native().ShowErrorBox(caption, text);
      return access(args_.c_str(), F_OK) == 0 ? kDialogRan : kNoDialog;
    });
  }

  std::string SearchPath() const {
    const char* path = std::getenv("PATH");
    return dir_ / "bin" + ":" + (path ? path : "/usr/bin:/bin");
  }

  static constexpr int kDialogRan = 10;
  static constexpr int kNoDialog = 20;
  const std::string args_ = dir_ / "zenity-args.txt";
};

TEST_F(PosixErrorOutput, WithoutADesktopTheBoxIsALineOnStandardError) {
  const ChildRun run = ShowInChild(nullptr, nullptr, SearchPath(), "Lumora Update",
                                   "Could not replace /opt/lumora/Lumora.\nThe old one is back.");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.err,
            "Lumora Update: Could not replace /opt/lumora/Lumora.\nThe old one is back.\n");
  EXPECT_EQ(run.ExitCode(), kNoDialog);
  EXPECT_FALSE(fs::exists(args_));
}

TEST_F(PosixErrorOutput, OnADesktopTheDialogShowsTheTextAsIsAndIsWaitedFor) {
  const std::string text = "Could not replace /opt/Lumora & Co/<Lumora> \"now\"";
  const ChildRun run = ShowInChild(":0", nullptr, SearchPath(), "Lumora Update", text);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.err, "Lumora Update: " + text + "\n");
  EXPECT_EQ(run.ExitCode(), kDialogRan) << "returned before the dialog was closed";
  EXPECT_EQ(ReadFile(args_), "--error\n--no-markup\n--title=Lumora Update\n--text=" + text + "\n");
}

TEST_F(PosixErrorOutput, AWaylandSessionAlsoGetsTheDialog) {
  const ChildRun run = ShowInChild(nullptr, "wayland-0", SearchPath(), "Lumora Update", "Failed");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.ExitCode(), kDialogRan);
  EXPECT_EQ(run.err, "Lumora Update: Failed\n");
}

TEST_F(PosixErrorOutput, WithoutTheDialogProgramOnlyTheLineIsWritten) {
  const ChildRun run = ShowInChild(":0", nullptr, dir_ / "empty", "Lumora Update", "Failed");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.ExitCode(), kNoDialog);
  EXPECT_EQ(run.err, "Lumora Update: Failed\n");
}

TEST_F(PosixErrorOutput, DebugOutputWritesOneLine) {
  const ChildRun run = RunInChild([](int) {
    platform::Native().DebugOutput("MProcesses: 产品 found, pid 42");
    return 0;
  });
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.err, "MProcesses: 产品 found, pid 42\n");
}

TEST_F(PosixErrorOutput, EndProcessFlushesStandardErrorAndExitsWithTheCode) {
  const ChildRun run = RunInChild([](int) -> int {
    static char buffer[BUFSIZ];
    std::setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
    std::fputs("pending text", stderr);
    platform::Native().EndProcess(42);
    std::abort();  // only reached if EndProcess returned
  });
  ASSERT_TRUE(run.finished);
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 42);
  EXPECT_EQ(run.err, "pending text");
}

}  // namespace
