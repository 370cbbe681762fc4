// The process services over the POSIX binding, against real processes:
// copies of the stand-in product started from fresh folders.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileservices/mfile.h"
#include "platform/platform.h"
#include "processes/mprocesses.h"
#include "startup/trace.h"
#include "support_posix_test.h"

namespace {

namespace fs = std::filesystem;
using MProcesses::AnySession;
using posixtest::WaitFor;
using namespace std::chrono_literals;

std::vector<std::string> g_traces;
void RecordTrace(const Text& text) {
  g_traces.push_back(text);
}

std::string ExeOf(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

class RealProcesses : public ::testing::Test {
 protected:
  RealProcesses() {
    char pattern[] = "/tmp/veltrin-mproc-XXXXXX";
    root_ = mkdtemp(pattern);
    platform::SetOs(&platform::Native());
    MMain::SetTraceSink(&RecordTrace);
    g_traces.clear();
  }
  ~RealProcesses() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    MMain::SetTraceSink(nullptr);
    platform::SetOs(nullptr);
    fs::remove_all(root_);
  }

  // A copy of `program` at `relative` inside the sandbox.
  std::string Install(const std::string& relative,
                      const fs::path& program = VELTRIN_FIXTURE_DIR "/fixture_product") {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    fs::copy_file(program, path);
    chmod(path.c_str(), 0755);
    return path;
  }

  // Starts `path` with `args` and waits until it runs from that file, or has
  // already ended (a quick child: its exit code then tells how it went).
  pid_t Start(const std::string& path,
              std::vector<std::string> args = {"sleep", "30"},
              const char* environment = nullptr) {
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      if (environment)
        putenv(const_cast<char*>(environment));
      execv(argv[0], argv.data());
      _exit(127);
    }
    children_.push_back(pid);
    EXPECT_TRUE(WaitFor([&] {
      siginfo_t ended = {};
      return ExeOf(pid) == path ||
             (waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
              ended.si_pid == pid);
    })) << path;
    return pid;
  }

  // How a child ended: its exit code, or 128 + the signal that ended it.
  int Ended(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    std::erase(children_, pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  fs::path root_;
  std::vector<pid_t> children_;
};

TEST_F(RealProcesses, FindsTheProgramRunningFromExactlyThatPath) {
  const std::string main = Install("Lumora 安装/app.exe");
  const std::string elsewhere = Install("other/app.exe");
  EXPECT_FALSE(MProcesses::IsProcessRunning(main, AnySession));

  const pid_t other = Start(elsewhere);
  // Same file name, another folder: the name filter lets it through, the path
  // test does not.
  EXPECT_FALSE(MProcesses::IsProcessRunning(main, AnySession));
  EXPECT_TRUE(g_traces.empty());

  const pid_t running = Start(main);
  EXPECT_TRUE(MProcesses::IsProcessRunning(main, AnySession));
  EXPECT_EQ(g_traces.back(), "Current ProcessId:" + std::to_string(getpid()) +
                                 ", Proc's Id:" + std::to_string(running));
  EXPECT_TRUE(MProcesses::IsProcessRunning(main, getsid(running)));
  EXPECT_FALSE(MProcesses::IsProcessRunning(main, getsid(running) + 1));
  // The path is compared as text: other spellings of the same file do not count.
  EXPECT_FALSE(
      MProcesses::IsProcessRunning((root_ / "Lumora 安装/./app.exe").string(), AnySession));
  EXPECT_FALSE(MProcesses::IsProcessRunning("app.exe", AnySession));

  kill(running, SIGKILL);
  Ended(running);
  EXPECT_FALSE(MProcesses::IsProcessRunning(main, AnySession));
  EXPECT_TRUE(ExeOf(other) == elsewhere);
}

TEST_F(RealProcesses, TerminatesEveryProgramNamedLikeTheProductAndNothingElse) {
  // A name of its own, so that no other test's processes are in the way.
  const pid_t first = Start(Install("a/kill-probe.exe"));
  const pid_t second = Start(Install("b/KILL-PROBE.EXE"));
  const pid_t bystander = Start(Install("c/mykill-probe.exe"));
  const pid_t old_copy = Start(Install("d/kill-probe.exe.old"));
  g_traces.clear();

  MProcesses::KillProcessesByName("kill-probe.exe", AnySession);
  EXPECT_EQ(Ended(first), 128 + SIGKILL);
  EXPECT_EQ(Ended(second), 128 + SIGKILL);
  EXPECT_EQ(g_traces.size(), 2u);
  EXPECT_TRUE(std::find(g_traces.begin(), g_traces.end(),
                        "Kill Process ProcessID:" + std::to_string(first)) != g_traces.end());
  EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0);
  EXPECT_EQ(waitpid(old_copy, nullptr, WNOHANG), 0);
}

TEST_F(RealProcesses, TheCallerNeverCountsAndIsNeverTerminated) {
  // A copy of this test program named like the product looks for itself and
  // terminates its own name: another copy of the product dies, it lives on.
  const std::string self = Install("Lumora/self-probe.exe", "/proc/self/exe");
  const pid_t product = Start(Install("elsewhere/self-probe.exe"));
  const pid_t caller =
      Start(self, {"--gtest_filter=RealProcessesChild.LooksForItselfAndTerminatesItsName"},
            "VELTRIN_CHILD_CHECK=1");
  EXPECT_EQ(Ended(caller), 0);
  EXPECT_EQ(Ended(product), 128 + SIGKILL);
}

TEST(RealProcessesChild, LooksForItselfAndTerminatesItsName) {
  if (!std::getenv("VELTRIN_CHILD_CHECK"))
    GTEST_SKIP() << "runs as the child of TheCallerNeverCountsAndIsNeverTerminated";
  platform::SetOs(&platform::Native());
  const Text self = ExeOf(getpid());
  if (MProcesses::IsProcessRunning(self, AnySession))
    std::_Exit(2);
  // A SIGKILL sent to itself would be delivered before kill() returned.
  MProcesses::KillProcessesByName(MFile::GetFileName(self), AnySession);
  std::_Exit(0);
}

}  // namespace
